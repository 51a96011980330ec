#include "core/scb.h"

#include <algorithm>
#include <iterator>

#include "core/armv7m_regs.h"

namespace vboard::core {

namespace {

// Addresses from 0xE0000000: the System Control Space at 0xE000E000, the DWT at 0xE0001000.
std::vector<RegDef> scb_regs() {
  std::vector<RegDef> r = {
      {"ACTLR", 0xE008, 0, 0x00000307},
      {"CPUID", 0xED00, 0x410FC241, 0, 0xFFFFFFFF},
      // VECTACTIVE, RETTOBASE, VECTPENDING, ISRPENDING read the NVIC; NMI, PendSV
      // and SysTick pend by a 1 and PendSV and SysTick clear by their CLR bits.
      {.name = "ICSR", .offset = 0xED04, .reset = 0, .ro = 0x005FF9FF, .wo = 0x0A000000, .w1s = 0x94000000},
      {"VTOR", 0xED08, 0, 0xFFFFFF80},
      // VECTKEY guards PRIGROUP and SYSRESETREQ; VECTCLRACTIVE is for debuggers only.
      {.name = "AIRCR", .offset = 0xED0C, .reset = 0xFA050000, .rw = 0x700, .ro = 0x8000, .wo = 0xFFFF0006},
      {"SCR",
       0xED10,
       0,
       0,
       0,
       0,
       0,
       0,
       {{0x2, "SCR.SLEEPONEXIT: sleeping on the return from a handler is not modelled"},
        {0x4, "SCR.SLEEPDEEP: deep sleep is not modelled (the core sleeps as in WFI)"},
        {0x10, "SCR.SEVONPEND: wake-up events from pending interrupts are not modelled"}}},
      // STKALIGN stays set: exception frames are always 8-byte aligned.
      {"CCR",
       0xED14,
       0x200,
       0x10B,
       0x200,
       0,
       0,
       0,
       {{0x10, "CCR.DIV_0_TRP: division by zero does not fault (it gives 0)"}}},
      // The handlers' active and pending bits read the NVIC; writing them is not modelled.
      {"SHCSR", 0xED24, 0, 0x00070000, 0x0000FD8B},
      {.name = "CFSR", .offset = 0xED28, .reset = 0, .w1c = 0x030FBFBB},
      {.name = "HFSR", .offset = 0xED2C, .reset = 0, .w1c = 0xC0000002},
      {.name = "DFSR", .offset = 0xED30, .reset = 0, .w1c = 0x0000001F},
      {"MMFAR", 0xED34, 0, 0xFFFFFFFF},
      {"BFAR", 0xED38, 0, 0xFFFFFFFF},
      {"AFSR", 0xED3C, 0, 0xFFFFFFFF},
      {"CPACR", 0xED88, 0, 0x00F00000},
      // No debugger on the bus: DHCSR reads 0 and its key-guarded writes are ignored.
      {"DHCSR", 0xEDF0, 0, 0, 0x030F0000},
      {"DEMCR", 0xEDFC, 0, 0x010F07F1},
      // Lazy stacking is not modelled: FPCAR and the status bits are never set by the core.
      {"FPCCR", 0xEF34, 0xC0000000, 0xC0000000, 0x000001FB},
      {"FPCAR", 0xEF38, 0, 0xFFFFFFF8},
      {"FPDSCR", 0xEF3C, 0, 0x07C00000},
      {"MVFR0", 0xEF40, 0x10110021, 0, 0xFFFFFFFF},
      {"MVFR1", 0xEF44, 0x11000011, 0, 0xFFFFFFFF},
      // CYCCNTENA runs the cycle counter; NUMCOMP (read-only) says 4 comparators.
      {"DWT_CTRL", 0x1000, 0x40000000, 0x0FFFFFFF, 0xF0000000},
      {"DWT_CYCCNT", 0x1004, 0, 0xFFFFFFFF},
  };
  // The processor feature registers (ID_PFR0 .. ID_ISAR4 and three reserved words) read as 0.
  static const char* const kFeatures[] = {
      "ID_PFR0",  "ID_PFR1",  "ID_DFR0",  "ID_AFR0",  "ID_MMFR0", "ID_MMFR1", "ID_MMFR2", "ID_MMFR3",
      "ID_ISAR0", "ID_ISAR1", "ID_ISAR2", "ID_ISAR3", "ID_ISAR4", "RES_ED74", "RES_ED78", "RES_ED7C"};
  for (unsigned i = 0; i < 16; ++i) r.push_back({kFeatures[i], 0xED40 + 4 * i, 0, 0, 0});
  return r;
}

}  // namespace

Scb::Scb(Nvic& nvic, const VirtualClock& clock) : nvic_(nvic), clock_(clock), table_(0xE0000000, scb_regs()) {
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
#include "vboard/state.h"

namespace vboard::core {

void Scb::state(StateVisitor& v) {
  for (size_t i = 0; i < val_.size() && i < table_.defs().size(); ++i) v(table_.defs()[i].name, val_[i]);
  v("fpu_enabled", fpu_enabled_);
  v("dwt_enabled_at", dwt_enabled_at_);
}

}  // namespace vboard::core
