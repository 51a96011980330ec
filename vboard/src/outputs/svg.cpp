// SVG timeline of a run (see svg.h): the page, its left margin and the text
// measures; the rows are drawn in svg_pins.cpp, the lanes in svg_lanes.cpp.
// Everything is binned into pixel columns first, so the size of the picture
// depends on its width, not on the number of edges or frames in the run.
#include "outputs/svg.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "outputs/svg_picture.h"

namespace vboard {

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

namespace timeline {

Picture::Picture(const RunResult& r, const SvgOptions& o)
    : r_(r), o_(o), end_(std::max<ns_t>(r.virtual_ns, 1)) {
  for (const auto& p : r.parts)
    if (const PartOutputs* out = part_outputs(p->id.kind)) parts_.push_back({p.get(), out});
}

std::string Picture::draw() {
  std::vector<std::string> pins, left_out;
  const std::vector<Drawn> rows = choose_rows(pins, left_out);
  lay_out(pins, rows);
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
  return document(y);
}

std::vector<Drawn> Picture::choose_rows(std::vector<std::string>& pins,
                                        std::vector<std::string>& left_out) const {
  // The rows: the pins asked for; else every pin the board gives a role
  // (whether it changed or not); else every pin that changed.
  pins = o_.pins;
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
  return rows;
}

void Picture::lay_out(const std::vector<std::string>& pins, const std::vector<Drawn>& rows) {
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
}

// The page around the rows and lanes drawn down to `y`: the title, the scale's
// line, the body and the legend.
std::string Picture::document(double y) {
  const double page_width = static_cast<double>(width());
  std::vector<std::string> lines;
  for (const auto& l : legend_) wrap(l, page_width - 16, lines);
  // A title too long for one line goes on as many as it needs; the rest
  // of the picture moves down by the lines it took beyond the first.
  std::vector<std::string> head;
  wrap(o_.title, page_width - 16, head, 13 * 1.1);
  // The board in use goes on lines of its own under the title.
  std::vector<std::string> board;
  if (!o_.board.empty()) wrap("board: " + o_.board, page_width - 16, board);
  const double shift = 17 * static_cast<double>(head.size() + board.size() - 1);
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
  for (size_t i = 0; i < board.size(); ++i)
    s << "<text x=\"8\" y=\"" << num(18 + 17 * static_cast<double>(head.size() + i)) << "\" fill=\"#555\">"
      << xml_escape(board[i]) << "</text>\n";
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

bool Picture::part_pin(const std::string& pin) const {
  return std::any_of(parts_.begin(), parts_.end(), [&](const Drawn& d) { return d.record->id.pin == pin; });
}

// Changes after reset, exact (the history may keep fewer).
uint64_t Picture::changes(const std::string& pin) const {
  const auto st = r_.pin_state.find(pin);
  if (st != r_.pin_state.end()) return st->second.changes;
  const auto h = r_.pins.find(pin);
  return h == r_.pins.end() || h->second.empty() ? 0 : h->second.size() - 1;
}

std::string Picture::pin_label(const std::string& pin) const {
  const auto role = r_.pin_roles.find(pin);
  return role != r_.pin_roles.end() ? role->second + " " + pin : pin;
}

// Lines of at most `room` pixels, broken at spaces; a word longer than the
// room is broken where it has to be, so nothing runs off the page.
void Picture::wrap(const std::string& text, double room, std::vector<std::string>& out, double size) {
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
void Picture::unkept(double x0, double x1, double top, double height, const std::string& what) {
  if (x1 <= x0) return;
  body_ << "<rect x=\"" << num(x0) << "\" y=\"" << num(top) << "\" width=\"" << num(x1 - x0) << "\" height=\""
        << num(height) << "\" fill=\"url(#unkept)\" stroke=\"#999\"><title>" << xml_escape(what)
        << "</title></rect>\n";
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

void Picture::label(double y, const std::string& text, const char* fill, double size) {
  body_ << "<text x=\"" << num(left_ - 8) << "\" y=\"" << num(y) << "\" text-anchor=\"end\""
        << (fill ? std::string(" fill=\"") + fill + "\"" : std::string())
        << (size != 11 ? " font-size=\"" + num(size) + "\"" : std::string()) << ">" << xml_escape(text)
        << "</text>\n";
}

// The labels of the lanes below the rows (measured for the left margin).
std::vector<std::string> Picture::lane_labels() const {
  std::vector<std::string> out{"pulse width", "unmodelled", "scenario steps", "failed steps"};
  for (const PartOutputs* kind : part_outputs())
    for (const auto& l : kind->lane_labels()) out.push_back(l);
  return out;
}

}  // namespace timeline

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

std::string to_svg(const RunResult& r, const SvgOptions& o) { return timeline::Picture(r, o).draw(); }

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
