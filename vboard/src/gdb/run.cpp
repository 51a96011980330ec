#include "gdb/run.h"

#include <cstdio>
#include <optional>
#include <utility>

#include "gdb/machine_target.h"
#include "gdb/server.h"

namespace vboard::gdb {

namespace {

// `monitor reset`: the machine back to power-on. After a `load` the image file is
// read again for the symbols halt reports name (GDB loaded the code, most likely
// from that file); the flash keeps what was loaded either way.
bool reset_machine(Machine& machine, std::string& out) {
  std::optional<Image> fresh;
  if (machine.flash_written()) {
    std::string err;
    fresh = Image::load(machine.image().path(), machine.chip_facts(), &err);
    if (!fresh) out += "symbols stay those read at the start: " + err + "\n";
  }
  // The machine keeps a re-read image: it outlives this session (the report
  // and the coverage written when the machine ends still name its symbols).
  if (fresh)
    machine.reset(std::move(*fresh));
  else
    machine.reset(machine.image());
  const Image* image = &machine.image();
  uint64_t pc = 0;
  machine.cpu_reg(CoreReg::pc, pc);
  char b[96];
  std::snprintf(b, sizeof b, "board reset to power-on; the core is at the reset vector (0x%08x)\n",
                static_cast<unsigned>(pc & ~uint64_t{1}));
  out += b;
  for (const Segment& s : image->segments()) {
    std::vector<uint8_t> now(s.bytes.size());
    if (machine.peek(s.paddr, now.data(), now.size()) && now != s.bytes) {
      out += "the flash differs from " + image->path() + ": halt reports may name the wrong functions\n";
      break;
    }
  }
  return true;
}

}  // namespace

bool serve_gdb(Machine& machine, const GdbRun& run, std::string* error) {
  Listener listener;
  if (!listener.open(run.port, error)) return false;
  std::fprintf(stderr,
               "vboard: GDB server on 127.0.0.1:%u; the image is %s until a debugger attaches\n"
               "        (gdb-multiarch %s -ex 'target remote :%u')\n",
               listener.port(), run.held.c_str(), machine.image().path().c_str(), listener.port());
  std::fflush(stderr);
  auto stream = listener.accept_one(-1, error);
  if (!stream) return false;
  std::fprintf(stderr, "vboard: debugger attached\n");
  MachineTarget::Reset reset = [&](std::string& out) {
    if (run.no_reset.empty()) return reset_machine(machine, out);
    out = "monitor reset: " + run.no_reset + "\n";
    return false;
  };
  MachineTarget target(machine, run.end, reset, run.history);
  SessionOptions o;
  o.log = [](const std::string& line) { std::fprintf(stderr, "vboard: gdb: %s\n", line.c_str()); };
  Session session(*stream, target, o);
  SessionEnd end = session.serve();
  std::fprintf(stderr, "vboard: debugger session ended (%s) at %s\n", to_string(end),
               format_ns(machine.now()).c_str());
  if ((end == SessionEnd::detached || end == SessionEnd::disconnected) && run.end != kNever)
    machine.run_until(run.end);
  return true;
}

}  // namespace vboard::gdb
