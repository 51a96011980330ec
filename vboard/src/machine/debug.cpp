// The debugger's view of the machine: runs that stop at breakpoints,
// watchpoints or after a step, the core's registers, and memory accesses with
// the same effects as a debug probe's.
#include <cstring>

#include "machine/machine_impl.h"

namespace vboard {

using namespace core;

DebugStop Machine::debug_run(ns_t t_end, bool step, const std::function<bool()>& interrupted) {
  Impl& d = *d_;
  const std::optional<Halt>& halted = d.log.halt;
  if (!d.cpu.uc || (halted && opt_.stop_on_halt))
    return {DebugStop::Kind::halted, halted ? halted->pc : 0, WatchKind::write};
  d.dbg.begin(d.cpu.uc, step, &interrupted, d.cpu.reg(UC_ARM_REG_PC));
  // A step runs the instruction at the PC; a run goes on with an idle jump
  // the last one cut short, as a run without the debugger does.
  if (step) d.idle_cut.reset();
  d.instr_stop_hit = false;
  run_until(t_end);
  if (d.instr_stop_hit) {
    // The block hook stopped before the block holding the instruction asked
    // for, with the block counted and checked: as a debugger stop at its start.
    d.cpu.set_reg(UC_ARM_REG_PC, d.cpu.block_pc | 1u);
    d.dbg.stopped(d.cpu.block_pc);
  }
  if (auto s = d.dbg.end(d.cpu.reg(UC_ARM_REG_PC))) return *s;
  if (halted && opt_.stop_on_halt) return {DebugStop::Kind::halted, halted->pc, WatchKind::write};
  return {DebugStop::Kind::end, d.cpu.reg(UC_ARM_REG_PC), WatchKind::write};
}

uint64_t Machine::instruction_count() const {
  const Impl& d = *d_;
  if (!d.cpu.uc || !d.dbg.mid_block()) return d.clock.instr_now();
  // Stopped inside a block: the instructions of the block before the PC have run.
  const uint32_t pc = d.cpu.reg(UC_ARM_REG_PC) & ~1u;
  uint32_t at = d.cpu.block_pc & ~1u;
  for (uint32_t k = 0; k < d.clock.cur_instr; ++k) {
    if (at == pc) return d.clock.instr_done + k;
    uint16_t half = 0;
    if (!peek(at, &half, sizeof half)) break;
    at += (half >> 11) >= 0x1D ? 4 : 2;  // 0b11101, 0b11110, 0b11111 start a 32-bit instruction
  }
  return d.clock.instr_now();
}

bool Machine::inside_block() const { return d_->dbg.mid_block(); }

bool Machine::run_to_instruction(uint64_t n, ns_t t_end, DebugStop* stop,
                                 const std::function<bool()>& interrupted) {
  Impl& d = *d_;
  DebugStop s{DebugStop::Kind::step, 0, WatchKind::write};
  unsigned still = 0;  // turns in a row that ran no instruction
  // Between two runs at n already: on to where the next instruction starts
  // (events serviced, an interrupt taken), as a stop lands.
  for (uint64_t at = instruction_count(); at < n || !d.dbg.mid_block(); at = instruction_count()) {
    // Inside the block the machine stands in, one instruction at a time;
    // else a run the block hook stops before the block holding instruction n.
    const bool inside = d.dbg.mid_block() && n < d.clock.instr_done + d.clock.cur_instr;
    if (!inside) d.stop_instr = n;
    s = debug_run(t_end, inside, interrupted);
    d.stop_instr = ~uint64_t{0};
    if (s.kind == DebugStop::Kind::end && d.instr_stop_hit) s.kind = DebugStop::Kind::step;
    const bool moved = instruction_count() != at;
    // Steps and the stop before a block pass no breakpoint on the way to n.
    const uint32_t pc = d.cpu.reg(UC_ARM_REG_PC) & ~1u;
    if (s.kind == DebugStop::Kind::step && moved && instruction_count() < n && d.dbg.breakpoint_at(pc)) {
      s = {DebugStop::Kind::breakpoint, pc, WatchKind::write};
      break;
    }
    if (s.kind != DebugStop::Kind::step || (!moved && (!d.dbg.mid_block() || ++still > 2))) break;
    if (moved) still = 0;
  }
  if (stop) *stop = s;
  return instruction_count() >= n;
}

bool Machine::set_breakpoint(uint32_t addr, bool on) { return d_->dbg.set_breakpoint(d_->cpu.uc, addr, on); }

bool Machine::set_watchpoint(uint32_t addr, uint32_t len, WatchKind kind, bool on) {
  return d_->dbg.set_watchpoint(d_->cpu.uc, addr, len, kind, on);
}

void Machine::clear_debug_points() { d_->dbg.clear(d_->cpu.uc); }

namespace {

// The engine's id of a core register.
int uc_id(CoreReg r) {
  const auto n = static_cast<int>(r);
  if (r >= CoreReg::r0 && r <= CoreReg::r12) return UC_ARM_REG_R0 + n;
  if (r >= CoreReg::s0 && r <= CoreReg::s31) return UC_ARM_REG_S0 + (n - static_cast<int>(CoreReg::s0));
  if (r >= CoreReg::d0 && r <= CoreReg::d15) return UC_ARM_REG_D0 + (n - static_cast<int>(CoreReg::d0));
  switch (r) {
    case CoreReg::sp:
      return UC_ARM_REG_SP;
    case CoreReg::lr:
      return UC_ARM_REG_LR;
    case CoreReg::pc:
      return UC_ARM_REG_PC;
    case CoreReg::xpsr:
      return UC_ARM_REG_XPSR;
    case CoreReg::msp:
      return UC_ARM_REG_MSP;
    case CoreReg::psp:
      return UC_ARM_REG_PSP;
    case CoreReg::primask:
      return UC_ARM_REG_PRIMASK;
    case CoreReg::basepri:
      return UC_ARM_REG_BASEPRI;
    case CoreReg::faultmask:
      return UC_ARM_REG_FAULTMASK;
    case CoreReg::control:
      return UC_ARM_REG_CONTROL;
    case CoreReg::fpscr:
      return UC_ARM_REG_FPSCR;
    default:
      return UC_ARM_REG_INVALID;
  }
}

}  // namespace

bool Machine::cpu_reg(CoreReg reg, uint64_t& value) const {
  value = 0;
  return d_->cpu.uc && uc_reg_read(d_->cpu.uc, uc_id(reg), &value) == UC_ERR_OK;
}

bool Machine::set_cpu_reg(CoreReg reg, uint64_t value) {
  Impl& d = *d_;
  if (!d.cpu.uc) return false;
  if (reg == CoreReg::pc) value |= 1u;  // the core stays in Thumb state
  // xPSR as the flags: the engine keeps IPSR and the execution state itself.
  const int id = reg == CoreReg::xpsr ? UC_ARM_REG_XPSR_NZCVQG : uc_id(reg);
  if (!d.cpu.set_reg64(id, value)) return false;
  d.idle_cut.reset();
  // Unicorn rebuilds its cached handler-mode flag on an APSR write.
  if (reg == CoreReg::xpsr || reg == CoreReg::control)
    d.cpu.set_reg(UC_ARM_REG_APSR_NZCV, d.cpu.reg(UC_ARM_REG_APSR_NZCV));
  d.dbg.core_moved();
  d.nvic.recheck();
  return true;
}

bool Machine::debug_read(uint32_t addr, void* dst, size_t n) {
  Impl& d = *d_;
  if (peek(addr, dst, n)) return true;
  if ((n != 1 && n != 2 && n != 4) || addr % n != 0) return false;
  uint32_t v = 0;
  bool ok = false;
  d.dbg.debugger_access(true);
  if (AddressSpace::periph(addr) && d.space.device_at(addr) >= 0) {
    v = d.dev_read(addr, static_cast<unsigned>(n), false);
    ok = true;
  } else if (addr >= kPpbBase && addr - kPpbBase < kPpbSize && d.core_read(addr & ~3u, v)) {
    v >>= 8 * (addr & 3);
    ok = true;
  }
  d.dbg.debugger_access(false);
  if (!ok || d.dbg.missed()) return false;
  std::memcpy(dst, &v, n);
  return true;
}

bool Machine::debug_write(uint32_t addr, const void* src, size_t n) {
  Impl& d = *d_;
  d.idle_cut.reset();
  if (d.space.poke_ram(addr, src, n)) return true;
  if (d.space.poke_flash(addr, src, n)) {
    // Code already translated or decoded from there is stale now.
    uc_ctl_remove_cache(d.cpu.uc, uint64_t{d.facts.flash.base}, d.facts.flash.end());
    uc_ctl_remove_cache(d.cpu.uc, 0, d.facts.flash.size);
    d.blocks.forget();
    flash_written_ = true;
    return true;
  }
  if ((n != 1 && n != 2 && n != 4) || addr % n != 0) return false;
  uint32_t v = 0;
  std::memcpy(&v, src, n);
  bool ok = false;
  d.dbg.debugger_access(true);
  if (AddressSpace::periph(addr) && d.space.device_at(addr) >= 0)
    ok = write_mem(addr, src, n);
  else if (addr >= kPpbBase && addr - kPpbBase < kPpbSize)
    ok = d.core_write(addr & ~3u, v << (8 * (addr & 3)), static_cast<unsigned>(n));
  d.dbg.debugger_access(false);
  d.clock.events_dirty = true;
  return ok && !d.dbg.missed();
}

}  // namespace vboard
