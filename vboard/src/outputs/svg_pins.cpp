// The picture's pin rows (see svg_picture.h): each pin's waveform by pixel
// column, and under a pin that carries pulses the width of each pulse from
// its exact edges.
#include "outputs/svg_picture.h"

#include <algorithm>

namespace vboard::timeline {

namespace {

// A duration exactly, in the unit that reads best: "650 ns", "1000 us",
// "1000.5 us", "12.25 ms" (no digit is rounded away).
std::string duration_text(ns_t d) {
  const auto exact = [](ns_t v, ns_t unit, const char* name) {
    char b[40];
    std::snprintf(b, sizeof b, "%llu", static_cast<unsigned long long>(v / unit));
    std::string s = b;
    if (v % unit) {
      std::snprintf(b, sizeof b, "%0*llu", unit == kUs ? 3 : 6, static_cast<unsigned long long>(v % unit));
      std::string frac = b;
      while (frac.back() == '0') frac.pop_back();
      s += "." + frac;
    }
    return s + " " + name;
  };
  if (d < kUs) return exact(d, 1, "ns");
  if (d < 10 * kMs) return exact(d, kUs, "us");
  return exact(d, kMs, "ms");
}

struct Pulse {
  ns_t from, to;
};

// The pin's complete pulses in its kept history, each between its two edges.
std::vector<Pulse> pulses_of(const std::vector<PinChange>& h) {
  ns_t time_at[2] = {0, 0};
  for (size_t i = 0; i + 1 < h.size(); ++i) time_at[h[i].level & 1] += h[i + 1].t - h[i].t;
  const int active = time_at[1] <= time_at[0] ? 1 : 0;
  std::vector<Pulse> pulses;
  for (size_t i = 1; i + 1 < h.size(); ++i)
    if (h[i].level == active && h[i - 1].level != active && h[i + 1].level != active)
      pulses.push_back({h[i].t, h[i + 1].t});
  return pulses;
}

// Pulses from `from` to `to` whose widths lie between min and max.
struct Span {
  ns_t from, to, min, max;
  uint64_t count;
};

std::string span_text(const Span& s) {
  std::string t =
      s.min == s.max ? duration_text(s.min) : duration_text(s.min) + " to " + duration_text(s.max);
  if (s.count > 1) t += " x" + std::to_string(s.count);
  return t;
}

bool span_fits(const Canvas& c, const Span& s) {
  return c.x(s.to) - c.x(s.from) >= text_width(span_text(s), 10) + 6;
}

// Runs of equal width first, then narrow spans merged with narrow ones that follow.
std::vector<Span> spans_of(const Canvas& c, const std::vector<Pulse>& pulses) {
  std::vector<Span> runs;
  for (const Pulse& p : pulses) {
    const ns_t w = p.to - p.from;
    if (!runs.empty() && runs.back().min == w && runs.back().max == w) {
      runs.back().to = p.to;
      ++runs.back().count;
    } else {
      runs.push_back({p.from, p.to, w, w, 1});
    }
  }
  std::vector<Span> spans;
  for (const Span& s : runs) {
    // Only spans that are both too narrow for their labels merge: a narrow
    // one beside a wide one keeps its own width (labelled beside it).
    if (!spans.empty() && !span_fits(c, spans.back()) && !span_fits(c, s)) {
      Span& m = spans.back();
      m.to = s.to;
      m.min = std::min(m.min, s.min);
      m.max = std::max(m.max, s.max);
      m.count += s.count;
    } else {
      spans.push_back(s);
    }
  }
  return spans;
}

}  // namespace

// Per column: 0 or 1 when the pin stays there, 2 when it changes inside.
// Returns the top of the next row.
double Picture::pin_row(const std::string& pin, double top) {
  const double hi = top + 6, lo = hi + kPinAmp;
  label(lo - 4, pin_label(pin));
  body_ << "<line x1=\"" << num(left_) << "\" x2=\"" << num(left_ + cols_) << "\" y1=\"" << num(lo)
        << "\" y2=\"" << num(lo) << "\" stroke=\"#eee\"/>\n";
  const auto it = r_.pins.find(pin);
  if (it == r_.pins.end() || it->second.empty()) {
    body_ << "<text x=\"" << num(left_ + 4) << "\" y=\"" << num(lo - 4)
          << "\" fill=\"#999\">no history</text>\n";
    return top + kPinRow;
  }
  const auto& h = it->second;
  // Past the kept history the pin is known again from its last change on
  // (exact state); the span between is hatched (state 3).
  const auto st = r_.pin_state.find(pin);
  const bool cut = st != r_.pin_state.end() && st->second.changes + 1 > h.size();
  const ns_t kept_until = cut ? h.back().t : kNever;
  const ns_t known_from = cut ? st->second.since : kNever;
  // The first entry is the level at reset; each later one is a change.
  size_t k = 1;
  int level = h.front().level;
  std::vector<int> state(cols_);
  unsigned first_unkept = cols_, last_unkept = 0;
  for (unsigned c = 0; c < cols_; ++c) {
    const ns_t e = col_end(c);
    if (cut && col_start(c) >= known_from) {
      state[c] = st->second.level;
      continue;
    }
    if (cut && e > kept_until) {
      state[c] = 3;
      first_unkept = std::min(first_unkept, c);
      last_unkept = c;
      continue;
    }
    unsigned n = 0;
    for (; k < h.size() && h[k].t < e; ++k) {
      n += h[k].level != level;
      level = h[k].level;
    }
    state[c] = n > 1 ? 2 : level;  // one change is drawn as an edge
  }
  std::ostringstream path, blocks;
  auto yof = [&](int l) { return l ? hi : lo; };
  int prev = state[0] == 2 ? 0 : state[0];
  path << "M" << num(left_) << " " << num(yof(prev));
  unsigned c = 0;
  while (c < cols_) {
    unsigned d = c;
    while (d + 1 < cols_ && state[d + 1] == state[c]) ++d;
    const double x0 = left_ + c, x1 = left_ + d + 1;
    if (state[c] == 2) {
      blocks << "<rect x=\"" << num(x0) << "\" y=\"" << num(hi) << "\" width=\"" << num(x1 - x0)
             << "\" height=\"" << num(kPinAmp) << "\" fill=\"#2a7\" fill-opacity=\"0.45\"/>\n";
      path << "M" << num(x1) << " " << num(yof(prev));
    } else if (state[c] == 3) {
      path << "M" << num(x1) << " " << num(yof(prev));
    } else {
      path << "V" << num(yof(state[c])) << "H" << num(x1);
      prev = state[c];
    }
    c = d + 1;
  }
  body_ << blocks.str();
  body_ << "<path d=\"" << path.str() << "\" fill=\"none\" stroke=\"#1a6\" stroke-width=\"1.5\"/>\n";
  if (first_unkept < cols_)
    unkept(left_ + first_unkept, left_ + last_unkept + 1, hi, kPinAmp,
           "changes from " + format_ns(kept_until) + " to " + format_ns(known_from) + " not kept (" +
               std::to_string(h.size() - 1) + " of " + std::to_string(st->second.changes) + " kept)");
  double next = top + kPinRow;
  if (width_lane(pin, h, next)) next += kLane;
  if (first_unkept < cols_ && widths_drawn_.count(pin))
    unkept(left_ + first_unkept, left_ + last_unkept + 1, next - kLane + 2, kLane - 6,
           "pulse widths from " + format_ns(kept_until) + " to " + format_ns(known_from) + " not kept");
  return next;
}

// A lane under a pin that carries pulses (at least three complete ones in
// its kept history): the width of every pulse from its two exact edges,
// equal widths in a row drawn as one span with their count, and pulses too
// close together to be labelled one by one merged into a span with the
// range of their widths. Pulses are the phases at the level the pin spends
// less time at, so an idle-high line is measured by its low pulses.
bool Picture::width_lane(const std::string& pin, const std::vector<PinChange>& h, double top) {
  const std::vector<Pulse> pulses = pulses_of(h);
  if (pulses.size() < 3) return false;
  widths_drawn_.insert(pin);
  label(top + 12, "pulse width", "#777", 10);
  const std::vector<Span> spans = spans_of(*this, pulses);
  const auto text_of = span_text;
  const auto fits = [this](const Span& s) { return span_fits(*this, s); };
  const double bar = top + 14;
  for (size_t i = 0; i < spans.size(); ++i) {
    const Span& s = spans[i];
    const double x0 = x(s.from), x1 = std::max(x(s.to), x0 + 1);
    const std::string text = text_of(s);
    body_ << "<path d=\"M" << num(x0) << " " << num(bar - 3) << "V" << num(bar) << "H" << num(x1) << "V"
          << num(bar - 3) << "\" fill=\"none\" stroke=\"#579\"><title>" << xml_escape(pin + ": " + text)
          << " from " << xml_escape(format_ns(s.from)) << " to " << xml_escape(format_ns(s.to))
          << "</title></path>\n";
    // The label sits over its span, or after it when the next span leaves room.
    const double room = (i + 1 < spans.size() ? x(spans[i + 1].from) : left_ + cols_) - x0;
    const double w = text_width(text, 10);
    if (fits(s))
      body_ << "<text x=\"" << num((x0 + x1) / 2) << "\" y=\"" << num(bar - 4)
            << "\" text-anchor=\"middle\" font-size=\"10\" fill=\"#357\">" << xml_escape(text) << "</text>\n";
    else if (w + 4 <= room)
      body_ << "<text x=\"" << num(x0 + 2) << "\" y=\"" << num(bar - 4)
            << "\" font-size=\"10\" fill=\"#357\">" << xml_escape(text) << "</text>\n";
    else
      ++unlabelled_;
  }
  if (!width_noted_) {
    legend_.push_back(
        "pulse width: each pulse measured between its own two edges (exact to the nanosecond, not from "
        "the pixel columns); xN: N pulses of that width in a row; 'A to B': pulses too close together to "
        "label one by one, their widths between A and B");
    width_noted_ = true;
  }
  return true;
}

}  // namespace vboard::timeline
