// The live board: inputs at virtual times, recorded; the session as a scenario file.
#include "serve/live.h"

#include <algorithm>
#include <sstream>

#include "outputs/strip_outputs.h"
#include "outputs/report.h"
#include "world/recognise.h"
#include "world/values.h"

namespace vboard::serve {

namespace {
// The live page shows the board's first strip (the board files allow one).
StripView* first_strip(Board& b) {
  const std::vector<StripView*> all = strips(b);
  return all.empty() ? nullptr : all.front();
}
}  // namespace

void EdgeLog::choose(const std::vector<unsigned>& pins) {
  chosen_.clear();
  on_.assign(pins_.size(), false);
  for (unsigned p : pins)
    if (p < pins_.size() && !on_[p]) {
      on_[p] = true;
      chosen_.push_back(p);
    }
  std::fill(pins_.begin(), pins_.end(), PinEdges{});
}

void EdgeLog::pin_changed(unsigned pin, ns_t t, int level) {
  if (pin >= on_.size() || !on_[pin]) return;
  PinEdges& e = pins_[pin];
  if (e.edges.size() < kMaxEdges) {
    e.edges.emplace_back(t, level);
    return;
  }
  if (!e.dropped) e.busy_from = t;
  ++e.dropped;
  e.busy_to = std::max(e.busy_to, t);
}

std::map<unsigned, EdgeLog::PinEdges> EdgeLog::take() {
  std::map<unsigned, PinEdges> out;
  for (unsigned p : chosen_) {
    PinEdges& e = pins_[p];
    if (e.edges.empty() && !e.dropped) continue;
    out[p] = std::move(e);
    e = PinEdges{};
  }
  return out;
}

LiveBoard::LiveBoard(const Image& image, const std::string& image_path, MachineOptions options,
                     const BoardDescription& board, std::set<std::string> allowed)
    : image_(image),
      image_path_(image_path),
      options_(std::move(options)),
      board_(board),
      allowed_(std::move(allowed)) {
  build();
}

LiveBoard::~LiveBoard() {
  if (m_) m_->board().watch_pins(nullptr);
}

void LiveBoard::build() {
  std::vector<unsigned> chosen;
  if (edges_) chosen = edges_->chosen();
  if (m_) m_->board().watch_pins(nullptr);
  m_.reset();
  m_ = std::make_unique<Machine>(image_, options_, board_factory(board_));
  pin_names_ = m_->board().pin_names();
  edges_ = std::make_unique<EdgeLog>(pin_names_.size());
  edges_->choose(chosen);
  m_->board().watch_pins(edges_.get());
  applied_.clear();
}

void LiveBoard::reset() { build(); }

ns_t LiveBoard::now() const { return m_->now(); }
bool LiveBoard::halted() const { return m_->halt().has_value(); }

bool LiveBoard::run_until(ns_t t) {
  if (halted()) return false;
  m_->run_until(t);
  return !halted();
}

std::string LiveBoard::apply(const Input& in) {
  Board& b = m_->board();
  const ns_t at = m_->now();
  if (in.kind != Input::Kind::mark_strip &&
      std::find(pin_names_.begin(), pin_names_.end(), in.pin) == pin_names_.end())
    return "the board has no pin " + values::printable(in.pin);
  Applied a;
  a.t = at;
  a.input = in;
  switch (in.kind) {
    case Input::Kind::set:
      // As a scenario's set step: whatever drove the line lets go, then the level.
      b.stop_sources(in.pin, at, false);
      b.add_level({in.pin, in.level, at, in.bounces, in.bounce_ns});
      break;
    case Input::Kind::pulse:
      // As a scenario's pulse step: a train under way finishes its pulse first.
      b.stop_sources(in.pin, at, true);
      b.add_pulse({in.pin, in.width, in.period, at, kNever, 0});
      break;
    case Input::Kind::pulse_stop:
      b.stop_sources(in.pin, at, true);
      break;
    case Input::Kind::mark_pin:
      a.seen_level = b.pin_level(in.pin);
      break;
    case Input::Kind::mark_strip: {
      StripView* s = first_strip(b);
      if (!s) return "the board has no LED strip";
      if (!s->current()) return "no strip frame has latched yet: nothing to expect";
      a.seen_leds = strip_leds();
      break;
    }
  }
  applied_.push_back(std::move(a));
  return "";
}

std::vector<int> LiveBoard::levels() const {
  std::vector<int> out(pin_names_.size());
  for (unsigned i = 0; i < out.size(); ++i) out[i] = m_->board().pin_level(i);
  return out;
}

std::vector<Rgb> LiveBoard::strip_leds() const {
  const StripView* s = first_strip(m_->board());
  if (!s || !s->current()) return {};
  const auto& c = s->current()->colors;
  return {c.begin(), c.end()};
}

uint64_t LiveBoard::strip_frames() const {
  const StripView* s = first_strip(m_->board());
  return s ? s->frames_total() : 0;
}

Findings LiveBoard::findings() const {
  Findings f;
  Board& b = m_->board();
  for (const Diagnostic& d : b.diagnostics()) f.lines.push_back(finding_words(d, allowed_.count(d.kind) > 0));
  for (const StripView* s : strips(b))
    for (const StripViolationKind& k : s->violation_kinds()) f.lines.push_back(strip_kind_words(k));
  const RunTally& t = m_->tally();
  if (t.unmodelled) {
    std::string line = "UNMODELLED accesses (the run fails): " + std::to_string(t.unmodelled);
    if (t.last_unmodelled) {
      char addr[16];
      std::snprintf(addr, sizeof addr, "0x%08x", t.last_unmodelled->addr);
      line += std::string(", the last a ") + (t.last_unmodelled->is_write ? "write " : "read ") + addr +
              " from " + t.last_unmodelled->where + " at " + format_ns(t.last_unmodelled->t);
    }
    f.lines.push_back(line);
  }
  if (t.faults)
    f.lines.push_back("FAULTS (the run fails): " + std::to_string(t.faults) + ", the last: " + t.last_fault);
  if (m_->halt()) f.halt = halt_words(*m_->halt());
  return f;
}

std::string scenario_time(ns_t t) {
  if (t == 0) return "0";
  if (t % kMs == 0) return std::to_string(t / kMs) + "ms";
  if (t % kUs == 0) return std::to_string(t / kUs) + "us";
  return std::to_string(t) + "ns";
}

namespace {

const std::pair<const char*, Rgb> kNamed[] = {
    {"dark", {0, 0, 0}},     {"red", {255, 0, 0}},       {"green", {0, 255, 0}},
    {"blue", {0, 0, 255}},   {"yellow", {255, 255, 0}},  {"magenta", {255, 0, 255}},
    {"cyan", {0, 255, 255}}, {"white", {255, 255, 255}},
};

std::string color_text(const Rgb& c) {
  for (const auto& [name, rgb] : kNamed)
    if (rgb == c) return name;
  return "[" + std::to_string(c[0]) + ", " + std::to_string(c[1]) + ", " + std::to_string(c[2]) + "]";
}

std::string level_text(int level) { return level < 0 ? "z" : std::to_string(level); }

// A one-line double-quoted YAML string of printable text.
std::string yaml_quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : values::printable(text)) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace

std::string LiveBoard::scenario_text(const std::string& name, std::string* error) const {
  const ns_t end = m_->now();
  if (end > limits::kMaxTime) {
    *error = "the session has run " + format_ns(end) + " of virtual time; a scenario holds at most " +
             values::exact_ns(limits::kMaxTime) + " (reset to start a shorter one)";
    return "";
  }
  std::ostringstream o;
  const std::string slash = image_path_.substr(image_path_.find_last_of('/') + 1);
  o << "# Recorded by vboard --serve from " << values::printable(slash)
    << ": every input the page gave, at its virtual time,\n"
       "# and the outputs marked in the page as expectations. Replay: vboard IMAGE";
  for (const std::string& f : options_.faults) o << " --fault " << f;
  o << " --scenario FILE\n";
  o << "name: " << yaml_quoted(name.empty() ? "live session" : name) << "\n";
  o << "version: 1\n";
  if (const std::string b = board_of(image_); !b.empty()) o << "board: " << b << "\n";
  o << "steps:\n";
  ns_t t = 0;
  const auto delay_to = [&](ns_t to) {
    if (to > t) o << "  - delay: " << scenario_time(to - t) << "\n";
    t = std::max(t, to);
  };
  for (const Applied& a : applied_) {
    delay_to(a.t);
    const Input& in = a.input;
    switch (in.kind) {
      case Input::Kind::set:
        o << "  - set: {pin: " << in.pin << ", level: " << level_text(in.level);
        if (in.bounces) o << ", bounce: " << in.bounces << "x" << scenario_time(in.bounce_ns);
        o << "}\n";
        break;
      case Input::Kind::pulse:
        o << "  - pulse: {pin: " << in.pin << ", width: " << scenario_time(in.width)
          << ", period: " << scenario_time(in.period) << "}\n";
        break;
      case Input::Kind::pulse_stop:
        o << "  - pulse: {pin: " << in.pin << ", stop: true}\n";
        break;
      case Input::Kind::mark_pin:
        o << "  - expect-pin: {pin: " << in.pin << ", level: " << a.seen_level << "}\n";
        break;
      case Input::Kind::mark_strip: {
        const auto& leds = a.seen_leds;
        const bool uniform =
            std::all_of(leds.begin(), leds.end(), [&](const Rgb& c) { return c == leds[0]; });
        if (uniform) {
          o << "  - expect-strip: {color: " << color_text(leds[0]) << "}\n";
          break;
        }
        o << "  - expect-strip:\n      segments:\n";
        for (size_t i = 0; i < leds.size();) {
          size_t j = i;
          while (j + 1 < leds.size() && leds[j + 1] == leds[i]) ++j;
          o << "        - {leds: "
            << (i == j ? std::to_string(i) : std::to_string(i) + "-" + std::to_string(j))
            << ", color: " << color_text(leds[i]) << "}\n";
          i = j + 1;
        }
        break;
      }
    }
  }
  delay_to(end);
  if (applied_.empty() && end == 0) o << "  - delay: 0\n";
  return o.str();
}

std::string LiveBoard::report_json() const {
  ReportInfo info;
  info.image = image_path_;
  info.image_notes = image_.warnings();
  info.allowed = allowed_;
  return to_json(m_->result(), info);
}

}  // namespace vboard::serve
