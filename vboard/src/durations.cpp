// Durations as the command line and the reports write them.
#include <cctype>
#include <cmath>
#include <cstdio>
#include <string>

#include "vboard/machine.h"

namespace vboard {

std::optional<ns_t> parse_duration(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (std::isdigit(static_cast<unsigned char>(text[i])) || text[i] == '.')) ++i;
  if (i == 0) return std::nullopt;
  double v = 0;
  try {
    size_t used = 0;
    v = std::stod(text.substr(0, i), &used);
    if (used != i) return std::nullopt;  // "1.2.3ms": not a number
  } catch (...) {
    return std::nullopt;
  }
  std::string unit = text.substr(i);
  while (!unit.empty() && unit.front() == ' ') unit.erase(0, 1);
  double mul = 1;
  if (unit.empty() || unit == "ns")
    mul = 1;
  else if (unit == "us")
    mul = 1e3;
  else if (unit == "ms")
    mul = 1e6;
  else if (unit == "s")
    mul = 1e9;
  else
    return std::nullopt;
  if (v * mul >= 1e18) return std::nullopt;  // beyond any run (and beyond 64-bit nanoseconds)
  return static_cast<ns_t>(std::llround(v * mul));
}

std::string format_ns(ns_t t) {
  char b[48];
  if (t == kNever) return "never";
  if (t >= kSec)
    std::snprintf(b, sizeof b, "%.6f s", static_cast<double>(t) / 1e9);
  else if (t >= kMs)
    std::snprintf(b, sizeof b, "%.6f ms", static_cast<double>(t) / 1e6);
  else if (t >= kUs)
    std::snprintf(b, sizeof b, "%.3f us", static_cast<double>(t) / 1e3);
  else
    std::snprintf(b, sizeof b, "%llu ns", static_cast<unsigned long long>(t));
  return b;
}

}  // namespace vboard
