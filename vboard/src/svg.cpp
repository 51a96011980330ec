// SVG timeline of a run (see svg.h). Everything is binned into pixel columns
// first, so the size of the picture depends on its width, not on the number of
// edges or frames in the run.
#include "vboard/svg.h"

#include "vboard/strip.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
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
        if (name != o_.strip_pin && h.size() > 1) pins.push_back(name);
    const bool strip = (r_.strip && !r_.strip->frames.empty()) ||
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
    // The first entry is the level at reset; each later one is a change.
    size_t k = 1;
    int level = h.front().level;
    std::vector<int> state(cols_);
    for (unsigned c = 0; c < cols_; ++c) {
      const ns_t e = col_end(c);
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
      } else {
        path << "V" << num(yof(state[c])) << "H" << num(x1);
        prev = state[c];
      }
      c = d + 1;
    }
    body_ << blocks.str();
    body_ << "<path d=\"" << path.str() << "\" fill=\"none\" stroke=\"#1a6\" stroke-width=\"1.5\"/>\n";
  }

  // One band per LED position; each column shows the last frame latched by its end.
  double strip_rows(double top) {
    static const std::vector<StripFrame> kNone;
    const auto& frames = r_.strip ? r_.strip->frames : kNone;
    size_t leds = 0;
    for (const auto& f : frames) leds = std::max(leds, f.colors.size());
    const double band = kLedRow * static_cast<double>(std::max<size_t>(leds, 8));
    label(top + 12, o_.strip_pin + " strip");
    label(top + 26, std::to_string(frames.size()) + " frames");
    if (leds) {
      body_ << "<text x=\"" << num(kLeft - 8) << "\" y=\"" << num(top + band)
            << "\" text-anchor=\"end\" fill=\"#777\">LED " << leds - 1 << "</text>\n";
    }
    body_ << "<rect x=\"" << num(kLeft) << "\" y=\"" << num(top) << "\" width=\"" << cols_ << "\" height=\""
          << num(band) << "\" fill=\"#c8c8c8\"/>\n";
    if (frames.empty()) {
      body_ << "<text x=\"" << num(kLeft + 4) << "\" y=\"" << num(top + 14)
            << "\" fill=\"#999\">no frame latched</text>\n";
      return top + band + 10;
    }
    std::vector<long> shown(cols_, -1);  // frame index per column
    size_t k = 0;
    for (unsigned c = 0; c < cols_; ++c) {
      const ns_t e = col_end(c);
      while (k < frames.size() && frames[k].t < e) ++k;
      shown[c] = static_cast<long>(k) - 1;
    }
    auto color_at = [&](unsigned c, size_t led) -> std::string {
      if (shown[c] < 0) return "";
      const auto& f = frames[static_cast<size_t>(shown[c])];
      return led < f.colors.size() ? rgb(f.colors[led]) : "#bbbbbb";
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
    // there were in all; the marks are the listed ones.
    std::vector<StripViolation> sheet, real;
    if (r_.strip)
      for (const auto& v : r_.strip->violations) (v.datasheet ? sheet : real).push_back(v);
    const auto strip_mark = [](const StripViolation& v) { return std::pair<ns_t, std::string>(v.t, v.what); };
    mark_kind(real, "strip timing that real parts misread (listed in the report)", "#e80", y0, y1,
              strip_mark);
    mark_kind(sheet, "strip timing outside the datasheet windows (listed in the report)", "#84c", y0, y1,
              strip_mark);
    mark_kind(r_.unmodelled, "unmodelled register accesses", "#d22", y0, y1, [](const Unmodelled& u) {
      return std::pair<ns_t, std::string>(u.t, "unmodelled access from " + u.where);
    });
    std::vector<SvgMark> fails, others;
    for (const auto& m : o_.marks) (m.failure ? fails : others).push_back(m);
    mark_kind(others, "scenario steps", "#888", y0, y1,
              [](const SvgMark& m) { return std::pair<ns_t, std::string>(m.t, m.label); });
    mark_kind(fails, "failed expectations", "#d22", y0, y1,
              [](const SvgMark& m) { return std::pair<ns_t, std::string>(m.t, m.label); });
    if (!r_.faults.empty())
      legend_.push_back("model or core faults: " + std::to_string(r_.faults.size()) +
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
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) out << text;
  out.close();
  if (!out) {
    if (error) *error = path + ": cannot write the " + what;
    return false;
  }
  return true;
}

bool write_svg(const RunResult& r, const SvgOptions& o, const std::string& path, std::string* error) {
  return write_text_file(path, to_svg(r, o), "SVG picture", error);
}

}  // namespace vboard
