// The expect-strip step's side of a strip (see strip_steps.h).
#include "cli/strip_steps.h"

#include <algorithm>

namespace vboard::scenario {

std::string describe_frame(const StripFrame& f) {
  if (f.colors.empty()) return "an empty frame at " + format_ns(f.t);
  std::string out;
  size_t i = 0;
  while (i < f.colors.size()) {
    size_t j = i;
    while (j + 1 < f.colors.size() && f.colors[j + 1] == f.colors[i]) ++j;
    if (!out.empty()) out += ", ";
    out += (i == j ? std::to_string(i) : std::to_string(i) + "-" + std::to_string(j)) + " " +
           color_name(f.colors[i]);
    i = j + 1;
  }
  return "frame latched at " + format_ns(f.t) + " (" + std::to_string(f.colors.size()) + " LEDs): " + out;
}

std::string describe_checks(const std::vector<StripCheck>& checks) {
  std::string out;
  for (const auto& c : checks) {
    if (!out.empty()) out += "; ";
    if (c.leds.empty()) {
      out += "every LED";
    } else {
      out += "LEDs ";
      for (size_t k = 0; k < c.leds.size(); ++k) {
        const auto& [lo, hi] = c.leds[k];
        out +=
            (k ? "," : "") + (lo == hi ? std::to_string(lo) : std::to_string(lo) + "-" + std::to_string(hi));
      }
    }
    out += " " + color_name(c.color);
  }
  return out;
}

bool frame_matches(const StripFrame& f, const std::vector<StripCheck>& checks) {
  if (f.colors.empty()) return false;
  for (const auto& c : checks) {
    if (c.leds.empty()) {
      if (!std::all_of(f.colors.begin(), f.colors.end(), [&](const Rgb& rgb) { return rgb == c.color; }))
        return false;
      continue;
    }
    for (const auto& [lo, hi] : c.leds) {
      if (hi >= f.colors.size()) return false;
      for (unsigned i = lo; i <= hi; ++i)
        if (f.colors[i] != c.color) return false;
    }
  }
  return true;
}

StripFrame last_frame(const StripRun& r) { return {r.last_t, r.colors, r.bits}; }

}  // namespace vboard::scenario
