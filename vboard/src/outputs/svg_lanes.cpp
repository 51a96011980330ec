// The picture's lanes of findings under the rows (see svg_picture.h), the
// halt's line and the time axis.
#include "outputs/svg_picture.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace vboard::timeline {

namespace {

// Tick step from the 1-2-5 series giving at most about ten ticks.
ns_t tick_step(ns_t span) {
  ns_t step = 1;
  for (;;) {
    for (ns_t m : {1, 2, 5})
      if (span / (step * m) <= 10) return step * m;
    step *= 10;
  }
}

std::string tick_label(ns_t t, ns_t step) {
  const char* unit = "ns";
  double div = 1;
  if (step >= kSec) {
    unit = "s";
    div = 1e9;
  } else if (step >= kMs) {
    unit = "ms";
    div = 1e6;
  } else if (step >= kUs) {
    unit = "us";
    div = 1e3;
  }
  char b[32];
  std::snprintf(b, sizeof b, "%g %s", static_cast<double>(t) / div, unit);
  return b;
}

}  // namespace

// One lane of findings: a tick where each one happened; findings closer
// together than their count's label merge into one mark (a span when they
// cover several pixel columns) with the count beside it.
double Picture::finding_lane(double top, const std::string& name, const char* color,
                             std::vector<Finding> items, const std::string& legend,
                             const std::vector<Beyond>& beyond) {
  if (items.empty()) return top;
  std::stable_sort(items.begin(), items.end(), [](const Finding& a, const Finding& b) { return a.t < b.t; });
  label(top + 12, name, color, 10);
  body_ << "<line x1=\"" << num(left_) << "\" x2=\"" << num(left_ + cols_) << "\" y1=\"" << num(top + 14)
        << "\" y2=\"" << num(top + 14) << "\" stroke=\"#eee\"/>\n";
  struct Mark {
    double x0, x1;
    size_t first, count;
  };
  std::vector<Mark> marks;
  const auto label_end = [](const Mark& m) {
    return m.x1 + 1 + (m.count > 1 ? 3 + text_width(std::to_string(m.count), 10) : 0);
  };
  for (size_t i = 0; i < items.size(); ++i) {
    const double px = std::floor(x(items[i].t));
    if (!marks.empty() && px <= label_end(marks.back())) {
      marks.back().x1 = std::max(marks.back().x1, px);
      ++marks.back().count;
    } else {
      marks.push_back({px, px, i, 1});
    }
  }
  for (const Mark& m : marks) {
    const Finding& f = items[m.first];
    const Finding& l = items[m.first + m.count - 1];
    std::string title = f.text + " at " + format_ns(f.t);
    if (m.count > 1)
      title = std::to_string(m.count) + " from " + format_ns(f.t) + " to " + format_ns(l.t) +
              ", the first: " + title;
    body_ << "<rect x=\"" << num(m.x0) << "\" y=\"" << num(top + 4) << "\" width=\"" << num(m.x1 - m.x0 + 1.5)
          << "\" height=\"10\" fill=\"" << color << "\"><title>" << xml_escape(title) << "</title></rect>\n";
    if (m.count > 1)
      body_ << "<text x=\"" << num(m.x1 + 4) << "\" y=\"" << num(top + 13) << "\" font-size=\"10\" fill=\""
            << color << "\">" << m.count << "</text>\n";
  }
  // Kinds counted beyond the listed ones: a dashed line on to the last one.
  for (const Beyond& b : beyond) {
    const ns_t from = b.from, to = b.to;
    if (to <= from) continue;
    const std::string text = std::to_string(b.more) + " more, not listed, the last at " + format_ns(to);
    const double start = std::max(x(from) + 2, label_end(marks.back()) + 2);
    if (start >= x(to)) continue;
    body_ << "<line x1=\"" << num(start) << "\" x2=\"" << num(x(to)) << "\" y1=\"" << num(top + 9)
          << "\" y2=\"" << num(top + 9) << "\" stroke=\"" << color << "\" stroke-dasharray=\"3,3\"><title>"
          << xml_escape(text) << "</title></line>\n";
    const double w = text_width(text, 10);
    const double at = std::max(start + 2, (x(from) + x(to) - w) / 2);
    if (at + w <= x(to))
      body_ << "<text x=\"" << num(at) << "\" y=\"" << num(top + 7) << "\" font-size=\"10\" fill=\"" << color
            << "\">" << xml_escape(text) << "</text>\n";
  }
  legend_.push_back(name + " (" + color_words(color) + "): " + legend);
  return top + kLane;
}

std::string Picture::color_words(const std::string& c) {
  if (c == "#d22") return "red";
  if (c == "#e80") return "orange";
  if (c == "#84c") return "purple";
  return "grey";
}

double Picture::findings(double top) {
  // The report lists the first findings of each kind and counts them all;
  // the lane marks the listed ones where they happened, the legend gives both.
  std::vector<FindingLane> lanes;
  for (const Drawn& d : parts_)
    for (FindingLane& l : d.out->lanes(*d.record)) lanes.push_back(std::move(l));
  double y = top + (!lanes.empty() || !o_.marks.empty() || !r_.unmodelled.empty() ? 4 : 0);
  for (FindingLane& l : lanes) y = finding_lane(y, l.name, l.color, std::move(l.items), l.legend, l.beyond);
  std::vector<Finding> unmodelled;
  for (const Unmodelled& u : r_.unmodelled) unmodelled.push_back({u.t, "unmodelled access from " + u.where});
  const uint64_t unmodelled_total = std::max<uint64_t>(r_.tally.unmodelled, r_.unmodelled.size());
  y = finding_lane(y, "unmodelled", "#d22", unmodelled,
                   "unmodelled register accesses: " + std::to_string(unmodelled_total) +
                       (unmodelled_total > unmodelled.size()
                            ? ", the first " + std::to_string(unmodelled.size()) + " marked"
                            : std::string()));
  std::vector<Finding> fails, others;
  for (const auto& m : o_.marks) (m.failure ? fails : others).push_back({m.t, m.label});
  y = finding_lane(y, "scenario steps", "#888", others, std::to_string(others.size()) + " marked");
  y = finding_lane(y, "failed steps", "#d22", fails,
                   "failed expectations: " + std::to_string(fails.size()) + " marked");
  if (!r_.faults.empty())
    legend_.push_back(
        "model or core faults: " + std::to_string(std::max<uint64_t>(r_.tally.faults, r_.faults.size())) +
        " (listed in the text report)");
  if (unlabelled_)
    legend_.push_back(std::to_string(unlabelled_) +
                      " pulse-width spans without room for their label (their widths are in each span's "
                      "tooltip in the SVG)");
  return y;
}

void Picture::halt(double y0, double y1) {
  if (!r_.halt) return;
  const double hx = x(r_.halt->t);
  const std::string what =
      "halt: " + r_.halt->reason + " in " + r_.halt->symbol + " at " + format_ns(r_.halt->t);
  body_ << "<line x1=\"" << num(hx) << "\" x2=\"" << num(hx) << "\" y1=\"" << num(y0) << "\" y2=\"" << num(y1)
        << "\" stroke=\"#d22\" stroke-width=\"3\"/>\n";
  // Beside the line on the side with room for the whole text.
  const double w = text_width(what, 11) * 1.1;  // bold
  const bool right = hx + 4 + w <= left_ + cols_ + kRight - 4 || hx - left_ < w;
  body_ << "<text x=\"" << num(right ? hx + 4 : hx - 4) << "\" y=\"" << num(y0 + 10) << "\""
        << (right ? "" : " text-anchor=\"end\"") << " fill=\"#d22\" font-weight=\"bold\">" << xml_escape(what)
        << "</text>\n";
  legend_.push_back(what + " (thick red line)");
}

void Picture::axis(double y0, double y1) {
  const ns_t step = tick_step(end_);
  for (ns_t t = 0; t <= end_; t += step) {
    const double tx = x(t);
    body_ << "<line x1=\"" << num(tx) << "\" x2=\"" << num(tx) << "\" y1=\"" << num(y0) << "\" y2=\""
          << num(y1) << "\" stroke=\"#ddd\" stroke-dasharray=\"2,3\"/>\n";
    body_ << "<text x=\"" << num(tx) << "\" y=\"" << num(y1 + 14)
          << "\" text-anchor=\"middle\" fill=\"#555\">" << xml_escape(tick_label(t, step)) << "</text>\n";
  }
}

}  // namespace vboard::timeline
