// RCC, PWR and FLASH: the clock tree and the rules that tie clock speed to the
// voltage range and the flash wait states.
#include <algorithm>
#include <cstdio>

#include "chip/rcc.h"
#include "vboard/state.h"

namespace vboard::periph {

namespace {

constexpr uint64_t kHsiHz = desc::kFacts.hsi_hz;
// The reset cause flags RMVF clears.
constexpr uint32_t kResetFlags = rcc::csr::OBLRSTF | rcc::csr::PINRSTF | rcc::csr::BORRSTF |
                                 rcc::csr::SFTRSTF | rcc::csr::IWDGRSTF | rcc::csr::WWDGRSTF |
                                 rcc::csr::LPWRRSTF;

std::vector<RegDef> rcc_regs() {
  return {
      // HSION/HSIRDY set: the chip runs from HSI16 out of reset (the SVD's 0x63 is wrong).
      {.name = "CR",
       .offset = rcc::CR,
       .reset = rcc::cr::HSION | rcc::cr::HSIRDY,
       .rw = rcc::cr::kWritable,
       .ro = rcc::cr::kReadOnly},
      {.name = "ICSCR",
       .offset = rcc::ICSCR,
       .reset = rcc::icscr::kReset,
       .rw = rcc::icscr::kWritable,
       .ro = rcc::icscr::kReadOnly},
      {.name = "CFGR",
       .offset = rcc::CFGR,
       .reset = rcc::cfgr::kReset,
       .rw = rcc::cfgr::kWritable,
       .ro = rcc::cfgr::kReadOnly},
      {.name = "PLLCFGR", .offset = rcc::PLLCFGR, .reset = rcc::pllcfgr::kReset, .rw = rcc::pllcfgr::kFields},
      {.name = "CIER", .offset = rcc::CIER, .reset = 0, .rw = rcc::cier::kFields},
      {.name = "CIFR", .offset = rcc::CIFR, .reset = 0, .ro = rcc::cifr::kFields},
      {.name = "CICR", .offset = rcc::CICR, .reset = 0, .wo = rcc::cicr::kFields},
      {.name = "AHB1RSTR",
       .offset = rcc::AHB1RSTR,
       .reset = 0,
       .unmodelled = {{rcc::ahb1rstr::kFields, "AHB1RSTR peripheral reset is not modelled"}}},
      {.name = "AHB2RSTR",
       .offset = rcc::AHB2RSTR,
       .reset = 0,
       .unmodelled = {{rcc::ahb2rstr::kFields, "AHB2RSTR peripheral reset is not modelled"}}},
      {.name = "AHB3RSTR",
       .offset = rcc::AHB3RSTR,
       .reset = 0,
       .unmodelled = {{rcc::ahb3rstr::kFields, "AHB3RSTR peripheral reset is not modelled"}}},
      {.name = "APB1RSTR1",
       .offset = rcc::APB1RSTR1,
       .reset = 0,
       .unmodelled = {{rcc::apb1rstr1::kFields, "APB1RSTR1 peripheral reset is not modelled"}}},
      {.name = "APB1RSTR2",
       .offset = rcc::APB1RSTR2,
       .reset = 0,
       .unmodelled = {{rcc::apb1rstr2::kFields, "APB1RSTR2 peripheral reset is not modelled"}}},
      {.name = "APB2RSTR",
       .offset = rcc::APB2RSTR,
       .reset = 0,
       .unmodelled = {{rcc::apb2rstr::kFields, "APB2RSTR peripheral reset is not modelled"}}},
      {.name = "AHB1ENR", .offset = rcc::AHB1ENR, .reset = rcc::ahb1enr::kReset, .rw = rcc::ahb1enr::kFields},
      {.name = "AHB2ENR", .offset = rcc::AHB2ENR, .reset = 0, .rw = rcc::ahb2enr::kFields},
      {.name = "AHB3ENR", .offset = rcc::AHB3ENR, .reset = 0, .rw = rcc::ahb3enr::kFields},
      {.name = "APB1ENR1",
       .offset = rcc::APB1ENR1,
       .reset = rcc::apb1enr1::kReset,
       .rw = rcc::apb1enr1::kFields},
      {.name = "APB1ENR2", .offset = rcc::APB1ENR2, .reset = 0, .rw = rcc::apb1enr2::kFields},
      {.name = "APB2ENR", .offset = rcc::APB2ENR, .reset = 0, .rw = rcc::apb2enr::kFields},
      {.name = "AHB1SMENR",
       .offset = rcc::AHB1SMENR,
       .reset = rcc::ahb1smenr::kReset,
       .rw = rcc::ahb1smenr::kFields},
      {.name = "AHB2SMENR",
       .offset = rcc::AHB2SMENR,
       .reset = rcc::ahb2smenr::kReset,
       .rw = rcc::ahb2smenr::kFields},
      {.name = "AHB3SMENR",
       .offset = rcc::AHB3SMENR,
       .reset = rcc::ahb3smenr::kReset,
       .rw = rcc::ahb3smenr::kFields},
      {.name = "APB1SMENR1",
       .offset = rcc::APB1SMENR1,
       .reset = rcc::apb1smenr1::kReset,
       .rw = rcc::apb1smenr1::kFields},
      {.name = "APB1SMENR2",
       .offset = rcc::APB1SMENR2,
       .reset = rcc::apb1smenr2::kReset,
       .rw = rcc::apb1smenr2::kFields},
      {.name = "APB2SMENR",
       .offset = rcc::APB2SMENR,
       .reset = rcc::apb2smenr::kReset,
       .rw = rcc::apb2smenr::kFields},
      {.name = "CCIPR", .offset = rcc::CCIPR, .reset = 0, .rw = kWord},
      {.name = "BDCR",
       .offset = rcc::BDCR,
       .reset = 0,
       .rw = rcc::bdcr::kWritable,
       .ro = rcc::bdcr::kReadOnly},
      {.name = "CSR",
       .offset = rcc::CSR,
       .reset = rcc::csr::kReset,
       .rw = rcc::csr::kWritable,
       .ro = rcc::csr::kReadOnly},
      {.name = "CRRCR",
       .offset = rcc::CRRCR,
       .reset = 0,
       .rw = rcc::crrcr::kWritable,
       .ro = rcc::crrcr::kReadOnly},
      {.name = "CCIPR2", .offset = rcc::CCIPR2, .reset = 0, .rw = rcc::ccipr2::kFields},
  };
}

unsigned hpre_div(uint32_t cfgr) {
  const unsigned h = rcc::cfgr::HPRE.get(cfgr);
  static constexpr unsigned kDiv[] = {2, 4, 8, 16, 64, 128, 256, 512};  // Div2..Div512
  return h < rcc::cfgr::hpre::Div2 ? 1u : kDiv[h - rcc::cfgr::hpre::Div2];
}

// APB prescaler: Div2 (4) and up halve the clock once per step.
unsigned ppre_div(uint32_t field) {
  return field < rcc::cfgr::pprex::Div2 ? 1u : 2u << (field - rcc::cfgr::pprex::Div2);
}

std::string mhz(uint64_t hz) {
  char b[32];
  std::snprintf(b, sizeof b, "%.3g MHz", static_cast<double>(hz) / 1e6);
  return b;
}

// Wait states needed for HCLK (RM0440 flash table).
unsigned needed_latency(uint64_t hclk, unsigned vos, bool boost) {
  const uint64_t step = vos == 2 ? 12'000'000 : (boost ? 34'000'000 : 30'000'000);
  if (vos == 2) return hclk <= 12'000'000 ? 0 : (hclk <= 24'000'000 ? 1 : 2);
  unsigned ws = 0;
  while (hclk > step * (ws + 1) && ws < 15) ++ws;
  return ws;
}

}  // namespace

Rcc::Rcc(Context& ctx, const desc::Peripheral& where) : RegBlock(ctx, where, rcc_regs()) {}

bool Rcc::enabled(uint32_t enr_offset, unsigned bit) const {
  switch (enr_offset) {
    case rcc::AHB1ENR:
    case rcc::AHB2ENR:
    case rcc::AHB3ENR:
    case rcc::APB1ENR1:
    case rcc::APB1ENR2:
    case rcc::APB2ENR:
      return Field{bit, 1}.test(val(enr_offset));
    default:
      return true;
  }
}

bool Rcc::pll_sane(std::string* why) const {
  const uint32_t c = val(rcc::PLLCFGR);
  const unsigned src = rcc::pllcfgr::PLLSRC.get(c), m = rcc::pllcfgr::PLLM.get(c) + 1,
                 n = rcc::pllcfgr::PLLN.get(c);
  char b[96];
  if (src != rcc::pllcfgr::pllsrc::HSI16) {
    if (why)
      *why =
          src == rcc::pllcfgr::pllsrc::HSE ? "PLL source HSE, but the board has no HSE" : "PLL source none";
    return false;
  }
  const uint64_t in = kHsiHz / m, vco = in * n;
  if (in < 2'660'000 || in > 8'000'000) {
    std::snprintf(b, sizeof b, "PLL input %s outside 2.66-8 MHz (PLLM /%u)", mhz(in).c_str(), m);
    if (why) *why = b;
    return false;
  }
  if (n < 8 || vco < 96'000'000 || vco > 344'000'000) {
    std::snprintf(b, sizeof b, "PLL VCO %s outside 96-344 MHz (PLLN %u)", mhz(vco).c_str(), n);
    if (why) *why = b;
    return false;
  }
  return true;
}

uint64_t Rcc::pll_r_hz() const {
  const uint32_t c = val(rcc::PLLCFGR);
  const uint64_t m = rcc::pllcfgr::PLLM.get(c) + 1, n = rcc::pllcfgr::PLLN.get(c),
                 r = uint64_t{2} * (rcc::pllcfgr::PLLR.get(c) + 1);
  return kHsiHz / m * n / r;
}

bool Rcc::pll_ready_at(ns_t t) const { return pll_on_ && pll_lock_at_ != kNever && t >= pll_lock_at_; }

bool Rcc::source_ready(unsigned sw, ns_t t) const {
  if (sw == rcc::cfgr::sw::HSI16) return rcc::cr::HSION.test(val(rcc::CR));
  if (sw == rcc::cfgr::sw::PLL) return pll_ready_at(t);
  return false;  // HSE: not fitted on these boards
}

void Rcc::settle(ns_t t) {
  const unsigned sw = rcc::cfgr::SW.get(val(rcc::CFGR));
  if (sw == sws_ || sw == 0) return;
  if (sw == rcc::cfgr::sw::PLL && sysclk_switch_stuck_) {
    if (!switch_suppressed_)
      finding(chip::diag::kClockSwitchSuppressed, "switch of SYSCLK to the PLL suppressed (fault injection)");
    switch_suppressed_ = true;
    return;
  }
  if (sw == rcc::cfgr::sw::PLL && pll_ready_at(t)) {
    sws_ = rcc::cfgr::sws::PLL;
    // The switch happened when both the request and the lock were there.
    recompute(std::max(sw_write_t_, pll_lock_at_));
  } else if (source_ready(sw, t)) {
    sws_ = sw;
    recompute(t);
  }
}

void Rcc::on_advance(ns_t now) { settle(now); }

ns_t Rcc::next_event() const {
  // PLLRDY rising (and a switch waiting for it) is visible to a polling CPU.
  if (pll_on_ && pll_lock_at_ != kNever && pll_lock_at_ > now()) return pll_lock_at_;
  const unsigned sw = rcc::cfgr::SW.get(val(rcc::CFGR));
  if (sw == rcc::cfgr::sw::PLL && sws_ != rcc::cfgr::sws::PLL && !sysclk_switch_stuck_ && pll_ready_at(now()))
    return now() + 1;
  return kNever;
}

uint32_t Rcc::on_read(unsigned idx) {
  settle(now());
  return peek(idx);
}

uint32_t Rcc::peek(unsigned idx) const {
  const uint32_t v = val_[idx];
  switch (offset_of(idx)) {
    case rcc::CR: {
      // HSE is not fitted: HSERDY stays 0.
      uint32_t cr = v & ~(rcc::cr::HSIRDY | rcc::cr::HSERDY | rcc::cr::PLLRDY);
      cr = rcc::cr::HSIRDY.put(cr, rcc::cr::HSION.get(v));
      return rcc::cr::PLLRDY.put(cr, pll_ready_at(now()));
    }
    case rcc::CFGR:
      return rcc::cfgr::SWS.put(v, sws_);
    case rcc::CSR:
      return v | rcc::csr::LSIRDY(rcc::csr::LSION.get(v));
    case rcc::CRRCR:
      return v | rcc::crrcr::HSI48RDY(rcc::crrcr::HSI48ON.get(v));
    case rcc::CICR:
      return 0;
    default:
      return v;
  }
}

void Rcc::on_write(unsigned idx, uint32_t value, uint32_t lanes) {
  const ns_t t = now();
  settle(t);
  switch (offset_of(idx)) {
    case rcc::CR: {
      uint32_t v = merged(idx, value, lanes);
      // HSI cannot be stopped while it clocks the system or a running PLL.
      if (sws_ == rcc::cfgr::sws::HSI16 || pll_on_) v |= rcc::cr::HSION.mask();
      if (!rcc::cr::PLLON.test(v) && sws_ == rcc::cfgr::sws::PLL) {
        finding(chip::diag::kLockedField, "PLLON cleared while the PLL clocks the system (ignored)");
        v |= rcc::cr::PLLON.mask();
      }
      if (rcc::cr::HSEON.test(v) && !rcc::cr::HSEON.test(val(rcc::CR)))
        finding(chip::diag::kMisconfigured, "HSE switched on, but the board has no HSE: HSERDY stays 0");
      set(rcc::CR, v);
      const bool on = rcc::cr::PLLON.test(v);
      if (on && !pll_on_) {
        std::string why;
        if (pll_never_locks_) {
          pll_lock_at_ = kNever;
          finding(chip::diag::kPllLockSuppressed, "PLL lock suppressed (fault injection)");
        } else if (!pll_sane(&why)) {
          pll_lock_at_ = kNever;
          finding(chip::diag::kMisconfigured, why + ": PLL never locks");
        } else {
          pll_lock_at_ = t + kPllLockNs;
        }
      }
      if (!on) pll_lock_at_ = kNever;
      pll_on_ = on;
      break;
    }
    case rcc::PLLCFGR: {
      // The output enables (PLLPEN/PLLQEN/PLLREN) may change at any time; the
      // source and dividers only while the PLL is off.
      const uint32_t old = val(rcc::PLLCFGR);
      plain_write(idx, value, lanes);
      if (pll_on_ &&
          ((old ^ val(rcc::PLLCFGR)) & ~(rcc::pllcfgr::PLLPEN | rcc::pllcfgr::PLLQEN | rcc::pllcfgr::PLLREN)))
        finding(chip::diag::kLockedField, "PLLCFGR dividers changed while the PLL is on");
      break;
    }
    case rcc::CFGR: {
      const uint32_t old = val(rcc::CFGR);
      plain_write(idx, value, lanes);
      const unsigned sw = rcc::cfgr::SW.get(val(rcc::CFGR));
      if (sw != rcc::cfgr::SW.get(old)) sw_write_t_ = t;
      if (sw == 0) finding(chip::diag::kReservedValue, "CFGR.SW = 00 (reserved)");
      if (sw == rcc::cfgr::sw::PLL && !rcc::pllcfgr::PLLREN.test(val(rcc::PLLCFGR)))
        finding(chip::diag::kMisconfigured, "SYSCLK switched to the PLL with PLLREN = 0");
      settle(t);
      if ((old ^ val(rcc::CFGR)) & (rcc::cfgr::HPRE | rcc::cfgr::PPRE1 | rcc::cfgr::PPRE2)) recompute(t);
      break;
    }
    case rcc::AHB1RSTR:
    case rcc::AHB2RSTR:
    case rcc::AHB3RSTR:
    case rcc::APB1RSTR1:
    case rcc::APB1RSTR2:
    case rcc::APB2RSTR:
      plain_write(idx, value, lanes);  // resets are reported, not carried out (the fields are unmodelled)
      break;
    case rcc::CIFR:
    case rcc::CICR:
      break;
    case rcc::CSR:
      plain_write(idx, value, lanes);
      if (rcc::csr::RMVF.test(val(rcc::CSR)))
        set(rcc::CSR, val(rcc::CSR) & ~(kResetFlags | rcc::csr::RMVF.mask()));  // RMVF clears them
      break;
    default:
      plain_write(idx, value, lanes);
  }
}

void Rcc::recompute(ns_t t) {
  const uint64_t old_sys = sysclk_, old_hclk = hclk_, old_p1 = pclk1_, old_p2 = pclk2_;
  const unsigned old_hpre = hpre_div_;
  sysclk_ = sws_ == rcc::cfgr::sws::PLL ? pll_r_hz() : (sws_ == rcc::cfgr::sws::HSI16 ? kHsiHz : 0);
  const uint32_t c = val(rcc::CFGR);
  hpre_div_ = hpre_div(c);
  ppre1_div_ = ppre_div(rcc::cfgr::PPRE1.get(c));
  ppre2_div_ = ppre_div(rcc::cfgr::PPRE2.get(c));
  hclk_ = sysclk_ / hpre_div_;
  pclk1_ = hclk_ / ppre1_div_;
  pclk2_ = hclk_ / ppre2_div_;
  if (sysclk_ == old_sys && hclk_ == old_hclk && pclk1_ == old_p1 && pclk2_ == old_p2) return;
  if (hclk_ > old_hclk && hclk_ > 80'000'000) {
    // Above 80 MHz the core must pass through AHB /2 for at least 1 us.
    const bool stepped = sysclk_ == old_sys && old_hpre == 2 && t - last_change_t_ >= 1000;
    if (!stepped)
      ctx_.findings.add(
          chip::diag::kAhbStep, "RCC", t,
          "HCLK raised from " + mhz(old_hclk) + " to " + mhz(hclk_) + " without 1 us at AHB /2 first");
  }
  last_change_t_ = t;
  check_rules(t);
  for (const auto& f : listeners_) f(t);
}

void Rcc::check_rules(ns_t t) {
  if (!pwr_ || !flash_) return;
  const unsigned vos = pwr_->vos();
  char b[160];
  const unsigned need = needed_latency(hclk_, vos, pwr_->boost());
  if (flash_->latency() < need) {
    std::snprintf(b, sizeof b, "LATENCY %u too low for HCLK %s (needs %u)", flash_->latency(),
                  mhz(hclk_).c_str(), need);
    ctx_.findings.add(chip::diag::kFlashLatency, "FLASH", t, b);
  }
  if (sysclk_ > 26'000'000 && vos != 1) {
    std::snprintf(b, sizeof b, "SYSCLK %s needs voltage range 1 (VOS = 01), VOS = %u", mhz(sysclk_).c_str(),
                  vos);
    ctx_.findings.add(chip::diag::kVoltageRange, "PWR", t, b);
  }
  if (sysclk_ > 150'000'000 && !pwr_->boost())
    ctx_.findings.add(chip::diag::kVoltageRange, "PWR", t,
                      "SYSCLK " + mhz(sysclk_) + " above 150 MHz needs range 1 boost (R1MODE = 0)");
  if (sysclk_ > 170'000'000)
    ctx_.findings.add(chip::diag::kClockLimit, "RCC", t, "SYSCLK " + mhz(sysclk_) + " above 170 MHz");
}

FlashFetch Rcc::flash_fetch() const { return flash_ ? flash_->fetch() : FlashFetch{}; }

uint64_t Rcc::timer_clock_hz(const std::string& timer) const {
  static const char* const kApb2[] = {"TIM1", "TIM8", "TIM15", "TIM16", "TIM17", "TIM20"};
  bool apb2 = false;
  for (const char* n : kApb2) apb2 = apb2 || timer == n;
  if (apb2) return ppre2_div_ == 1 ? pclk2_ : 2 * pclk2_;
  return ppre1_div_ == 1 ? pclk1_ : 2 * pclk1_;
}

// ---------------------------------------------------------------- PWR

namespace {
std::vector<RegDef> pwr_regs() {
  std::vector<RegDef> r = {
      {.name = "CR1", .offset = pwr::CR1, .reset = pwr::cr1::kReset, .rw = pwr::cr1::kFields},
      {.name = "CR2", .offset = pwr::CR2, .reset = 0, .rw = pwr::cr2::kFields},
      {.name = "CR3", .offset = pwr::CR3, .reset = pwr::cr3::kReset, .rw = pwr::cr3::kFields},
      {.name = "CR4", .offset = pwr::CR4, .reset = 0, .rw = pwr::cr4::kFields},
      {.name = "SR1", .offset = pwr::SR1, .reset = 0, .ro = pwr::sr1::kFields},
      {.name = "SR2", .offset = pwr::SR2, .reset = 0, .ro = pwr::sr2::kFields},
      {.name = "SCR", .offset = pwr::SCR, .reset = 0, .wo = pwr::scr::kFields},
  };
  static const char* const kPull[] = {"PUCRA", "PDCRA", "PUCRB", "PDCRB", "PUCRC", "PDCRC", "PUCRD",
                                      "PDCRD", "PUCRE", "PDCRE", "PUCRF", "PDCRF", "PUCRG", "PDCRG"};
  // The debug pins have no pull of the kind their reset state fights (PA14
  // no pull-up, PA13/PA15/PB4 no pull-down); port G ends at PG10.
  static const uint32_t kPullMask[] = {
      pwr::pucra::kFields, pwr::pdcra::kFields, pwr::pucrb::kFields, pwr::pdcrb::kFields, pwr::pucrc::kFields,
      pwr::pdcrc::kFields, pwr::pucrd::kFields, pwr::pdcrd::kFields, pwr::pucre::kFields, pwr::pdcre::kFields,
      pwr::pucrf::kFields, pwr::pdcrf::kFields, pwr::pucrg::kFields, pwr::pdcrg::kFields};
  for (unsigned i = 0; i < 14; ++i)
    r.push_back({.name = kPull[i], .offset = pwr::PUCRA + 4 * i, .reset = 0, .rw = kPullMask[i]});
  r.push_back({.name = "CR5", .offset = pwr::CR5, .reset = pwr::cr5::kReset, .rw = pwr::cr5::kFields});
  return r;
}
}  // namespace

Pwr::Pwr(Context& ctx, const desc::Peripheral& where) : RegBlock(ctx, where, pwr_regs()) {}

bool Pwr::boost() const { return vos() == pwr::cr1::vos::Range1 && !pwr::cr5::R1MODE.test(val(pwr::CR5)); }

uint32_t Pwr::peek(unsigned idx) const {
  switch (offset_of(idx)) {
    case pwr::SR2:
      return pwr::sr2::VOSF(now() < vos_busy_until_);
    case pwr::SCR:
      return 0;
    default:
      return val_[idx];
  }
}

void Pwr::on_write(unsigned idx, uint32_t value, uint32_t lanes) {
  const uint32_t old = val_[idx];
  plain_write(idx, value, lanes);
  const uint32_t off = offset_of(idx);
  if (off == pwr::CR1 && pwr::cr1::VOS.get(old ^ val_[idx]) != 0) {
    if (vos() != pwr::cr1::vos::Range1 && vos() != pwr::cr1::vos::Range2)
      finding(chip::diag::kReservedValue, "CR1.VOS set to a reserved value");
    vos_busy_until_ = now() + kVosSettleNs;
  }
  if ((off == pwr::CR1 || off == pwr::CR5) && rcc_) rcc_->check_rules(now());
}

// ---------------------------------------------------------------- FLASH

namespace {
// The CR bits that start programming or erasing the flash.
constexpr uint32_t kProgramming = flash::cr::PG | flash::cr::PER | flash::cr::MER1 | flash::cr::STRT |
                                  flash::cr::OPTSTRT | flash::cr::FSTPG;

std::vector<RegDef> flash_regs() {
  // ACR reset as in the fact sheet (LATENCY = 1); the reference manual may say 0.
  return {
      {.name = "ACR", .offset = flash::ACR, .reset = flash::acr::kReset, .rw = flash::acr::kFields},
      {.name = "PDKEYR", .offset = flash::PDKEYR, .reset = 0, .wo = flash::pdkeyr::kFields},
      {.name = "KEYR", .offset = flash::KEYR, .reset = 0, .wo = flash::keyr::kFields},
      {.name = "OPTKEYR", .offset = flash::OPTKEYR, .reset = 0, .wo = flash::optkeyr::kFields},
      {.name = "SR",
       .offset = flash::SR,
       .reset = 0,
       .ro = flash::sr::kReadOnly,
       .w1c = flash::sr::kWritable},
      {.name = "CR",
       .offset = flash::CR,
       .reset = flash::cr::kReset,
       .rw = flash::cr::kFields & ~kProgramming,
       .unmodelled = {{kProgramming, "flash programming/erase requested: not modelled"}}},
      {.name = "ECCR",
       .offset = flash::ECCR,
       .reset = 0,
       .rw = flash::eccr::kWritable,
       .ro = flash::eccr::kReadOnly},
      {.name = "OPTR", .offset = flash::OPTR, .reset = 0, .rw = flash::optr::kFields},
      {.name = "PCROP1SR",
       .offset = flash::PCROP1SR,
       .reset = flash::pcrop1sr::kReset,
       .rw = flash::pcrop1sr::kFields},
      {.name = "PCROP1ER", .offset = flash::PCROP1ER, .reset = 0, .rw = flash::pcrop1er::kFields},
      {.name = "WRP1AR", .offset = flash::WRP1AR, .reset = 0, .rw = flash::wrp1ar::kFields},
      {.name = "WRP1BR", .offset = flash::WRP1BR, .reset = 0, .rw = flash::wrp1br::kFields},
      {.name = "SEC1R", .offset = flash::SEC1R, .reset = flash::sec1r::kReset, .rw = flash::sec1r::kFields},
  };
}
}  // namespace

Flash::Flash(Context& ctx, const desc::Peripheral& where) : RegBlock(ctx, where, flash_regs()) {}

void Flash::on_write(unsigned idx, uint32_t value, uint32_t lanes) {
  switch (offset_of(idx)) {
    case flash::ACR:
      plain_write(idx, value, lanes);
      if (rcc_) rcc_->check_rules(now());
      break;
    case flash::PDKEYR:
    case flash::KEYR:
    case flash::OPTKEYR:
      break;  // key registers: flash programming is not modelled
    case flash::SR:
      plain_write(idx, value, lanes);  // error flags: a 1 clears
      break;
    default:
      plain_write(idx, value, lanes);
  }
}

}  // namespace vboard::periph

// ------------------------------------------------------------------ state

namespace vboard::periph {

// The clock-change listeners and the PWR and FLASH models are wiring.
void Rcc::state(StateVisitor& v) {
  RegBlock::state(v);
  v("pll_never_locks", pll_never_locks_);
  v("sysclk_switch_stuck", sysclk_switch_stuck_);
  v("switch_suppressed", switch_suppressed_);
  v("pll_on", pll_on_);
  v("pll_lock_at", pll_lock_at_);
  v("sws", sws_);
  v("sw_write_t", sw_write_t_);
  v("sysclk", sysclk_);
  v("hclk", hclk_);
  v("pclk1", pclk1_);
  v("pclk2", pclk2_);
  v("ppre1_div", ppre1_div_);
  v("ppre2_div", ppre2_div_);
  v("hpre_div", hpre_div_);
  v("last_change_t", last_change_t_);
}

void Pwr::state(StateVisitor& v) {
  RegBlock::state(v);
  v("vos_busy_until", vos_busy_until_);
}

}  // namespace vboard::periph
