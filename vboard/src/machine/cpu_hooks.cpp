// The CPU side of the machine: Unicorn's engine with the memory map (flash,
// its boot alias, SRAM, the peripherals and the private peripheral bus as
// MMIO), and its callbacks: the block hook that counts time and ends slices,
// interrupts (SVC, BKPT, exception return), unmapped accesses, stores into
// SRAM, and the debugger's instruction and memory hooks.
#include <string>

#include "core/armv7m_regs.h"
#include "machine/machine_impl.h"

namespace vboard {

using namespace core;

void Machine::Impl::request_stop(Stop s) {
  stop = s;
  uc_emu_stop(cpu.uc);
}

// A block that branches to itself ran twice in a row: the image is stuck
// there. Which stop that is comes from the block's kind and the symbols.
void Machine::Impl::note_halt_loop(const BlockInfo& b, uint32_t addr) {
  if (b.halt == HaltKind::inlined_error) {
    set_halt("error_handler", addr);
    log.notes.push_back("Error_Handler's loop inlined into " + m.image_->describe(addr));
    log.halt->symbol = "Error_Handler";
  } else if (b.halt == HaltKind::self_loop) {
    // Interrupt handlers may still do the work of a program that ends in
    // "b ."; only with interrupts masked nothing can happen any more.
    if (primask::PM.test(cpu.reg(UC_ARM_REG_PRIMASK))) set_halt("self_loop", addr);
  } else {
    std::string reason, name;
    halt_kind_at(*m.image_, addr, &reason, &name);
    set_halt(reason, addr);
    log.halt->symbol = name;
  }
}

// The block runs now: its count is what --coverage reports, its instructions
// are committed when the next block starts.
[[gnu::always_inline]] inline void Machine::Impl::enter_block(uint32_t addr, BlockInfo& b) {
  prev_block = addr;
  ++b.runs;
  clock.cur_instr = b.count;
  if (m.opt_.timing == Timing::m4) [[unlikely]]
    return enter_m4_block(addr, b);
  clock.cur_cycles = uint64_t{b.count} * m.opt_.cpi_milli;
  // Last and as a tail call: the common path keeps to scratch registers.
  if (margins.needs_look(b.sp_dip, b.sp_unknown)) [[unlikely]]
    return margins.look(b.sp_dip, b.sp_unknown);
}

// enter_block's end under the Cortex-M4 timing, out of line.
void Machine::Impl::enter_m4_block(uint32_t addr, BlockInfo& b) {
  clock.cur_cycles = m4::start_block(clock, b.m4, addr + b.size, jumped, b.runs > 1, clocks->flash_fetch());
  margins.before_block(b.sp_dip, b.sp_unknown);
}

// The block hook. Most blocks need only their count committed, their decode
// (one table probe), the compare with the slice's end and, when idle skipping,
// the idle look; anything else that may apply sends the block through
// block_checks, which makes every check in its order. A slice without idle
// skipping, profiler or debugger (plain_blocks) skips even the look at those.
[[gnu::always_inline]] inline void Machine::Impl::on_block(uint32_t addr, uint32_t size) {
  if (!plain_blocks) [[unlikely]]
    return on_watched_block(addr, size);
  // Every way out is a tail call, so the common path keeps to scratch
  // registers: it is enter_block's flat-timing half for a block with nothing
  // to look at, and it commits the block before over the counts it then sets
  // (the flat timing takes no branch cycles).
  BlockInfo* b = blocks.recent(addr, size);
  if (!b || !b->plain || clock.events_dirty || log.halt || nvic.check_due() || margins.recheck()) [[unlikely]]
    return on_block_checked(addr, size);
  const uint64_t cycles = clock.cycles_milli + clock.cur_cycles;
  if (cycles >= clock.stop_cycles) [[unlikely]]
    return on_block_checked(addr, size);
  cpu.block_pc = addr;
  prev_block = addr;
  ++b->runs;
  clock.instr_done += clock.cur_instr;
  clock.cycles_milli = cycles;
  clock.total_cycles_milli += clock.cur_cycles;
  clock.cur_instr = b->count;
  clock.cur_cycles = uint64_t{b->count} * flat_cpi_milli;
}

// The plain path's way to every check, out of line.
void Machine::Impl::on_block_checked(uint32_t addr, uint32_t size) {
  clock.commit_block();
  cpu.block_pc = addr;
  block_checks(addr, blocks.block(addr, size));
}

// The block hook in a slice that may need the page guards, the debugger, the
// profiler or idle detection.
void Machine::Impl::on_watched_block(uint32_t addr, uint32_t size) {
  if (guards_stale || space.pages_changed()) guard_watched_pages();
  // Only a debugger's run (or the run after its stop) needs the debugger's look.
  if ((dbg.running() || dbg.mid_block()) && dbg.on_block(addr, size)) {
    idle.unseen_code_ran();  // the rest of a block a debugger stop split
    return;
  }
  jumped = clock.commit_block_before(addr);
  BlockInfo& b = blocks.block(addr, size);
  cpu.block_pc = addr;
  if (clock.events_dirty || log.halt || b.halt != HaltKind::none || (b.has_fp && !scb.fpu_enabled()) ||
      nvic.check_due() || prof.active() || stop_instr != ~uint64_t{0}) [[unlikely]]
    return block_checks(addr, b);
  if (clock.cycles_milli >= clock.stop_cycles) [[unlikely]]
    return request_stop(Stop::event);
  if (m.opt_.idle_skip && idle.on_block(addr, b, clock.instr_done)) [[unlikely]]
    return request_stop(Stop::idle);
  enter_block(addr, b);
}

// The checks at a block start, in their order: a new next stop, the slice's
// end, a halt, a halt loop, an FP instruction while the FPU is off, an
// interrupt that became takeable, the profiler and idle detection.
void Machine::Impl::block_checks(uint32_t addr, BlockInfo& b) {
  if (clock.events_dirty) {
    clock.events_dirty = false;
    clock.set_stop_at(std::max(std::min(next_event(), clock.run_end), clock.min_stop));
  }
  if (clock.cycles_milli >= clock.stop_cycles) return request_stop(Stop::event);
  if (log.halt && m.opt_.stop_on_halt) return request_stop(Stop::halt);
  if (b.halt != HaltKind::none && addr == prev_block && !log.halt) {
    note_halt_loop(b, addr);
    if (log.halt && m.opt_.stop_on_halt) return request_stop(Stop::halt);
  }
  if (b.has_fp && !scb.fpu_enabled()) return request_stop(Stop::nocp);
  if (nvic.check_due() && nvic.takeable(cpu) >= 0) return request_stop(Stop::irq);
  if (prof.active()) prof.on_block(addr, cpu, clock.instr_done, now(), exc.depth(), exc.incl_by_depth());
  if (m.opt_.idle_skip && idle.on_block(addr, b, clock.instr_done)) return request_stop(Stop::idle);
  enter_block(addr, b);
  // A run to an exact instruction stops before its block (after a watchpoint hit waiting to be reported).
  if (clock.instr_done + b.count > stop_instr && !dbg.watch_pending())
    instr_stop_hit = true, request_stop(Stop::debug);
}

void Machine::Impl::on_store(uint32_t addr, uint32_t n) {
  if (std::any_of(store_watches.begin(), store_watches.end(),
                  [&](const StoreWatch& w) { return addr < w.hi && addr + n > w.lo; }))
    before_access();
}

namespace {

Machine::Impl& impl(void* user) { return *static_cast<Machine::Impl*>(user); }

void hook_block(uc_engine*, uint64_t addr, uint32_t size, void* user) {
  impl(user).on_block(static_cast<uint32_t>(addr), size);
}

void hook_intr(uc_engine*, uint32_t intno, void* user) {
  Machine::Impl& d = impl(user);
  d.exc.on_interrupt(intno, d.unmapped_addr);
}

void hook_insn(uc_engine*, uint64_t addr, uint32_t, void* user) {
  Machine::Impl& d = impl(user);
  if (d.stop == Machine::Impl::Stop::none && d.dbg.on_insn(static_cast<uint32_t>(addr)))
    d.request_stop(Machine::Impl::Stop::debug);
}

// A breakpoint's own hook; while the all-code hook is on, that one sees the
// instruction instead (each instruction is looked at exactly once).
void hook_breakpoint(uc_engine* uc, uint64_t addr, uint32_t size, void* user) {
  if (!impl(user).dbg.insn_hook_on()) hook_insn(uc, addr, size, user);
}

void hook_watch(uc_engine*, uc_mem_type type, uint64_t addr, int size, int64_t, void* user) {
  impl(user).dbg.on_access(static_cast<uint32_t>(addr), static_cast<unsigned>(size), type == UC_MEM_WRITE);
}

void hook_store(uc_engine*, uc_mem_type, uint64_t addr, int size, int64_t, void* user) {
  impl(user).on_store(static_cast<uint32_t>(addr), static_cast<uint32_t>(size));
}

// A CPU store into a read-only page of SRAM: one that holds memory a device
// reads lazily.
bool hook_guarded_store(uc_engine*, uc_mem_type, uint64_t addr, int size, int64_t value, void* user) {
  return impl(user).on_guarded_store(static_cast<uint32_t>(addr), static_cast<uint32_t>(size),
                                     static_cast<uint64_t>(value));
}

bool hook_unmapped(uc_engine*, uc_mem_type type, uint64_t addr, int, int64_t, void* user) {
  Machine::Impl& d = impl(user);
  d.unmapped_addr = static_cast<uint32_t>(addr);
  d.unmapped_fetch = type == UC_MEM_FETCH_UNMAPPED;
  return false;
}

uint64_t periph_read(uc_engine*, uint64_t off, unsigned size, void* user) {
  return impl(user).dev_read(kPeriphBase + static_cast<uint32_t>(off), size, true);
}
void periph_write(uc_engine*, uint64_t off, unsigned size, uint64_t value, void* user) {
  impl(user).dev_write(kPeriphBase + static_cast<uint32_t>(off), static_cast<uint32_t>(value), size);
}
uint64_t ppb_read_cb(uc_engine*, uint64_t off, unsigned size, void* user) {
  return impl(user).ppb_read(kPpbBase + static_cast<uint32_t>(off), size);
}
void ppb_write_cb(uc_engine*, uint64_t off, unsigned size, uint64_t value, void* user) {
  impl(user).ppb_write(kPpbBase + static_cast<uint32_t>(off), static_cast<uint32_t>(value), size);
}

}  // namespace

// The device reads the watched memory before the store lands; the engine
// drops a store it handed to this hook, so the store is made here.
bool Machine::Impl::on_guarded_store(uint32_t addr, uint32_t n, uint64_t value) {
  const size_t page = (addr - facts.sram.base) / engine_page;
  if (space.page_cold(page)) {  // scanned again from now on
    space.warm_page(page);
    guards_stale = true;
  }
  in_store_trap = true;
  on_store(addr, n);
  in_store_trap = false;
  for (uint32_t k = 0; k < n; ++k) {
    const uint8_t byte = static_cast<uint8_t>(value >> (8 * k));
    if (!space.ram_range(addr + k, 1)) return false;
    space.ram()[addr + k - facts.sram.base] = byte;
  }
  return true;
}

// The read-only pages follow the watches: a page is read-only while it holds
// watched memory. Only runs with idle skipping watch stores: without it the
// devices read the memory when they advance, as they always did.
void Machine::Impl::guard_watched_pages() {
  if (!cpu.uc || !m.opt_.idle_skip || engine_page == 0) return;
  if (in_store_trap) {
    guards_stale = true;  // the engine is inside a store to one of these pages
    return;
  }
  guards_stale = false;
  space.settle_pages();
  for (size_t p = 0; p < page_guarded.size(); ++p) {
    const uint32_t lo = facts.sram.base + static_cast<uint32_t>(p) * engine_page, hi = lo + engine_page;
    const bool want =
        space.page_cold(p) || std::any_of(store_watches.begin(), store_watches.end(),
                                          [&](const StoreWatch& w) { return w.lo < hi && w.hi > lo; });
    if (want == page_guarded[p]) continue;
    uc_mem_protect(cpu.uc, lo, engine_page, want ? UC_PROT_READ | UC_PROT_EXEC : UC_PROT_ALL);
    page_guarded[p] = want;
  }
}

bool Machine::Impl::open_engine() {
  uc_engine* uc = nullptr;
  uc_err err = uc_open(UC_ARCH_ARM, UC_MODE_THUMB, &uc);
  if (err != UC_ERR_OK) {
    log.add_fault(std::string("uc_open: ") + uc_strerror(err));
    return false;
  }
  cpu.uc = uc;
  uc_ctl_set_cpu_model(uc, UC_CPU_ARM_CORTEX_M4);
  uc_mem_map_ptr(uc, facts.flash.base, facts.flash.size, UC_PROT_READ | UC_PROT_EXEC, space.flash());
  uc_mem_map_ptr(uc, 0, facts.flash.size, UC_PROT_READ | UC_PROT_EXEC, space.flash());
  // SRAM as one region per engine page, so that a page turns read-only
  // without splitting a region while the engine runs.
  uint32_t page = 0;
  uc_ctl_get_page_size(uc, &page);
  if (page != 0 && facts.sram.size % page == 0 && facts.sram.base % page == 0) {
    engine_page = page;
    page_guarded.assign(facts.sram.size / page, false);
    if (m.opt_.idle_skip) space.set_scan_page(page);
    for (uint32_t off = 0; off < facts.sram.size; off += page)
      uc_mem_map_ptr(uc, facts.sram.base + off, page, UC_PROT_ALL, space.ram() + off);
  } else {
    uc_mem_map_ptr(uc, facts.sram.base, facts.sram.size, UC_PROT_ALL, space.ram());
  }
  uc_mmio_map(uc, kPeriphBase, kPeriphSize, periph_read, this, periph_write, this);
  uc_mmio_map(uc, kPpbBase, kPpbSize, ppb_read_cb, this, ppb_write_cb, this);
  uc_hook h;
  uc_hook_add(uc, &h, UC_HOOK_BLOCK, reinterpret_cast<void*>(hook_block), this, 1, 0);
  uc_hook_add(uc, &h, UC_HOOK_INTR, reinterpret_cast<void*>(hook_intr), this, 1, 0);
  uc_hook_add(uc, &h, UC_HOOK_MEM_UNMAPPED, reinterpret_cast<void*>(hook_unmapped), this, 1, 0);
  dbg.set_callbacks({reinterpret_cast<void*>(hook_insn), reinterpret_cast<void*>(hook_breakpoint),
                     reinterpret_cast<void*>(hook_watch), this});
  if (m.opt_.idle_skip && engine_page != 0)
    uc_hook_add(uc, &h, UC_HOOK_MEM_WRITE_PROT, reinterpret_cast<void*>(hook_guarded_store), this,
                facts.sram.base, facts.sram.end() - 1);
  else if (m.opt_.idle_skip)  // SRAM not in whole pages: every store is looked at
    uc_hook_add(uc, &h, UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(hook_store), this, facts.sram.base,
                facts.sram.end() - 1);
  guard_watched_pages();  // watches asked for before the engine was open
  return true;
}

}  // namespace vboard
