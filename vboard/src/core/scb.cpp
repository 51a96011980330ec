#include "core/scb.h"

#include <algorithm>
#include <iterator>

#include "core/armv7m_regs.h"
#include "vboard/state.h"

namespace vboard::core {

namespace {

// Table offsets count from the private peripheral bus: the System Control
// Space's registers at scs::kBase, the DWT's at dwt::kBase.
constexpr uint32_t in_scs(uint32_t offset) { return scs::kBase - kPpbBase + offset; }
constexpr uint32_t in_dwt(uint32_t offset) { return dwt::kBase - kPpbBase + offset; }
constexpr uint32_t kWord = Field{0, 32}.mask();

// Every status flag of CFSR: MemManage, BusFault and UsageFault.
constexpr uint32_t kFaultStatusFlags =
    scb::cfsr::IACCVIOL | scb::cfsr::DACCVIOL | scb::cfsr::MUNSTKERR | scb::cfsr::MSTKERR |
    scb::cfsr::MLSPERR | scb::cfsr::MMARVALID | scb::cfsr::IBUSERR | scb::cfsr::PRECISERR |
    scb::cfsr::IMPRECISERR | scb::cfsr::UNSTKERR | scb::cfsr::STKERR | scb::cfsr::LSPERR |
    scb::cfsr::BFARVALID | scb::cfsr::UNDEFINSTR | scb::cfsr::INVSTATE | scb::cfsr::INVPC | scb::cfsr::NOCP |
    scb::cfsr::UNALIGNED | scb::cfsr::DIVBYZERO;
// SHCSR's active and pending bits of the system handlers.
constexpr uint32_t kHandlerStates =
    scb::shcsr::MEMFAULTACT | scb::shcsr::BUSFAULTACT | scb::shcsr::USGFAULTACT | scb::shcsr::SVCALLACT |
    scb::shcsr::MONITORACT | scb::shcsr::PENDSVACT | scb::shcsr::SYSTICKACT | scb::shcsr::USGFAULTPENDED |
    scb::shcsr::MEMFAULTPENDED | scb::shcsr::BUSFAULTPENDED | scb::shcsr::SVCALLPENDED;
// DHCSR's status bits, where a write holds DBGKEY.
constexpr uint32_t kDebugStatus = coredebug::dhcsr::S_REGRDY | coredebug::dhcsr::S_HALT |
                                  coredebug::dhcsr::S_SLEEP | coredebug::dhcsr::S_LOCKUP |
                                  coredebug::dhcsr::S_RETIRE_ST | coredebug::dhcsr::S_RESET_ST;
// DEMCR: vector catch, the debug monitor and the trace enable.
constexpr uint32_t kDebugControl =
    coredebug::demcr::VC_CORERESET | coredebug::demcr::VC_MMERR | coredebug::demcr::VC_NOCPERR |
    coredebug::demcr::VC_CHKERR | coredebug::demcr::VC_STATERR | coredebug::demcr::VC_BUSERR |
    coredebug::demcr::VC_INTERR | coredebug::demcr::VC_HARDERR | coredebug::demcr::MON_EN |
    coredebug::demcr::MON_PEND | coredebug::demcr::MON_STEP | coredebug::demcr::MON_REQ |
    coredebug::demcr::TRCENA;
// FPCCR's lazy-stacking state, which the core would set.
constexpr uint32_t kLazyStackState = fpu::fpccr::LSPACT | fpu::fpccr::USER | fpu::fpccr::THREAD |
                                     fpu::fpccr::HFRDY | fpu::fpccr::MMRDY | fpu::fpccr::BFRDY |
                                     fpu::fpccr::MONRDY;

std::vector<RegDef> scb_regs() {
  std::vector<RegDef> r = {
      {.name = "ACTLR",
       .offset = in_scs(scs::ACTLR),
       .reset = 0,
       .rw = scs::actlr::DISMCYCINT | scs::actlr::DISDEFWBUF | scs::actlr::DISFOLD | scs::actlr::DISFPCA |
             scs::actlr::DISOOFP},
      {.name = "CPUID", .offset = in_scs(scb::CPUID), .reset = scb::cpuid::kCortexM4r0p1, .ro = kWord},
      // VECTACTIVE, RETTOBASE, VECTPENDING, ISRPENDING read the NVIC; NMI, PendSV
      // and SysTick pend by a 1 and PendSV and SysTick clear by their CLR bits.
      {.name = "ICSR",
       .offset = in_scs(scb::ICSR),
       .reset = 0,
       .ro = scb::icsr::VECTACTIVE | scb::icsr::RETTOBASE | scb::icsr::VECTPENDING | scb::icsr::ISRPENDING,
       .wo = scb::icsr::PENDSTCLR | scb::icsr::PENDSVCLR,
       .w1s = scb::icsr::PENDSTSET | scb::icsr::PENDSVSET | scb::icsr::NMIPENDSET},
      {.name = "VTOR", .offset = in_scs(scb::VTOR), .reset = 0, .rw = scb::vtor::TBLOFF.mask()},
      // VECTKEY guards PRIGROUP and SYSRESETREQ; VECTCLRACTIVE is for debuggers only.
      {.name = "AIRCR",
       .offset = in_scs(scb::AIRCR),
       .reset = scb::aircr::VECTKEY(scb::aircr::kVectKeyStat),
       .rw = scb::aircr::PRIGROUP.mask(),
       .ro = scb::aircr::ENDIANNESS.mask(),
       .wo = scb::aircr::VECTKEY | scb::aircr::SYSRESETREQ | scb::aircr::VECTCLRACTIVE},
      {.name = "SCR",
       .offset = in_scs(scb::SCR),
       .reset = 0,
       .unmodelled = {{scb::scr::SLEEPONEXIT.mask(),
                       "SCR.SLEEPONEXIT: sleeping on the return from a handler is not modelled"},
                      {scb::scr::SLEEPDEEP.mask(),
                       "SCR.SLEEPDEEP: deep sleep is not modelled (the core sleeps as in WFI)"},
                      {scb::scr::SEVONPEND.mask(),
                       "SCR.SEVONPEND: wake-up events from pending interrupts are not modelled"}}},
      // STKALIGN stays set: exception frames are always 8-byte aligned.
      {.name = "CCR",
       .offset = in_scs(scb::CCR),
       .reset = scb::ccr::STKALIGN.mask(),
       .rw = scb::ccr::NONBASETHRDENA | scb::ccr::USERSETMPEND | scb::ccr::UNALIGN_TRP | scb::ccr::BFHFNMIGN,
       .ro = scb::ccr::STKALIGN.mask(),
       .unmodelled = {{scb::ccr::DIV_0_TRP.mask(),
                       "CCR.DIV_0_TRP: division by zero does not fault (it gives 0)"}}},
      // The handlers' active and pending bits read the NVIC; writing them is not modelled.
      {.name = "SHCSR",
       .offset = in_scs(scb::SHCSR),
       .reset = 0,
       .rw = scb::shcsr::MEMFAULTENA | scb::shcsr::BUSFAULTENA | scb::shcsr::USGFAULTENA,
       .ro = kHandlerStates},
      {.name = "CFSR", .offset = in_scs(scb::CFSR), .reset = 0, .w1c = kFaultStatusFlags},
      {.name = "HFSR",
       .offset = in_scs(scb::HFSR),
       .reset = 0,
       .w1c = scb::hfsr::VECTTBL | scb::hfsr::FORCED | scb::hfsr::DEBUGEVT},
      {.name = "DFSR",
       .offset = in_scs(scb::DFSR),
       .reset = 0,
       .w1c = scb::dfsr::HALTED | scb::dfsr::BKPT | scb::dfsr::DWTTRAP | scb::dfsr::VCATCH |
              scb::dfsr::EXTERNAL},
      {.name = "MMFAR", .offset = in_scs(scb::MMFAR), .reset = 0, .rw = kWord},
      {.name = "BFAR", .offset = in_scs(scb::BFAR), .reset = 0, .rw = kWord},
      {.name = "AFSR", .offset = in_scs(scb::AFSR), .reset = 0, .rw = kWord},
      {.name = "CPACR", .offset = in_scs(scb::CPACR), .reset = 0, .rw = scb::cpacr::CP10 | scb::cpacr::CP11},
      // No debugger on the bus: DHCSR reads 0 and its key-guarded writes are ignored.
      {.name = "DHCSR", .offset = in_scs(coredebug::DHCSR), .reset = 0, .ro = kDebugStatus},
      {.name = "DEMCR", .offset = in_scs(coredebug::DEMCR), .reset = 0, .rw = kDebugControl},
      // Lazy stacking is not modelled: FPCAR and the status bits are never set by the core.
      {.name = "FPCCR",
       .offset = in_scs(fpu::FPCCR),
       .reset = fpu::fpccr::ASPEN | fpu::fpccr::LSPEN,
       .rw = fpu::fpccr::ASPEN | fpu::fpccr::LSPEN,
       .ro = kLazyStackState},
      {.name = "FPCAR", .offset = in_scs(fpu::FPCAR), .reset = 0, .rw = fpu::fpcar::ADDRESS.mask()},
      {.name = "FPDSCR",
       .offset = in_scs(fpu::FPDSCR),
       .reset = 0,
       .rw = fpu::fpdscr::RMODE | fpu::fpdscr::FZ | fpu::fpdscr::DN | fpu::fpdscr::AHP},
      {.name = "MVFR0", .offset = in_scs(fpu::MVFR0), .reset = fpu::mvfr0::kCortexM4, .ro = kWord},
      {.name = "MVFR1", .offset = in_scs(fpu::MVFR1), .reset = fpu::mvfr1::kCortexM4, .ro = kWord},
      // CYCCNTENA runs the cycle counter; NUMCOMP (read-only) says 4 comparators.
      {.name = "DWT_CTRL",
       .offset = in_dwt(dwt::CTRL),
       .reset = dwt::ctrl::NUMCOMP(4),
       .rw = ~dwt::ctrl::NUMCOMP.mask(),
       .ro = dwt::ctrl::NUMCOMP.mask()},
      {.name = "DWT_CYCCNT", .offset = in_dwt(dwt::CYCCNT), .reset = 0, .rw = kWord},
  };
  // The processor feature registers (ID_PFR0 .. ID_ISAR4 and three reserved words) read as 0.
  static const char* const kFeatures[] = {
      "ID_PFR0",  "ID_PFR1",  "ID_DFR0",  "ID_AFR0",  "ID_MMFR0", "ID_MMFR1", "ID_MMFR2", "ID_MMFR3",
      "ID_ISAR0", "ID_ISAR1", "ID_ISAR2", "ID_ISAR3", "ID_ISAR4", "RES_ED74", "RES_ED78", "RES_ED7C"};
  for (unsigned i = 0; i < 16; ++i) r.push_back({kFeatures[i], in_scs(scb::ID_PFR0) + 4 * i, 0, 0, 0});
  return r;
}

}  // namespace

Scb::Scb(Nvic& nvic, const VirtualClock& clock) : nvic_(nvic), clock_(clock), table_(kPpbBase, scb_regs()) {
  std::transform(table_.defs().begin(), table_.defs().end(), std::back_inserter(val_),
                 [](const RegDef& d) { return d.reset; });
}

uint32_t Scb::icsr() const {
  const Nvic& n = nvic_;
  uint32_t v = scb::icsr::VECTACTIVE(n.current());
  if (n.active_count() <= 1) v |= scb::icsr::RETTOBASE.mask();
  int b = n.best_pending();
  if (b > 0) v |= scb::icsr::VECTPENDING(static_cast<uint32_t>(b));
  if (n.any_irq_pending()) v |= scb::icsr::ISRPENDING.mask();
  if (n.is_pending(kSysTick)) v |= scb::icsr::PENDSTSET.mask();
  if (n.is_pending(kPendSv)) v |= scb::icsr::PENDSVSET.mask();
  if (n.is_pending(kNmi)) v |= scb::icsr::NMIPENDSET.mask();
  return v;
}

uint32_t Scb::shcsr() const {
  const Nvic& n = nvic_;
  uint32_t v =
      n.fault_enables() & (scb::shcsr::MEMFAULTENA | scb::shcsr::BUSFAULTENA | scb::shcsr::USGFAULTENA);
  static constexpr Field kNone{0, 0};
  static constexpr struct {
    unsigned exc;
    Field active, pending;  // kNone: the exception has no pending bit here
  } kBits[] = {{kMemManage, scb::shcsr::MEMFAULTACT, scb::shcsr::MEMFAULTPENDED},
               {kBusFault, scb::shcsr::BUSFAULTACT, scb::shcsr::BUSFAULTPENDED},
               {kUsageFault, scb::shcsr::USGFAULTACT, scb::shcsr::USGFAULTPENDED},
               {kSvc, scb::shcsr::SVCALLACT, scb::shcsr::SVCALLPENDED},
               {kDebugMon, scb::shcsr::MONITORACT, kNone},
               {kPendSv, scb::shcsr::PENDSVACT, kNone},
               {kSysTick, scb::shcsr::SYSTICKACT, kNone}};
  for (const auto& b : kBits) {
    if (n.is_active(b.exc)) v |= b.active.mask();
    if (b.pending != kNone && n.is_pending(b.exc)) v |= b.pending.mask();
  }
  return v;
}

uint32_t Scb::dwt_cyccnt() const {
  if (!dwt::ctrl::CYCCNTENA.test(val_[kDWT_CTRL])) return val_[kDWT_CYCCNT];
  return static_cast<uint32_t>(val_[kDWT_CYCCNT] + (clock_.total_cycles_milli - dwt_enabled_at_) / 1000);
}

uint32_t Scb::value(int i) const {
  switch (i) {
    case kICSR:
      return icsr();
    case kAIRCR:
      return scb::aircr::VECTKEY(scb::aircr::kVectKeyStat) | scb::aircr::PRIGROUP(nvic_.prigroup());
    case kSHCSR:
      return shcsr();
    case kDWT_CYCCNT:
      return dwt_cyccnt();
    default:
      return val_[static_cast<size_t>(i)];
  }
}

bool Scb::read(uint32_t addr, uint32_t& v) const {
  const int i = table_.index(addr);
  if (i < 0) return false;
  v = value(i);
  return true;
}

uint32_t Scb::reg(std::string_view name) const {
  for (size_t i = 0; i < table_.defs().size(); ++i)
    if (name == table_.defs()[i].name) return value(static_cast<int>(i));
  return 0;
}

Scb::Write Scb::write(uint32_t addr, uint32_t v) {
  const int i = table_.index(addr);
  if (i < 0) return Write::unknown;
  const RegDef& def = table_[i];
  uint32_t& cur = val_[static_cast<size_t>(i)];
  Write result = Write::done;
  switch (i) {
    case kICSR:
      if (scb::icsr::NMIPENDSET.test(v)) nvic_.pend(kNmi);
      if (scb::icsr::PENDSVSET.test(v)) nvic_.pend(kPendSv);
      if (scb::icsr::PENDSVCLR.test(v)) nvic_.clear_pending(kPendSv);
      if (scb::icsr::PENDSTSET.test(v)) nvic_.pend(kSysTick);
      if (scb::icsr::PENDSTCLR.test(v)) nvic_.clear_pending(kSysTick);
      return Write::done;
    case kAIRCR:
      if (scb::aircr::VECTKEY.get(v) != scb::aircr::kVectKey) return Write::aircr_without_key;
      nvic_.set_prigroup(scb::aircr::PRIGROUP.get(v));
      return scb::aircr::SYSRESETREQ.test(v) ? Write::reset_request : Write::done;
    case kSHCSR:
      nvic_.set_fault_enables(v & def.rw);
      return Write::done;
    case kCPACR: {
      cur = written(def, cur, v, ~0u);
      const uint32_t cp10 = scb::cpacr::CP10.get(cur), cp11 = scb::cpacr::CP11.get(cur);
      const bool en = (cp10 == scb::cpacr::cpx::Privileged || cp10 == scb::cpacr::cpx::Full) && cp11 == cp10;
      result = en && !fpu_enabled_ ? Write::fpu_enabled : Write::done;
      fpu_enabled_ = en;
      return result;
    }
    case kDWT_CTRL: {
      const uint32_t old = cur;
      const bool on = dwt::ctrl::CYCCNTENA.test(v), was_on = dwt::ctrl::CYCCNTENA.test(old);
      if (on && !was_on) dwt_enabled_at_ = clock_.total_cycles_milli;
      if (!on && was_on) val_[kDWT_CYCCNT] = dwt_cyccnt();
      cur = written(def, old, v, ~0u);
      return Write::done;
    }
    case kDWT_CYCCNT:
      cur = v;
      dwt_enabled_at_ = clock_.total_cycles_milli;
      return Write::done;
    default:
      cur = written(def, cur, v, ~0u);
  }
  if (findings_ && !def.unmodelled.empty())
    for (const UnmodelledField* f : unmodelled_in_use(def, cur))
      findings_->add(kNotModelled, "SCB", clock_.now(), f->what);
  return result;
}

}  // namespace vboard::core

// ------------------------------------------------------------------ state

namespace vboard::core {

void Scb::state(StateVisitor& v) {
  for (size_t i = 0; i < val_.size() && i < table_.defs().size(); ++i) v(table_.defs()[i].name, val_[i]);
  v("fpu_enabled", fpu_enabled_);
  v("dwt_enabled_at", dwt_enabled_at_);
}

}  // namespace vboard::core
