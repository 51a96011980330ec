// RCC, PWR and FLASH: the clock tree and the rules that tie clock speed to the
// voltage range and the flash wait states.
#include <algorithm>
#include <cstdio>

#include "chip/rcc.h"

namespace vboard::periph {

namespace {

enum RccReg : unsigned {
  kCR,
  kICSCR,
  kCFGR,
  kPLLCFGR,
  kCIER,
  kCIFR,
  kCICR,
  kAHB1RSTR,
  kAHB2RSTR,
  kAHB3RSTR,
  kAPB1RSTR1,
  kAPB1RSTR2,
  kAPB2RSTR,
  kAHB1ENR,
  kAHB2ENR,
  kAHB3ENR,
  kAPB1ENR1,
  kAPB1ENR2,
  kAPB2ENR,
  kAHB1SMENR,
  kAHB2SMENR,
  kAHB3SMENR,
  kAPB1SMENR1,
  kAPB1SMENR2,
  kAPB2SMENR,
  kCCIPR,
  kBDCR,
  kCSR,
  kCRRCR,
  kCCIPR2
};

constexpr uint32_t kHSION = 1u << 8, kHSIRDY = 1u << 10, kHSEON = 1u << 16, kHSERDY = 1u << 17;
constexpr uint32_t kPLLON = 1u << 24, kPLLRDY = 1u << 25;
constexpr uint64_t kHsiHz = 16'000'000;

std::vector<RegDef> rcc_regs() {
  const uint32_t all = 0xFFFFFFFFu;
  return {
      // HSION/HSIRDY set: the chip runs from HSI16 out of reset (the SVD's 0x63 is wrong).
      {"CR", 0x000, 0x00000500, 0x010D0300, 0x02020400},
      {"ICSCR", 0x004, 0x40000000, 0x7F000000, 0x00FF0000},
      {"CFGR", 0x008, 0x00000005, 0x7F003FF3, 0x0000000C},
      {"PLLCFGR", 0x00C, 0x00001000, 0xFF737FF3},
      {"CIER", 0x018, 0, 0x0000063B},
      {"CIFR", 0x01C, 0, 0, 0x0000073B},
      {.name = "CICR", .offset = 0x020, .reset = 0, .wo = 0x0000073B},
      {"AHB1RSTR", 0x028, 0, 0, 0, 0, 0, 0, {{0x0000111F, "AHB1RSTR peripheral reset is not modelled"}}},
      {"AHB2RSTR", 0x02C, 0, 0, 0, 0, 0, 0, {{0x050F607F, "AHB2RSTR peripheral reset is not modelled"}}},
      {"AHB3RSTR", 0x030, 0, 0, 0, 0, 0, 0, {{0x00000101, "AHB3RSTR peripheral reset is not modelled"}}},
      {"APB1RSTR1", 0x038, 0, 0, 0, 0, 0, 0, {{0xD2FEC13F, "APB1RSTR1 peripheral reset is not modelled"}}},
      {"APB1RSTR2", 0x03C, 0, 0, 0, 0, 0, 0, {{0x00000103, "APB1RSTR2 peripheral reset is not modelled"}}},
      {"APB2RSTR", 0x040, 0, 0, 0, 0, 0, 0, {{0x0437F801, "APB2RSTR peripheral reset is not modelled"}}},
      {"AHB1ENR", 0x048, 0x00000100, 0x0000111F},
      {"AHB2ENR", 0x04C, 0, 0x050F607F},
      {"AHB3ENR", 0x050, 0, 0x00000101},
      {"APB1ENR1", 0x058, 0x00000400, 0xD2FECD3F},
      {"APB1ENR2", 0x05C, 0, 0x00000103},
      {"APB2ENR", 0x060, 0, 0x0437F801},
      {"AHB1SMENR", 0x068, 0x0000130F, 0x0000131F},
      {"AHB2SMENR", 0x06C, 0x050F667F, 0x050F667F},
      {"AHB3SMENR", 0x070, 0x00000101, 0x00000101},
      {"APB1SMENR1", 0x078, 0xD2FECD3F, 0xD2FECD3F},
      {"APB1SMENR2", 0x07C, 0x00000103, 0x00000103},
      {"APB2SMENR", 0x080, 0x0437F801, 0x0437F801},
      {"CCIPR", 0x088, 0, all},
      {"BDCR", 0x090, 0, 0x0301833D, 0x00000042},
      {"CSR", 0x094, 0x0C000000, 0x00800001, 0xFE000002},
      {"CRRCR", 0x098, 0, 0x00000001, 0x0000FF82},
      {"CCIPR2", 0x09C, 0, 0x00300003},
  };
}

unsigned hpre_div(uint32_t cfgr) {
  const unsigned h = (cfgr >> 4) & 0xFu;
  static constexpr unsigned kDiv[8] = {2, 4, 8, 16, 64, 128, 256, 512};
  return h < 8 ? 1u : kDiv[h - 8];
}

unsigned ppre_div(uint32_t field) { return field < 4 ? 1u : 1u << (field - 3); }

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
  for (unsigned i = kAHB1ENR; i <= kAPB2ENR; ++i)
    if (regs_[i].offset == enr_offset) return (val_[i] >> bit) & 1u;
  return true;
}

bool Rcc::pll_sane(std::string* why) const {
  const uint32_t c = val_[kPLLCFGR];
  const unsigned src = c & 3u, m = ((c >> 4) & 0xFu) + 1, n = (c >> 8) & 0x7Fu;
  char b[96];
  if (src != 2) {
    if (why) *why = src == 3 ? "PLL source HSE, but the board has no HSE" : "PLL source none";
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
  const uint32_t c = val_[kPLLCFGR];
  const uint64_t m = ((c >> 4) & 0xFu) + 1, n = (c >> 8) & 0x7Fu, r = uint64_t{2} * (((c >> 25) & 3u) + 1);
  return kHsiHz / m * n / r;
}

bool Rcc::pll_ready_at(ns_t t) const { return pll_on_ && pll_lock_at_ != kNever && t >= pll_lock_at_; }

bool Rcc::source_ready(unsigned sw, ns_t t) const {
  if (sw == 1) return (val_[kCR] & kHSION) != 0;
  if (sw == 3) return pll_ready_at(t);
  return false;  // HSE: not fitted on these boards
}

void Rcc::settle(ns_t t) {
  const unsigned sw = val_[kCFGR] & 3u;
  if (sw == sws_ || sw == 0) return;
  if (sw == 3 && sysclk_switch_stuck_) {
    if (!switch_suppressed_)
      finding(chip::diag::kClockSwitchSuppressed, "switch of SYSCLK to the PLL suppressed (fault injection)");
    switch_suppressed_ = true;
    return;
  }
  if (sw == 3 && pll_ready_at(t)) {
    sws_ = 3;
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
  const unsigned sw = val_[kCFGR] & 3u;
  if (sw == 3 && sws_ != 3 && !sysclk_switch_stuck_ && pll_ready_at(now())) return now() + 1;
  return kNever;
}

uint32_t Rcc::on_read(unsigned idx) {
  settle(now());
  return peek(idx);
}

uint32_t Rcc::peek(unsigned idx) const {
  const ns_t t = now();
  if (idx == kCR) {
    uint32_t v = val_[kCR] & ~(kHSIRDY | kHSERDY | kPLLRDY);
    if (v & kHSION) v |= kHSIRDY;
    if (pll_ready_at(t)) v |= kPLLRDY;
    return v;
  }
  if (idx == kCFGR) return (val_[kCFGR] & ~0xCu) | (sws_ << 2);
  if (idx == kCSR) return val_[kCSR] | ((val_[kCSR] & 1u) << 1);        // LSIRDY follows LSION
  if (idx == kCRRCR) return val_[kCRRCR] | ((val_[kCRRCR] & 1u) << 1);  // HSI48RDY follows HSI48ON
  if (idx == kCICR) return 0;
  return val_[idx];
}

void Rcc::on_write(unsigned idx, uint32_t value, uint32_t lanes) {
  const ns_t t = now();
  settle(t);
  switch (idx) {
    case kCR: {
      uint32_t v = merged(idx, value, lanes);
      // HSI cannot be stopped while it clocks the system or a running PLL.
      if (!(v & kHSION) && (sws_ == 1 || pll_on_)) v |= kHSION;
      if (!(v & kPLLON) && sws_ == 3) {
        finding(chip::diag::kLockedField, "PLLON cleared while the PLL clocks the system (ignored)");
        v |= kPLLON;
      }
      if ((v & kHSEON) && !(val_[kCR] & kHSEON))
        finding(chip::diag::kMisconfigured, "HSE switched on, but the board has no HSE: HSERDY stays 0");
      val_[kCR] = v;
      const bool on = (v & kPLLON) != 0;
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
    case kPLLCFGR: {
      // The output enables (PLLPEN/PLLQEN/PLLREN) may change at any time; the
      // source and dividers only while the PLL is off.
      const uint32_t old = val_[kPLLCFGR];
      plain_write(idx, value, lanes);
      if (pll_on_ && ((old ^ val_[kPLLCFGR]) & ~0x01110000u))
        finding(chip::diag::kLockedField, "PLLCFGR dividers changed while the PLL is on");
      break;
    }
    case kCFGR: {
      const uint32_t old = val_[kCFGR];
      plain_write(idx, value, lanes);
      const unsigned sw = val_[kCFGR] & 3u;
      if (sw != (old & 3u)) sw_write_t_ = t;
      if (sw == 0) finding(chip::diag::kReservedValue, "CFGR.SW = 00 (reserved)");
      if (sw == 3 && !(val_[kPLLCFGR] & (1u << 24)))
        finding(chip::diag::kMisconfigured, "SYSCLK switched to the PLL with PLLREN = 0");
      settle(t);
      if ((old ^ val_[kCFGR]) & 0x3FF0u) recompute(t);
      break;
    }
    case kAHB1RSTR:
    case kAHB2RSTR:
    case kAHB3RSTR:
    case kAPB1RSTR1:
    case kAPB1RSTR2:
    case kAPB2RSTR:
      plain_write(idx, value, lanes);  // resets are reported, not carried out (the fields are unmodelled)
      break;
    case kCIFR:
    case kCICR:
      break;
    case kCSR:
      plain_write(idx, value, lanes);
      if (val_[kCSR] & (1u << 23)) val_[kCSR] &= ~(0xFE000000u | (1u << 23));  // RMVF clears the reset flags
      break;
    default:
      plain_write(idx, value, lanes);
  }
}

void Rcc::recompute(ns_t t) {
  const uint64_t old_sys = sysclk_, old_hclk = hclk_, old_p1 = pclk1_, old_p2 = pclk2_;
  const unsigned old_hpre = hpre_div_;
  sysclk_ = sws_ == 3 ? pll_r_hz() : (sws_ == 1 ? kHsiHz : 0);
  const uint32_t cfgr = val_[kCFGR];
  hpre_div_ = hpre_div(cfgr);
  ppre1_div_ = ppre_div((cfgr >> 8) & 7u);
  ppre2_div_ = ppre_div((cfgr >> 11) & 7u);
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
      {"CR1", 0x000, 0x00000200, 0x0000470F},
      {"CR2", 0x004, 0, 0x000000CF},
      {"CR3", 0x008, 0x00008000, 0x0000E51F},
      {"CR4", 0x00C, 0, 0x0000031F},
      {"SR1", 0x010, 0, 0, 0x0000811F},
      {"SR2", 0x014, 0, 0, 0x0000CF00},
      {.name = "SCR", .offset = 0x018, .reset = 0, .wo = 0x0000011F},
  };
  static const char* const kPull[] = {"PUCRA", "PDCRA", "PUCRB", "PDCRB", "PUCRC", "PDCRC", "PUCRD",
                                      "PDCRD", "PUCRE", "PDCRE", "PUCRF", "PDCRF", "PUCRG", "PDCRG"};
  // The debug pins have no pull of the kind their reset state fights (PA14
  // no pull-up, PA13/PA15/PB4 no pull-down); port G ends at PG10.
  static const uint32_t kPullMask[] = {0xBFFF, 0x5FFF, 0xFFFF, 0xFFEF, 0xFFFF, 0xFFFF, 0xFFFF,
                                       0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0x07FF, 0x07FF};
  for (unsigned i = 0; i < 14; ++i) r.push_back({kPull[i], 0x020 + 4 * i, 0, kPullMask[i]});
  r.push_back({"CR5", 0x080, 0x00000100, 0x00000100});
  return r;
}
constexpr unsigned kPwrCR1 = 0, kPwrSR2 = 5, kPwrSCR = 6, kPwrCR5 = 21;
}  // namespace

Pwr::Pwr(Context& ctx, const desc::Peripheral& where) : RegBlock(ctx, where, pwr_regs()) {}

bool Pwr::boost() const { return vos() == 1 && !(val_[kPwrCR5] & (1u << 8)); }

uint32_t Pwr::peek(unsigned idx) const {
  if (idx == kPwrSR2) return now() < vos_busy_until_ ? (1u << 10) : 0u;
  if (idx == kPwrSCR) return 0;
  return val_[idx];
}

void Pwr::on_write(unsigned idx, uint32_t value, uint32_t lanes) {
  const uint32_t old = val_[idx];
  plain_write(idx, value, lanes);
  if (idx == kPwrCR1 && ((old ^ val_[idx]) & (3u << 9))) {
    if (vos() == 0 || vos() == 3) finding(chip::diag::kReservedValue, "CR1.VOS set to a reserved value");
    vos_busy_until_ = now() + kVosSettleNs;
  }
  if ((idx == kPwrCR1 || idx == kPwrCR5) && rcc_) rcc_->check_rules(now());
}

// ---------------------------------------------------------------- FLASH

namespace {
std::vector<RegDef> flash_regs() {
  // ACR reset as in the fact sheet (LATENCY = 1); the reference manual may say 0.
  return {
      {"ACR", 0x000, 0x00040601, 0x00047F0F},
      {.name = "PDKEYR", .offset = 0x004, .reset = 0, .wo = 0xFFFFFFFF},
      {.name = "KEYR", .offset = 0x008, .reset = 0, .wo = 0xFFFFFFFF},
      {.name = "OPTKEYR", .offset = 0x00C, .reset = 0, .wo = 0xFFFFFFFF},
      {.name = "SR", .offset = 0x010, .reset = 0, .ro = 0x00010000, .w1c = 0x0000C3FB},
      {"CR",
       0x014,
       0xC0000000,
       0xDF0001F8,
       0,
       0,
       0,
       0,
       {{0x00070007, "flash programming/erase requested: not modelled"}}},
      {"ECCR", 0x018, 0, 0xC1000000, 0x0047FFFF},
      {"OPTR", 0x020, 0, 0x7F8F77FF},
      {"PCROP1SR", 0x024, 0xFFFF0000, 0x00007FFF},
      {"PCROP1ER", 0x028, 0, 0x80007FFF},
      {"WRP1AR", 0x02C, 0, 0x003F003F},
      {"WRP1BR", 0x030, 0, 0x003F003F},
      {"SEC1R", 0x070, 0xFFF0FF00, 0x0001007F},
  };
}
}  // namespace

Flash::Flash(Context& ctx, const desc::Peripheral& where) : RegBlock(ctx, where, flash_regs()) {}

void Flash::on_write(unsigned idx, uint32_t value, uint32_t lanes) {
  switch (idx) {
    case 0:
      plain_write(idx, value, lanes);
      if (rcc_) rcc_->check_rules(now());
      break;
    case 1:
    case 2:
    case 3:
      break;  // key registers: flash programming is not modelled
    case 4:
      plain_write(idx, value, lanes);  // error flags: a 1 clears
      break;
    default:
      plain_write(idx, value, lanes);
  }
}

}  // namespace vboard::periph

// ------------------------------------------------------------------ state
#include "vboard/state.h"

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
