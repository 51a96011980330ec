// The run loop: between scheduled events the core runs in slices on the
// engine; at each stop the events due are serviced, an interrupt is taken, an
// idle loop is skipped to its next event, or a sleeping core waits for one.
#include <chrono>
#include <utility>

#include "core/armv7m_regs.h"
#include "machine/machine_impl.h"

namespace vboard {

using namespace core;

ns_t Machine::Impl::next_event() {
  ns_t t = now();
  ns_t n = systick.next_event(t);
  for (Device* d : m.devices_) n = std::min(n, d->next_event());
  if (next_injection < injections.size()) n = std::min(n, injections[next_injection].at);
  return n;
}

// Skips idle time to `target`, or to `t_end` if that comes first; a jump
// cut short is kept to be finished by the next run_until.
void Machine::Impl::jump_idle(ns_t target, ns_t t_end) {
  idle_cut.reset();
  if (target > t_end) idle_cut = IdleCut{t_end, cpu.reg(UC_ARM_REG_PC), kNever, target};
  clock.jump_to(std::min(target, t_end));
}

void Machine::Impl::service_events() {
  ns_t t = now();
  systick.process(t);
  advance_devices(t);
  while (next_injection < injections.size() && injections[next_injection].at <= t) {
    unsigned irq = injections[next_injection++].irq;
    if (irq < kNumIrq) {
      nvic.enable(16 + irq);
      nvic.pend(16 + irq);
      log.notes.push_back("injected IRQ " + std::to_string(irq) + " at " + format_ns(t));
    }
  }
  clock.events_dirty = true;
}

// Whether an idle jump the last run cut short goes on: checked before events
// are serviced, so that an input due now (a new event) counts as a change.
std::optional<Machine::Impl::IdleCut> Machine::Impl::resumable_idle_cut() {
  std::optional<IdleCut> resume = std::exchange(idle_cut, std::nullopt);
  if (resume && !(now() == resume->at && !cpu.sleeping && !dbg.mid_block() &&
                  cpu.reg(UC_ARM_REG_PC) == resume->pc && next_event() == resume->next_event))
    resume.reset();
  return resume;
}

// The run reached its end: a cut idle jump stays for the next run.
void Machine::Impl::keep_idle_cut(RunPass& r) {
  if (r.resume)
    idle_cut = r.resume;  // asked for no time: the jump still waits
  else if (idle_cut)
    idle_cut->next_event = next_event();
}

// Sets where the block hook ends the coming slice; returns the next event.
ns_t Machine::Impl::arm_slice(ns_t t, ns_t t_end) {
  ns_t t_slice = dbg.slice_start(t);  // a slice a debugger stop split goes on as one
  ns_t next = std::min(next_event(), t_end);
  if (next <= t) next = t + 1;
  clock.run_end = t_end;
  clock.min_stop = t_slice + 1;
  clock.set_stop_at(next);
  clock.events_dirty = false;
  return next;
}

// A sleeping core: a pending interrupt wakes it even while PRIMASK masks it;
// else time moves on to the next event.
void Machine::Impl::sleep_until(ns_t next) {
  int b = nvic.best_pending();
  if (b >= 0 && nvic.group(nvic.raw_prio(static_cast<unsigned>(b))) < nvic.active_prio()) {
    cpu.sleeping = false;
    return;
  }
  clock.jump_to(next);
}

// The block hook ended the slice before the block at `pc` ran.
void Machine::Impl::after_hook_stop(uint32_t pc, ns_t t_end) {
  switch (stop) {
    case Stop::event:
    case Stop::irq:
    case Stop::halt:
    case Stop::none:
    case Stop::debug:
      return;
    case Stop::idle:
      // The next event as of now: a register the loop's first pass wrote
      // may have brought it nearer than the slice's end. The cap counts from
      // the detection, not from the slice's start, which depends on where
      // the run was cut.
      jump_idle(std::min(next_event(), now() + kIdleJumpCap), t_end);
      return;
    case Stop::nocp:
      exc.take_fault(FaultKind::nocp, pc, "floating-point instruction before CPACR enabled the FPU");
      log.add_fault("floating-point instruction at " + m.image_->describe(pc) +
                    " before CPACR enabled the FPU");
      return;
  }
}

// One slice on the engine from the PC, started at time t; false ends the run.
bool Machine::Impl::emulate_slice(RunPass& r, ns_t t) {
  stop = Stop::none;
  uint32_t pc = cpu.reg(UC_ARM_REG_PC);
  const uint64_t instr_before = clock.instr_now();
  plain_blocks = !m.opt_.idle_skip && !prof.active() && !dbg.running() && !dbg.mid_block() &&
                 m.opt_.timing != Timing::m4 && stop_instr == ~uint64_t{0};
  flat_cpi_milli = m.opt_.cpi_milli;
  const uc_err err = uc_emu_start(cpu.uc, pc | 1u, 0, 0, 0);
  if (stop == Stop::debug) {
    dbg.stopped(cpu.reg(UC_ARM_REG_PC));  // the block in flight stays counted as a whole
    return false;
  }
  // A stop from the block hook comes before the block ran. With an
  // instruction hook installed (a debugger's breakpoint) Unicorn 2.0.1 may
  // leave the PC at the previous block then; resume at the right one.
  if (stop != Stop::none) cpu.set_reg(UC_ARM_REG_PC, cpu.block_pc | 1u);
  if (stop == Stop::none) clock.commit_block();
  clock.cur_instr = 0;
  clock.cur_cycles = 0;
  pc = cpu.reg(UC_ARM_REG_PC);
  if (log.halt && m.opt_.stop_on_halt) return false;
  if (stop != Stop::none) {
    after_hook_stop(pc, r.t_end);
    return true;
  }
  if (clock.instr_now() == instr_before && now() == t && ++r.stalls > 1000) {
    log.add_fault("emulator makes no progress at " + m.image_->describe(pc) + " (" + uc_strerror(err) + ")");
    set_halt("emulator_error", pc);
    return false;
  }
  if (clock.instr_now() != instr_before) r.stalls = 0;
  after_emulation(err, pc);
  return true;
}

// One pass of the loop: events, then an interrupt, a resumed idle jump, sleep
// or a slice of code. False ends the run.
bool Machine::Impl::run_pass(RunPass& r) {
  if (dbg.break_now(cpu.reg(UC_ARM_REG_PC))) return false;
  service_events();
  const ns_t t = now();
  if (t >= r.t_end) {
    keep_idle_cut(r);
    return false;
  }
  if (int e = dbg.mid_block() ? -1 : nvic.takeable(cpu); e >= 0) {
    r.resume.reset();
    exc.enter(static_cast<unsigned>(e), cpu.reg(UC_ARM_REG_PC));
    return !log.halt;
  }
  if (r.resume) {
    const ns_t to = r.resume->target;
    r.resume.reset();
    jump_idle(to, r.t_end);
    return true;
  }
  const ns_t next = arm_slice(t, r.t_end);
  if (cpu.sleeping) {
    sleep_until(next);
    return true;
  }
  return emulate_slice(r, t);
}

bool Machine::run_until(ns_t t_end) {
  Impl& d = *d_;
  if (!d.cpu.uc) return false;
  d.asked_end = t_end;
  const auto wall0 = std::chrono::steady_clock::now();
  Impl::RunPass pass{t_end, d.resumable_idle_cut()};
  while (!(d.log.halt && opt_.stop_on_halt))
    if (!d.run_pass(pass)) break;
  d.wall_s += std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  return !d.log.halt;
}

RunResult Machine::run() {
  run_until(opt_.run_for);
  return result();
}

void Machine::inject_irq(const IrqInjection& injection) {
  Impl& d = *d_;
  IrqInjection j = injection;
  j.at = std::max(j.at, d.now());
  d.idle_cut.reset();
  auto first = d.injections.begin() + static_cast<std::ptrdiff_t>(d.next_injection);
  d.injections.insert(std::upper_bound(first, d.injections.end(), j,
                                       [](const auto& a, const auto& b) { return a.at < b.at; }),
                      j);
}

}  // namespace vboard
