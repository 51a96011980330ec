// The expect-strip step's side of a strip (see strip_steps.h).
#include "cli/strip_steps.h"

#include <algorithm>

namespace vboard::scenario {

std::string describe_frame(const StripFrame& f, unsigned leds) {
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
  const size_t n = f.colors.size();
  if (leds > n)
    out += "; " + (n + 1 == leds ? std::to_string(n) : std::to_string(n) + "-" + std::to_string(leds - 1)) +
           " not written by this frame (the strip has " + std::to_string(leds) +
           " LEDs: they keep their colours)";
  return "frame latched at " + format_ns(f.t) + " (" + std::to_string(n) + " LEDs): " + out;
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

bool frame_matches(const StripFrame& f, const std::vector<StripCheck>& checks, unsigned leds) {
  if (f.colors.empty()) return false;
  for (const auto& c : checks) {
    if (c.leds.empty()) {
      if (leds > f.colors.size()) return false;
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

std::optional<std::pair<unsigned, std::string>> past_the_strip(const Scenario& s, unsigned leds) {
  if (leds == 0) return std::nullopt;
  for (const Step& step : s.steps) {
    const auto* e = std::get_if<ExpectStrip>(&step.what);
    if (!e) continue;
    for (const auto& c : e->checks)
      for (const auto& [lo, hi] : c.leds)
        if (hi >= leds)
          return std::pair{step.line, "leds: LED " + std::to_string(std::max(lo, leds)) +
                                          " is past the end of the board's strip of " + std::to_string(leds) +
                                          " LEDs (0-" + std::to_string(leds - 1) + ")"};
  }
  return std::nullopt;
}

StripFrame last_frame(const StripRun& r) { return {r.last_t, r.colors, r.bits}; }

}  // namespace vboard::scenario
