#include "core/debugger.h"

#include <algorithm>

#include "core/layout.h"

namespace vboard::core {

namespace {

// Drops translated blocks so that hooks added or removed since take effect.
// (Unicorn's full flush walks the whole peripheral mapping and takes seconds.)
constexpr uint64_t kAddressSpaceEnd = uint64_t{1} << 32;

void flush(uc_engine* uc, uint32_t lo, uint32_t hi) { uc_ctl_remove_cache(uc, uint64_t{lo}, uint64_t{hi}); }
void flush(uc_engine* uc, const MemoryRegion& r) { uc_ctl_remove_cache(uc, uint64_t{r.base}, r.end()); }

}  // namespace

void Debugger::flush_code(uc_engine* uc) const {
  flush(uc, flash_);
  flush(uc, {0, flash_.size});
  flush(uc, sram_);
}

bool Debugger::set_breakpoint(uc_engine* uc, uint32_t addr, bool on) {
  if (!uc) return false;
  addr &= ~1u;
  auto it = breakpoints_.find(addr);
  if (on == (it != breakpoints_.end())) return true;
  if (on) {
    uc_hook h = 0;
    if (uc_hook_add(uc, &h, UC_HOOK_CODE, cb_.breakpoint, cb_.user, addr, addr) != UC_ERR_OK) return false;
    breakpoints_[addr] = h;
  } else {
    uc_hook_del(uc, it->second);
    breakpoints_.erase(it);
  }
  flush(uc, addr, addr + 2);
  return true;
}

bool Debugger::set_watchpoint(uc_engine* uc, uint32_t addr, uint32_t len, WatchKind kind, bool on) {
  // A range past the top of the 32-bit address space cannot be watched.
  if (!uc || len == 0 || uint64_t{addr} + len > kAddressSpaceEnd) return false;
  auto it = std::find_if(watches_.begin(), watches_.end(),
                         [&](const auto& w) { return w.addr == addr && w.len == len && w.kind == kind; });
  if (!on) {
    if (it == watches_.end()) return false;
    for (uc_hook h : it->hooks) uc_hook_del(uc, h);
    watches_.erase(it);
  } else {
    WatchPoint w{addr, len, kind, {}};
    // Flash and RAM accesses never reach a model: Unicorn's memory hooks watch
    // them, over a range that also catches a wider access starting below addr.
    // Peripheral and core registers are watched in the machine's MMIO callbacks.
    if (addr < kPeriphBase) {
      uint64_t lo = addr >= 3 ? addr - 3 : 0, hi = uint64_t{addr} + len - 1;
      auto k = static_cast<uint8_t>(kind);
      for (int type : {UC_HOOK_MEM_WRITE, UC_HOOK_MEM_READ}) {
        if (!(k & (type == UC_HOOK_MEM_WRITE ? 1 : 2))) continue;
        uc_hook h = 0;
        if (uc_hook_add(uc, &h, type, cb_.watch, cb_.user, lo, hi) == UC_ERR_OK) w.hooks.push_back(h);
      }
    }
    watches_.push_back(w);
  }
  flush_code(uc);
  return true;
}

void Debugger::clear(uc_engine* uc) {
  while (!breakpoints_.empty()) set_breakpoint(uc, breakpoints_.begin()->first, false);
  while (!watches_.empty()) {
    WatchPoint w = watches_.back();
    set_watchpoint(uc, w.addr, w.len, w.kind, false);
  }
  if (uc) sync_insn_hook(uc, false);
}

void Debugger::sync_insn_hook(uc_engine* uc, bool want) {
  if (want == insn_hook_on_) return;
  if (want)
    uc_hook_add(uc, &insn_hook_, UC_HOOK_CODE, cb_.insn, cb_.user, 1, 0);
  else
    uc_hook_del(uc, insn_hook_);
  insn_hook_on_ = want;
  flush_code(uc);  // blocks translated before carry no (or a stale) instruction hook
}

void Debugger::begin(uc_engine* uc, bool step, const std::function<bool()>* interrupted, uint32_t pc) {
  step_ = step;
  stepped_ = false;
  first_ = true;
  resume_pc_ = pc & ~1u;
  stop_.reset();
  sync_insn_hook(uc, step || !watches_.empty());
  interrupted_ = interrupted;
}

std::optional<DebugStop> Debugger::end(uint32_t pc) {
  interrupted_ = nullptr;
  step_ = false;
  // A stop asked for inside an IT block lands after it: say where it landed.
  if (stop_ && stop_->kind != DebugStop::Kind::watchpoint) stop_->addr = pc & ~1u;
  return stop_;
}

bool Debugger::on_insn(uint32_t addr) {
  if (!interrupted_ || stop_) return false;
  bool first = first_;
  first_ = false;
  if (watch_hit_) {
    stop_ = watch_hit_;
    watch_hit_.reset();
    return true;
  }
  if (step_) {
    if (!stepped_) return stepped_ = true, false;  // the one instruction of the step runs
    stop_ = DebugStop{DebugStop::Kind::step, addr, WatchKind::write};
    return true;
  }
  // The instruction a run resumes at has been reported already; it runs now.
  if (first && addr == resume_pc_) return false;
  if (!breakpoints_.count(addr)) return false;
  stop_ = DebugStop{DebugStop::Kind::breakpoint, addr, WatchKind::write};
  return true;
}

void Debugger::on_access(uint32_t addr, unsigned size, bool is_write) {
  if (!interrupted_ || watch_hit_ || debugger_access_ || watches_.empty()) return;
  auto need = static_cast<uint8_t>(is_write ? WatchKind::write : WatchKind::read);
  for (const WatchPoint& w : watches_) {
    if (uint64_t{addr} + size <= w.addr || addr >= uint64_t{w.addr} + w.len) continue;
    if (!(static_cast<uint8_t>(w.kind) & need)) continue;
    watch_hit_ = DebugStop{DebugStop::Kind::watchpoint, w.addr, w.kind};
    return;
  }
}

bool Debugger::break_now(uint32_t pc) {
  if (!interrupted_) return false;
  if (stop_) return true;
  if (watch_hit_) {
    stop_ = watch_hit_;
    watch_hit_.reset();
    return true;
  }
  if ((*interrupted_)()) {
    stop_ = DebugStop{DebugStop::Kind::interrupted, pc, WatchKind::write};
    return true;
  }
  return false;
}

bool Debugger::on_block(uint32_t addr, uint32_t size) {
  tb_start_ = addr;
  tb_size_ = size;
  if (!continuation_) return false;
  continuation_ = false;
  return addr == continuation_pc_;
}

void Debugger::stopped(uint32_t pc) {
  mid_slice_ = true;
  // Unicorn defers a stop inside an IT block to the end of the block: then the
  // whole block ran and pc starts the next one, whose hook has not run yet.
  continuation_ = pc >= tb_start_ && pc - tb_start_ < tb_size_;
  continuation_pc_ = pc;
}

ns_t Debugger::slice_start(ns_t t) {
  if (mid_slice_) t = slice_t0_;
  mid_slice_ = false;
  slice_t0_ = t;
  return t;
}

}  // namespace vboard::core
