#include "core/scb.h"

#include <algorithm>

namespace vboard::core {

uint32_t Scb::icsr() const {
  const Nvic& n = nvic_;
  uint32_t v = n.active_stack.empty() ? 0 : n.active_stack.back();
  size_t nactive = std::count(n.active.begin(), n.active.end(), true);
  if (nactive <= 1) v |= 1u << 11;
  int b = n.best_pending();
  if (b > 0) v |= static_cast<uint32_t>(b) << 12;
  for (unsigned e = 16; e < kNumExc; ++e)
    if (n.pending[e]) v |= 1u << 22;
  if (n.pending[kSysTick]) v |= 1u << 26;
  if (n.pending[kPendSv]) v |= 1u << 28;
  if (n.pending[kNmi]) v |= 1u << 31;
  return v;
}

uint32_t Scb::shcsr() const {
  const Nvic& n = nvic_;
  uint32_t v = n.shcsr_enables & 0x70000u;
  if (n.active[kMemManage]) v |= 1u << 0;
  if (n.active[kBusFault]) v |= 1u << 1;
  if (n.active[kUsageFault]) v |= 1u << 3;
  if (n.active[kSvc]) v |= 1u << 7;
  if (n.active[kDebugMon]) v |= 1u << 8;
  if (n.active[kPendSv]) v |= 1u << 10;
  if (n.active[kSysTick]) v |= 1u << 11;
  if (n.pending[kUsageFault]) v |= 1u << 12;
  if (n.pending[kMemManage]) v |= 1u << 13;
  if (n.pending[kBusFault]) v |= 1u << 14;
  if (n.pending[kSvc]) v |= 1u << 15;
  return v;
}

uint32_t Scb::dwt_cyccnt() const {
  if (!(dwt_ctrl_ & 1)) return dwt_cyccnt_base_;
  return static_cast<uint32_t>(dwt_cyccnt_base_ + (clock_.total_cycles_milli - dwt_enabled_at_) / 1000);
}

bool Scb::read(uint32_t addr, uint32_t& v) const {
  switch (addr) {
    case 0xE000E008:
      v = actlr;
      return true;
    case 0xE000ED00:
      v = 0x410FC241;
      return true;
    case 0xE000ED04:
      v = icsr();
      return true;
    case 0xE000ED08:
      v = vtor;
      return true;
    case 0xE000ED0C:
      v = aircr();
      return true;
    case 0xE000ED10:
      v = scr;
      return true;
    case 0xE000ED14:
      v = ccr;
      return true;
    case 0xE000ED24:
      v = shcsr();
      return true;
    case 0xE000ED28:
      v = cfsr;
      return true;
    case 0xE000ED2C:
      v = hfsr;
      return true;
    case 0xE000ED30:
      v = dfsr;
      return true;
    case 0xE000ED34:
      v = mmfar;
      return true;
    case 0xE000ED38:
      v = bfar;
      return true;
    case 0xE000ED3C:
      v = afsr;
      return true;
    case 0xE000ED88:
      v = cpacr;
      return true;
    case 0xE000EDF0:
      v = 0;
      return true;  // DHCSR: no debugger
    case 0xE000EDFC:
      v = demcr;
      return true;
    case 0xE000EF34:
      v = fpccr;
      return true;
    case 0xE000EF38:
      v = fpcar;
      return true;
    case 0xE000EF3C:
      v = fpdscr;
      return true;
    case 0xE000EF40:
      v = 0x10110021;
      return true;  // MVFR0
    case 0xE000EF44:
      v = 0x11000011;
      return true;  // MVFR1
    case 0xE0001000:
      v = dwt_ctrl_;
      return true;
    case 0xE0001004:
      v = dwt_cyccnt();
      return true;
    default:
      break;
  }
  if (addr >= 0xE000ED40 && addr < 0xE000ED80) return v = 0, true;  // feature registers
  return false;
}

Scb::Write Scb::write(uint32_t addr, uint32_t v) {
  switch (addr) {
    case 0xE000E008:
      actlr = v;
      return Write::done;
    case 0xE000ED04:
      if (v & (1u << 31)) nvic_.pend(kNmi);
      if (v & (1u << 28)) nvic_.pend(kPendSv);
      if (v & (1u << 27)) nvic_.pending[kPendSv] = false;
      if (v & (1u << 26)) nvic_.pend(kSysTick);
      if (v & (1u << 25)) nvic_.pending[kSysTick] = false;
      return Write::done;
    case 0xE000ED08:
      vtor = v & 0xFFFFFF80u;
      return Write::done;
    case 0xE000ED0C:
      if ((v >> 16) != 0x05FA) return Write::aircr_without_key;
      nvic_.prigroup = (v >> 8) & 7;
      return (v & 4) ? Write::reset_request : Write::done;
    case 0xE000ED10:
      scr = v & 0x16;
      return Write::done;
    case 0xE000ED14:
      ccr = (v & 0x31B) | 0x200;
      return Write::done;
    case 0xE000ED24:
      nvic_.shcsr_enables = v & 0x70000u;
      return Write::done;
    case 0xE000ED28:
      cfsr &= ~v;
      return Write::done;
    case 0xE000ED2C:
      hfsr &= ~v;
      return Write::done;
    case 0xE000ED30:
      dfsr &= ~v;
      return Write::done;
    case 0xE000ED34:
      mmfar = v;
      return Write::done;
    case 0xE000ED38:
      bfar = v;
      return Write::done;
    case 0xE000ED3C:
      afsr = v;
      return Write::done;
    case 0xE000ED88: {
      cpacr = v & 0x00F00000u;
      uint32_t cp10 = (v >> 20) & 3, cp11 = (v >> 22) & 3;
      bool en = (cp10 == 1 || cp10 == 3) && cp11 == cp10;
      bool newly = en && !fpu_enabled;
      fpu_enabled = en;
      return newly ? Write::fpu_enabled : Write::done;
    }
    case 0xE000EDFC:
      demcr = v;
      return Write::done;
    case 0xE000EF34:
      fpccr = v;
      return Write::done;
    case 0xE000EF38:
      fpcar = v;
      return Write::done;
    case 0xE000EF3C:
      fpdscr = v & 0x07C00000u;
      return Write::done;
    case 0xE0001000:
      if ((v & 1) && !(dwt_ctrl_ & 1)) dwt_enabled_at_ = clock_.total_cycles_milli;
      if (!(v & 1) && (dwt_ctrl_ & 1)) dwt_cyccnt_base_ = dwt_cyccnt();
      dwt_ctrl_ = (dwt_ctrl_ & 0xF0000000u) | (v & 0x0FFFFFFFu);
      return Write::done;
    case 0xE0001004:
      dwt_cyccnt_base_ = v;
      dwt_enabled_at_ = clock_.total_cycles_milli;
      return Write::done;
    default:
      return Write::unknown;
  }
}

}  // namespace vboard::core
