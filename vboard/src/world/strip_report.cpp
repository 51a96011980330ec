// The strip's part of the reports: the JSON member "strip" and the text
// section "Strip:".
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string_view>

#include <nlohmann/json.hpp>

#include "vboard/machine.h"
#include "vboard/report.h"
#include "vboard/strip.h"

namespace vboard {

void write_strip_json(std::ostream& o, const StripReport& s) {
  using Json = nlohmann::ordered_json;
  const auto dump = [](const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); };
  const auto colors = [](const std::vector<std::array<uint8_t, 3>>& c) {
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

void run_text(std::ostream& o, const StripRun& r, bool color) {
  char line[256];
  std::snprintf(line, sizeof line,
                "  frames %llu..%llu (%s .. %s), %zu LEDs: ", static_cast<unsigned long long>(r.first_frame),
                static_cast<unsigned long long>(r.first_frame + r.frames - 1), format_ns(r.first_t).c_str(),
                format_ns(r.last_t).c_str(), r.colors.size());
  o << line;
  const auto& c = r.colors;
  if (color) {
    for (const auto& px : c)
      o << "\x1b[48;2;" << int{px[0]} << ";" << int{px[1]} << ";" << int{px[2]} << "m \x1b[0m";
  } else {
    bool same = std::all_of(c.begin(), c.end(), [&](const auto& px) { return px == c.front(); });
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

}  // namespace

void strip_text(std::ostream& o, const StripReport& s, bool color) {
  char line[256];
  o << "\nStrip: " << s.frames_total << " frames";
  if (s.frames_total > s.frames.size()) o << " (the JSON lists the first " << s.frames.size() << ")";
  o << "\n";
  // Frames in runs of equal content, exact while the runs fit their list; the
  // run showing at the end is always known.
  for (const StripRun& r : s.runs) run_text(o, r, color);
  if (s.runs_total > s.runs.size() && s.current) {
    const uint64_t from = s.runs.empty() ? 1 : s.runs.back().first_frame + s.runs.back().frames;
    if (from < s.current->first_frame)
      o << "  ... " << s.runs_total - s.runs.size() - 1 << " more runs of equal frames not kept (frames "
        << from << ".." << s.current->first_frame - 1 << "; " << s.runs.size() << " of " << s.runs_total
        << " runs kept); the last:\n";
    run_text(o, *s.current, color);
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
  if (s.violation_kinds.empty()) {
    o << "  no timing violations\n";
  } else {
    o << "  timing violations: " << s.violations_total << " (" << s.violations.size()
      << " listed in the JSON)\n";
    for (const StripViolationKind& k : s.violation_kinds) {
      std::string example;
      for (const auto& sv : s.violations)
        if (sv.what.rfind(k.kind + " ", 0) == 0) {
          example = sv.what;
          break;
        }
      o << "    " << k.total << " x " << example
        << (k.datasheet ? " (datasheet window)" : " (beyond what parts accept)") << ", from "
        << format_ns(k.first) << " to " << format_ns(k.last) << "\n";
    }
  }
}

}  // namespace vboard
