// The system control block and its neighbours on the private peripheral bus:
// SCB (CPUID, ICSR, VTOR, AIRCR, SCR, CCR, SHCSR, fault status and address
// registers, CPACR), the FPU's FPCCR/FPCAR/FPDSCR and the DWT cycle counter.
#pragma once

#include <cstdint>

#include "core/clock.h"
#include "core/nvic.h"

namespace vboard::core {

class Scb {
 public:
  Scb(Nvic& nvic, const VirtualClock& clock) : nvic_(nvic), clock_(clock) {}

  // What a write did beyond setting a register.
  enum class Write { unknown, done, aircr_without_key, reset_request, fpu_enabled };
  // Word registers of the SCB, FPU and DWT; false / unknown for another address.
  bool read(uint32_t addr, uint32_t& v) const;
  Write write(uint32_t addr, uint32_t v);

  uint32_t icsr() const;
  uint32_t shcsr() const;
  uint32_t aircr() const { return 0xFA050000u | (nvic_.prigroup << 8); }
  uint32_t dwt_cyccnt() const;

  uint32_t vtor = 0, ccr = 0x200, scr = 0, cfsr = 0, hfsr = 0, dfsr = 0, mmfar = 0, bfar = 0, afsr = 0,
           cpacr = 0, actlr = 0, demcr = 0, fpccr = 0xC0000000, fpcar = 0, fpdscr = 0;
  bool fpu_enabled = false;  // CPACR grants cp10 and cp11

 private:
  Nvic& nvic_;
  const VirtualClock& clock_;
  uint32_t dwt_ctrl_ = 0x40000000, dwt_cyccnt_base_ = 0;
  uint64_t dwt_enabled_at_ = 0;
};

}  // namespace vboard::core
