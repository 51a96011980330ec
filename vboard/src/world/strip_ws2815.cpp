// WS2815 strip: decodes the data line from its edges. A bit is a high phase and
// the low phase after it; the low phase is known only at the next rising edge,
// so each bit is judged one edge late. A slot with no high phase just makes the
// low phase longer.
#include <algorithm>
#include <cstdio>
#include <numeric>

#include "world/strip_ws2815.h"
#include "vboard/state.h"

namespace vboard::world {

namespace {
const char* const kKindName[] = {"T0H", "T1H", "T0L", "T1L", "high", "low", "frame", "latch"};
const bool kKindDatasheet[] = {true, true, true, true, false, false, false, false};
const bool kKindOfHigh[] = {true, true, false, false, true, false, false, false};  // measures the high phase

void minmax(ns_t v, ns_t& lo, ns_t& hi, bool& have) {
  if (!have) {
    lo = hi = v;
    have = true;
    return;
  }
  lo = std::min(lo, v);
  hi = std::max(hi, v);
}
}  // namespace

Ws2815Strip::Ws2815Strip(periph::Context& ctx, unsigned leds, const StripTiming& timing, PartIdentity who)
    : ctx_(ctx), who_(std::move(who)), leds_(leds), tm_(timing) {
  bytes_.reserve(leds * 3 + 16);
}

std::string Ws2815Strip::describe(Kind k, ns_t value) const {
  using ull = unsigned long long;
  const auto v = static_cast<ull>(value);
  char b[112];
  const auto outside = [&](const char* name, const StripTiming::Window& w) {
    std::snprintf(b, sizeof b, "%s %llu ns outside %llu-%llu ns", name, v, static_cast<ull>(w.min),
                  static_cast<ull>(w.max));
  };
  switch (k) {
    case kT0H:
      outside("T0H", tm_.t0h);
      break;
    case kT1H:
      outside("T1H", tm_.t1h);
      break;
    case kT0L:
      outside("T0L", tm_.t0l);
      break;
    case kT1L:
      outside("T1L", tm_.t1l);
      break;
    case kAmbiguous:
      std::snprintf(b, sizeof b, "high %llu ns between %llu and %llu ns: bit value uncertain", v,
                    static_cast<ull>(tm_.zero_below), static_cast<ull>(tm_.one_above));
      break;
    case kLongLow:
      std::snprintf(b, sizeof b, "low %.2f us inside a frame, above %.2f us (not a reset)",
                    static_cast<double>(value) / 1000.0, static_cast<double>(tm_.longest_low) / 1000.0);
      break;
    case kNoLatch:
      std::snprintf(b, sizeof b, "no latch within %llu bits: the line never stayed low for %.2f us", v,
                    static_cast<double>(tm_.latch) / 1000.0);
      break;
    default:
      std::snprintf(b, sizeof b, "frame of %llu bits, expected %u", v, leds_ * 24);
  }
  return b;
}

void Ws2815Strip::violation(Kind k, ns_t t, ns_t value) {
  if (counts_[k]++ == 0) first_[k] = t;
  last_[k] = t;
  last_value_[k] = value;
  raised_ |= 1u << k;
  if (stored_[k] >= kPerKindCap || rep_.violations.size() >= kViolationCap) return;
  if (++stored_[k] >= kPerKindCap) unlisted_ |= 1u << k;
  if (rep_.violations.size() + 1 >= kViolationCap) unlisted_ = ~0u;
  rep_.violations.push_back({t, describe(k, value), kKindDatasheet[k]});
}

inline bool Ws2815Strip::repeat_bit(ns_t high, ns_t low, ns_t no_latch_at) {
  const Shape& s = shapes_[(high * 7 + low) & 15u];
  if (s.high != high || s.low != low || (s.kinds & ~unlisted_) != 0) return false;  // or still listed
  for (uint32_t k = s.kinds; k; k &= k - 1) {
    const unsigned kind = static_cast<unsigned>(__builtin_ctz(k));
    ++counts_[kind];
    last_[kind] = last_rise_;
    last_value_[kind] = kKindOfHigh[kind] ? high : low;
  }
  push_bit(s.bit, no_latch_at);
  return true;
}

inline void Ws2815Strip::push_bit(int bit, ns_t no_latch_at) {
  cur_ = static_cast<uint8_t>((cur_ << 1) | bit);
  ++bits_;
  ++bits_total_;
  if ((bits_ & 7u) == 0 && bytes_.size() < size_t{leds_} * 3) bytes_.push_back(cur_);
  if (bits_ == kNoLatchBits) violation(kNoLatch, no_latch_at, bits_);
}

void Ws2815Strip::finish_bit(ns_t high, ns_t low, bool last, ns_t t_rise) {
  raised_ = 0;
  int bit;
  if (high < tm_.zero_below) {
    bit = 0;
  } else if (high > tm_.one_above) {
    bit = 1;
  } else {
    bit = high >= (tm_.zero_below + tm_.one_above) / 2;
    violation(kAmbiguous, t_rise, high);
  }
  if (bit) {
    if (high < tm_.t1h.min || high > tm_.t1h.max) violation(kT1H, t_rise, high);
    minmax(high, rep_.t1h_min, rep_.t1h_max, have_stats_[1]);
    if (!last) {
      if (low < tm_.t1l.min || low > tm_.t1l.max) violation(kT1L, t_rise, low);
      minmax(low, rep_.t1l_min, rep_.t1l_max, have_low_[1]);
    }
  } else {
    if (high < tm_.t0h.min || high > tm_.t0h.max) violation(kT0H, t_rise, high);
    minmax(high, rep_.t0h_min, rep_.t0h_max, have_stats_[0]);
    if (!last) {
      if (low < tm_.t0l.min || low > tm_.t0l.max) violation(kT0L, t_rise, low);
      minmax(low, rep_.t0l_min, rep_.t0l_max, have_low_[0]);
    }
  }
  if (!last && low > tm_.longest_low) violation(kLongLow, t_rise, low);
  if (!last) shapes_[(high * 7 + low) & 15u] = {high, low, bit, raised_};
  push_bit(bit, last_rise_);
}

void Ws2815Strip::latch(ns_t t) {
  ++frames_total_;
  if (bits_ != leds_ * 24) violation(kFrameBits, t, bits_);
  StripFrame f;
  f.t = t;
  f.bits = bits_;
  const size_t n = bytes_.size() / 3;
  std::vector<LedColors::Rgb> colors(n);
  for (size_t i = 0; i < n; ++i) colors[i] = {bytes_[3 * i + 1], bytes_[3 * i], bytes_[3 * i + 2]};  // GRB
  if (current_.frames && current_.bits == f.bits && current_.colors.list() == colors) {
    f.colors = current_.colors;  // the same colours again: shared, not copied
    ++current_.frames;
    current_.last_t = t;
  } else {
    if (current_.frames && runs_.size() < kRunCap) runs_.push_back(std::move(current_));
    ++runs_total_;
    f.colors = LedColors(std::move(colors));
    current_ = {frames_total_, 1, t, t, f.bits, f.colors};
  }
  if (watch_) watch_(f);
  if (board_watch_) board_watch_(f);
  if (rep_.frames.size() < kFrameCap) rep_.frames.push_back(std::move(f));
  bits_ = 0;
  cur_ = 0;
  bytes_.clear();
  gap_open_ = true;
}

inline void Ws2815Strip::edge(int level, ns_t t) {
  if (level == level_) return;
  level_ = level;
  if (level) {
    const ns_t low = t - last_fall_;
    if (pending_) {
      pending_ = false;
      if (low >= tm_.latch) {
        finish_bit(pending_high_, low, true, last_rise_);
        latch(last_fall_);
      } else {
        if (!repeat_bit(pending_high_, low, last_rise_)) finish_bit(pending_high_, low, false, last_rise_);
      }
    }
    if (gap_open_ && low >= tm_.latch) {
      if (rep_.latch_min == 0 || low < rep_.latch_min) rep_.latch_min = low;
    }
    gap_open_ = false;
    last_rise_ = t;
  } else {
    pending_high_ = t - last_rise_;
    pending_ = true;
    last_fall_ = t;
  }
}

void Ws2815Strip::pin_changed(int level, ns_t t) { edge(level, t); }

// Bits inside a frame whose shape was judged before, taken in pairs of edges
// (rise, fall) from c[i] on with the state in locals: each is what edge() does
// for the two edges when repeat_bit() finds the shape. Returns where that
// stops (a new shape, a reset gap, a still-listed violation, the line not
// low with a bit pending); edge() takes it from there.
size_t Ws2815Strip::known_bits(const PinChange* c, size_t i, size_t n) {
  if (level_ != 0 || !pending_ || gap_open_) return i;
  ns_t last_fall = last_fall_, last_rise = last_rise_, high = pending_high_;
  unsigned bits = bits_;
  uint8_t cur = cur_;
  const uint32_t unlisted = unlisted_;
  for (; i + 1 < n; i += 2) {
    if (c[i].level == 0 || c[i + 1].level != 0) break;
    const ns_t rise = c[i].t, low = rise - last_fall;
    // A shape is kept only for a low phase shorter than the reset gap, so a
    // match also says that this rise does not end the frame.
    const Shape& s = shapes_[(high * 7 + low) & 15u];
    if (s.high != high || s.low != low || (s.kinds & ~unlisted) != 0) break;
    for (uint32_t k = s.kinds; k; k &= k - 1) {
      const unsigned kind = static_cast<unsigned>(__builtin_ctz(k));
      ++counts_[kind];
      last_[kind] = last_rise;
      last_value_[kind] = kKindOfHigh[kind] ? high : low;
    }
    cur = static_cast<uint8_t>((cur << 1) | s.bit);
    if ((++bits & 7u) == 0 && bytes_.size() < size_t{leds_} * 3) bytes_.push_back(cur);
    if (bits == kNoLatchBits) violation(kNoLatch, rise, bits);
    last_rise = rise;
    last_fall = c[i + 1].t;
    high = last_fall - rise;
  }
  bits_total_ += bits - bits_;
  bits_ = bits;
  cur_ = cur;
  last_rise_ = last_rise;
  last_fall_ = last_fall;
  pending_high_ = high;
  return i;
}

void Ws2815Strip::pin_changes(const PinChange* c, size_t n) {
  for (size_t i = known_bits(c, 0, n); i < n; i = known_bits(c, i + 1, n)) edge(c[i].level, c[i].t);
}

// Eight bits at a time where they fill whole bytes: m bits of value `bit`.
// The caller keeps kNoLatchBits out of the way.
void Ws2815Strip::push_bits(int bit, uint64_t m) {
  for (; m != 0 && (bits_ & 7u) != 0; --m) push_bit(bit, last_rise_);
  if (const uint64_t whole = m / 8; whole != 0) {
    const auto byte = static_cast<uint8_t>(bit ? 0xff : 0);
    const size_t room = size_t{leds_} * 3 - std::min(bytes_.size(), size_t{leds_} * 3);
    bytes_.insert(bytes_.end(), static_cast<size_t>(std::min<uint64_t>(room, whole)), byte);
    bits_ += static_cast<unsigned>(8 * whole);
    bits_total_ += 8 * whole;
    cur_ = byte;
    m -= 8 * whole;
  }
  for (; m != 0; --m) push_bit(bit, last_rise_);
}

// A rise inside a frame with a bit pending and the line low for less than
// the reset gap: what pin_changes() does for it (known_bits() takes a known
// shape, and dates a line without latch by this rise; edge() the others).
// Returns the violations the bit raised.
uint32_t Ws2815Strip::rise_in_frame(ns_t t) {
  const ns_t low = t - last_fall_;
  level_ = 1;
  pending_ = false;
  uint32_t kinds = shapes_[(pending_high_ * 7 + low) & 15u].kinds;  // what repeat_bit() finds
  if (!repeat_bit(pending_high_, low, t)) {
    finish_bit(pending_high_, low, false, last_rise_);
    kinds = raised_;
  }
  last_rise_ = t;
  return kinds;
}

// The periods of a train as edge() takes their edges, but for runs of
// periods with one compare value. A period's bit (its high time and the low
// time up to the next start) depends only on its compare value and on where
// its start falls between two whole ns, which repeats every `cycle` periods.
// Once a whole cycle of such bits in a row raised no violation and gave the
// same value, further whole cycles of the run give the same bits and leave
// the timing summary and the shapes as they are: they are only counted.
void Ws2815Strip::pin_train(const periph::PwmTrain& t) {
  uint64_t q = t.q, r = t.r;
  if (t.first_fall) edge(0, t.match(t.c, q, r));
  const uint64_t cycle = t.den / std::gcd(t.pr, t.den);
  uint32_t prev = 0;   // compare value of the period before (0: no pulse)
  uint64_t clean = 0;  // bits in a row of that value that raised nothing, all equal to clean_bit
  int clean_bit = 0;
  uint32_t run_end = 0;  // periods before it have the compare value prev (once looked up)
  for (uint32_t i = 1; i <= t.n; ++i) {
    const uint32_t c = t.compare(i - 1);
    if (c == 0) {  // no pulse up to period `last`: the line stays low
      const uint32_t last = t.same_until(i, t.n, 0);
      t.step(last - i + 1, &q, &r);
      i = last;
      prev = 0;
      continue;
    }
    q += t.pq;
    r += t.pr;
    if (r >= t.den) {
      r -= t.den;
      ++q;
    }
    const ns_t rise = t.base + q;
    if (c != prev || level_ != 0 || !pending_ || gap_open_ || rise - last_fall_ >= tm_.latch) {
      edge(1, rise);
      clean = 0;
      run_end = 0;
    } else {
      if (clean >= cycle) {
        if (run_end <= i) run_end = t.same_until(i, t.n, c) + 1;
        // Periods i .. i + m - 1 whole, each one's fall inside the train.
        const uint64_t m = std::min<uint64_t>(run_end - i, t.n - i) / cycle * cycle;
        if (m != 0 && (bits_ + m < kNoLatchBits || bits_ >= kNoLatchBits)) {
          push_bits(clean_bit, m);
          t.step(m - 1, &q, &r);
          last_rise_ = t.base + q;
          last_fall_ = t.match(c, q, r);
          pending_high_ = last_fall_ - last_rise_;
          i += static_cast<uint32_t>(m - 1);
          continue;
        }
      }
      const uint32_t kinds = rise_in_frame(rise);
      const int bit = cur_ & 1;
      clean = kinds != 0 ? 0 : clean != 0 && bit != clean_bit ? 1 : clean + 1;
      clean_bit = bit;
    }
    prev = c;
    if (i < t.n) edge(0, t.match(c, q, r));
  }
}

void Ws2815Strip::advance(ns_t now) {
  ++ctx_.epoch;
  if (sync_) sync_(now);
  if (pending_ && level_ == 0 && now - last_fall_ >= tm_.latch) {
    pending_ = false;
    finish_bit(pending_high_, 0, true, last_rise_);
    latch(last_fall_);
  }
}

uint64_t Ws2815Strip::violation_count(bool datasheet) const {
  uint64_t n = 0;
  for (unsigned k = 0; k < kKinds; ++k)
    if (kKindDatasheet[k] == datasheet) n += counts_[k];
  return n;
}

std::vector<StripViolationKind> Ws2815Strip::violation_kinds() const {
  std::vector<StripViolationKind> out;
  for (unsigned k = 0; k < kKinds; ++k)
    if (counts_[k])
      out.push_back({kKindName[k], counts_[k], stored_[k], kKindDatasheet[k], first_[k], last_[k],
                     describe(static_cast<Kind>(k), last_value_[k])});
  return out;
}

std::vector<PartViolations> Ws2815Strip::violations() const {
  // Timing real parts misread is checked as "strip", timing only outside the
  // datasheet's windows as "strip-datasheet" (the names expect-no-violations takes).
  std::vector<PartViolations> out;
  for (const StripViolationKind& k : violation_kinds())
    out.push_back({k.datasheet ? "strip-datasheet" : "strip", k.kind, k.total, k.last, k.last_what});
  return out;
}

std::shared_ptr<const PartRecord> Ws2815Strip::record() const {
  return std::make_shared<StripReport>(report());
}

std::string Ws2815Strip::describe() const {
  std::string out = std::to_string(frames_total_) + " strip frames, " +
                    std::to_string(violation_count(false)) + " timing violations real parts misread, " +
                    std::to_string(violation_count(true)) + " outside the datasheet windows\n";
  if (!frames_total_) return out;
  const StripRun& run = current_;
  out += "last frame latched at " + format_ns(run.last_t) + " (the same since " + format_ns(run.first_t) +
         ", " + std::to_string(run.frames) + " frames), " + std::to_string(run.colors.size()) + " LEDs:";
  const auto& c = run.colors;
  // Runs of one colour, "12 x #ff0000".
  for (size_t i = 0; i < c.size();) {
    size_t j = i;
    while (j < c.size() && c[j] == c[i]) ++j;
    char b[40];
    std::snprintf(b, sizeof b, " %zu x #%02x%02x%02x", j - i, c[i][0], c[i][1], c[i][2]);
    out += b;
    i = j;
  }
  return out + "\n";
}

StripReport Ws2815Strip::report() const {
  StripReport r = rep_;
  r.id = who_;
  r.timing = tm_;
  r.leds = leds_;
  r.frames_total = frames_total_;
  r.runs = runs_;
  r.runs_total = runs_total_;
  if (frames_total_) {
    r.current = current_;
    if (runs_.size() < kRunCap) r.runs.push_back(current_);
  }
  r.violation_kinds = violation_kinds();
  for (const StripViolationKind& k : r.violation_kinds) r.violations_total += k.total;
  return r;
}

}  // namespace vboard::world

// ------------------------------------------------------------------ state

namespace vboard {

// Colours are shared between equal frames; a load gives each its own copy.
inline void state_fields(StateVisitor& v, LedColors& c) {
  std::vector<LedColors::Rgb> list = c.list();
  v("rgb", list);
  if (v.loading()) c = LedColors(std::move(list));
}
// The kept frames: a frame with the colours of the one before says so instead
// of listing them again (a firmware repaints the same colours for thousands of
// frames), and a load shares them between such frames as the strip did.
inline void list_frames(StateVisitor& v, std::vector<StripFrame>& frames) {
  const LedColors* before = nullptr;
  v.items("frames", frames, [&before](StateVisitor& s, StripFrame& f) {
    bool same = !s.loading() && before && *before == f.colors;
    s("t", f.t);
    s("same_colors", same);
    if (same && s.loading()) f.colors = *before;
    if (!same) s("colors", f.colors);
    s("bits", f.bits);
    before = &f.colors;
  });
}
inline void state_fields(StateVisitor& v, StripRun& r) {
  v("first_frame", r.first_frame);
  v("frames", r.frames);
  v("first_t", r.first_t);
  v("last_t", r.last_t);
  v("bits", r.bits);
  v("colors", r.colors);
}
inline void state_fields(StateVisitor& v, StripViolation& x) {
  v("t", x.t);
  v("what", x.what);
  v("datasheet", x.datasheet);
}
inline void state_fields(StateVisitor& v, StripViolationKind& k) {
  v("kind", k.kind);
  v("total", k.total);
  v("listed", k.listed);
  v("datasheet", k.datasheet);
  v("first", k.first);
  v("last", k.last);
  v("last_what", k.last_what);
}
inline void state_fields(StateVisitor& v, StripTiming::Window& w) {
  v("min", w.min);
  v("max", w.max);
}
inline void state_fields(StateVisitor& v, StripTiming& t) {
  v("t0h", t.t0h);
  v("t1h", t.t1h);
  v("t0l", t.t0l);
  v("t1l", t.t1l);
  v("latch", t.latch);
  v("zero_below", t.zero_below);
  v("one_above", t.one_above);
  v("longest_low", t.longest_low);
}
inline void state_fields(StateVisitor& v, StripReport& r) {
  list_frames(v, r.frames);
  v("frames_total", r.frames_total);
  v("runs", r.runs);
  v("runs_total", r.runs_total);
  v("current", r.current);
  v("violations", r.violations);
  v("violation_kinds", r.violation_kinds);
  v("violations_total", r.violations_total);
  const std::pair<const char*, ns_t*> times[] = {
      {"t0h_min", &r.t0h_min}, {"t0h_max", &r.t0h_max}, {"t1h_min", &r.t1h_min},
      {"t1h_max", &r.t1h_max}, {"t0l_min", &r.t0l_min}, {"t0l_max", &r.t0l_max},
      {"t1l_min", &r.t1l_min}, {"t1l_max", &r.t1l_max}, {"latch_min", &r.latch_min}};
  for (const auto& [name, x] : times) v(name, *x);
  v("timing", r.timing);
}

}  // namespace vboard

namespace vboard::world {

// Its identity, the LED count and the timing windows come from the board
// description; the sync and frame callbacks are wiring.
void Ws2815Strip::state(StateVisitor& v) {
  v("level", level_);
  v("last_rise", last_rise_);
  v("last_fall", last_fall_);
  v("pending", pending_);
  v("pending_high", pending_high_);
  v("gap_open", gap_open_);
  v("bits", bits_);
  v("cur", cur_);
  v("bytes", bytes_);
  v("bits_total", bits_total_);
  v("frames_total", frames_total_);
  v("counts", counts_);
  v("first", first_);
  v("last", last_);
  v("last_value", last_value_);
  v("stored", stored_);
  v("rep", rep_);
  v("runs", runs_);
  v("runs_total", runs_total_);
  v("current", current_);
  v("have_stats", have_stats_);
  v("have_low", have_low_);
  v.items("shapes", shapes_, [](StateVisitor& s, Shape& x) {
    s("high", x.high);
    s("low", x.low);
    s("bit", x.bit);
    s("kinds", x.kinds);
  });
  v("raised", raised_);
  v("unlisted", unlisted_);
}

}  // namespace vboard::world
