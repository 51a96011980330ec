// The timers' register tables, by kind of timer, and the configuration the
// model decodes from them: compare modes, preloads, enabled outputs and the
// output pins they drive. Counting, events and register access are in timer.cpp.
#include "chip/timer.h"

namespace vboard::periph {

namespace {

// OCxM_1 is the fourth bit of the output compare mode.
constexpr Field kOcmHigh{3, 1};

// Fields the timers store but do not act on: the counter only counts up, on
// its own clock, and compare values have no dithering.
const UnmodelledField kCounting{tim::cr1::DIR | tim::cr1::CMS,
                                "down or centre-aligned counting is not modelled (counts up)"};
constexpr uint32_t kSlaveModeSelect = tim::smcr::SMS | tim::smcr::SMS_1;
const UnmodelledField kSlaveMode{kSlaveModeSelect, "slave mode is not modelled"};
const UnmodelledField kDithering{tim::cr1::DITHEN.mask(), "CR1.DITHEN: dithering is not modelled"};
// CNT's top bit copies UIF when CR1.UIFREMAP is set (16-bit timers).
constexpr uint32_t kUifcpy = tim::cnt::UIFCPY.mask();
// A timer's 16-bit registers (the prescaler, the counter of most timers).
constexpr uint32_t kHalf = Field{0, 16}.mask();
// What CR1 stores in every timer with channels: all but the counting
// direction and mode (up only) and dithering.
constexpr uint32_t kCr1Stored = tim::cr1::CEN | tim::cr1::UDIS | tim::cr1::URS | tim::cr1::OPM |
                                tim::cr1::ARPE | tim::cr1::CKD | tim::cr1::UIFREMAP;

// Basic timers (TIM6/TIM7): a counter and its update event.
std::vector<RegDef> basic_timer_regs() {
  return {
      {.name = "CR1",
       .offset = tim::CR1,
       .reset = 0,
       .rw = tim::cr1::CEN | tim::cr1::UDIS | tim::cr1::URS | tim::cr1::OPM | tim::cr1::ARPE |
             tim::cr1::UIFREMAP,
       .unmodelled = {kDithering}},
      {.name = "CR2", .offset = tim::CR2, .reset = 0, .rw = tim::cr2::MMS.mask()},
      {.name = "DIER", .offset = tim::DIER, .reset = 0, .rw = tim::dier::UIE | tim::dier::UDE},
      {.name = "SR", .offset = tim::SR, .reset = 0, .w0c = tim::sr::UIF.mask()},
      {.name = "EGR", .offset = tim::EGR, .reset = 0, .wo = tim::egr::UG.mask()},
      {.name = "CNT", .offset = tim::CNT, .reset = 0, .rw = kHalf, .ro = kUifcpy},
      {.name = "PSC", .offset = tim::PSC, .reset = 0, .rw = kHalf},
      {.name = "ARR", .offset = tim::ARR, .reset = tim::arr::kReset, .rw = kHalf},
  };
}

// TIM16/TIM17: one channel with a complementary output and a break input.
std::vector<RegDef> one_channel_timer_regs() {
  return {
      {.name = "CR1", .offset = tim::CR1, .reset = 0, .rw = kCr1Stored, .unmodelled = {kDithering}},
      {.name = "CR2", .offset = tim::CR2, .reset = 0, .rw = tim::one_channel::cr2::kFields},
      {.name = "DIER", .offset = tim::DIER, .reset = 0, .rw = tim::one_channel::dier::kFields},
      {.name = "SR", .offset = tim::SR, .reset = 0, .w0c = tim::one_channel::sr::kFields},
      {.name = "EGR", .offset = tim::EGR, .reset = 0, .wo = tim::one_channel::egr::kFields},
      {.name = "CCMR1", .offset = tim::CCMR1, .reset = 0, .rw = tim::one_channel::ccmr1::kFields},
      {.name = "CCER", .offset = tim::CCER, .reset = 0, .rw = tim::one_channel::ccer::kFields},
      {.name = "CNT", .offset = tim::CNT, .reset = 0, .rw = kHalf, .ro = kUifcpy},
      {.name = "PSC", .offset = tim::PSC, .reset = 0, .rw = kHalf},
      {.name = "ARR", .offset = tim::ARR, .reset = tim::arr::kReset, .rw = kHalf},
      {.name = "RCR", .offset = tim::RCR, .reset = 0, .rw = tim::one_channel::rcr::kFields},
      {.name = "CCR1", .offset = tim::CCR1, .reset = 0, .rw = kHalf},
      {.name = "BDTR", .offset = tim::BDTR, .reset = 0, .rw = tim::one_channel::bdtr::kFields},
      {.name = "DTR2", .offset = tim::DTR2, .reset = 0, .rw = tim::dtr2::kFields},
      {.name = "TISEL", .offset = tim::TISEL, .reset = 0, .rw = tim::one_channel::tisel::kFields},
      {.name = "AF1", .offset = tim::AF1, .reset = tim::af1::kReset, .rw = tim::one_channel::af1::kFields},
      {.name = "AF2", .offset = tim::AF2, .reset = 0, .rw = tim::one_channel::af2::kFields},
      {.name = "OR1", .offset = tim::OR1, .reset = 0, .rw = tim::or1::kFields},
      {.name = "DCR", .offset = tim::DCR, .reset = 0, .rw = tim::dcr::kFields},
      {.name = "DMAR", .offset = tim::DMAR, .reset = 0, .rw = kWord},
  };
}

std::vector<RegDef> timer_regs(const TimerInfo& i) {
  const uint32_t cnt_mask = i.bits32 ? kWord : kHalf;
  if (i.channels == 0) return basic_timer_regs();
  if (i.channels == 1) return one_channel_timer_regs();
  std::vector<RegDef> r;
  const bool adv = i.has_break;
  r = {
      {.name = "CR1",
       .offset = tim::CR1,
       .reset = 0,
       .rw = kCr1Stored,
       .unmodelled = {kCounting, kDithering}},
      {.name = "CR2",
       .offset = tim::CR2,
       .reset = 0,
       .rw = adv ? tim::cr2::kFields : tim::general::cr2::kFields},
      {.name = "SMCR",
       .offset = tim::SMCR,
       .reset = 0,
       .rw = tim::smcr::kFields & ~kSlaveModeSelect,
       .unmodelled = {kSlaveMode}},
      {.name = "DIER",
       .offset = tim::DIER,
       .reset = 0,
       .rw = adv ? tim::dier::kFields : tim::general::dier::kFields},
      {.name = "SR",
       .offset = tim::SR,
       .reset = 0,
       .w0c = adv ? tim::sr::kFields : tim::general::sr::kFields},
      {.name = "EGR",
       .offset = tim::EGR,
       .reset = 0,
       .wo = adv ? tim::egr::kFields : tim::general::egr::kFields},
      {.name = "CCMR1", .offset = tim::CCMR1, .reset = 0, .rw = tim::ccmr1::kFields},
      {.name = "CCMR2", .offset = tim::CCMR2, .reset = 0, .rw = tim::ccmr2::kFields},
      {.name = "CCER",
       .offset = tim::CCER,
       .reset = 0,
       .rw = adv ? tim::ccer::kFields : tim::general::ccer::kFields},
      {.name = "CNT", .offset = tim::CNT, .reset = 0, .rw = cnt_mask, .ro = i.bits32 ? 0u : kUifcpy},
      {.name = "PSC", .offset = tim::PSC, .reset = 0, .rw = kHalf},
      {.name = "ARR", .offset = tim::ARR, .reset = cnt_mask, .rw = cnt_mask},
  };
  if (i.has_rcr) r.push_back({.name = "RCR", .offset = tim::RCR, .reset = 0, .rw = kHalf});
  r.push_back({.name = "CCR1", .offset = tim::CCR1, .reset = 0, .rw = cnt_mask});
  r.push_back({.name = "CCR2", .offset = tim::CCR2, .reset = 0, .rw = cnt_mask});
  r.push_back({.name = "CCR3", .offset = tim::CCR3, .reset = 0, .rw = cnt_mask});
  r.push_back({.name = "CCR4", .offset = tim::CCR4, .reset = 0, .rw = cnt_mask});
  if (adv) {
    r.push_back({.name = "BDTR", .offset = tim::BDTR, .reset = 0, .rw = tim::bdtr::kFields});
    r.push_back({.name = "CCR5", .offset = tim::CCR5, .reset = 0, .rw = tim::ccr5::kFields});
    r.push_back({.name = "CCR6", .offset = tim::CCR6, .reset = 0, .rw = tim::ccr6::kFields});
    r.push_back({.name = "CCMR3", .offset = tim::CCMR3, .reset = 0, .rw = tim::ccmr3::kFields});
    r.push_back({.name = "DTR2", .offset = tim::DTR2, .reset = 0, .rw = tim::dtr2::kFields});
  }
  r.push_back({.name = "ECR", .offset = tim::ECR, .reset = 0, .rw = tim::ecr::kFields});
  r.push_back({.name = "TISEL", .offset = tim::TISEL, .reset = 0, .rw = tim::tisel::kFields});
  r.push_back({.name = "AF1",
               .offset = tim::AF1,
               .reset = adv ? tim::af1::kReset : 0u,
               .rw = adv ? tim::af1::kFields : tim::general::af1::kFields});
  r.push_back({.name = "AF2",
               .offset = tim::AF2,
               .reset = adv ? tim::af2::kReset : 0u,
               .rw = adv ? tim::af2::kFields : tim::general::af2::kFields});
  r.push_back({.name = "DCR", .offset = tim::DCR, .reset = 0, .rw = tim::dcr::kFields});
  r.push_back({.name = "DMAR", .offset = tim::DMAR, .reset = 0, .rw = kWord});
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
      cnt_max_(where.timer.bits32 ? kWord : kHalf) {
  arr_act_ = val(tim::ARR);
  load_rate();
}

// ------------------------------------------------------------ configuration

bool Timer::oc_preload(unsigned ch) const { return (preload_mask_ >> ch) & 1u; }

void Timer::decode_config() {
  cmp_mask_ = out_en_mask_ = dma_cc_mask_ = preload_mask_ = 0;
  const uint32_t ie = val(tim::DIER), cc_en = val(tim::CCER);
  const bool all_preloaded = compare_always_preloaded_;
  const bool moe = !info_.has_break || tim::bdtr::MOE.test(val(tim::BDTR));
  for (unsigned ch = 0; ch < info_.channels; ++ch) {
    // CCMR2 lays out channels 3 and 4 as CCMR1 does 1 and 2.
    const uint32_t ccmr = val(tim::CCMRx(ch / 2 + 1));
    const unsigned k = ch % 2 + 1;
    mode_[ch] = tim::ccmr1::OCxM(k).get(ccmr) | kOcmHigh(tim::ccmr1::OCxM_1(k).get(ccmr));
    const bool output = tim::ccmr1::CCxS(k).get(ccmr) == tim::ccmr1::ccxs::Output;
    const bool enabled = tim::ccer::CCxE(ch + 1).test(cc_en);
    if (output) cmp_mask_ |= 1u << ch;
    if (tim::ccmr1::OCxPE(k).test(ccmr) || all_preloaded) preload_mask_ |= 1u << ch;
    if (enabled && moe && output) out_en_mask_ |= 1u << ch;
    if (tim::dier::CCxDE(ch + 1).test(ie)) dma_cc_mask_ |= 1u << ch;
    if (mode_[ch] > tim::ccmr1::ocxm::PwmMode2 && enabled)
      finding(chip::diag::kNotModelled, "OC" + std::to_string(ch + 1) + "M mode " +
                                            std::to_string(mode_[ch]) + " not modelled (taken as PWM 1)");
  }
}

void Timer::set_ref(unsigned ch, int ref, ns_t t) {
  ref_[ch] = ref;
  const int level =
      ((out_en_mask_ >> ch) & 1u) ? (ref ^ static_cast<int>(tim::ccer::CCxP(ch + 1).get(val(tim::CCER)))) : 0;
  if (((out_levels_ >> ch) & 1u) == static_cast<uint32_t>(level)) return;
  out_levels_ ^= 1u << ch;
  for (const OutPin& o : out_pins_[ch]) o.gpio->af_output(o.pin, level, t);
}

// Level of OCxREF for the modes that depend on the counter only.
int Timer::level_for(unsigned mode, uint32_t cnt, uint32_t ccr, int old) {
  switch (mode) {
    case tim::ccmr1::ocxm::ForceInactive:
      return 0;
    case tim::ccmr1::ocxm::ForceActive:
      return 1;
    case tim::ccmr1::ocxm::PwmMode1:
      return cnt < ccr;
    case tim::ccmr1::ocxm::PwmMode2:
      return !(cnt < ccr);
    case tim::ccmr1::ocxm::Frozen:
    case tim::ccmr1::ocxm::ActiveOnMatch:
    case tim::ccmr1::ocxm::InactiveOnMatch:
    case tim::ccmr1::ocxm::Toggle:
      return old;
    default:
      return cnt < ccr;
  }
}

void Timer::refresh_outputs(ns_t t) {
  if (info_.channels == 0) return;
  const uint32_t cnt = counter_at(t);
  for (unsigned ch = 0; ch < info_.channels; ++ch)
    set_ref(ch, level_for(mode_[ch], cnt, ccr_act_[ch], ref_[ch]), t);
}

void Timer::connect_output(unsigned ch, Gpio* gpio, unsigned pin) { out_pins_[ch].push_back({gpio, pin}); }

}  // namespace vboard::periph
