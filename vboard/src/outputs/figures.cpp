// Figures measured on runs: virtual time per wall second, means of counted
// instructions, flash bytes, and the figures table the README carries. What is
// measured on which image is the boards' choice (the command line's --figures).
#include "outputs/figures.h"

#include <algorithm>
#include <cstdio>
#include <numeric>

#include "chip/chip.h"

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

std::string grouped(uint64_t v) {
  const std::string digits = std::to_string(v);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string one_decimal(double v) {
  const auto tenths = static_cast<uint64_t>(v * 10.0 + 0.5);
  return grouped(tenths / 10) + "." + std::to_string(tenths % 10);
}

std::string mean_count(double v) {
  const auto whole = static_cast<uint64_t>(v + 0.5);
  return static_cast<double>(whole) == v ? grouped(whole) : one_decimal(v);
}

std::string speed(const RunResult& r, int decimals) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, static_cast<double>(r.virtual_ns) / 1e9 / r.wall_s);
  return buf;
}

uint64_t flash_bytes(const Image& img) {
  const MemoryRegion& flash = chip::facts().flash;
  uint64_t bytes = 0;
  for (const Segment& s : img.segments())
    if (s.paddr >= flash.base && s.paddr < flash.end())
      bytes = std::max(bytes, static_cast<uint64_t>(s.paddr - flash.base) + s.bytes.size());
  return bytes;
}

void print_figures_table(const FiguresTable& table) {
  std::printf("\nREADME figures table:\n\n| Figure | Value |\n|---|---|\n");
  for (const auto& [figure, value] : table) std::printf("| %s | %s |\n", figure.c_str(), value.c_str());
}

}  // namespace vboard
