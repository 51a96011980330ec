// SVG timeline of a run (see svg.h). Everything is binned into pixel columns
// first, so the size of the picture depends on its width, not on the number of
// edges or frames in the run.
#include "outputs/svg.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "outputs/part_outputs.h"

namespace vboard {

namespace {

constexpr double kRight = 24, kTop = 56, kPinRow = 34, kPinAmp = 18, kLane = 18;

std::string num(double v) { return svg_num(v); }

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

}  // namespace

std::string svg_num(double v) {
  char b[32];
  std::snprintf(b, sizeof b, "%.1f", v);
  return b;
}

double text_width(const std::string& s, double font_size) {
  // Advance widths of DejaVu Sans (the sans-serif of Debian's renderers) by
  // class of character, each at or above the real one, so that a label laid
  // out from this never runs into what follows it.
  double em = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if ((c & 0xc0) == 0x80) continue;  // continuation byte of a character counted already
    if (c >= 0x80)
      em += 1.0;
    else if (std::strchr(" .,:;'|!ilj", c))
      em += 0.33;
    else if (std::strchr("frt()[]-/", c))
      em += 0.44;
    else if (std::strchr("mwMW", c))
      em += 1.0;
    else if (c >= 'A' && c <= 'Z')
      em += 0.78;
    else if (c >= '0' && c <= '9')
      em += 0.64;
    else if (c == '_')
      em += 0.5;
    else
      em += 0.63;
  }
  return em * font_size;
}

namespace {

// A part's record with the writers of its kind.
struct Drawn {
  const PartRecord* record;
  const PartOutputs* out;
};

class Picture final : public Canvas {
 public:
  Picture(const RunResult& r, const SvgOptions& o) : r_(r), o_(o), end_(std::max<ns_t>(r.virtual_ns, 1)) {
    for (const auto& p : r.parts)
      if (const PartOutputs* out = part_outputs(p->id.kind)) parts_.push_back({p.get(), out});
  }

  std::string draw() {
    // The rows: the pins asked for; else every pin the board gives a role
    // (whether it changed or not); else every pin that changed.
    std::vector<std::string> pins = o_.pins;
    std::vector<std::string> left_out;
    if (pins.empty()) {
      for (const auto& [name, role] : r_.pin_roles) pins.push_back(name);
      for (const auto& [name, h] : r_.pins) {
        if (part_pin(name) || changes(name) == 0 || r_.pin_roles.count(name)) continue;
        if (r_.pin_roles.empty())
          pins.push_back(name);
        else
          left_out.push_back(name);
      }
    }
    // A part that draws rows of its own takes its pin's place, after the pins.
    std::vector<Drawn> rows;
    for (const Drawn& d : parts_) {
      const std::string& pin = d.record->id.pin;
      if (d.out->has_rows(*d.record) || std::find(pins.begin(), pins.end(), pin) != pins.end())
        rows.push_back(d);
      pins.erase(std::remove(pins.begin(), pins.end(), pin), pins.end());
    }

    // The left margin holds the longest label whole.
    double widest = 0;
    for (const auto& p : pins) widest = std::max(widest, text_width(pin_label(p), 11));
    for (const Drawn& d : rows)
      for (const auto& l : d.out->row_labels(*this, *d.record)) widest = std::max(widest, text_width(l, 11));
    for (const auto& l : lane_labels()) widest = std::max(widest, text_width(l, 10));
    for (const Drawn& d : parts_)
      for (const FindingLane& l : d.out->lanes(*d.record)) widest = std::max(widest, text_width(l.name, 10));
    left_ = std::max(96.0, std::ceil(widest) + 16);
    cols_ = static_cast<unsigned>(std::max(100.0, o_.width - left_ - kRight));

    double y = kTop;
    for (const auto& p : pins) y = pin_row(p, y);
    for (const Drawn& d : rows) y = d.out->rows(*this, *d.record, y);
    const double rows_end = y;
    y = findings(rows_end);
    halt(kTop - 6, rows_end);
    axis(kTop - 6, y);
    if (!left_out.empty()) {
      std::string l = "not drawn (no role on this board):";
      for (const auto& p : left_out)
        l += " " + p + " (" + std::to_string(changes(p)) + (changes(p) == 1 ? " change)" : " changes)");
      legend_.push_back(l);
    }

    const double page = static_cast<double>(width());
    std::vector<std::string> lines;
    for (const auto& l : legend_) wrap(l, page - 16, lines);
    // A title too long for one line goes on as many as it needs; the rest
    // of the picture moves down by the lines it took beyond the first.
    std::vector<std::string> head;
    wrap(o_.title, page - 16, head, 13 * 1.1);
    const double shift = 17 * static_cast<double>(head.size() - 1);
    const double height = shift + y + 44 + 16 * static_cast<double>(lines.size());
    std::ostringstream s;
    s << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width() << "\" height=\"" << num(height)
      << "\" viewBox=\"0 0 " << width() << " " << num(height)
      << "\" font-family=\"sans-serif\" font-size=\"11\">\n";
    s << "<defs><pattern id=\"unkept\" patternUnits=\"userSpaceOnUse\" width=\"6\" height=\"6\" "
         "patternTransform=\"rotate(45)\"><rect width=\"6\" height=\"6\" fill=\"#f4f4f4\"/>"
         "<line x1=\"0\" y1=\"0\" x2=\"0\" y2=\"6\" stroke=\"#999\" stroke-width=\"2\"/></pattern></defs>\n";
    s << "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
    for (size_t i = 0; i < head.size(); ++i)
      s << "<text x=\"8\" y=\"" << num(18 + 17 * static_cast<double>(i))
        << "\" font-size=\"13\" font-weight=\"bold\">" << xml_escape(head[i]) << "</text>\n";
    s << "<g transform=\"translate(0 " << num(shift) << ")\">\n";
    s << "<text x=\"8\" y=\"34\" fill=\"#555\">virtual time 0 to " << xml_escape(format_ns(r_.virtual_ns))
      << ", " << r_.instructions << " instructions; one pixel column is "
      << xml_escape(format_ns(end_ / cols_ + 1)) << "</text>\n";
    s << body_.str();
    double ly = y + 36;
    for (const auto& l : lines) {
      s << "<text x=\"8\" y=\"" << num(ly) << "\" fill=\"#333\">" << xml_escape(l) << "</text>\n";
      ly += 16;
    }
    s << "</g>\n";
    s << "</svg>\n";
    return s.str();
  }

  // Canvas
  double left() const override { return left_; }
  unsigned cols() const override { return cols_; }
  double x(ns_t t) const override {
    return left_ + static_cast<double>(cols_) * static_cast<double>(t) / static_cast<double>(end_);
  }
  ns_t col_end(unsigned c) const override {
    return static_cast<ns_t>((static_cast<double>(c) + 1) * static_cast<double>(end_) / cols_);
  }
  std::string role_of(const std::string& pin) const override {
    const auto role = r_.pin_roles.find(pin);
    return role == r_.pin_roles.end() ? std::string() : role->second;
  }
  std::ostream& body() override { return body_; }
  void legend(const std::string& line) override { legend_.push_back(line); }

 private:
  unsigned width() const { return static_cast<unsigned>(left_ + cols_ + kRight); }
  bool part_pin(const std::string& pin) const {
    return std::any_of(parts_.begin(), parts_.end(), [&](const Drawn& d) { return d.record->id.pin == pin; });
  }

  ns_t col_start(unsigned c) const { return c == 0 ? 0 : col_end(c - 1); }

  // Changes after reset, exact (the history may keep fewer).
  uint64_t changes(const std::string& pin) const {
    const auto st = r_.pin_state.find(pin);
    if (st != r_.pin_state.end()) return st->second.changes;
    const auto h = r_.pins.find(pin);
    return h == r_.pins.end() || h->second.empty() ? 0 : h->second.size() - 1;
  }

  std::string pin_label(const std::string& pin) const {
    const auto role = r_.pin_roles.find(pin);
    return role != r_.pin_roles.end() ? role->second + " " + pin : pin;
  }

  // Lines of at most `room` pixels, broken at spaces; a word longer than the
  // room is broken where it has to be, so nothing runs off the page.
  static void wrap(const std::string& text, double room, std::vector<std::string>& out, double size = 11) {
    std::string line;
    size_t i = 0;
    while (i < text.size()) {
      size_t j = text.find(' ', i);
      if (j == std::string::npos) j = text.size();
      std::string word = text.substr(i, j - i);
      const std::string joined = line.empty() ? word : line + " " + word;
      if (text_width(joined, size) <= room) {
        line = joined;
      } else {
        if (!line.empty()) out.push_back(line);
        while (text_width(word, size) > room && word.size() > 1) {
          size_t k = word.size() - 1;
          while (k > 1 && text_width(word.substr(0, k), size) > room) --k;
          out.push_back(word.substr(0, k));
          word = word.substr(k);
        }
        line = word;
      }
      i = j + 1;
    }
    if (!line.empty() || out.empty()) out.push_back(line);
  }

  // A span whose detail was not kept: hatched, with what was dropped in words.
  void unkept(double x0, double x1, double top, double height, const std::string& what) override {
    if (x1 <= x0) return;
    body_ << "<rect x=\"" << num(x0) << "\" y=\"" << num(top) << "\" width=\"" << num(x1 - x0)
          << "\" height=\"" << num(height) << "\" fill=\"url(#unkept)\" stroke=\"#999\"><title>"
          << xml_escape(what) << "</title></rect>\n";
    if (text_width(what, 11) + 8 < x1 - x0)
      body_ << "<text x=\"" << num(x0 + 4) << "\" y=\"" << num(top + height / 2 + 4) << "\" fill=\"#444\">"
            << xml_escape(what) << "</text>\n";
    if (!unkept_noted_) {
      std::string kept = "the first changes of each pin";
      for (const PartOutputs* out : part_outputs()) kept += " and " + out->kept_detail();
      legend_.push_back("hatched: detail not kept (histories keep " + kept +
                        "); what follows a hatched span is exact again");
      unkept_noted_ = true;
    }
  }

  void label(double y, const std::string& text, const char* fill = nullptr, double size = 11) override {
    body_ << "<text x=\"" << num(left_ - 8) << "\" y=\"" << num(y) << "\" text-anchor=\"end\""
          << (fill ? std::string(" fill=\"") + fill + "\"" : std::string())
          << (size != 11 ? " font-size=\"" + num(size) + "\"" : std::string()) << ">" << xml_escape(text)
          << "</text>\n";
  }

  // The labels of the lanes below the rows (measured for the left margin).
  std::vector<std::string> lane_labels() const {
    std::vector<std::string> out{"pulse width", "unmodelled", "scenario steps", "failed steps"};
    for (const PartOutputs* kind : part_outputs())
      for (const auto& l : kind->lane_labels()) out.push_back(l);
    return out;
  }

  // Per column: 0 or 1 when the pin stays there, 2 when it changes inside.
  // Returns the top of the next row.
  double pin_row(const std::string& pin, double top) {
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
  bool width_lane(const std::string& pin, const std::vector<PinChange>& h, double top) {
    struct Pulse {
      ns_t from, to;
    };
    ns_t time_at[2] = {0, 0};
    for (size_t i = 0; i + 1 < h.size(); ++i) time_at[h[i].level & 1] += h[i + 1].t - h[i].t;
    const int active = time_at[1] <= time_at[0] ? 1 : 0;
    std::vector<Pulse> pulses;
    for (size_t i = 1; i + 1 < h.size(); ++i)
      if (h[i].level == active && h[i - 1].level != active && h[i + 1].level != active)
        pulses.push_back({h[i].t, h[i + 1].t});
    if (pulses.size() < 3) return false;
    widths_drawn_.insert(pin);
    label(top + 12, "pulse width", "#777", 10);
    struct Span {
      ns_t from, to, min, max;
      uint64_t count;
    };
    const auto text_of = [](const Span& s) {
      std::string t =
          s.min == s.max ? duration_text(s.min) : duration_text(s.min) + " to " + duration_text(s.max);
      if (s.count > 1) t += " x" + std::to_string(s.count);
      return t;
    };
    const auto fits = [&](const Span& s) { return x(s.to) - x(s.from) >= text_width(text_of(s), 10) + 6; };
    // Runs of equal width first, then narrow spans merged with narrow ones that follow.
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
      if (!spans.empty() && !fits(spans.back()) && !fits(s)) {
        Span& m = spans.back();
        m.to = s.to;
        m.min = std::min(m.min, s.min);
        m.max = std::max(m.max, s.max);
        m.count += s.count;
      } else {
        spans.push_back(s);
      }
    }
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
              << "\" text-anchor=\"middle\" font-size=\"10\" fill=\"#357\">" << xml_escape(text)
              << "</text>\n";
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

  using Finding = FindingLane::Item;
  using Beyond = FindingLane::Beyond;

  // One lane of findings: a tick where each one happened; findings closer
  // together than their count's label merge into one mark (a span when they
  // cover several pixel columns) with the count beside it.

  double finding_lane(double top, const std::string& name, const char* color, std::vector<Finding> items,
                      const std::string& legend, const std::vector<Beyond>& beyond = {}) {
    if (items.empty()) return top;
    std::stable_sort(items.begin(), items.end(),
                     [](const Finding& a, const Finding& b) { return a.t < b.t; });
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
      body_ << "<rect x=\"" << num(m.x0) << "\" y=\"" << num(top + 4) << "\" width=\""
            << num(m.x1 - m.x0 + 1.5) << "\" height=\"10\" fill=\"" << color << "\"><title>"
            << xml_escape(title) << "</title></rect>\n";
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
        body_ << "<text x=\"" << num(at) << "\" y=\"" << num(top + 7) << "\" font-size=\"10\" fill=\""
              << color << "\">" << xml_escape(text) << "</text>\n";
    }
    legend_.push_back(name + " (" + color_words(color) + "): " + legend);
    return top + kLane;
  }

  static std::string color_words(const std::string& c) {
    if (c == "#d22") return "red";
    if (c == "#e80") return "orange";
    if (c == "#84c") return "purple";
    return "grey";
  }

  double findings(double top) {
    // The report lists the first findings of each kind and counts them all;
    // the lane marks the listed ones where they happened, the legend gives both.
    std::vector<FindingLane> lanes;
    for (const Drawn& d : parts_)
      for (FindingLane& l : d.out->lanes(*d.record)) lanes.push_back(std::move(l));
    double y = top + (!lanes.empty() || !o_.marks.empty() || !r_.unmodelled.empty() ? 4 : 0);
    for (FindingLane& l : lanes) y = finding_lane(y, l.name, l.color, std::move(l.items), l.legend, l.beyond);
    std::vector<Finding> unmodelled;
    for (const Unmodelled& u : r_.unmodelled)
      unmodelled.push_back({u.t, "unmodelled access from " + u.where});
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

  void halt(double y0, double y1) {
    if (!r_.halt) return;
    const double hx = x(r_.halt->t);
    const std::string what =
        "halt: " + r_.halt->reason + " in " + r_.halt->symbol + " at " + format_ns(r_.halt->t);
    body_ << "<line x1=\"" << num(hx) << "\" x2=\"" << num(hx) << "\" y1=\"" << num(y0) << "\" y2=\""
          << num(y1) << "\" stroke=\"#d22\" stroke-width=\"3\"/>\n";
    // Beside the line on the side with room for the whole text.
    const double w = text_width(what, 11) * 1.1;  // bold
    const bool right = hx + 4 + w <= left_ + cols_ + kRight - 4 || hx - left_ < w;
    body_ << "<text x=\"" << num(right ? hx + 4 : hx - 4) << "\" y=\"" << num(y0 + 10) << "\""
          << (right ? "" : " text-anchor=\"end\"") << " fill=\"#d22\" font-weight=\"bold\">"
          << xml_escape(what) << "</text>\n";
    legend_.push_back(what + " (thick red line)");
  }

  void axis(double y0, double y1) {
    const ns_t step = tick_step(end_);
    for (ns_t t = 0; t <= end_; t += step) {
      const double tx = x(t);
      body_ << "<line x1=\"" << num(tx) << "\" x2=\"" << num(tx) << "\" y1=\"" << num(y0) << "\" y2=\""
            << num(y1) << "\" stroke=\"#ddd\" stroke-dasharray=\"2,3\"/>\n";
      body_ << "<text x=\"" << num(tx) << "\" y=\"" << num(y1 + 14)
            << "\" text-anchor=\"middle\" fill=\"#555\">" << xml_escape(tick_label(t, step)) << "</text>\n";
    }
  }

  const RunResult& r_;
  const SvgOptions& o_;
  std::vector<Drawn> parts_;  // the run's parts whose kind the outputs know
  bool unkept_noted_ = false, width_noted_ = false;
  size_t unlabelled_ = 0;
  std::set<std::string> widths_drawn_;
  double left_ = 96;
  unsigned cols_ = 1080;
  ns_t end_;
  std::ostringstream body_;
  std::vector<std::string> legend_;
};

}  // namespace

std::string xml_escape(const std::string& s) {
  // Valid UTF-8 XML 1.0 text whatever the bytes: markup characters as entities;
  // bytes that are not UTF-8, control characters (but tab and newline) and the
  // non-characters U+FFFE, U+FFFF as U+FFFD, one per byte or character.
  static const char kReplacement[] = "\xEF\xBF\xBD";
  std::string o;
  for (size_t i = 0; i < s.size();) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = byte(i);
    size_t n = c < 0x80 ? 1 : c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 ? 2 : 0;
    uint32_t cp = n == 1 ? c : c & (0x7f >> n);
    if (c > 0xf4 || i + n > s.size()) n = 0;
    for (size_t k = 1; k < n; ++k) {
      if ((byte(i + k) & 0xc0) != 0x80) n = 0;
      cp = cp << 6 | (byte(i + k) & 0x3f);
    }
    static constexpr uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool allowed = n != 0 && cp >= kShortest[n] && cp <= 0x10ffff && !(cp >= 0xd800 && cp <= 0xdfff) &&
                         (cp >= 0x20 || cp == '\n' || cp == '\t') && !(cp >= 0x7f && cp <= 0x9f) &&
                         cp != 0xfffe && cp != 0xffff;
    if (!allowed)
      o += kReplacement;
    else if (c == '&')
      o += "&amp;";
    else if (c == '<')
      o += "&lt;";
    else if (c == '>')
      o += "&gt;";
    else if (c == '"')
      o += "&quot;";
    else
      o.append(s, i, n);
    i += allowed ? n : std::max<size_t>(n, 1);
  }
  return o;
}

std::string to_svg(const RunResult& r, const SvgOptions& o) { return Picture(r, o).draw(); }

bool write_text_file(const std::string& path, const std::string& text, const std::string& what,
                     std::string* error) {
  // C streams, so that the system's reason reaches the message.
  errno = 0;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  int err = f ? 0 : errno;
  if (f) {
    if (std::fwrite(text.data(), 1, text.size(), f) != text.size() || std::fflush(f) != 0)
      err = errno ? errno : EIO;
    if (std::fclose(f) != 0 && !err) err = errno ? errno : EIO;
  }
  if (!err) return true;
  if (error) *error = "cannot write the " + what + " " + path + ": " + std::strerror(err);
  return false;
}

bool write_svg(const RunResult& r, const SvgOptions& o, const std::string& path, std::string* error) {
  return write_text_file(path, to_svg(r, o), "SVG picture", error);
}

}  // namespace vboard
