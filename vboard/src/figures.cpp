// Figures measured on runs: virtual time per wall second, means of counted
// instructions. What is measured on which image is the board's choice
// (world/lamp_figures.cpp).
#include "figures.h"

#include <cstdio>
#include <numeric>

namespace vboard {

double mean(const std::vector<uint64_t>& v) {
  if (v.empty()) return 0;
  return static_cast<double>(std::accumulate(v.begin(), v.end(), uint64_t{0})) /
         static_cast<double>(v.size());
}

void print_speed(const char* label, const RunResult& r) {
  std::printf("%s: %s virtual in %.3f s wall: %.1f virtual s per wall s (%s skipped idle)%s\n", label,
              format_ns(r.virtual_ns).c_str(), r.wall_s, static_cast<double>(r.virtual_ns) / 1e9 / r.wall_s,
              format_ns(r.idle_ns).c_str(), r.halt ? (" HALTED in " + r.halt->symbol).c_str() : "");
}

void print_speed_without_idle_skip(const char* label, const RunResult& r) {
  std::printf(
      "%s without idle skipping: %s virtual in %.3f s wall: %.2f virtual s per wall s, %llu instructions\n",
      label, format_ns(r.virtual_ns).c_str(), r.wall_s, static_cast<double>(r.virtual_ns) / 1e9 / r.wall_s,
      static_cast<unsigned long long>(r.instructions));
}

}  // namespace vboard
