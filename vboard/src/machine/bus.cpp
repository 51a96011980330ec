// The bus side of the machine: CPU and host accesses to the board's devices
// (MMIO), the private peripheral bus with the core's own registers (NVIC,
// SysTick, SCB), and the Bus the models call back into.
#include <cstring>

#include "core/armv7m_regs.h"
#include "machine/machine_impl.h"

namespace vboard {

using namespace core;

// HCLK follows the clock tree after every MMIO write.
void Machine::Impl::check_clock() {
  if (!clocks) return;
  uint64_t h = clocks->hclk_hz();
  if (h == 0 || h == clock.hclk) return;
  systick.rebase(now());
  clock.set_hclk(h);
}

void Machine::Impl::advance_devices(ns_t t) {
  if (t == last_advance) return;
  last_advance = t;
  for (Device* d : m.devices_) d->advance(t);
}

void Machine::Impl::before_access() {
  ns_t t = now();
  systick.process(t);
  advance_devices(t);
  clock.events_dirty = true;
}

// ------------------------------------------------------------------ MMIO
uint32_t Machine::Impl::dev_read(uint32_t addr, unsigned size, bool from_cpu) {
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

void Machine::Impl::dev_write(uint32_t addr, uint32_t v, unsigned size) {
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

// ------------------------------------------------- private peripheral bus
// Returns false for an address no core register lives at.
bool Machine::Impl::core_read(uint32_t addr, uint32_t& v) {
  ns_t t = now();
  return nvic.read(addr, v) || systick.read(addr, t, v) || scb.read(addr, v);
}

bool Machine::Impl::core_write(uint32_t addr, uint32_t v, unsigned size) {
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

uint32_t Machine::Impl::ppb_read(uint32_t addr, unsigned size) {
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

namespace {

// The group of core registers an address of the private peripheral bus is
// in, as the first-write times name it.
const char* ppb_group(uint32_t addr) {
  const uint32_t off = addr - scs::kBase;  // wraps to far above for addresses below the SCS
  if (off >= systick::CTRL && off < systick::CALIB + 4) return "SysTick";
  // The state words and the priority bytes of 256 interrupts, and the software trigger.
  if ((off >= nvic::ISER0 && off < nvic::IPRx(256 / 4)) || off == nvic::STIR) return "NVIC";
  return "SCB";
}

}  // namespace

void Machine::Impl::ppb_write(uint32_t addr, uint32_t v, unsigned size) {
  dbg.on_access(addr, size, true);
  ns_t t = now();
  space.log_write(t, addr, v, size, -1);
  space.note_first_write(ppb_group(addr), t);
  bool ok;
  if (Nvic::is_priority(addr))
    ok = core_write(addr, v, size);
  else
    ok = core_write(addr & ~3u, v << (8 * (addr & 3)), size);
  if (!ok) m.unmodelled(addr, true, size, v);
  clock.events_dirty = true;
}

// ------------------------------------------------------------------- Bus
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

void Machine::watch_stores(const void* who, uint32_t lo, uint32_t hi) {
  auto& ws = d_->store_watches;
  std::erase_if(ws, [&](const Impl::StoreWatch& w) { return w.who == who; });
  if (lo < hi) ws.push_back({who, lo, hi});
  d_->guard_watched_pages();
}

bool Machine::option(const std::string& name) const { return opt_.faults.contains(name); }

}  // namespace vboard
