// The strip's part of the reports: the JSON member "strip" and the text
// section "Strip:".
#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "vboard/machine.h"
#include "vboard/report.h"
#include "vboard/strip.h"

namespace vboard {

nlohmann::ordered_json strip_json(const StripReport& s) {
  using Json = nlohmann::ordered_json;
  Json strip;
  Json& frames = strip["frames"] = Json::array();
  for (const StripFrame& f : s.frames) {
    Json colors = Json::array();
    for (const auto& c : f.colors) colors.push_back({c[0], c[1], c[2]});
    frames.push_back({{"t_ns", f.t}, {"bits", f.bits}, {"colors", std::move(colors)}});
  }
  strip["frames_total"] = s.frames_total;
  Json& violations = strip["violations"] = Json::array();
  for (size_t i = 0; i < std::min<size_t>(s.violations.size(), 10000); ++i) {
    const StripViolation& v = s.violations[i];
    violations.push_back({{"t_ns", v.t}, {"what", v.what}, {"datasheet", v.datasheet}});
  }
  strip["violation_count"] = s.violations_total;
  Json& kinds = strip["violation_kinds"] = Json::array();
  for (const StripViolationKind& k : s.violation_kinds)
    kinds.push_back({{"kind", k.kind}, {"total", k.total}, {"listed", k.listed}, {"datasheet", k.datasheet}});
  const std::pair<const char*, ns_t> timing[] = {
      {"t0h_min_ns", s.t0h_min}, {"t0h_max_ns", s.t0h_max}, {"t1h_min_ns", s.t1h_min},
      {"t1h_max_ns", s.t1h_max}, {"t0l_min_ns", s.t0l_min}, {"t0l_max_ns", s.t0l_max},
      {"t1l_min_ns", s.t1l_min}, {"t1l_max_ns", s.t1l_max}, {"latch_min_ns", s.latch_min}};
  for (const auto& [key, value] : timing) strip[key] = value;
  return strip;
}

void strip_text(std::ostream& o, const StripReport& s, bool color) {
  char line[256];
  o << "\nStrip: " << std::max<uint64_t>(s.frames_total, s.frames.size()) << " frames";
  if (s.frames_total > s.frames.size()) o << " (the first " << s.frames.size() << " kept)";
  o << "\n";
  for (size_t i = 0; i < s.frames.size();) {
    size_t j = i;
    while (j + 1 < s.frames.size() && s.frames[j + 1].colors == s.frames[i].colors) ++j;
    std::snprintf(line, sizeof line, "  frames %zu..%zu (%s .. %s), %zu LEDs: ", i + 1, j + 1,
                  format_ns(s.frames[i].t).c_str(), format_ns(s.frames[j].t).c_str(),
                  s.frames[i].colors.size());
    o << line;
    const auto& c = s.frames[i].colors;
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
    i = j + 1;
  }
  if (!s.frames.empty()) {
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
        << (k.datasheet ? " (datasheet window)" : " (beyond what parts accept)") << "\n";
    }
  }
}

}  // namespace vboard
