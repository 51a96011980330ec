// The GDB target going back in time over the run's History: reverse step and
// continue (GDB's bs and bc, from which it builds reverse-step, reverse-next
// and reverse-finish), and the monitor commands that name instants:
// checkpoint, goto, goto-instruction, history.
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "gdb/machine_target.h"

namespace vboard::gdb {

namespace {

// A virtual time as "12.5ms", "3 s", "100us" or "250ns".
std::optional<ns_t> parse_virtual_time(const std::string& text) {
  const char* p = text.c_str();
  char* e = nullptr;
  const double v = std::strtod(p, &e);
  if (e == p || !(v >= 0)) return std::nullopt;
  std::string unit(e);
  unit.erase(0, unit.find_first_not_of(' '));
  const double scale = unit == "s" ? 1e9 : unit == "ms" ? 1e6 : unit == "us" ? 1e3 : unit == "ns" ? 1 : 0;
  if (scale == 0 || v * scale > 1e18) return std::nullopt;
  return static_cast<ns_t>(std::llround(v * scale));
}

std::string trim(const std::string& t) {
  const auto b = t.find_first_not_of(" \t");
  return b == std::string::npos ? std::string() : t.substr(b, t.find_last_not_of(" \t") - b + 1);
}

}  // namespace

StopInfo MachineTarget::reverse(bool step, const std::function<bool()>& interrupted) {
  // Back before the end or a halt: going forward reaches them again.
  halt_reported_ = end_reported_ = false;
  StopInfo s;
  if (step) {
    s.kind = history_->step_back() ? StopInfo::Kind::step : StopInfo::Kind::history_start;
  } else if (std::optional<DebugStop> d = history_->run_back(interrupted)) {
    return stop_info(*d);
  } else {
    s.kind = StopInfo::Kind::history_start;
  }
  uint64_t pc = 0;
  read_register(kPc, pc);
  s.addr = static_cast<uint32_t>(pc);
  return s;
}

bool MachineTarget::travel_command(const std::string& verb, const std::string& rest, std::string& output,
                                   bool& known) {
  const std::string arg = trim(rest);
  const auto where = [this] {
    uint64_t pc = 0;
    read_register(kPc, pc);
    char b[160];
    std::snprintf(b, sizeof b, "%s, %llu instructions, pc 0x%08x", format_ns(m_.now()).c_str(),
                  static_cast<unsigned long long>(m_.instruction_count()), static_cast<unsigned>(pc));
    return std::string(b);
  };
  if (verb == "history") {
    output = history_->describe();
  } else if (verb == "checkpoint") {
    known = !arg.empty();
    if (known) history_->checkpoint(arg);
    output = known ? "checkpoint '" + arg + "' at " + where() + "\n" : "monitor checkpoint: give it a name\n";
  } else if (verb == "goto" || verb == "goto-instruction") {
    const std::optional<ns_t> t = parse_virtual_time(arg);
    char* e = nullptr;
    const unsigned long long n = std::strtoull(arg.c_str(), &e, 10);
    const bool number = !arg.empty() && e && *e == '\0';
    if (verb == "goto-instruction")
      known = number && history_->goto_instruction(n);
    else
      known = history_->goto_checkpoint(arg) || (t && history_->goto_time(*t));
    if (known) {
      halt_reported_ = end_reported_ = false;
      output = "at " + where() + " (GDB shows it after 'flushregs' or a step)\n";
    } else {
      output = "monitor " + verb + ": '" + arg + "' is " +
               (verb == "goto" ? "no checkpoint's name and no virtual time (e.g. 12.5ms) "
                               : "no instruction count ") +
               "within the history:\n" + history_->describe();
    }
  } else {
    return false;
  }
  return true;
}

}  // namespace vboard::gdb
