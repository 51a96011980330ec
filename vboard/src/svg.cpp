// SVG timeline of a run (see svg.h). Everything is binned into pixel columns
// first, so the size of the picture depends on its width, not on the number of
// edges or frames in the run.
#include "vboard/svg.h"

#include "vboard/strip.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vboard {

namespace {

constexpr double kLeft = 96, kRight = 24, kTop = 56, kPinRow = 34, kPinAmp = 18, kLedRow = 2;

std::string num(double v) {
  char b[32];
  std::snprintf(b, sizeof b, "%.1f", v);
  return b;
}

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

std::string rgb(const std::array<uint8_t, 3>& c) {
  char b[8];
  std::snprintf(b, sizeof b, "#%02x%02x%02x", c[0], c[1], c[2]);
  return b;
}

class Picture {
 public:
  Picture(const RunResult& r, const SvgOptions& o)
      : r_(r),
        o_(o),
        cols_(std::max(100u, o.width) - static_cast<unsigned>(kLeft + kRight)),
        end_(std::max<ns_t>(r.virtual_ns, 1)) {}

  std::string draw() {
    std::vector<std::string> pins = o_.pins;
    if (pins.empty())
      for (const auto& [name, h] : r_.pins)
        if (name != o_.strip_pin && changes(name) > 0) pins.push_back(name);
    const bool strip = (r_.strip && r_.strip->frames_total > 0) ||
                       std::find(pins.begin(), pins.end(), o_.strip_pin) != pins.end();
    pins.erase(std::remove(pins.begin(), pins.end(), o_.strip_pin), pins.end());

    double y = kTop;
    for (const auto& p : pins) {
      pin_row(p, y);
      y += kPinRow;
    }
    if (strip) y = strip_rows(y);
    const double rows_end = y;
    marks(kTop - 6, rows_end);
    axis(kTop - 6, rows_end);

    const double height = rows_end + 44 + 16 * static_cast<double>(legend_.size());
    std::ostringstream s;
    s << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << o_.width << "\" height=\"" << num(height)
      << "\" viewBox=\"0 0 " << o_.width << " " << num(height)
      << "\" font-family=\"sans-serif\" font-size=\"11\">\n";
    s << "<defs><pattern id=\"unkept\" patternUnits=\"userSpaceOnUse\" width=\"6\" height=\"6\" "
         "patternTransform=\"rotate(45)\"><rect width=\"6\" height=\"6\" fill=\"#f4f4f4\"/>"
         "<line x1=\"0\" y1=\"0\" x2=\"0\" y2=\"6\" stroke=\"#999\" stroke-width=\"2\"/></pattern></defs>\n";
    s << "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
    s << "<text x=\"8\" y=\"18\" font-size=\"13\" font-weight=\"bold\">" << xml_escape(o_.title)
      << "</text>\n";
    s << "<text x=\"8\" y=\"34\" fill=\"#555\">virtual time 0 to " << xml_escape(format_ns(r_.virtual_ns))
      << ", " << r_.instructions << " instructions; one pixel column is "
      << xml_escape(format_ns(end_ / cols_ + 1)) << "</text>\n";
    s << body_.str();
    double ly = rows_end + 36;
    for (const auto& l : legend_) {
      s << "<text x=\"8\" y=\"" << num(ly) << "\" fill=\"#333\">" << xml_escape(l) << "</text>\n";
      ly += 16;
    }
    s << "</svg>\n";
    return s.str();
  }

 private:
  double x(ns_t t) const {
    return kLeft + static_cast<double>(cols_) * static_cast<double>(t) / static_cast<double>(end_);
  }
  ns_t col_end(unsigned c) const {
    return static_cast<ns_t>((static_cast<double>(c) + 1) * static_cast<double>(end_) / cols_);
  }

  ns_t col_start(unsigned c) const { return c == 0 ? 0 : col_end(c - 1); }

  // Changes after reset, exact (the history may keep fewer).
  uint64_t changes(const std::string& pin) const {
    const auto st = r_.pin_state.find(pin);
    if (st != r_.pin_state.end()) return st->second.changes;
    const auto h = r_.pins.find(pin);
    return h == r_.pins.end() || h->second.empty() ? 0 : h->second.size() - 1;
  }

  // A span whose detail was not kept: hatched, with what was dropped in words.
  void unkept(double x0, double x1, double top, double height, const std::string& what) {
    if (x1 <= x0) return;
    body_ << "<rect x=\"" << num(x0) << "\" y=\"" << num(top) << "\" width=\"" << num(x1 - x0)
          << "\" height=\"" << num(height) << "\" fill=\"url(#unkept)\" stroke=\"#999\"><title>"
          << xml_escape(what) << "</title></rect>\n";
    if (x1 - x0 > 60)
      body_ << "<text x=\"" << num(x0 + 4) << "\" y=\"" << num(top + height / 2 + 4) << "\" fill=\"#444\">"
            << xml_escape(what) << "</text>\n";
    if (!unkept_noted_) {
      legend_.push_back(
          "hatched: detail not kept (histories keep the first changes of each pin and the first runs of "
          "strip frames); what follows a hatched span is exact again");
      unkept_noted_ = true;
    }
  }

  void label(double y, const std::string& text) {
    body_ << "<text x=\"" << num(kLeft - 8) << "\" y=\"" << num(y) << "\" text-anchor=\"end\">"
          << xml_escape(text) << "</text>\n";
  }

  // Per column: 0 or 1 when the pin stays there, 2 when it changes inside.
  void pin_row(const std::string& pin, double top) {
    const double hi = top + 6, lo = hi + kPinAmp;
    label(lo - 4, pin);
    body_ << "<line x1=\"" << num(kLeft) << "\" x2=\"" << num(kLeft + cols_) << "\" y1=\"" << num(lo)
          << "\" y2=\"" << num(lo) << "\" stroke=\"#eee\"/>\n";
    const auto it = r_.pins.find(pin);
    if (it == r_.pins.end() || it->second.empty()) {
      body_ << "<text x=\"" << num(kLeft + 4) << "\" y=\"" << num(lo - 4)
            << "\" fill=\"#999\">no history</text>\n";
      return;
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
      unsigned changes = 0;
      for (; k < h.size() && h[k].t < e; ++k) {
        changes += h[k].level != level;
        level = h[k].level;
      }
      state[c] = changes > 1 ? 2 : level;  // one change is drawn as an edge
    }
    std::ostringstream path, blocks;
    auto yof = [&](int l) { return l ? hi : lo; };
    int prev = state[0] == 2 ? 0 : state[0];
    path << "M" << num(kLeft) << " " << num(yof(prev));
    unsigned c = 0;
    while (c < cols_) {
      unsigned d = c;
      while (d + 1 < cols_ && state[d + 1] == state[c]) ++d;
      const double x0 = kLeft + c, x1 = kLeft + d + 1;
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
      unkept(kLeft + first_unkept, kLeft + last_unkept + 1, hi, kPinAmp,
             "changes from " + format_ns(kept_until) + " to " + format_ns(known_from) + " not kept (" +
                 std::to_string(h.size() - 1) + " of " + std::to_string(st->second.changes) + " kept)");
  }

  // One band per LED position; each column shows the last frame latched by its
  // end, from the runs of equal frames (exact while they fit their list; after
  // that a hatched span up to the run showing at the end).
  double strip_rows(double top) {
    struct Segment {
      ns_t from;
      const StripRun* run;  // nullptr: not kept
    };
    std::vector<Segment> segs;
    bool cut = false;
    ns_t cut_from = 0, cut_to = 0;
    if (r_.strip) {
      for (const StripRun& run : r_.strip->runs) segs.push_back({run.first_t, &run});
      if (r_.strip->current && r_.strip->runs_total > r_.strip->runs.size()) {
        cut = true;
        cut_from = segs.empty() ? 0 : segs.back().run->last_t + 1;
        cut_to = r_.strip->current->first_t;
        segs.push_back({cut_from, nullptr});
        segs.push_back({cut_to, &*r_.strip->current});
      }
    }
    size_t leds = 0;
    for (const auto& sg : segs)
      if (sg.run) leds = std::max(leds, sg.run->colors.size());
    const uint64_t frames = r_.strip ? r_.strip->frames_total : 0;
    const double band = kLedRow * static_cast<double>(std::max<size_t>(leds, 8));
    label(top + 12, o_.strip_pin + " strip");
    label(top + 26, std::to_string(frames) + " frames");
    if (leds) {
      body_ << "<text x=\"" << num(kLeft - 8) << "\" y=\"" << num(top + band)
            << "\" text-anchor=\"end\" fill=\"#777\">LED " << leds - 1 << "</text>\n";
    }
    body_ << "<rect x=\"" << num(kLeft) << "\" y=\"" << num(top) << "\" width=\"" << cols_ << "\" height=\""
          << num(band) << "\" fill=\"#c8c8c8\"/>\n";
    if (segs.empty()) {
      body_ << "<text x=\"" << num(kLeft + 4) << "\" y=\"" << num(top + 14)
            << "\" fill=\"#999\">no frame latched</text>\n";
      return top + band + 10;
    }
    std::vector<long> shown(cols_, -1);  // segment index per column
    size_t k = 0;
    for (unsigned c = 0; c < cols_; ++c) {
      const ns_t e = col_end(c);
      while (k < segs.size() && segs[k].from < e) ++k;
      shown[c] = static_cast<long>(k) - 1;
    }
    auto color_at = [&](unsigned c, size_t led) -> std::string {
      if (shown[c] < 0) return "";
      const StripRun* run = segs[static_cast<size_t>(shown[c])].run;
      if (!run) return "";
      return led < run->colors.size() ? rgb(run->colors[led]) : "#bbbbbb";
    };
    for (size_t led = 0; led < leds; ++led) {
      const double y = top + kLedRow * static_cast<double>(led);
      unsigned c = 0;
      while (c < cols_) {
        const std::string col = color_at(c, led);
        unsigned d = c;
        while (d + 1 < cols_ && color_at(d + 1, led) == col) ++d;
        if (!col.empty())
          body_ << "<rect x=\"" << num(kLeft + c) << "\" y=\"" << num(y) << "\" width=\"" << (d + 1 - c)
                << "\" height=\"" << num(kLedRow) << "\" fill=\"" << col << "\"/>\n";
        c = d + 1;
      }
    }
    // Outlined on top, so that white LEDs stand apart from the page.
    body_ << "<rect x=\"" << num(kLeft) << "\" y=\"" << num(top) << "\" width=\"" << cols_ << "\" height=\""
          << num(band) << "\" fill=\"none\" stroke=\"#444\"/>\n";
    if (cut)
      unkept(x(cut_from), std::max(x(cut_to), x(cut_from) + 1), top, band,
             "frames from " + format_ns(cut_from) + " to " + format_ns(cut_to) + " not kept (" +
                 std::to_string(r_.strip->runs.size()) + " of " + std::to_string(r_.strip->runs_total) +
                 " runs of equal frames kept)");
    legend_.push_back(o_.strip_pin +
                      " strip: one row per LED, LED 0 at the top, each column the last frame latched "
                      "by its end; grey before the first frame");
    return top + band + 10;
  }

  template <typename T, typename F>
  void mark_kind(const std::vector<T>& items, const std::string& what, const std::string& color, double y0,
                 double y1, F describe) {
    size_t drawn = 0;
    for (const auto& it : items) {
      if (drawn == o_.max_marks_per_kind) break;
      const auto [t, text] = describe(it);
      body_ << "<line x1=\"" << num(x(t)) << "\" x2=\"" << num(x(t)) << "\" y1=\"" << num(y0) << "\" y2=\""
            << num(y1) << "\" stroke=\"" << color << "\" stroke-width=\"1\" stroke-opacity=\"0.7\"><title>"
            << xml_escape(text) << "</title></line>\n";
      ++drawn;
    }
    if (!items.empty())
      legend_.push_back(what + ": " + std::to_string(items.size()) + " marked in " + color_words(color) +
                        (drawn < items.size() ? " (first " + std::to_string(drawn) + " drawn)" : ""));
  }

  static std::string color_words(const std::string& c) {
    if (c == "#d22") return "red";
    if (c == "#e80") return "orange";
    if (c == "#84c") return "purple";
    return "grey";
  }

  void marks(double y0, double y1) {
    // The report lists the first violations of each kind and then says how many
    // there were in all; the marks are the listed ones, the legend gives both.
    std::vector<StripViolation> sheet, real;
    uint64_t total[2] = {0, 0};
    if (r_.strip) {
      for (const auto& v : r_.strip->violations) (v.datasheet ? sheet : real).push_back(v);
      for (const auto& k : r_.strip->violation_kinds) total[k.datasheet] += k.total;
    }
    total[0] = std::max<uint64_t>(total[0], real.size());
    total[1] = std::max<uint64_t>(total[1], sheet.size());
    const auto strip_mark = [](const StripViolation& v) { return std::pair<ns_t, std::string>(v.t, v.what); };
    const auto of = [](uint64_t n) {
      return " (" + std::to_string(n) + " in all; the report lists the first)";
    };
    mark_kind(real, "strip timing that real parts misread" + of(total[0]), "#e80", y0, y1, strip_mark);
    mark_kind(sheet, "strip timing outside the datasheet windows" + of(total[1]), "#84c", y0, y1, strip_mark);
    mark_kind(r_.unmodelled,
              "unmodelled register accesses" +
                  (r_.tally.unmodelled > r_.unmodelled.size() ? of(r_.tally.unmodelled) : std::string()),
              "#d22", y0, y1, [](const Unmodelled& u) {
                return std::pair<ns_t, std::string>(u.t, "unmodelled access from " + u.where);
              });
    std::vector<SvgMark> fails, others;
    for (const auto& m : o_.marks) (m.failure ? fails : others).push_back(m);
    mark_kind(others, "scenario steps", "#888", y0, y1,
              [](const SvgMark& m) { return std::pair<ns_t, std::string>(m.t, m.label); });
    mark_kind(fails, "failed expectations", "#d22", y0, y1,
              [](const SvgMark& m) { return std::pair<ns_t, std::string>(m.t, m.label); });
    if (!r_.faults.empty())
      legend_.push_back(
          "model or core faults: " + std::to_string(std::max<uint64_t>(r_.tally.faults, r_.faults.size())) +
          " (listed in the text report)");
    if (r_.halt) {
      const double hx = x(r_.halt->t);
      const std::string what =
          "halt: " + r_.halt->reason + " in " + r_.halt->symbol + " at " + format_ns(r_.halt->t);
      body_ << "<line x1=\"" << num(hx) << "\" x2=\"" << num(hx) << "\" y1=\"" << num(y0) << "\" y2=\""
            << num(y1) << "\" stroke=\"#d22\" stroke-width=\"3\"/>\n";
      body_ << "<text x=\"" << num(std::min(hx + 4, kLeft + cols_ - 200)) << "\" y=\"" << num(y0 + 10)
            << "\" fill=\"#d22\" font-weight=\"bold\">" << xml_escape(what) << "</text>\n";
      legend_.push_back(what + " (thick red line)");
    }
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
  bool unkept_noted_ = false;
  unsigned cols_;
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
