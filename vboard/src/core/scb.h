// The system control block and its neighbours on the private peripheral bus:
// SCB (CPUID, ICSR, VTOR, AIRCR, SCR, CCR, SHCSR, fault status and address
// registers, CPACR), the FPU's FPCCR/FPCAR/FPDSCR and the DWT cycle counter,
// declared by access kind like the chip's peripherals (core/registers.h).
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "core/clock.h"
#include "core/armv7m_regs.h"
#include "core/nvic.h"
#include "core/registers.h"

namespace vboard::core {

class Scb {
 public:
  Scb(Nvic& nvic, const VirtualClock& clock);

  // What a write did beyond setting a register.
  enum class Write { unknown, done, aircr_without_key, reset_request, fpu_enabled };
  // Word registers of the SCB, FPU and DWT; false / unknown for another address.
  bool read(uint32_t addr, uint32_t& v) const;
  Write write(uint32_t addr, uint32_t v);
  // Register value by name as a read would see it ("VTOR", "CFSR", ...; 0 for another name).
  uint32_t reg(std::string_view name) const;
  const RegTable& table() const { return table_; }

  uint32_t vtor() const { return val_[kVTOR]; }
  bool stack_align8() const { return scb::ccr::STKALIGN.test(val_[kCCR]); }
  bool lazy_fp_save() const { return fpu::fpccr::ASPEN.test(val_[kFPCCR]); }
  bool fpu_enabled() const { return fpu_enabled_; }
  // A fault records itself: CFSR / HFSR bits, the faulting address in BFAR.
  void raise_cfsr(uint32_t bits) { val_[kCFSR] |= bits; }
  void raise_hfsr(uint32_t bits) { val_[kHFSR] |= bits; }
  void set_bfar(uint32_t addr) { val_[kBFAR] = addr; }
  // Where fields that no model implements are reported when a write sets them.
  void set_findings(Findings* f) { findings_ = f; }
  // Its mutable state, for saving, loading and comparing (vboard/state.h).
  void state(StateVisitor& v);

 private:
  enum Reg : int {
    kACTLR,
    kCPUID,
    kICSR,
    kVTOR,
    kAIRCR,
    kSCR,
    kCCR,
    kSHCSR,
    kCFSR,
    kHFSR,
    kDFSR,
    kMMFAR,
    kBFAR,
    kAFSR,
    kCPACR,
    kDHCSR,
    kDEMCR,
    kFPCCR,
    kFPCAR,
    kFPDSCR,
    kMVFR0,
    kMVFR1,
    kDWT_CTRL,
    kDWT_CYCCNT,
    kFeatures  // ID_PFR0 .. : read as 0
  };
  uint32_t icsr() const;
  uint32_t shcsr() const;
  uint32_t dwt_cyccnt() const;
  uint32_t value(int i) const;

  Nvic& nvic_;
  const VirtualClock& clock_;
  RegTable table_;
  std::vector<uint32_t> val_;
  bool fpu_enabled_ = false;  // CPACR grants cp10 and cp11
  Findings* findings_ = nullptr;
  uint64_t dwt_enabled_at_ = 0;
};

}  // namespace vboard::core
