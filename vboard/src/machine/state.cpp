// Saving, restoring and comparing the whole board: the machine's run state, the
// board's shared state and every device's, in one listing that vboard/state.h
// runs three ways.
#include <set>

#include "machine/machine_impl.h"
#include "vboard/machine.h"
#include "vboard/state.h"

namespace vboard {

inline void state_fields(StateVisitor& v, Machine::Impl::IdleCut& c) {
  v("at", c.at);
  v("pc", c.pc);
  v("next_event", c.next_event);
  v("target", c.target);
}

// The machine's own run state, saved and loaded with the board's. The wall time is the host's, not the
// board's; the store watches are rebuilt by the model that asked for them; the clock tree is wiring;
// breakpoints and watchpoints belong to the debugger's user and stay as set; the debugger's split
// of a block by a stop is run state.
void list_machine_state(Machine::Impl& d, StateVisitor& v, bool flash_is_the_image) {
  v("cpu", d.cpu);
  v("clock", d.clock);
  v("log", d.log);
  v("space", d.space);
  v("nvic", d.nvic);
  v("systick", d.systick);
  v("scb", d.scb);
  v("core_findings", d.core_findings);
  v("exceptions", d.exc);
  v("margins", d.margins);
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
  v("debugger", d.dbg);  // a checkpoint at a debugger stop goes on inside the split block
  if (v.loading() && d.cpu.uc) {
    // Code translated before the load may come from other flash or SRAM contents
    // (flash holds the image's own bytes before and after when no debugger wrote
    // it: its translations stay, which spares a time-travel restore retranslating).
    if (!flash_is_the_image) {
      uc_ctl_remove_cache(d.cpu.uc, uint64_t{d.facts.flash.base}, d.facts.flash.end());
      uc_ctl_remove_cache(d.cpu.uc, 0, d.facts.flash.size);
    }
    uc_ctl_remove_cache(d.cpu.uc, uint64_t{d.facts.sram.base}, d.facts.sram.end());
  }
}

void Machine::list_state(StateVisitor& v) {
  const bool flash_was_written = flash_written_;
  v("flash_written", flash_written_);
  {
    StateVisitor::Scope s(v, "machine");
    // A load from an archive whose flash no debugger wrote, over such a flash.
    list_machine_state(*d_, v, v.loading() && !flash_was_written && !flash_written_);
  }
  v("board", *board_);
  // Each device under its name (a repeated name gets its position added).
  std::set<std::string> seen;
  for (size_t i = 0; i < devices_.size(); ++i) {
    std::string name = devices_[i]->name();
    if (!seen.insert(name).second) name += "#" + std::to_string(i);
    v.expect(name + ".base", devices_[i]->base());
    v(name, *devices_[i]);
  }
}

BoardState Machine::save_state() const {
  BoardState bytes;
  save_state(bytes);
  return bytes;
}

void Machine::save_state(BoardState& into) const {
  into.clear();
  StateVisitor v(into);
  const_cast<Machine*>(this)->list_state(v);  // saving only reads
}

bool Machine::restore_state(const BoardState& saved, Archive kind) {
  BoardState before;
  if (kind == Archive::foreign) before = save_state();
  StateVisitor v(StateVisitor::Mode::load, saved);
  list_state(v);
  if (v.ok() && v.position() == saved.size()) return true;
  if (kind == Archive::own) return false;
  StateVisitor back(StateVisitor::Mode::load, before);
  list_state(back);
  return false;
}

std::string Machine::compare_state(const BoardState& saved) const {
  StateVisitor v(StateVisitor::Mode::compare, saved);
  const_cast<Machine*>(this)->list_state(v);  // comparing only reads
  if (!v.ok()) return v.error();
  if (!v.difference().empty()) return v.difference();
  if (v.position() != saved.size()) return "(the archive holds more than this board)";
  return "";
}

}  // namespace vboard
