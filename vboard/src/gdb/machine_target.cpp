#include "gdb/machine_target.h"

#include <algorithm>
#include <memory>
#include <cstdio>
#include <optional>
#include <sstream>

#include "chip/reg_view.h"
#include "vboard/part.h"

namespace vboard::gdb {

namespace {

// The machine's registers in the order of the target description.
std::optional<CoreReg> core_reg(unsigned n) {
  static constexpr CoreReg kRegs[kNumRegs] = {
      CoreReg::r0,      CoreReg::r1,      CoreReg::r2,        CoreReg::r3,     CoreReg::r4,   CoreReg::r5,
      CoreReg::r6,      CoreReg::r7,      CoreReg::r8,        CoreReg::r9,     CoreReg::r10,  CoreReg::r11,
      CoreReg::r12,     CoreReg::sp,      CoreReg::lr,        CoreReg::pc,     CoreReg::xpsr, CoreReg::d0,
      CoreReg::d1,      CoreReg::d2,      CoreReg::d3,        CoreReg::d4,     CoreReg::d5,   CoreReg::d6,
      CoreReg::d7,      CoreReg::d8,      CoreReg::d9,        CoreReg::d10,    CoreReg::d11,  CoreReg::d12,
      CoreReg::d13,     CoreReg::d14,     CoreReg::d15,       CoreReg::fpscr,  CoreReg::msp,  CoreReg::psp,
      CoreReg::primask, CoreReg::basepri, CoreReg::faultmask, CoreReg::control};
  if (n >= kNumRegs) return std::nullopt;
  return kRegs[n];
}

// Largest aligned access (4, 2 or 1 bytes) at addr that fits in n.
size_t access_size(uint32_t addr, size_t n) {
  if (addr % 4 == 0 && n >= 4) return 4;
  if (addr % 2 == 0 && n >= 2) return 2;
  return 1;
}

// Flash and RAM in one piece; elsewhere register-sized accesses, as a debug
// probe makes them. access(addr, offset, size) does one; returns bytes done.
template <typename Access>
size_t in_pieces(uint32_t addr, size_t n, Access access) {
  if (access(addr, 0, n)) return n;
  size_t done = 0;
  while (done < n) {
    uint32_t a = addr + static_cast<uint32_t>(done);
    size_t k = access_size(a, n - done);
    if (!access(a, done, k)) break;
    done += k;
  }
  return done;
}

WatchKind watch_kind(PointKind kind) {
  return kind == PointKind::read     ? WatchKind::read
         : kind == PointKind::access ? WatchKind::access
                                     : WatchKind::write;
}

}  // namespace

MachineTarget::MachineTarget(Machine& machine, ns_t run_end, Reset reset, History* history)
    : m_(machine), end_(run_end), reset_(std::move(reset)), history_(history) {
  if (!history_)
    keep_history();
  else
    history_->set_points({[this](bool on) { on ? insert_points() : m_.clear_debug_points(); },
                          [this](uint32_t pc) { return breakpoints_.count(pc & ~1u) != 0; }});
}

MachineTarget::~MachineTarget() {
  if (history_) history_->set_points({});
}

// A history of its own, from the machine's present on.
void MachineTarget::keep_history() {
  own_history_ = std::make_unique<History>(m_);
  history_ = own_history_.get();
  history_->set_points({[this](bool on) { on ? insert_points() : m_.clear_debug_points(); },
                        [this](uint32_t pc) { return breakpoints_.count(pc & ~1u) != 0; }});
}

void MachineTarget::insert_points() {
  for (const auto& [addr, counts] : breakpoints_) m_.set_breakpoint(addr, true);
  for (const auto& [kind, addr, len] : watches_) m_.set_watchpoint(addr, len, watch_kind(kind), true);
}

bool MachineTarget::read_register(unsigned n, uint64_t& value) {
  const std::optional<CoreReg> r = core_reg(n);
  if (!r || !m_.cpu_reg(*r, value)) return false;
  if (n == kPc) value &= ~uint64_t{1};
  return true;
}

// Writes are inputs to the run: the history gives them again when it rebuilds a later instant.
bool MachineTarget::write_register(unsigned n, uint64_t value) {
  const std::optional<CoreReg> r = core_reg(n);
  if (!r) return false;
  // What the first write did (a replay writes it again, where nobody asks).
  auto ok = std::make_shared<bool>(false);
  history_->input("register " + std::to_string(n) + " written",
                  [r, value, ok](Machine& m) { *ok = m.set_cpu_reg(*r, value); });
  return *ok;
}

size_t MachineTarget::read_memory(uint32_t addr, uint8_t* dst, size_t n) {
  return in_pieces(addr, n, [&](uint32_t a, size_t off, size_t k) { return m_.debug_read(a, dst + off, k); });
}

size_t MachineTarget::write_memory(uint32_t addr, const uint8_t* src, size_t n) {
  auto done = std::make_shared<size_t>(0);
  char what[48];
  std::snprintf(what, sizeof what, "%zu bytes written at 0x%08x", n, static_cast<unsigned>(addr));
  history_->input(what, [addr, bytes = std::vector<uint8_t>(src, src + n), done](Machine& m) {
    *done = in_pieces(addr, bytes.size(), [&](uint32_t a, size_t off, size_t k) {
      return m.debug_write(a, bytes.data() + off, k);
    });
  });
  return *done;
}

bool MachineTarget::insert_point(PointKind kind, uint32_t addr, uint32_t len) {
  switch (kind) {
    case PointKind::software:
    case PointKind::hardware: {
      auto& [sw, hw] = breakpoints_[addr & ~1u];
      (kind == PointKind::software ? sw : hw)++;
      return m_.set_breakpoint(addr, true);
    }
    default:
      if (!m_.set_watchpoint(addr, len, watch_kind(kind), true)) return false;
      watches_.emplace_back(kind, addr, len);
      return true;
  }
}

bool MachineTarget::remove_point(PointKind kind, uint32_t addr, uint32_t len) {
  switch (kind) {
    case PointKind::software:
    case PointKind::hardware: {
      auto it = breakpoints_.find(addr & ~1u);
      if (it == breakpoints_.end()) return true;  // removing what is not there is no error for GDB
      unsigned& count = kind == PointKind::software ? it->second.first : it->second.second;
      if (count > 0) --count;
      if (it->second.first + it->second.second > 0) return true;
      breakpoints_.erase(it);
      return m_.set_breakpoint(addr, false);
    }
    default:
      auto it = std::find(watches_.begin(), watches_.end(), std::make_tuple(kind, addr, len));
      if (it != watches_.end()) watches_.erase(it);
      return m_.set_watchpoint(addr, len, watch_kind(kind), false);
  }
}

StopInfo MachineTarget::resume(bool step, const std::function<bool()>& interrupted) {
  StopInfo s;
  if (killed_) {
    s.kind = StopInfo::Kind::exited;
    s.exit_code = m_.result().exit_status();
    return s;
  }
  std::optional<DebugStop> first;
  if (!step && guessed_wrong()) first = step_first(interrupted);
  return stop_info(first ? *first : history_->debug_run(end_, step, interrupted));
}

StopInfo MachineTarget::stop_info(const DebugStop& d) {
  StopInfo s;
  s.addr = d.addr;
  switch (d.kind) {
    case DebugStop::Kind::breakpoint: {
      // Not at a breakpoint: the stop was deferred past an IT block; a plain SIGTRAP then.
      auto it = breakpoints_.find(d.addr);
      s.kind = it != breakpoints_.end() ? StopInfo::Kind::breakpoint : StopInfo::Kind::step;
      s.hardware = it != breakpoints_.end() && it->second.first == 0;
      break;
    }
    case DebugStop::Kind::step:
      s.kind = StopInfo::Kind::step;
      break;
    case DebugStop::Kind::watchpoint:
      s.kind = StopInfo::Kind::watchpoint;
      s.watch = d.watch == WatchKind::read     ? PointKind::read
                : d.watch == WatchKind::access ? PointKind::access
                                               : PointKind::write;
      break;
    case DebugStop::Kind::interrupted:
      s.kind = StopInfo::Kind::interrupted;
      break;
    case DebugStop::Kind::halted:
      // The first time the debugger sees where the image gave up; resuming after that ends the run.
      if (!halt_reported_) {
        halt_reported_ = true;
        s.kind = StopInfo::Kind::halted;
        break;
      }
      [[fallthrough]];
    case DebugStop::Kind::end:
      // The end of the run is a stop the first time, so that the debugger sees where it came.
      if (end_ != kNever && !end_reported_ && d.kind == DebugStop::Kind::end) {
        end_reported_ = true;
        s.kind = StopInfo::Kind::end_reached;
        break;
      }
      s.kind = StopInfo::Kind::exited;
      s.exit_code = m_.result().exit_status();
      break;
  }
  return s;
}

// GDB steps by breakpoints at the addresses it predicts. At an exception return
// (a POP or LDR of PC, or BX, with an EXC_RETURN value) it reads the return address
// from the wrong stack slot and puts the breakpoint where the image has no code, so
// the core would run on for good. A resume with such a breakpoint goes one
// instruction first and stops when that left the handler, as a probe's step does.
bool MachineTarget::guessed_wrong() const {
  for (const auto& [addr, counts] : breakpoints_)
    if (!m_.image().containing(addr)) return true;
  return false;
}

std::optional<DebugStop> MachineTarget::step_first(const std::function<bool()>& interrupted) {
  uint64_t before = 0, after = 0;
  read_register(kXpsr, before);
  DebugStop d = history_->debug_run(end_, true, interrupted);
  read_register(kXpsr, after);
  const bool left_handler = (before & 0x1FF) != 0 && (after & 0x1FF) != (before & 0x1FF);
  if (d.kind != DebugStop::Kind::step || left_handler) return d;
  if (breakpoints_.count(d.addr)) return DebugStop{DebugStop::Kind::breakpoint, d.addr, WatchKind::write};
  return std::nullopt;  // an ordinary instruction: the resume goes on
}

void MachineTarget::detach() {
  m_.clear_debug_points();
  breakpoints_.clear();
  watches_.clear();
}

bool MachineTarget::reset(const std::string& how, std::string& output) {
  if (how != "" && how != "halt" && how != "run" && how != "init") {
    output = "monitor reset: '" + how + "' is not one of halt, run, init\n";
    return false;
  }
  if (!reset_) {
    output = "monitor reset: not available in this run\n";
    return false;
  }
  if (history_) history_->set_points({});
  own_history_.reset();
  history_ = nullptr;
  if (!reset_(output)) {
    keep_history();
    return false;
  }
  halt_reported_ = end_reported_ = false;
  // Points GDB has inserted stay inserted, as on a chip whose debug unit a reset leaves alone.
  insert_points();
  keep_history();  // the history starts again at power-on
  if (how == "run") output += "the core runs when the debugger continues\n";
  return true;
}

bool MachineTarget::monitor(const std::string& command, std::string& output) {
  std::istringstream in(command);
  std::string verb, rest;
  in >> verb;
  std::getline(in, rest);
  if (verb == "reset") {
    std::string how;
    std::istringstream(rest) >> how;
    return reset(how, output);
  }
  // A part by its whole name, spaces included: `part NAME` always; `NAME` alone
  // when it is no command's verb (a part called "time" is reached as `part time`).
  const auto trimmed = [](const std::string& t) {
    const auto b = t.find_first_not_of(" \t");
    return b == std::string::npos ? std::string() : t.substr(b, t.find_last_not_of(" \t") - b + 1);
  };
  if (verb == "part") {
    output = describe_part(trimmed(rest));
    return true;
  }
  if (verb == "regs" || verb == "reg") {
    std::istringstream names(rest);
    std::string periph, reg;
    names >> periph >> reg;
    return describe_registers(periph, reg, output);
  }
  bool known = true;
  if (travel_command(verb, rest, output, known)) return known;
  if (verb == "time") {
    output = describe_time();
  } else if (verb == "pins" || verb == "pin") {
    output = describe_pins(rest);
  } else if (verb == "parts") {
    output = describe_parts("");
  } else if (verb == "diagnostics" || verb == "diag") {
    output = describe_diagnostics();
  } else if (verb == "halt") {
    uint64_t pc = 0;
    read_register(kPc, pc);
    char b[96];
    std::snprintf(b, sizeof b, "halted at 0x%08x (the core stands still whenever the debugger holds it)\n",
                  static_cast<unsigned>(pc));
    output = b;
  } else if (m_.board().part(trimmed(command))) {
    output = describe_parts(trimmed(command));
  } else {
    known = false;
  }
  if (known) return true;
  bool help = verb == "help" || verb.empty();
  output = (help ? std::string() : "unknown monitor command '" + verb + "'\n") +
           "monitor commands of the virtual board:\n"
           "  time               virtual time and instructions so far (time stands still while halted)\n"
           "  pins [PIN...]      level of each pin now and when it last changed (e.g. 'pins PA8 PA9')\n"
           "  parts              what each part of the board that watches its pins has seen so far\n"
           "  part NAME          the same for the part of that name alone (names as in the board file,\n"
           "                     spaces included); `NAME` alone too when it is no command here\n"
           "  regs PERIPH [REG]  a peripheral's registers (or one) with their fields decoded by the\n"
           "                     chip's SVD names (e.g. 'regs TIM17 CR1', 'regs GPIOA MODER', 'regs RCC')\n"
           "  diagnostics        halt reason, unmodelled accesses, model faults and notes of the run\n"
           "  reset [halt|run]   the board and its world back to power-on, the core at the reset vector\n"
           "                     (with what `load` wrote to flash); it runs when the debugger continues\n"
           "  halt               the core is halted already whenever GDB can send this\n"
           "  checkpoint NAME    keeps the present under NAME (the run's history keeps others on its own)\n"
           "  goto NAME|TIME     the board back (or on) to a named checkpoint or a virtual time of the\n"
           "                     history (e.g. 'goto 12.5ms'); GDB then needs 'flushregs' or a step\n"
           "  goto-instruction N the board at exactly N instructions run\n"
           "  history            the checkpoints kept, their span and memory, the inputs logged\n";
  return help;
}

bool MachineTarget::describe_registers(const std::string& periph, const std::string& reg,
                                       std::string& output) {
  // Word reads as a probe makes them: the models have no read that clears a
  // flag, and a debugger read is no access of the image (no watchpoint fires).
  const auto read = [this](uint32_t addr, uint32_t& value) {
    return m_.debug_read(addr, &value, sizeof value);
  };
  return periph::regview::describe(periph, reg, read, output);
}

std::string MachineTarget::describe_time() const {
  char b[160];
  std::snprintf(b, sizeof b, "virtual time %s (%llu ns), %llu instructions; ", format_ns(m_.now()).c_str(),
                static_cast<unsigned long long>(m_.now()),
                static_cast<unsigned long long>(m_.instructions()));
  std::string out = b;
  if (end_ == kNever)
    out += "the run has no end (no --for): it ends when the debugger detaches or kills it\n";
  else if (m_.now() >= end_)
    out += "the end of the run (--for " + format_ns(end_) + ") has been reached: continuing ends it\n";
  else
    out += "the run ends at " + format_ns(end_) + "\n";
  return out + "(instructions count and time moves per translated block, as without a debugger)\n";
}

std::string MachineTarget::describe_pins(const std::string& which) {
  // Exact however long the run is: the level now, its last change and the count.
  const Board& board = m_.board();
  std::istringstream in(which);
  std::vector<std::string> names;
  for (std::string n; in >> n;) names.push_back(n);
  if (names.empty())
    for (const auto& [name, state] : board.pin_states()) names.push_back(name);
  std::string out;
  for (const std::string& name : names) {
    const auto s = board.pin_state(name);
    if (!s) {
      out += name + ": not a pin of this board\n";
      continue;
    }
    out += name + " = " + std::to_string(s->level) +
           (s->changes ? " since " + format_ns(s->since) : std::string(" since reset")) + " (" +
           std::to_string(s->changes) + " changes)\n";
  }
  if (names.empty()) out = "no pin has changed yet\n";
  return out;
}

std::string MachineTarget::describe_part(const std::string& name) {
  if (!name.empty() && m_.board().part(name)) return describe_parts(name);
  std::string names;
  for (const PartView* p : m_.board().parts())
    names += (names.empty() ? "'" : ", '") + p->identity().name + "'";
  return "monitor part: no part named '" + name + "' (" +
         (names.empty() ? std::string("this board has no parts that watch their pins") : "parts: " + names) +
         ")\n";
}

std::string MachineTarget::describe_parts(const std::string& name) {
  if (!name.empty()) return m_.board().part(name)->describe();
  std::string out;
  for (const PartView* p : m_.board().parts()) out += p->identity().name + ": " + p->describe();
  return out.empty() ? "this board has no parts that watch their pins\n" : out;
}

std::string MachineTarget::describe_diagnostics() const {
  RunResult r = m_.result();
  std::string out = "at " + format_ns(r.virtual_ns) + ":\n";
  if (r.halt)
    out += "halt: " + r.halt->reason + " in " + r.halt->symbol + " at " + format_ns(r.halt->t) + "\n";
  else
    out += "halt: none\n";
  out += std::to_string(r.tally.unmodelled) + " unmodelled accesses" +
         (r.tally.unmodelled > r.unmodelled.size()
              ? " (the first " + std::to_string(r.unmodelled.size()) + " listed)"
              : std::string()) +
         "\n";
  for (size_t i = 0; i < r.unmodelled.size() && i < 10; ++i) {
    const Unmodelled& u = r.unmodelled[i];
    char b[64];
    std::snprintf(b, sizeof b, "  %s 0x%08x (%u bytes)", u.is_write ? "write" : "read", u.addr, u.size);
    out += b + std::string(" from ") + u.where + (u.device.empty() ? "" : " in " + u.device) + " at " +
           format_ns(u.t) + "\n";
  }
  out += std::to_string(r.tally.faults) + " model faults" +
         (r.tally.faults > r.faults.size() ? " (the first " + std::to_string(r.faults.size()) + " listed)"
                                           : std::string()) +
         "\n";
  for (const std::string& f : r.faults) out += "  " + f + "\n";
  out += std::to_string(r.notes.size()) + " notes\n";
  for (const std::string& n : r.notes) out += "  " + n + "\n";
  return out;
}

}  // namespace vboard::gdb
