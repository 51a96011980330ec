#include "gdb/run.h"

#include <cstdio>

#include "gdb/machine_target.h"
#include "gdb/server.h"

namespace vboard::gdb {

bool serve_gdb(Machine& machine, uint16_t port, ns_t run_end, std::string* error) {
  Listener listener;
  if (!listener.open(port, error)) return false;
  std::fprintf(stderr,
               "vboard: GDB server on 127.0.0.1:%u; the image is held at reset until a debugger attaches\n"
               "        (gdb-multiarch %s -ex 'target remote :%u')\n",
               listener.port(), machine.image().path().c_str(), listener.port());
  std::fflush(stderr);
  auto stream = listener.accept_one(-1, error);
  if (!stream) return false;
  std::fprintf(stderr, "vboard: debugger attached\n");
  MachineTarget target(machine, run_end);
  SessionOptions o;
  o.log = [](const std::string& line) { std::fprintf(stderr, "vboard: gdb: %s\n", line.c_str()); };
  Session session(*stream, target, o);
  SessionEnd end = session.serve();
  std::fprintf(stderr, "vboard: debugger session ended (%s) at %s\n", to_string(end),
               format_ns(machine.now()).c_str());
  if (end == SessionEnd::detached || end == SessionEnd::disconnected) machine.run_until(run_end);
  return true;
}

}  // namespace vboard::gdb
