// Printing of figures measured on runs, shared by the boards' figure commands.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "vboard/image.h"
#include "vboard/machine.h"

namespace vboard {

double mean(const std::vector<uint64_t>& v);
// "LABEL: 1.000000 s virtual in 0.085 s wall: 11.8 virtual s per wall s (... skipped idle)"
void print_speed(const char* label, const RunResult& r);
// The same for a run with every instruction executed, with the instruction count.
void print_speed_without_idle_skip(const char* label, const RunResult& r);

// The README's figures table: rows of figure and value, counted figures
// (bytes, instructions) exact, figures per wall second starting with "about".
using FiguresTable = std::vector<std::pair<std::string, std::string>>;
std::string grouped(uint64_t v);                      // 12345 -> "12,345"
std::string one_decimal(double v);                    // 10496.14 -> "10,496.1"
std::string mean_count(double v);                     // whole numbers without a decimal, others with one
std::string speed(const RunResult& r, int decimals);  // virtual seconds per wall second
// Bytes of flash the image occupies: what objcopy -O binary writes, from the
// start of flash to the end of the last loadable byte placed there.
uint64_t flash_bytes(const Image& img);
// "README figures table:" and the table in Markdown, ending the figures output.
void print_figures_table(const FiguresTable& table);

}  // namespace vboard
