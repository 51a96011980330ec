// The live board: inputs at virtual times, recorded; the session as a scenario file.
#include "serve/live.h"

#include "outputs/stack_bound.h"

#include <algorithm>
#include <sstream>

#include "chip/reg_view.h"
#include "outputs/strip_outputs.h"
#include "outputs/report.h"
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
  if (pin >= on_.size() || !on_[pin] || muted_) return;
  kept_.edge(pin, t, level);
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
                     const BoardDescription& board, std::set<std::string> allowed, std::string board_why)
    : image_(image),
      image_path_(image_path),
      options_(std::move(options)),
      board_(board),
      allowed_(std::move(allowed)),
      board_why_(std::move(board_why)) {
  build();
}

LiveBoard::~LiveBoard() {
  if (m_) m_->board().watch_pins(nullptr);
}

void LiveBoard::build() {
  std::vector<unsigned> chosen;
  if (edges_) chosen = edges_->chosen();
  if (m_) m_->board().watch_pins(nullptr);
  hist_.reset();
  m_.reset();
  m_ = std::make_unique<Machine>(image_, options_, board_factory(board_));
  // A board paced to the wall clock leaves the CPU idle most of the time: its
  // checkpoints may take a tenth of what it runs, for short rewinds.
  hist_ = std::make_unique<History>(*m_, History::Options{kCheckpointEvery, 32, size_t{64} << 20, 0.1});
  inputs_.clear();
  cut_.reset();
  pin_names_ = m_->board().pin_names();
  edges_ = std::make_unique<EdgeLog>(pin_names_.size());
  trace(chosen);
  m_->board().watch_pins(edges_.get());
  if (StripView* s = first_strip(m_->board()); s && strip_pin())
    s->watch_frames([this, pin = *strip_pin()](const StripFrame& f) {
      if (f.colors.empty() || edges_->muted()) return;
      edges_->kept().frame(pin, f.t, f.bits, {f.colors.begin(), f.colors.end()});
    });
  last_.reset();
  driven_.clear();
  rec_ = Recording();
  rec_ = Recording(header("").size());
  steps_.clear();
  ++steps_version_;
}

void LiveBoard::rerecord() {
  rec_ = Recording(header("").size());
  std::vector<Applied> kept;
  for (Applied& a : steps_)
    if (rec_.add(a.t, step_lines(a))) kept.push_back(std::move(a));
  steps_ = std::move(kept);
  ++steps_version_;
}

std::string LiveBoard::drop_step(size_t i) {
  if (i >= steps_.size()) return "no step " + std::to_string(i + 1) + " in the record";
  steps_.erase(steps_.begin() + static_cast<std::ptrdiff_t>(i));
  rerecord();
  return "";
}

std::string LiveBoard::expect_after(size_t i, const std::string& pin, int level) {
  if (i >= steps_.size()) return "no step " + std::to_string(i + 1) + " in the record";
  if (std::find(pin_names_.begin(), pin_names_.end(), pin) == pin_names_.end())
    return "the board has no pin " + values::printable(pin);
  Applied a;
  a.t = steps_[i].t;
  a.input.kind = Input::Kind::mark_pin;
  a.input.pin = pin;
  a.seen_level = level;
  steps_.insert(steps_.begin() + static_cast<std::ptrdiff_t>(i + 1), a);
  rerecord();
  return "";
}

void LiveBoard::reset() { build(); }

void LiveBoard::trace(const std::vector<unsigned>& pins) {
  edges_->choose(pins);
  edges_->kept().keep(pins, m_->now(), levels());
}

std::optional<unsigned> LiveBoard::strip_pin() const {
  const BoardPart* part = board_.strip();
  if (!part || part->pins.empty()) return std::nullopt;
  const auto it = std::find(pin_names_.begin(), pin_names_.end(), part->pins.front());
  if (it == pin_names_.end()) return std::nullopt;
  return static_cast<unsigned>(it - pin_names_.begin());
}

ns_t LiveBoard::now() const { return m_->now(); }
bool LiveBoard::halted() const { return m_->halt().has_value(); }

bool LiveBoard::run_until(ns_t t) {
  if (halted()) return false;
  // Up to the latest instant reached, the run is one already seen: its edges are kept.
  if (const ns_t seen = reached(); m_->now() < seen) {
    edges_->mute(true);
    hist_->run_until(std::min(t, seen));
    edges_->mute(false);
  }
  if (!halted() && m_->now() < t) hist_->run_until(t);
  // A translated block that began before t ran whole, past it: the end asked
  // becomes where the run stands, as the replay of a saved session asks it
  // (the report notes a run that ended past the end asked).
  if (m_->now() > t) m_->run_until(m_->now());
  return !halted();
}

namespace {
// What an input does to the world, as a scenario's step does it (a mark: nothing).
void act(Machine& m, const Input& in, ns_t at) {
  Board& b = m.board();
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
    case Input::Kind::mark_strip:
      break;
  }
}
}  // namespace

std::string LiveBoard::apply(const Input& in, std::optional<ns_t> when) {
  Board& b = m_->board();
  const ns_t at = when ? std::min(*when, m_->now()) : m_->now();
  if (in.kind != Input::Kind::mark_strip &&
      std::find(pin_names_.begin(), pin_names_.end(), in.pin) == pin_names_.end())
    return "the board has no pin " + values::printable(in.pin);
  Applied a;
  a.t = at;
  a.input = in;
  switch (in.kind) {
    case Input::Kind::set:
    case Input::Kind::pulse:
    case Input::Kind::pulse_stop:
      if (m_->now() < reached()) cut_future();
      hist_->input(step_lines(a), [in, at](Machine& m) { act(m, in, at); });
      break;
    case Input::Kind::mark_pin:
      a.seen_level = b.pin_level(in.pin);
      break;
    case Input::Kind::mark_strip: {
      StripView* s = first_strip(b);
      if (!s) return "the board has no LED strip";
      if (!s->current()) return "no strip frame has latched yet: nothing to expect";
      a.seen_leds = strip_leds();
      if (const BoardPart* part = board_.strip())
        a.strip_length = std::get<BoardPart::Strip>(part->kind).leds;
      // A latch after fewer than 24 bits shows no LED: an expectation needs one.
      if (a.seen_leds.empty()) return "the strip's latched frame holds no whole LED: nothing to expect";
      break;
    }
  }
  if (m_->now() < reached() || (!steps_.empty() && steps_.back().t > at)) cut_future();
  inputs_.push_back(a);
  drive(driven_, in);
  if (rec_.add(at, step_lines(a))) {
    steps_.push_back(a);
    ++steps_version_;
  }
  last_ = std::move(a);
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

namespace {

// A one-line double-quoted YAML string of printable text.
std::string yaml_quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : values::printable(text)) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// Cycles per instruction as --cpi takes them: "1.5" for 1500.
std::string cpi_text(uint32_t milli) {
  std::string frac = std::to_string(1000 + milli % 1000).substr(1);
  while (!frac.empty() && frac.back() == '0') frac.pop_back();
  return std::to_string(milli / 1000) + (frac.empty() ? "" : "." + frac);
}

// A path as one word of a shell command: quoted when it holds anything else
// than letters, digits and / . _ - + , : @ =.
std::string shell_word(const std::string& text) {
  const std::string p = values::printable(text);
  if (!p.empty() &&
      p.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-+,:@=") ==
          std::string::npos)
    return p;
  std::string out = "'";
  for (char c : p) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

std::string LiveBoard::replay_command() const {
  std::string c = "vboard " + shell_word(image_path_);
  // The board: named when it is not the one the image runs on by itself.
  const BoardDescription& own = default_board(image_);
  if (!board_.file.empty() && (board_.file != own.file || board_.name != own.name))
    c += " --board " + shell_word(board_.file);
  if (options_.cpi_milli != MachineOptions{}.cpi_milli) c += " --cpi " + cpi_text(options_.cpi_milli);
  if (options_.timing == Timing::m4) c += " --timing m4";
  if (!options_.idle_skip) c += " --no-idle-skip";
  for (const std::string& f : options_.faults) c += " --fault " + f;
  for (const std::string& k : allowed_) c += " --allow " + k;
  return c + " --scenario FILE";
}

std::string LiveBoard::header(const std::string& name) const {
  const std::string slash = image_path_.substr(image_path_.find_last_of('/') + 1);
  std::string o = "# Recorded by vboard --serve from " + values::printable(slash) +
                  ": every input the page gave, at its virtual time,\n"
                  "# and the outputs marked in the page as expectations. Replay (FILE: this file):\n#   " +
                  replay_command() + "\n";
  const ns_t now = m_->now();
  if (rec_.full(now))
    o += "# The recording stopped at " + format_ns(rec_.reach(now)) + " (" + rec_.full_why(now) +
         "): this file reaches up to there of the session's " + format_ns(now) + ".\n";
  if (const auto& h = m_->halt(); h && h->t <= rec_.reach(now))
    o += "# The image halted at " + format_ns(h->t) + " (" + halt_words(*h) +
         "): the last delay goes just past it, so that the replay halts there too.\n";
  o += "name: " + yaml_quoted(name.empty() ? "live session" : name) + "\n";
  o += "version: 1\n";
  if (!board_.name.empty()) o += "board: " + board_.name + "\n";
  return o + "steps:\n";
}

std::string LiveBoard::scenario_text(const std::string& name) const {
  // At a rewound instant the file holds the session up to it.
  const bool rewound = !steps_.empty() && steps_.back().t > m_->now();
  const Recording part = rewound ? record_to_now() : Recording();
  const Recording& rec = rewound ? part : rec_;
  std::string o = header(name) + rec.steps();
  const ns_t to = rec.reach(m_->now());
  ns_t end = to;
  // The image halted within what the file holds: it ends past the halt, so
  // that the replay meets the same halt (and says so) rather than ending at it.
  if (const auto& h = m_->halt(); h && h->t <= to) end = std::min(h->t + kHaltMargin, limits::kMaxTime);
  if (end > rec.last()) o += delay_line(end - rec.last());
  if (rec.inputs() == 0 && end == 0) o += delay_line(0);
  return o;
}

std::string LiveBoard::report_json() const {
  ReportInfo info;
  info.image = image_path_;
  info.board = {board_.name, board_.file, board_why_};
  info.image_notes = image_.warnings();
  info.allowed = allowed_;
  RunResult r = m_->result();
  put_static_bound(*m_, r);
  return to_json(r, info);
}

std::string LiveBoard::where() const {
  uint64_t pc = 0;
  if (!m_->cpu_reg(CoreReg::pc, pc)) return "";
  return image_.describe(static_cast<uint32_t>(pc) & ~1u);
}

bool LiveBoard::watch_value(const std::string& expr, std::string* out) {
  // [*]name[+offset][:bytes]
  std::string e = expr;
  const bool deref = !e.empty() && e[0] == '*';
  if (deref) e.erase(0, 1);
  unsigned bytes = 0;
  uint32_t offset = 0;
  try {
    if (const size_t colon = e.rfind(':'); colon != std::string::npos && colon + 1 < e.size() &&
                                           std::isdigit(static_cast<unsigned char>(e[colon + 1]))) {
      bytes = static_cast<unsigned>(std::stoul(e.substr(colon + 1)));
      e.erase(colon);
    }
    if (const size_t plus = e.rfind('+'); plus != std::string::npos) {
      offset = static_cast<uint32_t>(std::stoul(e.substr(plus + 1), nullptr, 0));
      e.erase(plus);
    }
  } catch (const std::exception&) {
    *out = "write [*]symbol[+offset][:bytes]";
    return false;
  }
  const Symbol* sym = image_.find(e);
  if (!sym) {
    *out = "no symbol " + values::printable(e) + " in the image";
    return false;
  }
  uint32_t addr = sym->addr;
  if (deref && !m_->peek(addr, &addr, 4)) {
    *out = "cannot read the pointer at " + e;
    return false;
  }
  addr += offset;
  if (bytes == 0) bytes = deref ? 4 : std::clamp<unsigned>(sym->size, 1, 8);
  if (bytes != 1 && bytes != 2 && bytes != 4 && bytes != 8) {
    *out = "bytes: 1, 2, 4 or 8";
    return false;
  }
  uint64_t v = 0;
  if (!m_->peek(addr, &v, bytes)) {
    char a[16];
    std::snprintf(a, sizeof a, "0x%08x", addr);
    *out = std::string("nothing to read at ") + a;
    return false;
  }
  char hex[24];
  std::snprintf(hex, sizeof hex, "0x%0*llx", static_cast<int>(bytes * 2), static_cast<unsigned long long>(v));
  *out = std::to_string(v) + " (" + hex + ")";
  return true;
}

std::string LiveBoard::gdb_line() const {
  const std::string img = shell_word(image_path_);
  return "This live board has no GDB port. To step through the same image under GDB: vboard " + img +
         " --gdb 3333, then gdb-multiarch " + img +
         " -ex 'target remote :3333' (the image waits at reset there).";
}

bool LiveBoard::regs(std::string_view periph, std::string_view reg, std::string* out) {
  const auto read = [this](uint32_t addr, uint32_t& value) { return m_->debug_read(addr, &value, 4); };
  return periph::regview::describe(periph, reg, read, *out);
}

}  // namespace vboard::serve
