// Durations as the command line and the reports write them.
#include <cstdio>
#include <string>

#include "vboard/cli.h"
#include "vboard/machine.h"

namespace vboard {

std::optional<ns_t> parse_duration(const std::string& text) {
  std::string error;
  return parse_time(text, &error);
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
