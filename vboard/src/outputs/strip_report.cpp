// A strip's part of the reports: its JSON member and the text section "Strip:".
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "outputs/strip_outputs.h"
#include "vboard/run_result.h"
#include "world/strip.h"
#include "world/values.h"

namespace vboard {

void write_strip_json(std::ostream& o, const StripReport& s) {
  using Json = nlohmann::ordered_json;
  const auto dump = [](const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); };
  const auto colors = [](const LedColors& c) {
    Json out = Json::array();
    for (const auto& px : c) out.push_back({px[0], px[1], px[2]});
    return out;
  };
  // The frame list is the bulk of a long run's document: one frame at a time.
  o << "{\"frames\":[";
  for (size_t i = 0; i < s.frames.size(); ++i) {
    const StripFrame& f = s.frames[i];
    o << (i ? "," : "") << dump({{"t_ns", f.t}, {"bits", f.bits}, {"colors", colors(f.colors)}});
  }
  o << "]";
  Json strip;
  strip["frames_total"] = s.frames_total;
  const auto run = [&](const StripRun& r) {
    return Json{{"first_frame", r.first_frame}, {"frames", r.frames}, {"first_ns", r.first_t},
                {"last_ns", r.last_t},          {"bits", r.bits},     {"colors", colors(r.colors)}};
  };
  Json& runs = strip["runs"] = Json::array();
  for (const StripRun& r : s.runs) runs.push_back(run(r));
  strip["runs_total"] = s.runs_total;
  strip["current"] = s.current ? run(*s.current) : Json(nullptr);
  Json& violations = strip["violations"] = Json::array();
  for (size_t i = 0; i < std::min<size_t>(s.violations.size(), 10000); ++i) {
    const StripViolation& v = s.violations[i];
    violations.push_back({{"t_ns", v.t}, {"what", v.what}, {"datasheet", v.datasheet}});
  }
  strip["violation_count"] = s.violations_total;
  Json& kinds = strip["violation_kinds"] = Json::array();
  for (const StripViolationKind& k : s.violation_kinds)
    kinds.push_back({{"kind", k.kind},
                     {"total", k.total},
                     {"listed", k.listed},
                     {"datasheet", k.datasheet},
                     {"first_ns", k.first},
                     {"last_ns", k.last}});
  const std::pair<const char*, ns_t> timing[] = {
      {"t0h_min_ns", s.t0h_min}, {"t0h_max_ns", s.t0h_max}, {"t1h_min_ns", s.t1h_min},
      {"t1h_max_ns", s.t1h_max}, {"t0l_min_ns", s.t0l_min}, {"t0l_max_ns", s.t0l_max},
      {"t1l_min_ns", s.t1l_min}, {"t1l_max_ns", s.t1l_max}, {"latch_min_ns", s.latch_min}};
  for (const auto& [key, value] : timing) strip[key] = value;
  // The rest, as members of the same object.
  const std::string rest = dump(strip);
  o << "," << std::string_view(rest).substr(1);
}

namespace {

// The LEDs a run of frames wrote, against the strip's length `leds`: a shorter
// frame leaves the strip's last LEDs as they were; the bits past the strip's
// last LED are passed on down the line (no LED of this strip shows them).
std::string leds_written(const StripRun& r, unsigned leds) {
  const size_t n = r.colors.size();
  std::string out = std::to_string(n) + " LEDs";
  if (leds > n)
    out = std::to_string(n) + " of the strip's " + std::to_string(leds) + " LEDs (" + std::to_string(n) +
          (n + 1 == leds ? "" : "-" + std::to_string(leds - 1)) + " keep their colours)";
  else if (leds && r.bits > leds * 24)
    out += " (the strip's; " + std::to_string(r.bits - leds * 24) + " bits more passed on down the line)";
  return out;
}

void run_text(std::ostream& o, const StripRun& r, bool color, unsigned leds) {
  char line[256];
  std::snprintf(line, sizeof line,
                "  frames %llu..%llu (%s .. %s), %s: ", static_cast<unsigned long long>(r.first_frame),
                static_cast<unsigned long long>(r.first_frame + r.frames - 1), format_ns(r.first_t).c_str(),
                format_ns(r.last_t).c_str(), leds_written(r, leds).c_str());
  o << line;
  const auto& c = r.colors;
  if (color) {
    for (const auto& px : c)
      o << "\x1b[48;2;" << int{px[0]} << ";" << int{px[1]} << ";" << int{px[2]} << "m \x1b[0m";
  } else {
    bool same = std::all_of(c.begin(), c.end(), [&](const auto& px) { return px == c[0]; });
    if (!c.empty() && same) {
      o << "all (" << int{c[0][0]} << "," << int{c[0][1]} << "," << int{c[0][2]} << ")";
    } else {
      // Runs of equal LEDs: "(0,0,0) x25, (15,0,0), (255,0,0) x34".
      for (size_t k = 0; k < c.size();) {
        size_t e = k;
        while (e + 1 < c.size() && c[e + 1] == c[k]) ++e;
        o << (k ? ", " : "") << "(" << int{c[k][0]} << "," << int{c[k][1]} << "," << int{c[k][2]} << ")";
        if (e > k) o << " x" << e - k + 1;
        k = e + 1;
      }
    }
  }
  o << "\n";
}

// The first listed violation of a kind, as the decoder worded it.
std::string first_listed(const StripReport& s, const std::string& kind) {
  for (const auto& v : s.violations)
    if (v.what.rfind(kind + " ", 0) == 0) return v.what;
  return kind;
}

// A datasheet kind in words: which phase, what was measured against the
// datasheet's window and by how much it leaves it, and the window real parts
// accept.
std::string datasheet_words(const StripReport& s, const StripViolationKind& k) {
  struct Phase {
    const char* kind;
    const char* what;
    ns_t lo, hi, min, max;
    const char* real;
  };
  char real_high0[96], real_high1[96], real_low[96];
  std::snprintf(real_high0, sizeof real_high0, "a WS2815 reads a high phase below %llu ns as a 0",
                static_cast<unsigned long long>(s.timing.zero_below));
  std::snprintf(real_high1, sizeof real_high1, "a WS2815 reads a high phase above %llu ns as a 1",
                static_cast<unsigned long long>(s.timing.one_above));
  std::snprintf(real_low, sizeof real_low, "a WS2815 accepts a low phase inside a frame up to %llu ns",
                static_cast<unsigned long long>(s.timing.longest_low));
  const Phase phases[] = {
      {"T0H", "high time of a 0 bit", s.timing.t0h.min, s.timing.t0h.max, s.t0h_min, s.t0h_max, real_high0},
      {"T1H", "high time of a 1 bit", s.timing.t1h.min, s.timing.t1h.max, s.t1h_min, s.t1h_max, real_high1},
      {"T0L", "low time after a 0 bit", s.timing.t0l.min, s.timing.t0l.max, s.t0l_min, s.t0l_max, real_low},
      {"T1L", "low time after a 1 bit", s.timing.t1l.min, s.timing.t1l.max, s.t1l_min, s.t1l_max, real_low}};
  for (const Phase& p : phases) {
    if (k.kind != p.kind) continue;
    char b[320];
    const auto u = [](ns_t v) { return static_cast<unsigned long long>(v); };
    std::string measured =
        std::to_string(p.min) + (p.max != p.min ? ".." + std::to_string(p.max) : "") + " ns";
    std::string off;
    if (p.max > p.hi) off = std::to_string(p.max - p.hi) + " ns above";
    if (p.min < p.lo) off += (off.empty() ? "" : " and ") + std::to_string(p.lo - p.min) + " ns below";
    if (off.empty()) off = "outside";
    std::snprintf(b, sizeof b,
                  "%s (%s) measured %s, %s the datasheet window %llu-%llu ns; %s, so it reads these", p.kind,
                  p.what, measured.c_str(), off.c_str(), u(p.lo), u(p.hi), p.real);
    return b;
  }
  return first_listed(s, k.kind) + " (outside the datasheet window)";
}

}  // namespace

void strip_text(std::ostream& o, const StripReport& s, bool color) {
  char line[256];
  o << "\nStrip" << own_name(s) << ": " << s.frames_total << " frames";
  if (s.frames_total > s.frames.size()) o << " (the JSON lists the first " << s.frames.size() << ")";
  o << "\n";
  // Frames in runs of equal content, exact while the runs fit their list; the
  // run showing at the end is always known.
  for (const StripRun& r : s.runs) run_text(o, r, color, s.leds);
  if (s.runs_total > s.runs.size() && s.current) {
    const uint64_t from = s.runs.empty() ? 1 : s.runs.back().first_frame + s.runs.back().frames;
    if (from < s.current->first_frame)
      o << "  ... " << s.runs_total - s.runs.size() - 1 << " more runs of equal frames not kept (frames "
        << from << ".." << s.current->first_frame - 1 << "; " << s.runs.size() << " of " << s.runs_total
        << " runs kept); the last:\n";
    run_text(o, *s.current, color, s.leds);
  }
  if (s.frames_total) {
    std::snprintf(line, sizeof line,
                  "  bit timing: 0 bit high %" PRIu64 "..%" PRIu64 " ns low %" PRIu64 "..%" PRIu64
                  " ns; 1 bit high %" PRIu64 "..%" PRIu64 " ns low %" PRIu64 "..%" PRIu64
                  " ns; shortest latch gap %s\n",
                  s.t0h_min, s.t0h_max, s.t0l_min, s.t0l_max, s.t1h_min, s.t1h_max, s.t1l_min, s.t1l_max,
                  format_ns(s.latch_min).c_str());
    o << line;
  }
  // Timing that real parts misread is a violation; timing outside the
  // datasheet's windows that real parts still read is a finding of its own,
  // told once per kind with the measured value against both windows.
  uint64_t real = 0;
  for (const StripViolationKind& k : s.violation_kinds) real += k.datasheet ? 0 : k.total;
  if (real == 0) {
    o << "  no timing violations (none that a WS2815 would misread)\n";
  } else {
    o << "  timing violations (a WS2815 would misread these): " << real << "\n";
    for (const StripViolationKind& k : s.violation_kinds)
      if (!k.datasheet)
        o << "    " << k.kind << ": " << k.total << " times, e.g. " << first_listed(s, k.kind) << ", from "
          << format_ns(k.first) << " to " << format_ns(k.last) << "\n";
  }
  for (const StripViolationKind& k : s.violation_kinds)
    if (k.datasheet)
      o << "  datasheet-window finding, " << datasheet_words(s, k) << ": " << k.total << " times from "
        << format_ns(k.first) << " to " << format_ns(k.last) << "\n";
}

// Called only with records of its own kind (part_outputs looks them up by kind).
const StripReport& strip_of(const PartRecord& r) { return dynamic_cast<const StripReport&>(r); }

std::string own_name(const StripReport& s) {
  return s.id.name.empty() || s.id.name == "strip" ? std::string() : " " + values::printable(s.id.name);
}

void StripOutputs::json(std::ostream& o, const PartRecord& r) const { write_strip_json(o, strip_of(r)); }

std::vector<ListCount> StripOutputs::lists(const PartRecord& r) const {
  const StripReport& s = strip_of(r);
  return {{"frames", s.frames.size(), s.frames_total},
          {"runs", s.runs.size(), s.runs_total},
          {"violations", s.violations.size(), s.violations_total}};
}

void StripOutputs::text(std::ostream& o, const PartRecord& r, bool color) const {
  strip_text(o, strip_of(r), color);
}

}  // namespace vboard

namespace vboard {

std::string strip_kind_words(const StripViolationKind& k) {
  // The text report's lines, with the last occurrence as the example (the
  // first is in the report's list, which a live view does not keep).
  if (k.datasheet)
    return "datasheet-window finding, " + k.last_what + ": " + std::to_string(k.total) + " times from " +
           format_ns(k.first) + " to " + format_ns(k.last);
  return "timing violation (a WS2815 would misread it), " + k.kind + ": " + std::to_string(k.total) +
         " times, e.g. " + k.last_what + ", from " + format_ns(k.first) + " to " + format_ns(k.last);
}

}  // namespace vboard
