// A strip in the picture: its frames as one row of cells per LED over time,
// and its timing findings as two lanes (datasheet windows, what real parts misread).
#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "outputs/strip_outputs.h"

namespace vboard {

namespace {

constexpr double kLedRow = 4;

std::string rgb(const std::array<uint8_t, 3>& c) {
  char b[8];
  std::snprintf(b, sizeof b, "#%02x%02x%02x", c[0], c[1], c[2]);
  return b;
}

// The rows' label: the role and pin, or the pin and what it carries.
std::string rows_label(const Canvas& c, const PartRecord& r) {
  const std::string role = c.role_of(r.id.pin);
  return role.empty() ? r.id.pin + " strip" : role + " " + r.id.pin;
}

std::string frames_label(const StripReport& s) { return std::to_string(s.frames_total) + " frames"; }

}  // namespace

bool StripOutputs::has_rows(const PartRecord& r) const { return strip_of(r).frames_total > 0; }

std::vector<std::string> StripOutputs::row_labels(const Canvas& c, const PartRecord& r) const {
  return {rows_label(c, r), frames_label(strip_of(r))};
}

// One band per LED position; each column shows the last frame latched by its
// end, from the runs of equal frames (exact while they fit their list; after
// that a hatched span up to the run showing at the end).
double StripOutputs::rows(Canvas& cv, const PartRecord& r, double top) const {
  const StripReport& s = strip_of(r);
  struct RunSpan {
    ns_t from;
    const StripRun* run;  // nullptr: not kept
  };
  std::vector<RunSpan> segs;
  bool cut = false;
  ns_t cut_from = 0, cut_to = 0;
  for (const StripRun& run : s.runs) segs.push_back({run.first_t, &run});
  if (s.current && s.runs_total > s.runs.size()) {
    cut = true;
    cut_from = segs.empty() ? 0 : segs.back().run->last_t + 1;
    cut_to = s.current->first_t;
    segs.push_back({cut_from, nullptr});
    segs.push_back({cut_to, &*s.current});
  }
  size_t leds = 0;
  for (const auto& sg : segs)
    if (sg.run) leds = std::max(leds, sg.run->colors.size());
  const double band = kLedRow * static_cast<double>(std::max<size_t>(leds, 8));
  const double left = cv.left();
  const unsigned cols = cv.cols();
  std::ostream& body = cv.body();
  cv.label(top + 12, rows_label(cv, r));
  cv.label(top + 26, frames_label(s));
  if (leds) {
    cv.label(top + 9 + 14 * 2, "LED 0 at the top", "#777", 10);
    cv.label(top + band, "LED " + std::to_string(leds - 1), "#777", 10);
  }
  body << "<rect x=\"" << svg_num(left) << "\" y=\"" << svg_num(top) << "\" width=\"" << cols
       << "\" height=\"" << svg_num(band) << "\" fill=\"#c8c8c8\"/>\n";
  if (segs.empty()) {
    body << "<text x=\"" << svg_num(left + 4) << "\" y=\"" << svg_num(top + 14)
         << "\" fill=\"#999\">no frame latched</text>\n";
    return top + band + 10;
  }
  std::vector<long> shown(cols, -1);  // segment index per column
  size_t k = 0;
  for (unsigned c = 0; c < cols; ++c) {
    const ns_t e = cv.col_end(c);
    while (k < segs.size() && segs[k].from < e) ++k;
    shown[c] = static_cast<long>(k) - 1;
  }
  auto color_at = [&](unsigned c, size_t led) -> std::string {
    if (shown[c] < 0) return "";
    const StripRun* run = segs[static_cast<size_t>(shown[c])].run;
    if (!run) return "";
    return led < run->colors.size() ? rgb(run->colors[led]) : "#bbbbbb";
  };
  // Every cell (one LED over a span of equal colour) is outlined, so that a
  // white LED stands apart from the page and from its neighbours.
  for (size_t led = 0; led < leds; ++led) {
    const double y = top + kLedRow * static_cast<double>(led);
    unsigned c = 0;
    while (c < cols) {
      const std::string col = color_at(c, led);
      unsigned d = c;
      while (d + 1 < cols && color_at(d + 1, led) == col) ++d;
      if (!col.empty())
        body << "<rect x=\"" << svg_num(left + c) << "\" y=\"" << svg_num(y) << "\" width=\"" << (d + 1 - c)
             << "\" height=\"" << svg_num(kLedRow) << "\" fill=\"" << col
             << "\" stroke=\"#888\" stroke-width=\"0.5\"/>\n";
      c = d + 1;
    }
  }
  body << "<rect x=\"" << svg_num(left) << "\" y=\"" << svg_num(top) << "\" width=\"" << cols
       << "\" height=\"" << svg_num(band) << "\" fill=\"none\" stroke=\"#444\"/>\n";
  if (cut)
    cv.unkept(cv.x(cut_from), std::max(cv.x(cut_to), cv.x(cut_from) + 1), top, band,
              "frames from " + format_ns(cut_from) + " to " + format_ns(cut_to) + " not kept (" +
                  std::to_string(s.runs.size()) + " of " + std::to_string(s.runs_total) +
                  " runs of equal frames kept)");
  cv.legend(rows_label(cv, r) +
            ": one row per LED, LED 0 at the top, each column the last frame latched by its end, "
            "every LED outlined in grey; grey without outline before the first frame");
  return top + band + 10;
}

std::vector<std::string> StripOutputs::lane_labels() const {
  return {"datasheet findings", "timing violations"};
}

// The report lists the first findings of each kind and counts them all; the
// lanes mark the listed ones where they happened, the legend gives both.
std::vector<FindingLane> StripOutputs::lanes(const PartRecord& r) const {
  const StripReport& s = strip_of(r);
  const std::string prefix = own_name(s).empty() ? "" : own_name(s).substr(1) + " ";
  FindingLane sheet{prefix + "datasheet findings", "#84c", {}, {}, {}};
  FindingLane real{prefix + "timing violations", "#e80", {}, {}, {}};
  std::string sheet_kinds, real_kinds;
  for (const auto& v : s.violations) (v.datasheet ? sheet : real).items.push_back({v.t, v.what});
  for (const auto& k : s.violation_kinds) {
    ns_t last_listed = k.first;
    for (const auto& v : s.violations)
      if (v.datasheet == k.datasheet && v.what.rfind(k.kind + " ", 0) == 0)
        last_listed = std::max(last_listed, v.t);
    if (k.total > k.listed && k.listed > 0)
      (k.datasheet ? sheet : real).beyond.push_back({last_listed, k.last, k.total - k.listed});
    std::string& to = k.datasheet ? sheet_kinds : real_kinds;
    to += (to.empty() ? "" : "; ") + k.kind + " " + std::to_string(k.total) + " times from " +
          format_ns(k.first) + " to " + format_ns(k.last) +
          (k.listed < k.total ? ", the first " + std::to_string(k.listed) + " marked" : "");
  }
  sheet.legend =
      "strip bit timing outside the WS2815 datasheet windows that real parts still read (see the text "
      "report): " +
      (sheet_kinds.empty() ? std::to_string(sheet.items.size()) + " marked" : sheet_kinds);
  real.legend = "strip timing that real parts misread: " +
                (real_kinds.empty() ? std::to_string(real.items.size()) + " marked" : real_kinds);
  return {std::move(sheet), std::move(real)};
}

}  // namespace vboard
