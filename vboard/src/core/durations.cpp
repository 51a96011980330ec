// Durations as the reports and the core's messages write them.
#include <cstdio>
#include <string>

#include "vboard/run_result.h"

namespace vboard {

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
