// The timer's whole-period path: a PWM channel whose compare values a DMA
// channel streams from memory is worked off a run of periods at a time, with
// the same output edges and DMA bookkeeping as the event-by-event path in
// timer.cpp.
#include <algorithm>
#include <cstring>

#include "chip/dma.h"
#include "chip/timer.h"

namespace vboard::periph {

// The channel whose compare value a DMA channel streams from memory, one item
// per compare match, while nothing else happens per period: PWM mode with
// preload, no update DMA, no repetition counter, one-pulse mode or update
// disable, the period's flags already set (setting them again changes nothing).
bool Timer::dma_fed_channel(unsigned* ch, Dma** dma, unsigned* dch) const {
  if (!whole_periods_ || !mux_ || cmp_mask_ == 0 || (cmp_mask_ & (cmp_mask_ - 1)) != 0) return false;
  const unsigned c = static_cast<unsigned>(__builtin_ctz(cmp_mask_));
  const uint32_t cr = val(tim::CR1), flags = val(tim::SR),
                 period_flags = tim::sr::UIF | tim::sr::CCxIF(c + 1);
  if (dma_cc_mask_ != cmp_mask_ || !oc_preload(c) ||
      (mode_[c] != tim::ccmr1::ocxm::PwmMode1 && mode_[c] != tim::ccmr1::ocxm::PwmMode2))
    return false;
  if (tim::dier::UDE.test(val(tim::DIER)) || (cr & (tim::cr1::UDIS | tim::cr1::OPM)) || arr_act_ == 0)
    return false;
  if ((flags & period_flags) != period_flags) return false;
  if (info_.has_rcr && (val(tim::RCR) != 0 || rep_left_ != 0)) return false;
  if (val(tim::PSC) != psc_act_ || val(tim::ARR) != arr_act_ || !clocked()) return false;
  *dma = mux_->dma_for(info_.req_cc[c], dch);
  *ch = c;
  return *dma != nullptr;
}

// Works off whole PWM periods of a DMA-fed channel at once, each exactly as the
// event-by-event path would: compare match (output change, DMA request whose
// item lands in the preload register), then overflow (update event: shadow
// registers load, outputs restart). Starts and ends at a period boundary; the
// DMA requests that raise a flag are left to the event-by-event path.
//
// Within a pass only the fed channel's compare value changes, so what the
// other channels do at an update event (take their constant preload values,
// restart OCxREF from them) is done once after the first period; the fed
// channel's OCxREF is low after its match and high from the period start while
// its compare value is not 0 (PWM 1; PWM 2 the other way round).
bool Timer::pwm_periods(ns_t t) {
  unsigned ch = 0, dch = 0;
  Dma* dma = nullptr;
  if (!dma_fed_channel(&ch, &dma, &dch)) return false;
  const auto ccr_i = static_cast<size_t>(index_of(tim::CCRx(ch + 1)));
  const Dma::QuietItems items = dma->quiet_items(dch, this, regs_[ccr_i].offset);
  if (items.count == 0) return false;
  const uint64_t period = static_cast<uint64_t>(arr_act_) + 1;
  // Whole periods that end by t: period k ends at tick cyc_tick_ + k * period,
  // which is at or before t exactly when that tick is at most ticks_at(t).
  const auto periods_by_t = [&] {
    const uint64_t ticks_t = ticks_at(t);
    return ticks_t < cyc_tick_ + period ? 0 : (ticks_t - cyc_tick_) / period;
  };
  if (ccr_act_[ch] > arr_act_ || periods_by_t() == 0) return false;
  const bool pwm2 = mode_[ch] == tim::ccmr1::ocxm::PwmMode2;
  // The pin sees OCxREF through the channel's enable and polarity; the other
  // channels are not in compare mode, so their outputs stay low.
  const bool out_en = (out_en_mask_ >> ch) & 1u;
  const int pol = static_cast<int>(tim::ccer::CCxP(ch + 1).get(val(tim::CCER)));
  PwmPass p;
  // OCxREF is PWM 2's level at a match and at the start of a period with CCR = 0,
  // the other level at the start of any other period.
  p.at_match = out_en ? (static_cast<int>(pwm2) ^ pol) : 0;
  p.at_start = out_en ? (static_cast<int>(!pwm2) ^ pol) : 0;
  p.keep = val_[ccr_i] & ~regs_[ccr_i].stored();
  p.wmask = regs_[ccr_i].stored() & items.mask;
  p.arr = arr_act_;
  p.out = static_cast<int>((out_levels_ >> ch) & 1u);
  p.c = ccr_act_[ch];
  if (batch_.size() < 2 * static_cast<size_t>(items.count))
    batch_.resize(2 * static_cast<size_t>(items.count));
  p.batch = batch_.data();
  p.offsets = offsets_for_rate();
  // tick_time() without a division per event: the time of tick k is
  // base_t_ + floor((k * num_ + den_ - 1) / den_); keep that quotient and its
  // remainder for the period start and add whole periods and compare offsets.
  split(static_cast<unsigned __int128>(period) * num_, &p.pq, &p.pr);
  const OutPin* train = train_pin(ch, p);
  const uint64_t rebase_above = fast_limit_ / 2;
  uint64_t done = 0;
  for (;;) {
    // Periods until the tick count must be rebased to keep tick * num_ in 64 bits
    // (a rebase moves the rounding of later ticks: count the periods again).
    const uint64_t before_rebase = cyc_tick_ > rebase_above ? 1 : (rebase_above - cyc_tick_) / period + 1;
    const uint32_t n = static_cast<uint32_t>(std::min({items.count - done, before_rebase, periods_by_t()}));
    if (n == 0) break;
    split(static_cast<unsigned __int128>(cyc_tick_) * num_ + den_ - 1, &p.q, &p.r);
    p.base = base_t_;
    const uint8_t* data = items.data + static_cast<size_t>(done) * items.stride;
    uint32_t k = 0;
    if (train) {
      const PwmPass before = p;
      k = pwm_run_sized<Emit::kCount>(p, data, items.size, items.stride, n);
      hand_train(before, p, data, k, items.size, items.stride, *train);
    } else {
      const bool edges = p.at_match != p.at_start;  // equal: the output is disabled
      k = edges ? pwm_run_sized<Emit::kEdges>(p, data, items.size, items.stride, n)
                : pwm_run_sized<Emit::kNone>(p, data, items.size, items.stride, n);
    }
    done += k;
    cyc_tick_ += k * period;
    ev_t_ = p.base + p.q;  // the last period start
    if (k < n) break;      // a compare value beyond ARR: its period goes event by event
    if (cyc_tick_ > rebase_above) rebase(ev_t_, 0);
  }
  val_[ccr_i] = p.c;
  for (unsigned k = 0; k < info_.channels; ++k) {
    if (oc_preload(k)) ccr_act_[k] = val(tim::CCRx(k + 1));
    ref_[k] = level_for(mode_[k], 0, ccr_act_[k], ref_[k]);
  }
  dma->quiet_done(dch, static_cast<uint32_t>(done));
  pos_ = 0;
  out_levels_ = (out_levels_ & ~(1u << ch)) | (static_cast<uint32_t>(p.out) << ch);
  const size_t nb = static_cast<size_t>(p.batch - batch_.data());
  if (nb != 0)
    for (const OutPin& o : out_pins_[ch]) o.gpio->af_outputs(o.pin, batch_.data(), nb);
  return true;
}

Timer::Offset* Timer::offsets_for_rate() {
  if (offsets_num_ != num_ || offsets_den_ != den_) {
    offsets_.assign(kOffsetSlots, Offset{});
    offsets_num_ = num_;
    offsets_den_ = den_;
  }
  return offsets_.data();
}

void Timer::split(unsigned __int128 x, uint64_t* q, uint64_t* r) const {
  *q = static_cast<uint64_t>(x / den_);
  *r = static_cast<uint64_t>(x % den_);
}

// The pin the fed channel's output reaches when it is the only one and only
// its listener looks at the edges: it takes the periods whole (PwmTrain).
const Timer::OutPin* Timer::train_pin(unsigned ch, const PwmPass& p) const {
  const OutPin* train = nullptr;
  unsigned live = 0;
  for (const OutPin& o : out_pins_[ch])
    if (o.gpio->af_live(o.pin)) ++live, train = &o;
  if (live != 1 || p.at_start != 1 || p.at_match != 0 || !train->gpio->takes_train(train->pin, p.out))
    return nullptr;
  return train;
}

// The edges of the periods pwm_count() worked off, counted: the first
// match (when it lowers the output), then a rise and a fall per period with a
// compare value not 0, but the fall of the last period, which is still to come.
void Timer::hand_train(const PwmPass& before, const PwmPass& p, const uint8_t* data, uint32_t k,
                       uint32_t size, uint32_t stride, const OutPin& o) const {
  if (k == 0) return;
  PwmTrain t;
  t.base = before.base;
  t.q = before.q;
  t.r = before.r;
  t.pq = p.pq;
  t.pr = p.pr;
  t.num = num_;
  t.den = den_;
  t.c = before.c;
  t.first_fall = before.out != before.at_match;
  t.n = k;
  t.data = data;
  t.stride = stride;
  t.size = size;
  t.keep = p.keep;
  t.mask = p.wmask;
  const bool last_lit = p.c != 0;
  const uint64_t edges = (t.first_fall ? 1u : 0u) + 2ull * p.lit - (last_lit ? 1u : 0u);
  ns_t last_t = t.match(t.c, t.q, t.r);
  if (last_lit) {
    last_t = p.base + p.q;
  } else if (p.last_lit != 0) {
    uint64_t q = t.q, r = t.r;
    t.step(p.last_lit, &q, &r);
    last_t = t.match(t.compare(p.last_lit - 1), q, r);
  }
  o.gpio->af_train(o.pin, t, edges, last_t, p.out);
}

template <Timer::Emit E>
uint32_t Timer::pwm_run_sized(PwmPass& p, const uint8_t* data, uint32_t size, uint32_t stride, uint32_t n) {
  constexpr bool edges = E == Emit::kEdges;
  if constexpr (E == Emit::kCount) {
    if (size == 1) return pwm_count<1>(p, data, stride, n);
    if (size == 2) return pwm_count<2>(p, data, stride, n);
    return pwm_count<4>(p, data, stride, n);
  } else {
    if (size == 1) return pwm_run<1, edges>(p, data, stride, n);
    if (size == 2) return pwm_run<2, edges>(p, data, stride, n);
    return pwm_run<4, edges>(p, data, stride, n);
  }
}

namespace {
template <unsigned Size>
uint32_t load_item(const uint8_t* data) {
  if constexpr (Size == 1) {
    return data[0];
  } else if constexpr (Size == 2) {
    uint16_t h;
    std::memcpy(&h, data, 2);
    return h;
  } else {
    uint32_t w;
    std::memcpy(&w, data, 4);
    return w;
  }
}
}  // namespace

// Up to n periods, each: compare match at c (the output takes its match level,
// the DMA item becomes the next compare value), then the period end (the
// output takes its start level). Stops early before a period whose compare
// value is beyond ARR (no match: the event path handles it).
//
// With the output enabled the two levels differ, and after a period start the
// output is at its start level exactly when the new compare value is not 0, so
// both edges of a period exist exactly when its compare value is not 0: the
// loop writes each edge and keeps it only then. With the output disabled
// (Edges false) the level never changes after the first match.
template <unsigned Size, bool Edges>
uint32_t Timer::pwm_run(PwmPass& p, const uint8_t* data, uint32_t stride, uint32_t n) {
  // Locals only: the stores into the batch could otherwise alias p's fields.
  const uint64_t den = den_, num = num_, pq = p.pq, pr = p.pr;
  const ns_t base = p.base;
  const uint32_t arr = p.arr, keep = p.keep, wmask = p.wmask;
  const int at_match = p.at_match, at_start = p.at_start;
  Offset* const offsets = p.offsets;
  uint64_t q = p.q, r = p.r;
  uint32_t c = p.c;
  PinChange* b = p.batch;
  const auto match_time = [&] {
    Offset& o = offsets[c % kOffsetSlots];
    if (o.tag != static_cast<uint64_t>(c) + 1) {
      o.tag = static_cast<uint64_t>(c) + 1;
      o.q = static_cast<uint64_t>(static_cast<unsigned __int128>(c) * num / den);
      o.r = static_cast<uint64_t>(static_cast<unsigned __int128>(c) * num % den);
    }
    return base + q + o.q + (r + o.r >= den ? 1 : 0);
  };
  if (n == 0 || c > arr) return 0;
  // The first match: the output may come from anywhere.
  if (p.out != at_match) *b++ = {match_time(), at_match};
  uint32_t i = 0;
  for (;;) {
    // End of period i: the next compare value loads, the next period starts.
    c = keep | (load_item<Size>(data) & wmask);
    data += stride;
    q += pq;
    r += pr;
    if (r >= den) {
      r -= den;
      ++q;
    }
    if constexpr (Edges) {
      *b = {base + q, at_start};
      b += c != 0;
    }
    if (++i == n || c > arr) break;
    // Match of period i + 1.
    if constexpr (Edges) {
      *b = {match_time(), at_match};
      b += c != 0;
    }
  }
  p.q = q;
  p.r = r;
  p.c = c;
  p.out = Edges && c != 0 ? at_start : at_match;
  p.batch = b;
  return i;
}

// pwm_run() for a PwmTrain: the same periods, stopping at the same compare
// value, with no edge written; counts the periods with a compare value not 0
// and finds the last of them instead. The period start moves on once at the end.
template <unsigned Size>
uint32_t Timer::pwm_count(PwmPass& p, const uint8_t* data, uint32_t stride, uint32_t n) {
  const uint32_t arr = p.arr, keep = p.keep, wmask = p.wmask;
  uint32_t c = p.c;
  if (n == 0 || c > arr) return 0;
  uint32_t i = 0, lit = 0, last_lit = 0;
  if (Size == 1 && stride == 1 && keep == 0 && (wmask & 0xffu) == 0xffu) {
    // Items as they are, 8 at a time while the 8 are equal (runs of one value are the rule).
    for (uint64_t w = 0; i + 8 <= n; i += 8, data += 8) {
      std::memcpy(&w, data, 8);
      const uint64_t v = w & 0xffu;
      if (w != v * 0x0101010101010101ull || v > arr) break;
      c = static_cast<uint32_t>(v);
      lit += c != 0 ? 8 : 0;
      last_lit = c != 0 ? i + 8 : last_lit;
    }
  }
  while (i < n) {
    c = keep | (load_item<Size>(data) & wmask);
    data += stride;
    ++i;
    lit += c != 0;
    last_lit = c != 0 ? i : last_lit;
    if (c > arr) break;
  }
  const auto x = static_cast<unsigned __int128>(i) * p.pr + p.r;
  p.q += i * p.pq + static_cast<uint64_t>(x / den_);
  p.r = static_cast<uint64_t>(x % den_);
  p.c = c;
  p.out = c != 0 ? p.at_start : p.at_match;
  p.lit = lit;
  p.last_lit = last_lit;
  return i;
}

}  // namespace vboard::periph
