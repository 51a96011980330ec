// Printing of figures measured on runs, shared by the boards' figure commands.
#pragma once

#include <cstdint>
#include <vector>

#include "vboard/machine.h"

namespace vboard {

double mean(const std::vector<uint64_t>& v);
// "LABEL: 1.000000 s virtual in 0.085 s wall: 11.8 virtual s per wall s (... skipped idle)"
void print_speed(const char* label, const RunResult& r);
// The same for a run with every instruction executed, with the instruction count.
void print_speed_without_idle_skip(const char* label, const RunResult& r);

}  // namespace vboard
