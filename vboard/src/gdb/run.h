// `vboard IMAGE --gdb PORT`: hold the image at reset until one GDB client
// attaches on 127.0.0.1:PORT, serve it, then let the run finish as the client
// left it (detached: to the end of the run; killed: stopped where it was).
#pragma once

#include <cstdint>
#include <string>

#include "vboard/machine.h"

namespace vboard::gdb {

// False, with the reason in *error, when the port cannot be opened.
bool serve_gdb(Machine& machine, uint16_t port, ns_t run_end, std::string* error);

}  // namespace vboard::gdb
