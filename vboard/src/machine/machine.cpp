// The machine: Unicorn as the CPU, the core's parts from src/core (virtual
// clock, NVIC, SysTick, SCB, exception entry and return, block cache and idle
// detection, address space, profiler) wired together, the board's devices
// mapped into the address space, and the run loop.
//
// Time: every instruction costs cpi_milli/1000 cycles of HCLK. Instructions are
// counted per translated block in the block hook, from a cached decode of the
// block's Thumb instruction lengths. Emulation is stopped from the block hook
// before the first block that would start at or after the next scheduled event
// (device events, SysTick underflow, injections, end of run), so slice
// boundaries and therefore whole runs are exactly repeatable.
#include "vboard/machine.h"

#include <sys/mman.h>
#include <unicorn/unicorn.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

#include "core/address_space.h"
#include "core/blocks.h"
#include "core/clock.h"
#include "core/cpu.h"
#include "core/debugger.h"
#include "core/exceptions.h"
#include "core/layout.h"
#include "core/nvic.h"
#include "core/profiler.h"
#include "core/run_log.h"
#include "core/scb.h"
#include "core/systick.h"
#include "core/coverage.h"

namespace vboard {

using namespace core;

namespace {

constexpr ns_t kIdleJumpCap = kMs;

// Why the block hook ended a slice of emulation.
enum class Stop { none, event, irq, halt, idle, nocp, debug };

}  // namespace

struct Machine::Impl {
  Machine& m;
  Cpu cpu;
  VirtualClock clock;
  RunLog log;
  AddressSpace space;
  Nvic nvic;
  SysTick systick{clock, nvic};
  Scb scb{nvic, clock};
  Findings core_findings;  // the core's fields no model implements, when used
  ExceptionUnit exc;
  BlockCache blocks;
  IdleDetector idle{cpu, space};
  Profiler prof;
  Debugger dbg;
  ClockTree* clocks = nullptr;

  ns_t last_advance = kNever;
  uint32_t prev_block = 0;
  Stop stop = Stop::none;
  uint32_t unmapped_addr = 0;
  bool unmapped_fetch = false;
  std::vector<IrqInjection> injections;
  size_t next_injection = 0;
  unsigned gated_writes = 0;
  double wall_s = 0;
  ns_t asked_end = kNever;  // the end the last run_until was given

  // An idle jump that the end of a run_until cut short. The next run_until
  // finishes it without running the loop again when nothing happened in
  // between (same time, same PC, the same next event, no host access), so
  // that where a run is cut into pieces changes no count.
  struct IdleCut {
    ns_t at = 0;          // where the cut jump ended
    uint32_t pc = 0;      // the loop head the core idles at
    ns_t next_event = 0;  // the next event when the run stopped there
    ns_t target = 0;      // where the jump would have ended
  };
  std::optional<IdleCut> idle_cut;

  // SRAM that devices read lazily (Bus::watch_stores), one range per device.
  struct StoreWatch {
    const void* who;
    uint32_t lo, hi;
  };
  std::vector<StoreWatch> store_watches;
  void on_store(uint32_t addr, uint32_t n) {
    space.note_ram_write(addr, n);
    if (std::any_of(store_watches.begin(), store_watches.end(),
                    [&](const StoreWatch& w) { return addr < w.hi && addr + n > w.lo; }))
      before_access();
  }

  explicit Impl(Machine& mm)
      : m(mm),
        nvic(mm.opt_.break_tail_chain_order),
        exc({cpu, clock, nvic, scb, space, mm, log, *mm.image_, mm.opt_}),
        blocks(space, *mm.image_) {
    scb.set_findings(&core_findings);
  }

  ns_t now() const { return clock.now(); }
  void set_halt(const std::string& reason, uint32_t pc) { log.set_halt(reason, pc, *m.image_, cpu, now()); }

  // HCLK follows the clock tree after every MMIO write.
  void check_clock() {
    if (!clocks) return;
    uint64_t h = clocks->hclk_hz();
    if (h == 0 || h == clock.hclk) return;
    systick.rebase(now());
    clock.set_hclk(h);
  }

  void advance_devices(ns_t t) {
    if (t == last_advance) return;
    last_advance = t;
    for (Device* d : m.devices_) d->advance(t);
  }

  // ------------------------------------------------------------ blocks
  void request_stop(Stop s) {
    stop = s;
    uc_emu_stop(cpu.uc);
  }

  void on_block(uint32_t addr, uint32_t size) {
    if (dbg.on_block(addr, size)) {  // the rest of a block a debugger stop split
      idle.unseen_code_ran();
      return;
    }
    clock.commit_block();
    BlockInfo& b = blocks.block(addr, size);
    cpu.block_pc = addr;
    if (clock.events_dirty) {
      clock.events_dirty = false;
      clock.set_stop_at(std::max(std::min(next_event(), clock.run_end), clock.min_stop));
    }
    if (clock.cycles_milli >= clock.stop_cycles) return request_stop(Stop::event);
    if (log.halt && m.opt_.stop_on_halt) return request_stop(Stop::halt);
    if (b.halt != HaltKind::none && addr == prev_block && !log.halt) {
      std::string reason, name;
      if (b.halt == HaltKind::inlined_error) {
        set_halt("error_handler", addr);
        log.notes.push_back("Error_Handler's loop inlined into " + m.image_->describe(addr));
        log.halt->symbol = "Error_Handler";
      } else if (b.halt == HaltKind::self_loop) {
        // Interrupt handlers may still do the work of a program that ends in
        // "b ."; only with interrupts masked nothing can happen any more.
        if (cpu.reg(UC_ARM_REG_PRIMASK) & 1) set_halt("self_loop", addr);
      } else {
        halt_kind_at(*m.image_, addr, &reason, &name);
        set_halt(reason, addr);
        log.halt->symbol = name;
      }
      if (log.halt && m.opt_.stop_on_halt) return request_stop(Stop::halt);
    }
    if (b.has_fp && !scb.fpu_enabled()) return request_stop(Stop::nocp);
    if (nvic.check_due() && nvic.takeable(cpu) >= 0) return request_stop(Stop::irq);
    if (prof.active()) prof.on_block(addr, cpu, clock.instr_done, now(), exc.depth(), exc.incl_by_depth());
    if (m.opt_.idle_skip && idle.on_block(addr, b, clock.instr_done)) return request_stop(Stop::idle);
    prev_block = addr;
    ++b.runs;  // the block runs now: its count is what --coverage reports
    clock.cur_instr = b.count;
    clock.cur_cycles = uint64_t{b.count} * m.opt_.cpi_milli;
  }

  // ------------------------------------------------------------- MMIO
  void before_access() {
    ns_t t = now();
    systick.process(t);
    advance_devices(t);
    clock.events_dirty = true;
  }

  uint32_t dev_read(uint32_t addr, unsigned size, bool from_cpu) {
    before_access();
    if (from_cpu) dbg.on_access(addr, size, false);
    int dev = space.device_at(addr);
    if (dev < 0) {
      m.unmodelled(addr, false, size, 0);
      return 0;
    }
    Device* d = m.devices_[static_cast<size_t>(dev)];
    uint32_t v = d->clocked() ? d->read(addr - d->base(), size) : 0;
    if (from_cpu) space.note_read(addr, v);
    return v;
  }

  void dev_write(uint32_t addr, uint32_t v, unsigned size) {
    before_access();
    dbg.on_access(addr, size, true);
    int dev = space.device_at(addr);
    ns_t t = now();
    space.log_write(t, addr, v, size, dev);
    if (dev < 0) {
      m.unmodelled(addr, true, size, v);
      return;
    }
    Device* d = m.devices_[static_cast<size_t>(dev)];
    space.note_first_write(d->name(), t);
    if (d->clocked()) {
      d->write(addr - d->base(), v, size);
    } else {
      // The chip drops the write: whatever the firmware meant to set stays unset.
      core_findings.add(kClockOff, d->name(), t,
                        "register written while its clock (RCC enable bit) is off: the write is lost");
      if (gated_writes++ < 20)
        log.notes.push_back("write to " + d->name() + " while its clock is off (ignored): " + hex(addr) +
                            " <- " + hex(v) + " from " + m.image_->describe(cpu.block_pc));
    }
    check_clock();
  }

  // ------------------------------------------- private peripheral bus
  // Returns false for an address no core register lives at.
  bool core_read(uint32_t addr, uint32_t& v) {
    ns_t t = now();
    return nvic.read(addr, v) || systick.read(addr, t, v) || scb.read(addr, v);
  }

  bool core_write(uint32_t addr, uint32_t v, unsigned size) {
    ns_t t = now();
    nvic.recheck();
    if (Nvic::is_priority(addr)) return nvic.write_priority(addr, v, size);
    if (size != 4) {  // the rest is word access only
      log.notes.push_back("sub-word write to core register " + hex(addr));
    }
    if (nvic.write(addr, v) || systick.write(addr, v, t)) return true;
    switch (scb.write(addr, v)) {
      case Scb::Write::unknown:
        return false;
      case Scb::Write::done:
        return true;
      case Scb::Write::aircr_without_key:
        log.notes.push_back("AIRCR write without key ignored: " + hex(v));
        return true;
      case Scb::Write::reset_request:
        set_halt("reset_request", cpu.block_pc);  // the block hook stops the run
        return true;
      case Scb::Write::fpu_enabled:
        log.notes.push_back("FPU enabled (CPACR) at " + m.image_->describe(cpu.block_pc) +
                            ", t=" + format_ns(t));
        return true;
    }
    return false;
  }

  uint32_t ppb_read(uint32_t addr, unsigned size) {
    dbg.on_access(addr, size, false);
    uint32_t aligned = addr & ~3u, v = 0;
    if (!core_read(aligned, v)) {
      m.unmodelled(addr, false, size, 0);
      return 0;
    }
    v >>= 8 * (addr & 3);
    if (size < 4) v &= (1u << (8 * size)) - 1;
    return v;
  }
  void ppb_write(uint32_t addr, uint32_t v, unsigned size) {
    dbg.on_access(addr, size, true);
    ns_t t = now();
    space.log_write(t, addr, v, size, -1);
    const char* group_name = addr >= 0xE000E010 && addr < 0xE000E020   ? "SysTick"
                             : addr >= 0xE000E100 && addr < 0xE000E500 ? "NVIC"
                             : addr == 0xE000EF00                      ? "NVIC"
                                                                       : "SCB";
    space.note_first_write(group_name, t);
    bool ok;
    if (Nvic::is_priority(addr))
      ok = core_write(addr, v, size);
    else
      ok = core_write(addr & ~3u, v << (8 * (addr & 3)), size);
    if (!ok) m.unmodelled(addr, true, size, v);
    clock.events_dirty = true;
  }

  // ------------------------------------------------------------ events
  ns_t next_event() {
    ns_t t = now();
    ns_t n = systick.next_event(t);
    for (Device* d : m.devices_) n = std::min(n, d->next_event());
    if (next_injection < injections.size()) n = std::min(n, injections[next_injection].at);
    return n;
  }

  // Skips idle time to `target`, or to `t_end` if that comes first; a jump
  // cut short is kept to be finished by the next run_until.
  void jump_idle(ns_t target, ns_t t_end) {
    idle_cut.reset();
    if (target > t_end) idle_cut = IdleCut{t_end, cpu.reg(UC_ARM_REG_PC), kNever, target};
    clock.jump_to(std::min(target, t_end));
  }

  void service_events() {
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
};

// ---------------------------------------------------------------- hooks
namespace {

void hook_block(uc_engine*, uint64_t addr, uint32_t size, void* user) {
  static_cast<Machine::Impl*>(user)->on_block(static_cast<uint32_t>(addr), size);
}

void hook_intr(uc_engine*, uint32_t intno, void* user) {
  auto* d = static_cast<Machine::Impl*>(user);
  d->exc.on_interrupt(intno, d->unmapped_addr);
}

void hook_insn(uc_engine*, uint64_t addr, uint32_t, void* user) {
  auto* d = static_cast<Machine::Impl*>(user);
  if (d->stop == Stop::none && d->dbg.on_insn(static_cast<uint32_t>(addr))) d->request_stop(Stop::debug);
}

// A breakpoint's own hook; while the all-code hook is on, that one sees the
// instruction instead (each instruction is looked at exactly once).
void hook_breakpoint(uc_engine* uc, uint64_t addr, uint32_t size, void* user) {
  if (!static_cast<Machine::Impl*>(user)->dbg.insn_hook_on()) hook_insn(uc, addr, size, user);
}

void hook_watch(uc_engine*, uc_mem_type type, uint64_t addr, int size, int64_t, void* user) {
  static_cast<Machine::Impl*>(user)->dbg.on_access(static_cast<uint32_t>(addr), static_cast<unsigned>(size),
                                                   type == UC_MEM_WRITE);
}

// Every CPU store to SRAM: idle detection then compares only what was written;
// memory a device reads lazily is read before the store lands.
void hook_ram_write(uc_engine*, uc_mem_type, uint64_t addr, int size, int64_t, void* user) {
  static_cast<Machine::Impl*>(user)->on_store(static_cast<uint32_t>(addr), static_cast<uint32_t>(size));
}

bool hook_unmapped(uc_engine*, uc_mem_type type, uint64_t addr, int, int64_t, void* user) {
  auto* d = static_cast<Machine::Impl*>(user);
  d->unmapped_addr = static_cast<uint32_t>(addr);
  d->unmapped_fetch = type == UC_MEM_FETCH_UNMAPPED;
  return false;
}

uint64_t periph_read(uc_engine*, uint64_t off, unsigned size, void* user) {
  return static_cast<Machine::Impl*>(user)->dev_read(kPeriphBase + static_cast<uint32_t>(off), size, true);
}
void periph_write(uc_engine*, uint64_t off, unsigned size, uint64_t value, void* user) {
  static_cast<Machine::Impl*>(user)->dev_write(kPeriphBase + static_cast<uint32_t>(off),
                                               static_cast<uint32_t>(value), size);
}
uint64_t ppb_read_cb(uc_engine*, uint64_t off, unsigned size, void* user) {
  return static_cast<Machine::Impl*>(user)->ppb_read(kPpbBase + static_cast<uint32_t>(off), size);
}
void ppb_write_cb(uc_engine*, uint64_t off, unsigned size, uint64_t value, void* user) {
  static_cast<Machine::Impl*>(user)->ppb_write(kPpbBase + static_cast<uint32_t>(off),
                                               static_cast<uint32_t>(value), size);
}

}  // namespace

// --------------------------------------------------------------- Machine
namespace {
// What Unicorn 2.0 reserves for translated code on a 64-bit host.
constexpr size_t kTranslatorBuffer = size_t{1} << 30;
}  // namespace

Machine::Machine(const Image& image, MachineOptions options, const BoardFactory& factory)
    : image_(&image), opt_(std::move(options)), factory_(factory) {
  init();
}

void Machine::reset(const Image& image) {
  if (flash_written_) {
    opt_.flash.resize(kFlashSize);
    peek(kFlashBase, opt_.flash.data(), kFlashSize);
  }
  if (d_ && d_->cpu.uc) uc_close(d_->cpu.uc);
  d_.reset();
  devices_.clear();
  board_.reset();
  image_ = &image;
  init();
}

void Machine::reset(Image&& reread) {
  kept_images_.push_back(std::make_unique<const Image>(std::move(reread)));
  reset(*kept_images_.back());
}

void Machine::init() {
  d_ = std::make_unique<Impl>(*this);
  Impl& d = *d_;
  d.space.load(*image_, d.log.faults);
  if (!opt_.flash.empty()) d.space.poke_flash(kFlashBase, opt_.flash.data(), opt_.flash.size());

  board_ = factory_(*this);
  devices_ = board_->devices();
  d.clocks = &board_->clocks();
  d.clock.hclk = d.clocks->hclk_hz();
  if (d.clock.hclk == 0) d.clock.hclk = 16000000;
  d.space.map_devices(devices_, d.log.faults);
  // Faults of loading and mapping, before the run.
  d.log.tally.faults = d.log.faults.size();
  if (!d.log.faults.empty()) d.log.tally.last_fault = d.log.faults.back();

  for (const auto& p : opt_.pulses) board_->add_pulse(p);
  for (const auto& l : opt_.levels) board_->add_level(l);
  d.injections = opt_.inject_irqs;
  std::sort(d.injections.begin(), d.injections.end(),
            [](const auto& a, const auto& b) { return a.at < b.at; });
  d.prof.watch(opt_.profile_functions, *image_, d.log.notes);

  // Unicorn reserves its code translation buffer in uc_open and ends the whole
  // process when the system refuses it; asking first turns that into an
  // ordinary allocation failure the command line reports.
  void* probe = mmap(nullptr, kTranslatorBuffer, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (probe == MAP_FAILED) throw OutOfMemory("the emulator's 1 GiB code translation buffer");
  munmap(probe, kTranslatorBuffer);
  uc_engine* uc = nullptr;
  uc_err err = uc_open(UC_ARCH_ARM, UC_MODE_THUMB, &uc);
  if (err != UC_ERR_OK) {
    d.log.add_fault(std::string("uc_open: ") + uc_strerror(err));
    return;
  }
  d.cpu.uc = uc;
  uc_ctl_set_cpu_model(uc, UC_CPU_ARM_CORTEX_M4);
  uc_mem_map_ptr(uc, kFlashBase, kFlashSize, UC_PROT_READ | UC_PROT_EXEC, d.space.flash());
  uc_mem_map_ptr(uc, 0, kFlashSize, UC_PROT_READ | UC_PROT_EXEC, d.space.flash());
  uc_mem_map_ptr(uc, kRamBase, kRamSize, UC_PROT_ALL, d.space.ram());
  uc_mmio_map(uc, kPeriphBase, kPeriphSize, periph_read, &d, periph_write, &d);
  uc_mmio_map(uc, kPpbBase, kPpbSize, ppb_read_cb, &d, ppb_write_cb, &d);
  uc_hook h;
  uc_hook_add(uc, &h, UC_HOOK_BLOCK, reinterpret_cast<void*>(hook_block), &d, 1, 0);
  uc_hook_add(uc, &h, UC_HOOK_INTR, reinterpret_cast<void*>(hook_intr), &d, 1, 0);
  uc_hook_add(uc, &h, UC_HOOK_MEM_UNMAPPED, reinterpret_cast<void*>(hook_unmapped), &d, 1, 0);
  if (opt_.idle_skip)
    uc_hook_add(uc, &h, UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(hook_ram_write), &d, kRamBase,
                kRamBase + kRamSize - 1);
  d.dbg.set_callbacks({reinterpret_cast<void*>(hook_insn), reinterpret_cast<void*>(hook_breakpoint),
                       reinterpret_cast<void*>(hook_watch), &d});

  uint32_t sp = 0, pc = 0;
  std::memcpy(&sp, d.space.flash(), 4);
  std::memcpy(&pc, d.space.flash() + 4, 4);
  d.cpu.set_reg(UC_ARM_REG_MSP, sp);
  d.cpu.set_reg(UC_ARM_REG_SP, sp);
  d.cpu.set_reg(UC_ARM_REG_PC, pc);
}

Machine::~Machine() {
  if (d_) coverage::machine_ended(*image_, block_runs());
  if (d_ && d_->cpu.uc) uc_close(d_->cpu.uc);
}

ns_t Machine::now() const { return d_->now(); }
std::vector<BlockRun> Machine::block_runs() const { return d_->blocks.runs(); }
uint64_t Machine::instructions() const { return d_->clock.instr_now(); }
const std::vector<MmioWrite>& Machine::mmio_writes() const { return d_->space.writes(); }
const std::optional<Halt>& Machine::halt() const { return d_->log.halt; }

void Machine::set_irq_line(unsigned irq, bool high) {
  Impl& d = *d_;
  if (irq >= kNumIrq) {
    d.log.add_fault("IRQ line " + std::to_string(irq) + " does not exist");
    return;
  }
  d.nvic.set_line(irq, high);
  d.clock.events_dirty = true;
}

bool Machine::peek(uint32_t addr, void* dst, size_t n) const { return d_->space.peek(addr, dst, n); }

uint32_t Machine::peek32(uint32_t addr) const {
  uint32_t v = 0;
  peek(addr, &v, 4);
  return v;
}

bool Machine::read_mem(uint32_t addr, void* dst, size_t n) {
  if (peek(addr, dst, n)) return true;
  if (AddressSpace::periph(addr) && (n == 1 || n == 2 || n == 4)) {
    uint32_t v = d_->dev_read(addr, static_cast<unsigned>(n), false);
    std::memcpy(dst, &v, n);
    return true;
  }
  return false;
}

bool Machine::write_mem(uint32_t addr, const void* src, size_t n) {
  Impl& d = *d_;
  if (d.space.poke_ram(addr, src, n)) return true;
  if (AddressSpace::periph(addr) && (n == 1 || n == 2 || n == 4)) {
    uint32_t v = 0;
    std::memcpy(&v, src, n);
    int w = d.space.device_at(addr);
    if (w < 0) return false;
    Device* dev = devices_[static_cast<size_t>(w)];
    if (dev->clocked()) dev->write(addr - dev->base(), v, static_cast<unsigned>(n));
    return true;
  }
  return false;
}

void Machine::unmodelled(uint32_t addr, bool is_write, unsigned size, uint32_t value) {
  Impl& d = *d_;
  if (d.dbg.debugger_access()) return d.dbg.note_miss();  // the debugger's, not the image's
  Unmodelled u;
  u.addr = addr;
  u.is_write = is_write;
  u.size = size;
  u.value = value;
  u.pc = d.cpu.block_pc;
  u.where = image_->describe(d.cpu.block_pc);
  u.t = d.now();
  int w = d.space.device_at(addr);
  if (w >= 0) u.device = devices_[static_cast<size_t>(w)]->name();
  d.log.add_unmodelled(u);
}

void Machine::fault(const std::string& what) {
  d_->log.add_fault(what + " (t=" + format_ns(d_->now()) + ")");
}

const RunTally& Machine::tally() const { return d_->log.tally; }

void Machine::watch_stores(const void* who, uint32_t lo, uint32_t hi) {
  auto& ws = d_->store_watches;
  std::erase_if(ws, [&](const Impl::StoreWatch& w) { return w.who == who; });
  if (lo < hi) ws.push_back({who, lo, hi});
}

bool Machine::option(const std::string& name) const { return opt_.faults.contains(name); }

bool Machine::run_until(ns_t t_end) {
  Impl& d = *d_;
  if (!d.cpu.uc) return false;
  d.asked_end = t_end;
  const std::optional<Halt>& halted = d.log.halt;
  VirtualClock& clock = d.clock;
  Cpu& cpu = d.cpu;
  auto wall0 = std::chrono::steady_clock::now();
  unsigned stalls = 0;
  // Whether an idle jump the last run cut short goes on: checked before events
  // are serviced, so that an input due now (a new event) counts as a change.
  std::optional<Impl::IdleCut> resume = std::exchange(d.idle_cut, std::nullopt);
  if (resume && !(d.now() == resume->at && !cpu.sleeping && !d.dbg.mid_block() &&
                  cpu.reg(UC_ARM_REG_PC) == resume->pc && d.next_event() == resume->next_event))
    resume.reset();
  while (!(halted && opt_.stop_on_halt)) {
    if (d.dbg.break_now(cpu.reg(UC_ARM_REG_PC))) break;
    d.service_events();
    ns_t t = d.now();
    if (t >= t_end) {
      if (resume)
        d.idle_cut = resume;  // asked for no time: the jump still waits
      else if (d.idle_cut)
        d.idle_cut->next_event = d.next_event();
      break;
    }
    int e = d.dbg.mid_block() ? -1 : d.nvic.takeable(cpu);
    if (e >= 0) {
      resume.reset();
      d.exc.enter(static_cast<unsigned>(e), cpu.reg(UC_ARM_REG_PC));
      if (halted) break;
      continue;
    }
    if (resume) {
      const ns_t to = resume->target;
      resume.reset();
      d.jump_idle(to, t_end);
      continue;
    }
    ns_t t_slice = d.dbg.slice_start(t);  // a slice a debugger stop split goes on as one
    ns_t next = std::min(d.next_event(), t_end);
    if (next <= t) next = t + 1;
    clock.run_end = t_end;
    clock.min_stop = t_slice + 1;
    clock.set_stop_at(next);
    clock.events_dirty = false;
    if (cpu.sleeping) {
      // A pending interrupt wakes the core even while PRIMASK masks it.
      int b = d.nvic.best_pending();
      if (b >= 0 && d.nvic.group(d.nvic.raw_prio(static_cast<unsigned>(b))) < d.nvic.active_prio()) {
        cpu.sleeping = false;
        continue;
      }
      clock.jump_to(next);
      continue;
    }
    d.stop = Stop::none;
    uint32_t pc = cpu.reg(UC_ARM_REG_PC);
    uint64_t instr_before = clock.instr_now();
    uc_err err = uc_emu_start(cpu.uc, pc | 1u, 0, 0, 0);
    if (d.stop == Stop::debug) {
      d.dbg.stopped(cpu.reg(UC_ARM_REG_PC));  // the block in flight stays counted as a whole
      break;
    }
    // A stop from the block hook comes before the block ran. With an
    // instruction hook installed (a debugger's breakpoint) Unicorn 2.0.1 may
    // leave the PC at the previous block then; resume at the right one.
    if (d.stop != Stop::none) cpu.set_reg(UC_ARM_REG_PC, cpu.block_pc | 1u);
    if (d.stop == Stop::none) clock.commit_block();
    clock.cur_instr = 0;
    clock.cur_cycles = 0;
    pc = cpu.reg(UC_ARM_REG_PC);
    if (halted && opt_.stop_on_halt) break;
    switch (d.stop) {
      case Stop::event:
      case Stop::irq:
      case Stop::halt:
        continue;
      case Stop::idle:
        // The next event as of now: a register the loop's first pass wrote
        // may have brought it nearer than `next`. The cap counts from the
        // detection, not from the slice's start, which depends on where the
        // run was cut.
        d.jump_idle(std::min(d.next_event(), d.now() + kIdleJumpCap), t_end);
        continue;
      case Stop::nocp:
        d.exc.take_fault(FaultKind::nocp, pc, "floating-point instruction before CPACR enabled the FPU");
        d.log.add_fault("floating-point instruction at " + image_->describe(pc) +
                        " before CPACR enabled the FPU");
        continue;
      case Stop::none:
      case Stop::debug:  // handled right after uc_emu_start
        break;
    }
    uint16_t prev_hw = 0;
    peek(pc - 2, &prev_hw, 2);
    if (clock.instr_now() == instr_before && d.now() == t && ++stalls > 1000) {
      d.log.add_fault("emulator makes no progress at " + image_->describe(pc) + " (" + uc_strerror(err) +
                      ")");
      d.set_halt("emulator_error", pc);
      break;
    }
    if (clock.instr_now() != instr_before) stalls = 0;
    if (err == UC_ERR_OK) {
      if (pc == 0) {
        d.exc.take_fault(FaultKind::invstate, 0, "branch to address 0");
      } else if (prev_hw == 0xBF30) {  // WFI
        cpu.sleeping = true;
      }
      continue;
    }
    switch (err) {
      case UC_ERR_READ_UNMAPPED:
      case UC_ERR_WRITE_UNMAPPED:
      case UC_ERR_WRITE_PROT:
      case UC_ERR_READ_PROT:
        d.exc.take_fault(FaultKind::bus, pc, std::string(uc_strerror(err)) + " at " + hex(d.unmapped_addr),
                         d.unmapped_addr);
        break;
      case UC_ERR_FETCH_UNMAPPED:
      case UC_ERR_FETCH_PROT:
        d.unmapped_addr = pc;
        d.exc.take_fault(FaultKind::ibus, pc, "instruction fetch from " + hex(pc));
        break;
      case UC_ERR_INSN_INVALID:
        if (prev_hw == 0xBF20 || prev_hw == 0xBF10) {  // WFE, YIELD: hints
          if (prev_hw == 0xBF20) cpu.sleeping = true;
          cpu.set_reg(UC_ARM_REG_PC, pc | 1u);
        } else {
          d.exc.take_fault(FaultKind::undef, pc, "undefined instruction");
        }
        break;
      case UC_ERR_EXCEPTION:
        d.exc.take_fault(FaultKind::invstate, pc, "invalid state");
        break;
      case UC_ERR_READ_UNALIGNED:
      case UC_ERR_WRITE_UNALIGNED:
      case UC_ERR_FETCH_UNALIGNED:
        d.exc.take_fault(FaultKind::unaligned, pc, "unaligned access");
        break;
      default:
        d.log.add_fault(std::string("emulator error: ") + uc_strerror(err) + " at " + image_->describe(pc));
        d.set_halt("emulator_error", pc);
        break;
    }
  }
  d.wall_s += std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  return !halted;
}

// ------------------------------------------------------------- debugger
DebugStop Machine::debug_run(ns_t t_end, bool step, const std::function<bool()>& interrupted) {
  Impl& d = *d_;
  const std::optional<Halt>& halted = d.log.halt;
  if (!d.cpu.uc || (halted && opt_.stop_on_halt))
    return {DebugStop::Kind::halted, halted ? halted->pc : 0, WatchKind::write};
  d.dbg.begin(d.cpu.uc, step, &interrupted, d.cpu.reg(UC_ARM_REG_PC));
  d.idle_cut.reset();  // a step runs the instruction at the PC
  run_until(t_end);
  if (auto s = d.dbg.end(d.cpu.reg(UC_ARM_REG_PC))) return *s;
  if (halted && opt_.stop_on_halt) return {DebugStop::Kind::halted, halted->pc, WatchKind::write};
  return {DebugStop::Kind::end, d.cpu.reg(UC_ARM_REG_PC), WatchKind::write};
}

bool Machine::set_breakpoint(uint32_t addr, bool on) { return d_->dbg.set_breakpoint(d_->cpu.uc, addr, on); }

bool Machine::set_watchpoint(uint32_t addr, uint32_t len, WatchKind kind, bool on) {
  return d_->dbg.set_watchpoint(d_->cpu.uc, addr, len, kind, on);
}

void Machine::clear_debug_points() { d_->dbg.clear(d_->cpu.uc); }

bool Machine::cpu_reg(int uc_reg, uint64_t& value) const {
  value = 0;
  return d_->cpu.uc && uc_reg_read(d_->cpu.uc, uc_reg, &value) == UC_ERR_OK;
}

bool Machine::set_cpu_reg(int uc_reg, uint64_t value) {
  Impl& d = *d_;
  if (!d.cpu.uc) return false;
  if (uc_reg == UC_ARM_REG_PC) value |= 1u;  // the core stays in Thumb state
  if (uc_reg == UC_ARM_REG_XPSR) uc_reg = UC_ARM_REG_XPSR_NZCVQG;
  if (!d.cpu.set_reg64(uc_reg, value)) return false;
  d.idle_cut.reset();
  // Unicorn rebuilds its cached handler-mode flag on an APSR write.
  if (uc_reg == UC_ARM_REG_XPSR_NZCVQG || uc_reg == UC_ARM_REG_CONTROL)
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
    uc_ctl_remove_cache(d.cpu.uc, uint64_t{kFlashBase}, uint64_t{kFlashBase} + kFlashSize);
    uc_ctl_remove_cache(d.cpu.uc, 0, kFlashSize);
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

RunResult Machine::run() {
  run_until(opt_.run_for);
  return result();
}

std::map<std::string, std::map<std::string, uint32_t>> Machine::core_registers() const {
  const Impl& d = *d_;
  std::map<std::string, std::map<std::string, uint32_t>> r;
  auto& nvic = r["NVIC"];
  for (unsigned k = 0; k < 4; ++k) {
    nvic["ISER" + std::to_string(k)] = d.nvic.enabled_word(k);
    nvic["ISPR" + std::to_string(k)] = d.nvic.pending_word(k);
    nvic["IABR" + std::to_string(k)] = d.nvic.active_word(k);
  }
  for (unsigned k = 0; k < (kChipIrqs + 3) / 4; ++k) nvic["IPR" + std::to_string(k)] = d.nvic.ipr_word(k);
  auto& scb = r["SCB"];
  scb["CPUID"] = d.scb.reg("CPUID");
  scb["ICSR"] = d.scb.reg("ICSR");
  scb["VTOR"] = d.scb.reg("VTOR");
  scb["AIRCR"] = d.scb.reg("AIRCR");
  scb["SCR"] = d.scb.reg("SCR");
  scb["CCR"] = d.scb.reg("CCR");
  for (unsigned k = 0; k < 3; ++k) scb["SHPR" + std::to_string(k + 1)] = d.nvic.shpr_word(k);
  scb["SHCSR"] = d.scb.reg("SHCSR");
  scb["CFSR"] = d.scb.reg("CFSR");
  scb["HFSR"] = d.scb.reg("HFSR");
  scb["MMFAR"] = d.scb.reg("MMFAR");
  scb["BFAR"] = d.scb.reg("BFAR");
  scb["CPACR"] = d.scb.reg("CPACR");
  auto& st = r["SysTick"];
  st["CTRL"] = d.systick.ctrl_peek();
  st["LOAD"] = d.systick.load();
  st["VAL"] = d.systick.value(d.now());
  st["CALIB"] = d.systick.calib();
  auto& fpu = r["FPU"];
  fpu["FPCCR"] = d.scb.reg("FPCCR");
  fpu["FPCAR"] = d.scb.reg("FPCAR");
  fpu["FPDSCR"] = d.scb.reg("FPDSCR");
  return r;
}

RunResult Machine::result() const {
  const Impl& d = *d_;
  RunResult r;
  r.instructions = d.clock.instr_now();
  r.virtual_ns = d.now();
  r.idle_ns = d.clock.idle_ns;
  r.wall_s = d.wall_s;
  r.cpi_milli = opt_.cpi_milli;
  r.halt = d.log.halt;
  r.unmodelled = d.log.unmodelled;
  r.faults = d.log.faults;
  r.tally = d.log.tally;
  r.notes = d.log.notes;
  // Time moves per translated block: one that begins before the end runs whole.
  if (d.asked_end != kNever && r.virtual_ns > d.asked_end)
    r.notes.push_back("the run ended at " + format_ns(r.virtual_ns) + ", " +
                      format_ns(r.virtual_ns - d.asked_end) + " after the end asked for (" +
                      format_ns(d.asked_end) +
                      "): its last translated block began before that and ran whole");
  if (d.space.mmio_writes() > d.space.writes().size())
    r.notes.push_back("MMIO write log: the first " + std::to_string(d.space.writes().size()) + " of " +
                      std::to_string(d.space.mmio_writes()) + " writes kept");
  if (board_) {
    r.pins = board_->pin_history();
    r.pins_total = board_->pin_history_total();
    r.pin_state = board_->pin_states();
    r.registers = board_->register_dump();
    board_->report(r);
    r.diagnostics = board_->diagnostics();
  }
  const auto& core = d.core_findings.entries();
  r.diagnostics.insert(r.diagnostics.end(), core.begin(), core.end());
  for (auto& [k, v] : core_registers()) r.registers[k] = v;
  r.exceptions = d.exc.stats();
  r.exception_trace = d.exc.trace();
  r.functions = d.prof.stats();
  r.first_write_ns = d.space.first_write();
  return r;
}

}  // namespace vboard

// ------------------------------------------------------------------ state
namespace vboard {

inline void state_fields(StateVisitor& v, Machine::Impl::IdleCut& c) {
  v("at", c.at);
  v("pc", c.pc);
  v("next_event", c.next_event);
  v("target", c.target);
}

// The machine's own run state (machine/state.cpp saves and loads it with the
// board's). The wall time is the host's, not the board's; the store watches
// are rebuilt by the model that asked for them; the clock tree is wiring;
// breakpoints and watchpoints belong to the debugger's user and stay as set.
void list_machine_state(Machine::Impl& d, StateVisitor& v) {
  v("cpu", d.cpu);
  v("clock", d.clock);
  v("log", d.log);
  v("space", d.space);
  v("nvic", d.nvic);
  v("systick", d.systick);
  v("scb", d.scb);
  v("core_findings", d.core_findings);
  v("exceptions", d.exc);
  v("blocks", d.blocks);
  v("idle", d.idle);
  v("profiler", d.prof);
  v("last_advance", d.last_advance);
  v("prev_block", d.prev_block);
  v("stop", d.stop);
  v("unmapped_addr", d.unmapped_addr);
  v("unmapped_fetch", d.unmapped_fetch);
  v("injections", d.injections);
  v("next_injection", d.next_injection);
  v("gated_writes", d.gated_writes);
  v("asked_end", d.asked_end);
  v("idle_cut", d.idle_cut);
  if (v.loading() && d.cpu.uc) {
    // Code translated before the load may come from other flash or SRAM contents.
    uc_ctl_remove_cache(d.cpu.uc, uint64_t{kFlashBase}, uint64_t{kFlashBase} + kFlashSize);
    uc_ctl_remove_cache(d.cpu.uc, 0, kFlashSize);
    uc_ctl_remove_cache(d.cpu.uc, uint64_t{kRamBase}, uint64_t{kRamBase} + kRamSize);
    d.dbg.core_moved();
  }
}

}  // namespace vboard
