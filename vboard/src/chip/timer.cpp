// Up-counting timers computed lazily from virtual time. The counter is never
// ticked: its value follows from the time since the current counting cycle began,
// and advance() walks only the events that matter (update events, compare
// matches), so a PWM period costs two small steps.
#include <algorithm>
#include <cstring>
#include <numeric>

#include "chip/dma.h"
#include "chip/timer.h"

namespace vboard::periph {

namespace {

constexpr uint32_t kCEN = 1u << 0, kUDIS = 1u << 1, kURS = 1u << 2, kOPM = 1u << 3, kARPE = 1u << 7;
constexpr uint32_t kUIFREMAP = 1u << 11;
constexpr uint32_t kUIE = 1u << 0, kUDE = 1u << 8;
constexpr uint32_t kMOE = 1u << 15;

// Fields the timers store but do not act on: the counter only counts up, on
// its own clock, and compare values have no dithering.
const UnmodelledField kCounting{0x70, "down or centre-aligned counting is not modelled (counts up)"};
const UnmodelledField kSlaveMode{0x00010007, "slave mode is not modelled"};
const UnmodelledField kDithering{0x1000, "CR1.DITHEN: dithering is not modelled"};
// CNT bit 31 copies UIF when CR1.UIFREMAP is set (16-bit timers).
constexpr uint32_t kUifcpy = 0x80000000u;

std::vector<RegDef> timer_regs(const TimerInfo& i) {
  const uint32_t cnt_mask = i.bits32 ? 0xFFFFFFFFu : 0xFFFFu;
  std::vector<RegDef> r;
  if (i.channels == 0) {  // basic timer (TIM6/TIM7)
    return {
        {"CR1", 0x000, 0, 0x088F, 0, 0, 0, 0, {kDithering}},
        {"CR2", 0x004, 0, 0x70},
        {"DIER", 0x00C, 0, 0x101},
        {.name = "SR", .offset = 0x010, .reset = 0, .w0c = 0x1},
        {.name = "EGR", .offset = 0x014, .reset = 0, .wo = 0x1},
        {"CNT", 0x024, 0, 0xFFFF, kUifcpy},
        {"PSC", 0x028, 0, 0xFFFF},
        {"ARR", 0x02C, 0xFFFF, 0xFFFF},
    };
  }
  if (i.channels == 1) {  // TIM16/TIM17
    return {
        {"CR1", 0x000, 0, 0x0B8F, 0, 0, 0, 0, {kDithering}},
        {"CR2", 0x004, 0, 0x30D},
        {"DIER", 0x00C, 0, 0x3A3},
        {.name = "SR", .offset = 0x010, .reset = 0, .w0c = 0x2A3},
        {.name = "EGR", .offset = 0x014, .reset = 0, .wo = 0xA3},
        {"CCMR1", 0x018, 0, 0x100FF},
        {"CCER", 0x020, 0, 0xF},
        {"CNT", 0x024, 0, 0xFFFF, kUifcpy},
        {"PSC", 0x028, 0, 0xFFFF},
        {"ARR", 0x02C, 0xFFFF, 0xFFFF},
        {"RCR", 0x030, 0, 0xFF},
        {"CCR1", 0x034, 0, 0xFFFF},
        {"BDTR", 0x044, 0, 0x140FFFFF},
        {"DTR2", 0x054, 0, 0x300FF},
        {"TISEL", 0x05C, 0, 0xF},
        {"AF1", 0x060, 1, 0x3FFF},
        {"AF2", 0x064, 0, 0x70000},
        {"OR1", 0x068, 0, 0x1},
        {"DCR", 0x3DC, 0, 0x1F1F},
        {"DMAR", 0x3E0, 0, 0xFFFFFFFF},
    };
  }
  const bool adv = i.has_break;
  r = {
      {"CR1", 0x000, 0, 0x0B8F, 0, 0, 0, 0, {kCounting, kDithering}},
      {"CR2", 0x004, 0, adv ? 0x02F5FFFDu : 0x020000F8u},
      {"SMCR", 0x008, 0, 0x0330FFF8, 0, 0, 0, 0, {kSlaveMode}},
      {"DIER", 0x00C, 0, adv ? 0x00F07FFFu : 0x00F05F5Fu},
      {.name = "SR", .offset = 0x010, .reset = 0, .w0c = adv ? 0x00F33FFFu : 0x00F01E5Fu},
      {.name = "EGR", .offset = 0x014, .reset = 0, .wo = adv ? 0x1FFu : 0x5Fu},
      {"CCMR1", 0x018, 0, 0x0101FFFF},
      {"CCMR2", 0x01C, 0, 0x0101FFFF},
      {"CCER", 0x020, 0, adv ? 0x0033FFFFu : 0xBBBBu},
      {"CNT", 0x024, 0, cnt_mask, i.bits32 ? 0u : kUifcpy},
      {"PSC", 0x028, 0, 0xFFFF},
      {"ARR", 0x02C, cnt_mask, cnt_mask},
  };
  if (i.has_rcr) r.push_back({"RCR", 0x030, 0, 0xFFFF});
  r.push_back({"CCR1", 0x034, 0, cnt_mask});
  r.push_back({"CCR2", 0x038, 0, cnt_mask});
  r.push_back({"CCR3", 0x03C, 0, cnt_mask});
  r.push_back({"CCR4", 0x040, 0, cnt_mask});
  if (adv) {
    r.push_back({"BDTR", 0x044, 0, 0x3FFFFFFF});
    r.push_back({"CCR5", 0x048, 0, 0xE00FFFFF});
    r.push_back({"CCR6", 0x04C, 0, 0x000FFFFF});
    r.push_back({"CCMR3", 0x050, 0, 0x0101FCFC});
    r.push_back({"DTR2", 0x054, 0, 0x000300FF});
  }
  r.push_back({"ECR", 0x058, 0, 0x07FF00E7});
  r.push_back({"TISEL", 0x05C, 0, 0x0F0F0F0F});
  r.push_back({"AF1", 0x060, adv ? 1u : 0u, adv ? 0x3FFFFu : 0x3C000u});
  r.push_back({"AF2", 0x064, adv ? 1u : 0u, adv ? 0x73FFFu : 0x70000u});
  r.push_back({"DCR", 0x3DC, 0, 0x1F1F});
  r.push_back({"DMAR", 0x3E0, 0, 0xFFFFFFFF});
  return r;
}

}  // namespace

TimerInfo::TimerInfo(const desc::Peripheral& p)
    : name(p.name),
      channels(p.timer.channels),
      bits32(p.timer.bits32),
      has_rcr(p.timer.has_rcr),
      has_break(p.timer.has_break) {
  irq.fill(~0u);  // no line (IrqMux ignores it)
  for (const desc::IrqLine& l : p.irqs)
    for (unsigned e = l.first; e <= l.last && e < irq.size(); ++e) irq[e] = l.irq;
  for (const desc::DmaRequest& r : p.requests) {
    if (r.source == 0) req_up = r.id;
    if (r.source >= 1 && r.source <= req_cc.size()) req_cc[r.source - 1] = r.id;
  }
}

Timer::Timer(Context& ctx, const desc::Peripheral& where, const ClockTree& clocks, Dmamux* mux)
    : RegBlock(ctx, where, timer_regs(TimerInfo(where))),
      info_(where),
      clocks_(clocks),
      mux_(mux),
      cnt_max_(where.timer.bits32 ? 0xFFFFFFFFu : 0xFFFFu) {
  static const char* const kNames[kCount] = {"CR1",   "CR2",   "SMCR", "DIER", "SR",   "EGR",
                                             "CCMR1", "CCMR2", "CCER", "CNT",  "PSC",  "ARR",
                                             "RCR",   "CCR1",  "CCR2", "CCR3", "CCR4", "BDTR"};
  for (unsigned k = 0; k < kCount; ++k) {
    idx_[k] = -1;
    for (size_t i = 0; i < regs_.size(); ++i)
      if (std::string(regs_[i].name) == kNames[k]) idx_[k] = static_cast<int>(i);
  }
  arr_act_ = val_[idx_[kARR]];
  load_rate();
}

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

// ------------------------------------------------------------ configuration

bool Timer::oc_preload(unsigned ch) const { return (preload_mask_ >> ch) & 1u; }

void Timer::decode_config() {
  cmp_mask_ = out_en_mask_ = dma_cc_mask_ = preload_mask_ = 0;
  const uint32_t dier = val_[idx_[kDIER]];
  const bool all_preloaded = compare_always_preloaded_;
  for (unsigned ch = 0; ch < info_.channels; ++ch) {
    const uint32_t ccmr = val_[idx_[ch < 2 ? kCCMR1 : kCCMR2]];
    const unsigned sh = (ch & 1u) * 8;
    const uint32_t byte = (ccmr >> sh) & 0xFFu;
    mode_[ch] = ((byte >> 4) & 7u) | (((ccmr >> (16 + sh)) & 1u) << 3);
    if ((byte & 3u) == 0) cmp_mask_ |= 1u << ch;
    if ((byte & 0x8u) || all_preloaded) preload_mask_ |= 1u << ch;
    const uint32_t ccer = val_[idx_[kCCER]];
    const bool moe = !info_.has_break || (val_[idx_[kBDTR]] & kMOE);
    if (((ccer >> (4 * ch)) & 1u) && moe && (byte & 3u) == 0) out_en_mask_ |= 1u << ch;
    if ((dier >> (9 + ch)) & 1u) dma_cc_mask_ |= 1u << ch;
    if (mode_[ch] > 7 && ((ccer >> (4 * ch)) & 1u))
      finding(chip::diag::kNotModelled, "OC" + std::to_string(ch + 1) + "M mode " +
                                            std::to_string(mode_[ch]) + " not modelled (taken as PWM 1)");
  }
}

void Timer::set_ref(unsigned ch, int ref, ns_t t) {
  ref_[ch] = ref;
  const uint32_t ccer = val_[idx_[kCCER]];
  const int level = ((out_en_mask_ >> ch) & 1u) ? (ref ^ static_cast<int>((ccer >> (4 * ch + 1)) & 1u)) : 0;
  if (((out_levels_ >> ch) & 1u) == static_cast<uint32_t>(level)) return;
  out_levels_ ^= 1u << ch;
  for (const OutPin& o : out_pins_[ch]) o.gpio->af_output(o.pin, level, t);
}

namespace {
// Level of OCxREF for the modes that depend on the counter only.
inline int level_for(unsigned mode, uint32_t cnt, uint32_t ccr, int old) {
  switch (mode) {
    case 4:
      return 0;
    case 5:
      return 1;
    case 6:
      return cnt < ccr;
    case 7:
      return !(cnt < ccr);
    case 0:
    case 1:
    case 2:
    case 3:
      return old;
    default:
      return cnt < ccr;
  }
}
inline int level_at_match(unsigned mode, uint32_t cnt, uint32_t ccr, int old) {
  switch (mode) {
    case 1:
      return 1;
    case 2:
      return 0;
    case 3:
      return !old;
    default:
      return level_for(mode, cnt, ccr, old);
  }
}
}  // namespace

void Timer::refresh_outputs(ns_t t) {
  if (info_.channels == 0) return;
  const uint32_t cnt = counter_at(t);
  for (unsigned ch = 0; ch < info_.channels; ++ch)
    set_ref(ch, level_for(mode_[ch], cnt, ccr_act_[ch], ref_[ch]), t);
}

void Timer::connect_output(unsigned ch, Gpio* gpio, unsigned pin) { out_pins_[ch].push_back({gpio, pin}); }

// ------------------------------------------------------------ flags and IRQs

void Timer::set_flags(uint32_t bits) {
  uint32_t& sr = val_[idx_[kSR]];
  if ((sr & bits) == bits) return;
  sr |= bits;
  update_irq();
}

void Timer::update_irq() {
  const uint32_t s = val_[idx_[kSR]] & val_[idx_[kDIER]] & 0xFFu;
  const std::array<unsigned, 4>& irqs = info_.irq;
  const bool hi[4] = {(s & 1u) != 0, (s & 0x1Eu) != 0, (s & 0x60u) != 0, (s & 0x80u) != 0};
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
  psc_act_ = val_[idx_[kPSC]];
  arr_act_ = val_[idx_[kARR]];
  for (unsigned ch = 0; ch < info_.channels; ++ch)
    if (oc_preload(ch)) ccr_act_[ch] = val_[idx_[kCCR1 + ch]];
  if (info_.has_rcr) rep_left_ = val_[idx_[kRCR]];
  const bool urs = (val_[idx_[kCR1]] & kURS) != 0;
  if (!from_ug || !urs) {
    set_flags(1u);
    if ((val_[idx_[kDIER]] & kUDE) && info_.req_up && mux_) mux_->request(info_.req_up, t);
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
  if (uev && !(val_[idx_[kCR1]] & kUDIS)) {
    const uint32_t old_psc = psc_act_;
    update_event(t, false);
    if (psc_act_ != old_psc) {
      load_rate();
      rebase(t, 0);
    }
  }
  // Keep tick * num_ in 64 bits.
  if (cyc_tick_ > fast_limit_ / 2) rebase(t, 0);
  if (uev && (val_[idx_[kCR1]] & kOPM)) {
    val_[idx_[kCR1]] &= ~kCEN;
    run_ = false;
    stopped_cnt_ = 0;
  }
  for (unsigned ch = 0; ch < info_.channels; ++ch)
    set_ref(ch, level_for(mode_[ch], 0, ccr_act_[ch], ref_[ch]), t);
}

void Timer::matches(uint32_t value, ns_t t) {
  uint32_t hit = 0;
  for (unsigned ch = 0; ch < info_.channels; ++ch) {
    if (!((cmp_mask_ >> ch) & 1u) || ccr_act_[ch] != value) continue;
    hit |= 1u << ch;
    set_ref(ch, level_at_match(mode_[ch], value, ccr_act_[ch], ref_[ch]), t);
  }
  pos_ = static_cast<uint64_t>(value) + 1;
  set_flags(hit << 1);
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

// The channel whose compare value a DMA channel streams from memory, one item
// per compare match, while nothing else happens per period: PWM mode with
// preload, no update DMA, no repetition counter, one-pulse mode or update
// disable, the period's flags already set (setting them again changes nothing).
bool Timer::dma_fed_channel(unsigned* ch, Dma** dma, unsigned* dch) const {
  if (!whole_periods_ || !mux_ || cmp_mask_ == 0 || (cmp_mask_ & (cmp_mask_ - 1)) != 0) return false;
  const unsigned c = static_cast<unsigned>(__builtin_ctz(cmp_mask_));
  const uint32_t cr1 = val_[idx_[kCR1]], sr = val_[idx_[kSR]];
  if (dma_cc_mask_ != cmp_mask_ || !oc_preload(c) || (mode_[c] != 6 && mode_[c] != 7)) return false;
  if ((val_[idx_[kDIER]] & kUDE) || (cr1 & (kUDIS | kOPM)) || arr_act_ == 0) return false;
  if ((sr & (1u | (2u << c))) != (1u | (2u << c))) return false;
  if (info_.has_rcr && (val_[idx_[kRCR]] != 0 || rep_left_ != 0)) return false;
  if (val_[idx_[kPSC]] != psc_act_ || val_[idx_[kARR]] != arr_act_ || !clocked()) return false;
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
  const size_t ccr_i = static_cast<size_t>(idx_[kCCR1 + ch]);
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
  const bool pwm2 = mode_[ch] == 7;
  // The pin sees OCxREF through the channel's enable and polarity; the other
  // channels are not in compare mode, so their outputs stay low.
  const bool out_en = (out_en_mask_ >> ch) & 1u;
  const int pol = static_cast<int>((val_[idx_[kCCER]] >> (4 * ch + 1)) & 1u);
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
  if (offsets_num_ != num_ || offsets_den_ != den_) {
    offsets_.assign(kOffsetSlots, Offset{});
    offsets_num_ = num_;
    offsets_den_ = den_;
  }
  p.offsets = offsets_.data();
  // tick_time() without a division per event: the time of tick k is
  // base_t_ + floor((k * num_ + den_ - 1) / den_); keep that quotient and its
  // remainder for the period start and add whole periods and compare offsets.
  split(static_cast<unsigned __int128>(period) * num_, &p.pq, &p.pr);
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
    const bool edges = p.at_match != p.at_start;  // equal: the output is disabled
    uint32_t k = 0;
    if (items.size == 1)
      k = edges ? pwm_run<1, true>(p, data, items.stride, n) : pwm_run<1, false>(p, data, items.stride, n);
    else if (items.size == 2)
      k = edges ? pwm_run<2, true>(p, data, items.stride, n) : pwm_run<2, false>(p, data, items.stride, n);
    else
      k = edges ? pwm_run<4, true>(p, data, items.stride, n) : pwm_run<4, false>(p, data, items.stride, n);
    done += k;
    cyc_tick_ += k * period;
    ev_t_ = p.base + p.q;  // the last period start
    if (k < n) break;      // a compare value beyond ARR: its period goes event by event
    if (cyc_tick_ > rebase_above) rebase(ev_t_, 0);
  }
  val_[ccr_i] = p.c;
  for (unsigned k = 0; k < info_.channels; ++k) {
    if (oc_preload(k)) ccr_act_[k] = val_[idx_[kCCR1 + k]];
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

void Timer::split(unsigned __int128 x, uint64_t* q, uint64_t* r) const {
  *q = static_cast<uint64_t>(x / den_);
  *r = static_cast<uint64_t>(x % den_);
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
  const uint32_t dier = val_[idx_[kDIER]], sr = val_[idx_[kSR]];
  ns_t best = kNever;
  const uint32_t tp = top();
  const uint64_t ov = cyc_tick_ + (tp - cyc_cnt0_) + 1;
  const uint64_t period = static_cast<uint64_t>(arr_act_) + 1;
  if ((dier & kUIE) && !(sr & 1u) && !(val_[idx_[kCR1]] & kUDIS))
    best = tick_time(ov + static_cast<uint64_t>(rep_left_) * period);
  for (unsigned ch = 0; ch < info_.channels; ++ch) {
    if (!((dier >> (1 + ch)) & 1u) || ((sr >> (1 + ch)) & 1u) || !((cmp_mask_ >> ch) & 1u)) continue;
    const uint32_t c = ccr_act_[ch];
    uint64_t tick;
    if (c >= pos_ && c >= cyc_cnt0_ && c <= tp) {
      tick = cyc_tick_ + (c - cyc_cnt0_);
    } else {
      const uint32_t cn = oc_preload(ch) ? val_[idx_[kCCR1 + ch]] : c;
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
    if (!(val_[idx_[kDIER]] & kUDE)) return kNever;
    const uint64_t every = info_.has_rcr ? (static_cast<uint64_t>(val_[idx_[kRCR]]) + 1) * period : period;
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
      const uint32_t cn = oc_preload(ch) ? val_[idx_[kCCR1 + ch]] : c;
      if (cn < period) return tick_time(from + cn);
    }
    return tick_time(from);
  }
  return kNever;
}

// ------------------------------------------------------------ register access

uint32_t Timer::on_read(unsigned idx) {
  if (static_cast<int>(idx) == idx_[kCNT] && !busy_) {
    process(now());
    return peek(idx);
  }
  if (static_cast<int>(idx) == idx_[kCNT]) return counter_at(ev_t_);
  return peek(idx);
}

uint32_t Timer::peek(unsigned idx) const {
  const int i = static_cast<int>(idx);
  if (i == idx_[kEGR]) return 0;
  if (i == idx_[kCNT]) {
    uint32_t c = run_ ? counter_at(done_t_) : stopped_cnt_;
    if (!info_.bits32 && (val_[idx_[kCR1]] & kUIFREMAP) && (val_[idx_[kSR]] & 1u)) c |= 1u << 31;
    return c;
  }
  return val_[idx];
}

void Timer::on_write(unsigned idx, uint32_t value, uint32_t lanes) {
  // A DMA write arrives while the timer walks its events: it happens at that event.
  const ns_t t = busy_ ? ev_t_ : std::max(now(), done_t_);
  process(t);
  const int i = static_cast<int>(idx);
  if (i == idx_[kCR1]) {
    plain_write(idx, value, lanes);
    const uint32_t v = val_[idx];
    if ((v & kCEN) && !run_) start(t);
    if (!(v & kCEN) && run_) {
      stopped_cnt_ = counter_at(t);
      run_ = false;
    }
  } else if (i == idx_[kSR]) {
    plain_write(idx, value, lanes);  // flags: a 0 clears
    update_irq();
  } else if (i == idx_[kEGR]) {
    const uint32_t v = value & lanes;
    if (v & 1u) {  // UG
      if (!(val_[idx_[kCR1]] & kUDIS)) update_event(t, true);
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
    uint32_t flags = v & 0x1Eu & ((1u << (info_.channels + 1)) - 1u);
    if (info_.has_break) flags |= v & 0xE0u;  // COMG, TG, BG
    if (v & 0x80u) {
      val_[idx_[kBDTR]] &= ~kMOE;
      decode_config();
      refresh_outputs(t);
    }
    set_flags(flags);
    for (unsigned ch = 0; ch < info_.channels; ++ch)
      if (((flags >> (ch + 1)) & 1u) && ((dma_cc_mask_ >> ch) & 1u) && mux_)
        mux_->request(info_.req_cc[ch], t);
  } else if (i == idx_[kCNT]) {
    plain_write(idx, value, lanes);
    const uint32_t c = val_[idx] & cnt_max_;
    if (run_) {
      rebase(t, c);
      pos_ = c;
    } else {
      stopped_cnt_ = c;
    }
    refresh_outputs(t);
  } else if (i == idx_[kARR]) {
    plain_write(idx, value, lanes);
    if (!(val_[idx_[kCR1]] & kARPE)) {
      if (run_ && arr_act_ == 0 && cyc_cnt0_ == 0) rebase(t, 0);  // a blocked counter starts now
      arr_act_ = val_[idx];
    }
  } else if (i >= idx_[kCCR1] && idx_[kCCR1] >= 0 && i < idx_[kCCR1] + static_cast<int>(info_.channels)) {
    plain_write(idx, value, lanes);
    const unsigned ch = static_cast<unsigned>(i - idx_[kCCR1]);
    if (!oc_preload(ch)) {
      // Compare values the counter has already passed do not match in this cycle.
      if (run_ && !busy_) pos_ = std::max<uint64_t>(pos_, static_cast<uint64_t>(counter_at(t)) + 1);
      ccr_act_[ch] = val_[idx];
      if (!busy_) set_ref(ch, level_for(mode_[ch], counter_at(t), ccr_act_[ch], ref_[ch]), t);
    }
  } else if (i == idx_[kDIER] || i == idx_[kCCMR1] || i == idx_[kCCMR2] || i == idx_[kCCER] ||
             i == idx_[kBDTR]) {
    plain_write(idx, value, lanes);
    decode_config();
    update_irq();
    refresh_outputs(t);
  } else {
    plain_write(idx, value, lanes);
  }
}

}  // namespace vboard::periph

// ------------------------------------------------------------------ state
#include "vboard/state.h"

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
