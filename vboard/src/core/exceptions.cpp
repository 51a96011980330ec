#include "core/exceptions.h"

#include <algorithm>
#include <cstring>

#include "core/armv7m_regs.h"
#include "vboard/state.h"

namespace vboard::core {

namespace {

// Unicorn's exception numbers (QEMU's EXCP_*) that its interrupt hook reports.
enum EngineException : uint32_t {
  kSwi = 2,
  kPrefetchAbort = 3,
  kDataAbort = 4,
  kBkpt = 7,
  kExceptionExit = 8,
  kNoCoprocessor = 17,
  kInvalidState = 18,
  kUnalignedAccess = 22,
};

// Core cycles outside instructions: exception entry, a tail-chain, a return.
constexpr unsigned kEntryCycles = 12, kTailChainCycles = 6, kReturnCycles = 10;

}  // namespace

bool ExceptionUnit::enter(unsigned e, uint32_t ret_pc) {
  const Cpu& cpu = p_.cpu;
  // What the frame and the mode decision need, in one call into the engine.
  static int ids[] = {UC_ARM_REG_R0, UC_ARM_REG_R1,   UC_ARM_REG_R2,      UC_ARM_REG_R3,  UC_ARM_REG_R12,
                      UC_ARM_REG_LR, UC_ARM_REG_XPSR, UC_ARM_REG_CONTROL, UC_ARM_REG_PSP, UC_ARM_REG_SP};
  uint32_t r[10] = {};
  void* vals[10];
  for (int i = 0; i < 10; ++i) vals[i] = &r[i];
  uc_reg_read_batch(cpu.uc, ids, vals, 10);
  const uint32_t lr = r[5], xpsr = r[6], control = r[7];
  bool handler = xpsr::EXCEPTION.get(xpsr) != 0;
  bool use_psp = !handler && control::SPSEL.test(control);
  uint32_t sp = use_psp ? r[8] : r[9];
  // FPCCR.ASPEN off: the core never marks an FP context, so none is stacked.
  bool fp = control::FPCA.test(control) && p_.scb.lazy_fp_save() && !p_.opt.break_no_fp_frame;
  uint32_t frame = fp ? frame::kExtendedBytes : frame::kBasicBytes;
  uint32_t sp1 = sp - frame;
  bool pad = p_.scb.stack_align8() && (sp1 & 4);  // 8-byte alignment: one more word below
  if (pad) sp1 -= 4;
  uint32_t w[26] = {};
  w[0] = r[0], w[1] = r[1], w[2] = r[2], w[3] = r[3], w[4] = r[4], w[5] = lr, w[6] = ret_pc & ~1u;
  w[7] = xpsr::SPREALIGN.put(xpsr, pad ? 1 : 0);
  if (fp) {
    for (int i = 0; i < 8; ++i) {
      uint64_t dv = 0;
      uc_reg_read(cpu.uc, UC_ARM_REG_D0 + i, &dv);
      w[8 + 2 * i] = static_cast<uint32_t>(dv);
      w[9 + 2 * i] = static_cast<uint32_t>(dv >> 32);
    }
    w[24] = cpu.reg(UC_ARM_REG_FPSCR);
  }
  if (!p_.space.ram_range(sp1, frame)) {
    lockup("stacking outside RAM at sp=" + hex(sp1));
    return false;
  }
  p_.space.poke_ram(sp1, w, frame);
  uint32_t excret = exc_return::FTYPE.put(exc_return::kHandlerMsp, fp ? 0 : 1) |
                    exc_return::MODE(handler ? 0 : 1) | exc_return::SPSEL(use_psp ? 1 : 0);
  uint32_t new_control = control & ~(control::FPCA | control::SPSEL);
  if (use_psp) {
    cpu.set_reg(UC_ARM_REG_CONTROL, new_control);
    cpu.set_reg(UC_ARM_REG_PSP, sp1);
  } else {
    cpu.set_reg(UC_ARM_REG_SP, sp1);
    cpu.set_reg(UC_ARM_REG_CONTROL, new_control);
  }
  cpu.set_reg(UC_ARM_REG_LR, excret);
  activate(e, sp1);
  return jump_vector(e, xpsr);
}

void ExceptionUnit::activate(unsigned e, uint32_t frame_sp) {
  Nvic& n = p_.nvic;
  p_.margins.entering();
  p_.clock.spend_cycles(tail_chaining_ ? kTailChainCycles : kEntryCycles);
  n.enter(e);
  p_.margins.entered(e, frame_sp);
  frames_.push_back({e, p_.clock.instr_now(), 0});
  if (trace_.size() < 100000) {
    ExceptionEntry x{p_.clock.now(), e, tail_chaining_, {}};
    for (unsigned k = 0; k < 4; ++k) x.irqs_pending[k] = n.pending_word(k);
    trace_.push_back(x);
  }
  if (e == kHardFault || e >= 16) n.recheck();
  p_.cpu.sleeping = false;
}

void ExceptionUnit::add_flag_rebuild(Cpu::RegWrites& w, uint32_t xpsr) const {
  // Rewriting APSR makes Unicorn rebuild its cached handler-mode flag; what
  // reads back after the xPSR write is its N, Z, C and V.
  if (!p_.opt.break_no_flag_restore) w.add(UC_ARM_REG_APSR_NZCV, xpsr & xpsr::NZCV.mask());
}

bool ExceptionUnit::jump_vector(unsigned e, uint32_t xpsr) {
  uint32_t v = 0;
  p_.bus.read_mem(p_.scb.vtor() + 4 * e, &v, 4);
  // The flags and GE stay; IT state is cleared, T set, IPSR the exception.
  const uint32_t nx = (xpsr & (xpsr::NZCV | xpsr::Q | xpsr::GE)) | xpsr::T.mask() | xpsr::EXCEPTION(e);
  Cpu::RegWrites w;
  w.add(UC_ARM_REG_XPSR_NZCVQG, nx);
  add_flag_rebuild(w, nx);
  if (!(v & 1)) {
    p_.cpu.set_regs(w);
    lockup("vector " + std::to_string(e) + " without Thumb bit: " + hex(v));
    return false;
  }
  w.add(UC_ARM_REG_PC, v);
  p_.cpu.set_regs(w);
  p_.nvic.recheck();
  return true;
}

void ExceptionUnit::done(unsigned e) {
  if (frames_.empty()) return;
  Frame f = frames_.back();
  frames_.pop_back();
  uint64_t incl = p_.clock.instr_now() - f.instr0;
  uint64_t excl = incl - f.nested;
  p_.margins.returned(e);
  size_t level = frames_.size() + 1;
  if (level < incl_by_depth_.size()) incl_by_depth_[level] += incl;
  if (!frames_.empty()) frames_.back().nested += incl;
  ExceptionStat& s = stats_[e];
  if (s.count == 0 || excl < s.instr_min) s.instr_min = excl;
  s.instr_max = std::max(s.instr_max, excl);
  s.count++;
  s.instr_total += excl;
}

void ExceptionUnit::exception_return(uint32_t excret) {
  const Cpu& cpu = p_.cpu;
  Nvic& n = p_.nvic;
  if (n.depth() == 0 || (excret & exc_return::kPrefix) != exc_return::kPrefix) {
    take_fault(FaultKind::invpc, cpu.reg(UC_ARM_REG_PC),
               "exception return " + hex(excret) + " outside a handler");
    return;
  }
  const unsigned e = n.leave();
  done(e);
  // Tail-chain: a pending exception that beats the priority we would return to.
  int b = n.best_pending();
  if (b >= 0 && n.group(n.raw_prio(static_cast<unsigned>(b))) < n.exec_prio(cpu)) {
    uint32_t control = cpu.reg(UC_ARM_REG_CONTROL);
    cpu.set_reg(UC_ARM_REG_CONTROL, control & ~control::FPCA.mask());
    cpu.set_reg(UC_ARM_REG_LR, excret);
    tail_chaining_ = true;
    activate(static_cast<unsigned>(b), 0);
    tail_chaining_ = false;
    jump_vector(static_cast<unsigned>(b), cpu.reg(UC_ARM_REG_XPSR));
    return;
  }
  bool to_psp = exc_return::SPSEL.test(excret), to_thread = exc_return::MODE.test(excret),
       fp = !exc_return::FTYPE.test(excret);
  static int state_ids[3] = {UC_ARM_REG_CONTROL, UC_ARM_REG_PSP, UC_ARM_REG_MSP};
  uint32_t state[3] = {};
  void* state_vals[3] = {&state[0], &state[1], &state[2]};
  uc_reg_read_batch(cpu.uc, state_ids, state_vals, 3);
  uint32_t sp = to_psp ? state[1] : state[2];
  uint32_t frame = fp ? frame::kExtendedBytes : frame::kBasicBytes;
  if (!p_.space.ram_range(sp, frame)) {
    lockup("unstacking outside RAM at sp=" + hex(sp));
    return;
  }
  uint32_t w[26];
  std::memcpy(w, p_.space.ram() + (sp - p_.space.sram_map().base), frame);
  if (fp) {
    for (int i = 0; i < 8; ++i) {
      uint64_t dv = uint64_t{w[8 + 2 * i]} | (uint64_t{w[9 + 2 * i]} << 32);
      cpu.set_reg64(UC_ARM_REG_D0 + i, dv);
    }
    cpu.set_reg(UC_ARM_REG_FPSCR, w[24]);
  }
  uint32_t xpsr = w[7];
  uint32_t new_sp = sp + frame + (xpsr::SPREALIGN.test(xpsr) ? 4 : 0);
  uint32_t ipsr = xpsr::EXCEPTION.get(xpsr);
  // The stacked registers, then the mode: one call into the engine, in the
  // order the writes must happen (the flag rebuild after xPSR and CONTROL).
  Cpu::RegWrites regs;
  for (int i : {0, 1, 2, 3}) regs.add(UC_ARM_REG_R0 + i, w[i]);
  regs.add(UC_ARM_REG_R12, w[4]);
  regs.add(UC_ARM_REG_LR, w[5]);
  if ((ipsr == 0) != to_thread) {
    cpu.set_regs(regs);
    take_fault(FaultKind::invpc, w[6], "EXC_RETURN mode does not match the stacked IPSR");
    return;
  }
  const uint32_t control = (state[0] & ~(control::FPCA | control::SPSEL)) | control::FPCA(fp ? 1 : 0) |
                           control::SPSEL(to_psp ? 1 : 0);
  regs.add(UC_ARM_REG_XPSR_NZCVQG, xpsr & ~xpsr::SPREALIGN.mask());
  regs.add(UC_ARM_REG_CONTROL, control);
  regs.add(to_psp ? UC_ARM_REG_PSP : UC_ARM_REG_MSP, new_sp);
  add_flag_rebuild(regs, xpsr);
  regs.add(UC_ARM_REG_PC, w[6] | 1u);
  cpu.set_regs(regs);
  p_.clock.spend_cycles(kReturnCycles);
  p_.margins.resumed();
  n.recheck();
}

void ExceptionUnit::lockup(const std::string& why) {
  p_.log.notes.push_back("lockup: " + why);
  p_.log.set_halt("lockup", p_.cpu.block_pc, p_.image, p_.cpu, p_.clock.now());
  uc_emu_stop(p_.cpu.uc);
}

void ExceptionUnit::take_fault(FaultKind k, uint32_t ret_pc, const std::string& detail, uint32_t bfar_addr) {
  unsigned target = kUsageFault;
  uint32_t bit = 0;
  const char* name = "UsageFault";
  switch (k) {
    case FaultKind::undef:
      bit = scb::cfsr::UNDEFINSTR.mask();
      break;
    case FaultKind::invstate:
      bit = scb::cfsr::INVSTATE.mask();
      break;
    case FaultKind::nocp:
      bit = scb::cfsr::NOCP.mask();
      break;
    case FaultKind::invpc:
      bit = scb::cfsr::INVPC.mask();
      break;
    case FaultKind::unaligned:
      bit = scb::cfsr::UNALIGNED.mask();
      break;
    case FaultKind::bus:
      bit = scb::cfsr::PRECISERR | scb::cfsr::BFARVALID;
      p_.scb.set_bfar(bfar_addr);
      target = kBusFault;
      name = "BusFault";
      break;
    case FaultKind::ibus:
      bit = scb::cfsr::IBUSERR.mask();
      target = kBusFault;
      name = "BusFault";
      break;
  }
  p_.scb.raise_cfsr(bit);
  const Nvic& n = p_.nvic;
  int ep = n.exec_prio(p_.cpu);
  bool escalate = !n.exc_enabled(target) || n.group(n.raw_prio(target)) >= ep;
  p_.log.notes.push_back(std::string(name) + " (" + detail + ") at " + p_.image.describe(ret_pc) +
                         ", t=" + format_ns(p_.clock.now()) + (escalate ? ", escalated to HardFault" : ""));
  if (escalate) {
    if (ep <= -1) {
      lockup("fault inside HardFault or NMI: " + detail);
      return;
    }
    p_.scb.raise_hfsr(scb::hfsr::FORCED.mask());
    target = kHardFault;
  }
  enter(target, ret_pc);
}

void ExceptionUnit::on_interrupt(uint32_t intno, uint32_t bfar_addr) {
  uint32_t pc = p_.cpu.reg(UC_ARM_REG_PC);
  const Nvic& n = p_.nvic;
  switch (intno) {
    case kExceptionExit:  // a branch to EXC_RETURN
      exception_return(pc | 1u);
      break;
    case kSwi: {
      int ep = n.exec_prio(p_.cpu);
      if (n.group(n.raw_prio(kSvc)) < ep) {
        enter(kSvc, pc);
      } else {
        p_.scb.raise_hfsr(scb::hfsr::FORCED.mask());
        p_.log.notes.push_back("SVC at priority that cannot be taken: HardFault");
        enter(kHardFault, pc);
      }
      break;
    }
    case kBkpt:  // no debugger halts the core
      p_.scb.raise_hfsr(scb::hfsr::DEBUGEVT.mask());
      enter(kHardFault, pc);
      break;
    case kDataAbort:
      take_fault(FaultKind::bus, pc, "data abort", bfar_addr);
      break;
    case kPrefetchAbort:
      take_fault(FaultKind::invpc, pc, "prefetch abort");
      break;
    case kNoCoprocessor:
      take_fault(FaultKind::nocp, pc, "coprocessor access");
      break;
    case kInvalidState:
      take_fault(FaultKind::invstate, pc, "invalid state");
      break;
    case kUnalignedAccess:
      take_fault(FaultKind::unaligned, pc, "unaligned access");
      break;
    default:
      take_fault(FaultKind::undef, pc, "exception " + std::to_string(intno));
      break;
  }
}

}  // namespace vboard::core

// ------------------------------------------------------------------ state

namespace vboard::core {

void ExceptionUnit::state(StateVisitor& v) {
  v.items("frames", frames_, [](StateVisitor& s, Frame& f) {
    s("exc", f.exc);
    s("instr0", f.instr0);
    s("nested", f.nested);
  });
  v("incl_by_depth", incl_by_depth_);
  v("stats", stats_);
  v("trace", trace_);
  v("tail_chaining", tail_chaining_);
}

}  // namespace vboard::core
