// Up-counting timers computed lazily from virtual time. The counter is never
// ticked: its value follows from the time since the current counting cycle began,
// and advance() walks only the events that matter (update events, compare
// matches), so a PWM period costs two small steps.
#include <algorithm>
#include <numeric>

#include "chip/dma.h"
#include "chip/timer.h"
#include "vboard/state.h"

namespace vboard::periph {

namespace {

// The CC1..CC4 interrupt flags of SR.
constexpr uint32_t kCcFlags = tim::sr::CC1IF | tim::sr::CC2IF | tim::sr::CC3IF | tim::sr::CC4IF;

// OCxREF at a compare match: the match modes act on it, the others follow
// the counter as level_for() says.
inline int level_at_match(unsigned mode, uint32_t cnt, uint32_t ccr, int old) {
  switch (mode) {
    case tim::ccmr1::ocxm::ActiveOnMatch:
      return 1;
    case tim::ccmr1::ocxm::InactiveOnMatch:
      return 0;
    case tim::ccmr1::ocxm::Toggle:
      return !old;
    default:
      return Timer::level_for(mode, cnt, ccr, old);
  }
}
}  // namespace

// ------------------------------------------------------------ time arithmetic

void Timer::load_rate() {
  uint64_t f = clocks_.timer_clock_hz(info_.name);
  if (f == 0) f = 1;
  uint64_t n = 1'000'000'000ull * (static_cast<uint64_t>(psc_act_) + 1);
  const uint64_t g = std::gcd(n, f);
  num_ = n / g;
  den_ = f / g;
  fast_limit_ = (~0ull - den_) / num_;
}

ns_t Timer::tick_time(uint64_t tick) const {
  if (tick <= fast_limit_) return base_t_ + (tick * num_ + den_ - 1) / den_;
  const unsigned __int128 p = static_cast<unsigned __int128>(tick) * num_ + den_ - 1;
  return base_t_ + static_cast<ns_t>(p / den_);
}

uint64_t Timer::ticks_at(ns_t t) const {
  if (t <= base_t_) return 0;
  return static_cast<uint64_t>(static_cast<unsigned __int128>(t - base_t_) * den_ / num_);
}

void Timer::rebase(ns_t t, uint32_t cnt) {
  base_t_ = t;
  cyc_tick_ = 0;
  cyc_cnt0_ = cnt;
}

uint32_t Timer::counter_at(ns_t t) const {
  if (!run_) return stopped_cnt_;
  if (arr_act_ == 0 && cyc_cnt0_ == 0) return 0;
  const uint64_t k = ticks_at(t);
  if (k <= cyc_tick_) return cyc_cnt0_;
  const uint64_t c = cyc_cnt0_ + (k - cyc_tick_);
  return c > top() ? top() : static_cast<uint32_t>(c);
}

void Timer::clock_changed(ns_t t) {
  if (!run_) {
    load_rate();
    return;
  }
  t = std::max(t, done_t_);
  process(t);
  const uint32_t c = counter_at(t);
  load_rate();
  rebase(t, c);
}

// ------------------------------------------------------------ flags and IRQs

void Timer::set_flags(uint32_t bits) {
  const uint32_t sr = val(tim::SR);
  if ((sr & bits) == bits) return;
  set(tim::SR, sr | bits);
  update_irq();
}

void Timer::update_irq() {
  // DIER's interrupt enables sit where SR's flags do.
  const uint32_t s = val(tim::SR) & val(tim::DIER);
  const std::array<unsigned, 4>& irqs = info_.irq;
  const bool hi[4] = {tim::sr::UIF.test(s), (s & kCcFlags) != 0, (s & (tim::sr::COMIF | tim::sr::TIF)) != 0,
                      tim::sr::BIF.test(s)};
  for (unsigned i = 0; i < 4; ++i) {
    bool any = false;
    for (unsigned j = 0; j < 4; ++j) any = any || (irqs[j] == irqs[i] && hi[j]);
    ctx_.irq.set(irqs[i], irq_src_, any);
  }
}

// ------------------------------------------------------------ counting

void Timer::start(ns_t t) {
  run_ = true;
  load_rate();
  rebase(t, stopped_cnt_);
  pos_ = stopped_cnt_;
  done_t_ = t;
  refresh_outputs(t);
}

// Shadow registers take their preload values.
void Timer::update_event(ns_t t, bool from_ug) {
  psc_act_ = val(tim::PSC);
  arr_act_ = val(tim::ARR);
  for (unsigned ch = 0; ch < info_.channels; ++ch)
    if (oc_preload(ch)) ccr_act_[ch] = val(tim::CCRx(ch + 1));
  if (info_.has_rcr) rep_left_ = val(tim::RCR);
  const bool urs = tim::cr1::URS.test(val(tim::CR1));
  if (!from_ug || !urs) {
    set_flags(tim::sr::UIF.mask());
    if (tim::dier::UDE.test(val(tim::DIER)) && info_.req_up && mux_) mux_->request(info_.req_up, t);
  }
}

void Timer::overflow(uint64_t tick, ns_t t) {
  cyc_tick_ = tick;
  cyc_cnt0_ = 0;
  pos_ = 0;
  bool uev = true;
  if (info_.has_rcr && rep_left_ > 0) {
    --rep_left_;
    uev = false;
  }
  if (uev && !tim::cr1::UDIS.test(val(tim::CR1))) {
    const uint32_t old_psc = psc_act_;
    update_event(t, false);
    if (psc_act_ != old_psc) {
      load_rate();
      rebase(t, 0);
    }
  }
  // Keep tick * num_ in 64 bits.
  if (cyc_tick_ > fast_limit_ / 2) rebase(t, 0);
  if (uev && tim::cr1::OPM.test(val(tim::CR1))) {
    set(tim::CR1, tim::cr1::CEN.put(val(tim::CR1), 0));
    run_ = false;
    stopped_cnt_ = 0;
  }
  for (unsigned ch = 0; ch < info_.channels; ++ch)
    set_ref(ch, level_for(mode_[ch], 0, ccr_act_[ch], ref_[ch]), t);
}

void Timer::matches(uint32_t value, ns_t t) {
  uint32_t hit = 0, flags = 0;
  for (unsigned ch = 0; ch < info_.channels; ++ch) {
    if (!((cmp_mask_ >> ch) & 1u) || ccr_act_[ch] != value) continue;
    hit |= 1u << ch;
    flags |= tim::sr::CCxIF(ch + 1).mask();
    set_ref(ch, level_at_match(mode_[ch], value, ccr_act_[ch], ref_[ch]), t);
  }
  pos_ = static_cast<uint64_t>(value) + 1;
  set_flags(flags);
  const uint32_t req = hit & dma_cc_mask_;
  if (req && mux_) {
    for (unsigned ch = 0; ch < info_.channels; ++ch) {
      if (!((req >> ch) & 1u)) continue;
      mux_->request(info_.req_cc[ch], t);
      // Without preload a DMA write changes the compare value at once.
      if (!oc_preload(ch)) set_ref(ch, level_for(mode_[ch], value, ccr_act_[ch], ref_[ch]), t);
    }
  }
}

void Timer::process(ns_t t) {
  if (t <= done_t_ || busy_) return;
  busy_ = true;
  while (run_) {
    if (cyc_cnt0_ == 0 && pos_ == 0 && pwm_periods(t)) continue;
    if (arr_act_ == 0 && cyc_cnt0_ == 0) break;  // the counter is blocked while ARR is 0
    const uint32_t tp = top();
    const uint64_t ov_tick = cyc_tick_ + (tp - cyc_cnt0_) + 1;
    uint64_t ev = ov_tick;
    bool is_match = false;
    uint32_t mval = 0;
    if (cmp_mask_) {
      uint32_t best = ~0u;
      for (unsigned ch = 0; ch < info_.channels; ++ch) {
        const uint32_t c = ccr_act_[ch];
        if (((cmp_mask_ >> ch) & 1u) && c >= pos_ && c >= cyc_cnt0_ && c <= tp && c < best) best = c;
      }
      if (best != ~0u) {
        ev = cyc_tick_ + (best - cyc_cnt0_);
        is_match = true;
        mval = best;
      }
    }
    const ns_t et = tick_time(ev);
    if (et > t) break;
    ev_t_ = et;
    if (is_match)
      matches(mval, et);
    else
      overflow(ov_tick, et);
  }
  busy_ = false;
  done_t_ = t;
}

ns_t Timer::next_event() const {
  if (!run_ || (arr_act_ == 0 && cyc_cnt0_ == 0)) return kNever;
  const uint32_t ie = val(tim::DIER), flags = val(tim::SR);
  ns_t best = kNever;
  const uint32_t tp = top();
  const uint64_t ov = cyc_tick_ + (tp - cyc_cnt0_) + 1;
  const uint64_t period = static_cast<uint64_t>(arr_act_) + 1;
  if (tim::dier::UIE.test(ie) && !tim::sr::UIF.test(flags) && !tim::cr1::UDIS.test(val(tim::CR1)))
    best = tick_time(ov + static_cast<uint64_t>(rep_left_) * period);
  for (unsigned ch = 0; ch < info_.channels; ++ch) {
    if (!tim::dier::CCxIE(ch + 1).test(ie) || tim::sr::CCxIF(ch + 1).test(flags) || !((cmp_mask_ >> ch) & 1u))
      continue;
    const uint32_t c = ccr_act_[ch];
    uint64_t tick;
    if (c >= pos_ && c >= cyc_cnt0_ && c <= tp) {
      tick = cyc_tick_ + (c - cyc_cnt0_);
    } else {
      const uint32_t cn = oc_preload(ch) ? val(tim::CCRx(ch + 1)) : c;
      tick = ov + (cn < period ? cn : 0);
    }
    best = std::min(best, tick_time(tick));
  }
  return best;
}

ns_t Timer::request_time(unsigned req, uint64_t k) const {
  if (!run_ || k == 0 || (arr_act_ == 0 && cyc_cnt0_ == 0)) return kNever;
  const uint32_t tp = top();
  const uint64_t ov = cyc_tick_ + (tp - cyc_cnt0_) + 1;
  const uint64_t period = static_cast<uint64_t>(arr_act_) + 1;
  if (req == info_.req_up) {
    if (!tim::dier::UDE.test(val(tim::DIER))) return kNever;
    const uint64_t every = info_.has_rcr ? (static_cast<uint64_t>(val(tim::RCR)) + 1) * period : period;
    return tick_time(ov + rep_left_ * period + (k - 1) * every);
  }
  for (unsigned ch = 0; ch < info_.channels; ++ch) {
    if (req != info_.req_cc[ch]) continue;
    if (!((cmp_mask_ >> ch) & 1u) || !((dma_cc_mask_ >> ch) & 1u)) return kNever;
    const uint32_t c = ccr_act_[ch];
    bool pending_now = c >= pos_ && c >= cyc_cnt0_ && c <= tp;
    if (pending_now) {
      if (k == 1) return tick_time(cyc_tick_ + (c - cyc_cnt0_));
      --k;
    }
    // Later requests: one per period (compare preload), each no earlier than its
    // period's start; the next period's compare value is known if nothing can
    // rewrite it before then.
    const uint64_t from = ov + (k - 1) * period;
    if (k == 1 && !pending_now) {
      const uint32_t cn = oc_preload(ch) ? val(tim::CCRx(ch + 1)) : c;
      if (cn < period) return tick_time(from + cn);
    }
    return tick_time(from);
  }
  return kNever;
}

// ------------------------------------------------------------ register access

uint32_t Timer::on_read(unsigned idx) {
  if (offset_of(idx) != tim::CNT) return peek(idx);
  if (busy_) return counter_at(ev_t_);
  process(now());
  return peek(idx);
}

uint32_t Timer::peek(unsigned idx) const {
  switch (offset_of(idx)) {
    case tim::EGR:
      return 0;
    case tim::CNT: {
      const uint32_t c = run_ ? counter_at(done_t_) : stopped_cnt_;
      const bool remap = !info_.bits32 && tim::cr1::UIFREMAP.test(val(tim::CR1));
      return remap ? c | tim::cnt::UIFCPY(tim::sr::UIF.get(val(tim::SR))) : c;
    }
    default:
      return val_[idx];
  }
}

void Timer::on_write(unsigned idx, uint32_t value, uint32_t lanes) {
  // A DMA write arrives while the timer walks its events: it happens at that event.
  const ns_t t = busy_ ? ev_t_ : std::max(now(), done_t_);
  process(t);
  const uint32_t off = offset_of(idx);
  if (off == tim::EGR) return generate(value & lanes, t);
  plain_write(idx, value, lanes);
  const uint32_t v = val_[idx];
  switch (off) {
    case tim::CR1:
      if (tim::cr1::CEN.test(v) && !run_) start(t);
      if (!tim::cr1::CEN.test(v) && run_) {
        stopped_cnt_ = counter_at(t);
        run_ = false;
      }
      break;
    case tim::SR:  // flags: a 0 clears
      update_irq();
      break;
    case tim::CNT:
      if (run_) {
        rebase(t, v & cnt_max_);
        pos_ = v & cnt_max_;
      } else {
        stopped_cnt_ = v & cnt_max_;
      }
      refresh_outputs(t);
      break;
    case tim::ARR:
      if (!tim::cr1::ARPE.test(val(tim::CR1))) {
        if (run_ && arr_act_ == 0 && cyc_cnt0_ == 0) rebase(t, 0);  // a blocked counter starts now
        arr_act_ = v;
      }
      break;
    case tim::CCR1:
    case tim::CCR2:
    case tim::CCR3:
    case tim::CCR4:
      compare_written((off - tim::CCR1) / (tim::CCR2 - tim::CCR1), t);
      break;
    case tim::DIER:
    case tim::CCMR1:
    case tim::CCMR2:
    case tim::CCER:
    case tim::BDTR:
      decode_config();
      update_irq();
      refresh_outputs(t);
      break;
    default:
      break;
  }
}

// A compare value written: without preload it applies at once.
void Timer::compare_written(unsigned ch, ns_t t) {
  if (ch >= info_.channels || oc_preload(ch)) return;
  // Compare values the counter has already passed do not match in this cycle.
  if (run_ && !busy_) pos_ = std::max<uint64_t>(pos_, static_cast<uint64_t>(counter_at(t)) + 1);
  ccr_act_[ch] = val(tim::CCRx(ch + 1));
  if (!busy_) set_ref(ch, level_for(mode_[ch], counter_at(t), ccr_act_[ch], ref_[ch]), t);
}

// EGR written with `v`: the events it asks for happen now.
void Timer::generate(uint32_t v, ns_t t) {
  if (tim::egr::UG.test(v)) {
    if (!tim::cr1::UDIS.test(val(tim::CR1))) update_event(t, true);
    if (run_) {
      load_rate();
      rebase(t, 0);
      pos_ = 0;
    } else {
      stopped_cnt_ = 0;
      load_rate();
    }
    refresh_outputs(t);
  }
  // Each generation bit sets the flag of its event, in the same place in SR.
  uint32_t flags = 0;
  for (unsigned ch = 0; ch < info_.channels; ++ch) flags |= v & tim::egr::CCxG(ch + 1).mask();
  if (info_.has_break) flags |= v & (tim::egr::COMG | tim::egr::TG | tim::egr::BG);
  if (tim::egr::BG.test(v)) {
    set(tim::BDTR, tim::bdtr::MOE.put(val(tim::BDTR), 0));
    decode_config();
    refresh_outputs(t);
  }
  set_flags(flags);
  for (unsigned ch = 0; ch < info_.channels; ++ch)
    if (tim::sr::CCxIF(ch + 1).test(flags) && ((dma_cc_mask_ >> ch) & 1u) && mux_)
      mux_->request(info_.req_cc[ch], t);
}

}  // namespace vboard::periph

// ------------------------------------------------------------------ state

namespace vboard::periph {

// The output pins, the clock tree and DMAMUX are wiring. The decoded
// configuration is listed rather than decoded again after a load, because
// decoding reports findings. batch_ is scratch space of one pwm_periods call;
// offsets_ caches quotients for the rate num_/den_ and is rebuilt after a load.
void Timer::state(StateVisitor& v) {
  RegBlock::state(v);
  v("run", run_);
  v("num", num_);
  v("den", den_);
  v("fast_limit", fast_limit_);
  v("base_t", base_t_);
  v("cyc_tick", cyc_tick_);
  v("cyc_cnt0", cyc_cnt0_);
  v("pos", pos_);
  v("stopped_cnt", stopped_cnt_);
  v("done_t", done_t_);
  v("busy", busy_);
  v("ev_t", ev_t_);
  v("psc_act", psc_act_);
  v("arr_act", arr_act_);
  v("rep_left", rep_left_);
  v("ccr_act", ccr_act_);
  v("ref", ref_);
  v("out_levels", out_levels_);
  v("cmp_mask", cmp_mask_);
  v("out_en_mask", out_en_mask_);
  v("dma_cc_mask", dma_cc_mask_);
  v("mode", mode_);
  v("preload_mask", preload_mask_);
  v("whole_periods", whole_periods_);
  v("compare_always_preloaded", compare_always_preloaded_);
  if (v.loading()) offsets_num_ = offsets_den_ = 0;
}

}  // namespace vboard::periph
