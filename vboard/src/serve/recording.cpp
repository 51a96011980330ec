// The live session's record as scenario steps (recording.h).
#include "serve/recording.h"

#include <algorithm>
#include <cstdio>

#include "world/values.h"

namespace vboard::serve {

std::string scenario_time(ns_t t) {
  if (t == 0) return "0";
  if (t % kMs == 0) return std::to_string(t / kMs) + "ms";
  if (t % kUs == 0) return std::to_string(t / kUs) + "us";
  return std::to_string(t) + "ns";
}

std::string delay_line(ns_t d) { return "  - delay: " + scenario_time(d) + "\n"; }

namespace {

const std::pair<const char*, Rgb> kNamed[] = {
    {"dark", {0, 0, 0}},     {"red", {255, 0, 0}},       {"green", {0, 255, 0}},
    {"blue", {0, 0, 255}},   {"yellow", {255, 255, 0}},  {"magenta", {255, 0, 255}},
    {"cyan", {0, 255, 255}}, {"white", {255, 255, 255}},
};

std::string color_text(const Rgb& c) {
  for (const auto& [name, rgb] : kNamed)
    if (rgb == c) return name;
  return "[" + std::to_string(c[0]) + ", " + std::to_string(c[1]) + ", " + std::to_string(c[2]) + "]";
}

std::string level_text(int level) { return level < 0 ? "z" : std::to_string(level); }

// One colour for the whole strip, or the runs of one colour as segments: also
// when the frame wrote fewer LEDs than the strip has (the rest are not its to expect).
std::string strip_lines(const std::vector<Rgb>& leds, size_t strip_length) {
  if (leds.empty()) return "";
  if (leds.size() >= strip_length &&
      std::all_of(leds.begin(), leds.end(), [&](const Rgb& c) { return c == leds[0]; }))
    return "  - expect-strip: {color: " + color_text(leds[0]) + "}\n";
  std::string o = "  - expect-strip:\n      segments:\n";
  for (size_t i = 0; i < leds.size();) {
    size_t j = i;
    while (j + 1 < leds.size() && leds[j + 1] == leds[i]) ++j;
    o += "        - {leds: " + (i == j ? std::to_string(i) : std::to_string(i) + "-" + std::to_string(j)) +
         ", color: " + color_text(leds[i]) + "}\n";
    i = j + 1;
  }
  return o;
}

}  // namespace

std::string step_lines(const Applied& a) {
  const Input& in = a.input;
  switch (in.kind) {
    case Input::Kind::set: {
      std::string o = "  - set: {pin: " + in.pin + ", level: " + level_text(in.level);
      if (in.bounces) o += ", bounce: " + std::to_string(in.bounces) + "x" + scenario_time(in.bounce_ns);
      return o + "}\n";
    }
    case Input::Kind::pulse:
      return "  - pulse: {pin: " + in.pin + ", width: " + scenario_time(in.width) +
             ", period: " + scenario_time(in.period) + "}\n";
    case Input::Kind::pulse_stop:
      return "  - pulse: {pin: " + in.pin + ", stop: true}\n";
    case Input::Kind::mark_pin:
      return "  - expect-pin: {pin: " + in.pin + ", level: " + std::to_string(a.seen_level) + "}\n";
    case Input::Kind::mark_strip:
      return strip_lines(a.seen_leds, a.strip_length);
  }
  return "";
}

void drive(Driven& driven, const Input& in) {
  switch (in.kind) {
    case Input::Kind::set:
      if (in.level < 0)
        driven.erase(in.pin);
      else
        driven[in.pin] = Drive{in.level, 0, 0};
      break;
    case Input::Kind::pulse:
      driven[in.pin] = Drive{std::nullopt, in.width, in.period};
      break;
    case Input::Kind::pulse_stop:
      // A train stopped ends on its falling edge and holds the line low there
      // (as Board::stop_sources leaves it); a set level is no train: it stays.
      if (const auto it = driven.find(in.pin); it != driven.end() && it->second.period_ns)
        it->second = Drive{0, 0, 0};
      break;
    case Input::Kind::mark_pin:
    case Input::Kind::mark_strip:
      break;
  }
}

Recording::Recording(size_t header_bytes)
    : header_(header_bytes),
      budget_(limits::kMaxScenarioBytes - std::min(header_bytes + kRoom, limits::kMaxScenarioBytes)) {}

bool Recording::add(ns_t t, const std::string& lines) {
  if (full_at_ || t > limits::kMaxTime) return false;
  const std::string delay = t > last_ ? delay_line(t - last_) : "";
  if (steps_.size() + delay.size() + lines.size() > budget_) {
    full_at_ = t;
    steps_.shrink_to_fit();
    return false;
  }
  steps_ += delay;
  steps_ += lines;
  last_ = std::max(last_, t);
  ++inputs_;
  return true;
}

ns_t Recording::reach(ns_t now) const { return std::min({now, limits::kMaxTime, full_at_.value_or(kNever)}); }

bool Recording::full(ns_t now) const { return full_at_ || now > limits::kMaxTime; }

std::string Recording::full_why(ns_t now) const {
  if (full_at_) return "the " + std::to_string(limits::kMaxScenarioBytes) + " bytes a scenario file may hold";
  if (now > limits::kMaxTime) return "the " + values::exact_ns(limits::kMaxTime) + " a scenario may last";
  return "";
}

RecordingState Recording::state(ns_t now) const {
  RecordingState s;
  const ns_t to = reach(now);
  s.inputs = inputs_;
  s.bytes = header_ + steps_.size() + (to > last_ ? delay_line(to - last_).size() : 0);
  s.limit = limits::kMaxScenarioBytes;
  s.seconds = static_cast<double>(to) / 1e9;
  s.limit_seconds = static_cast<double>(limits::kMaxTime) / 1e9;
  s.full = full(now);
  s.warn = s.full || s.bytes * 5 >= s.limit * 4 || to * 5 >= limits::kMaxTime * 4;
  if (s.full) {
    s.note = "recording stopped at " + format_ns(to) + " (" + full_why(now) +
             "): a save reaches up to there; later inputs reach the board only";
  } else if (s.warn) {
    const double part =
        std::max(static_cast<double>(s.bytes) / static_cast<double>(s.limit), s.seconds / s.limit_seconds);
    char pct[8];
    std::snprintf(pct, sizeof pct, "%.0f", part * 100);
    s.note = std::string("recording ") + pct + " % full (" + std::to_string(s.bytes) + " of " +
             std::to_string(s.limit) + " bytes, " + format_ns(to) + " of " +
             values::exact_ns(limits::kMaxTime) + "): it stops at the limit, a save then reaches up to there";
  }
  return s;
}

}  // namespace vboard::serve
