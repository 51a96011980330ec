// Saving, restoring and comparing the whole board: the machine's run state
// (listed where its parts are defined, machine.cpp), the board's shared state
// and every device's, in one listing that vboard/state.h runs three ways.
#include <set>

#include "vboard/machine.h"
#include "vboard/state.h"

namespace vboard {

// machine.cpp: the core, memory and run state the machine holds itself.
void list_machine_state(Machine::Impl& d, StateVisitor& v);

void Machine::list_state(StateVisitor& v) {
  v("flash_written", flash_written_);
  {
    StateVisitor::Scope s(v, "machine");
    list_machine_state(*d_, v);
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
  StateVisitor v(bytes);
  const_cast<Machine*>(this)->list_state(v);  // saving only reads
  return bytes;
}

bool Machine::restore_state(const BoardState& saved) {
  BoardState before = save_state();
  StateVisitor v(StateVisitor::Mode::load, saved);
  list_state(v);
  if (v.ok() && v.position() == saved.size()) return true;
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
