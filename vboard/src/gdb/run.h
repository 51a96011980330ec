// `vboard IMAGE --gdb PORT`: hold the image at reset until one GDB client
// attaches on 127.0.0.1:PORT, serve it, then let the run finish as the client
// left it: killed, it stops where it was; detached, it runs on to its end
// (--for), or ends there when it was given none.
#pragma once

#include <cstdint>
#include <string>

#include "machine/history.h"
#include "vboard/machine.h"

namespace vboard::gdb {

struct GdbRun {
  uint16_t port = 0;
  ns_t end = kNever;     // --for; kNever: the run goes on until the debugger leaves
  std::string no_reset;  // why `monitor reset` is not available ("" when it is)
  History* history = nullptr;          // the run's history so far (nullptr: it starts now)
  std::string held = "held at reset";  // where the image waits for the debugger
};

// False, with the reason in *error, when the port cannot be opened.
bool serve_gdb(Machine& machine, const GdbRun& run, std::string* error);

}  // namespace vboard::gdb
