// What a run leaves behind besides time and pins: the halt, unmodelled
// accesses, faults that fail the run and notes that do not.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/armv7m_regs.h"
#include "core/cpu.h"
#include "vboard/image.h"
#include "vboard/run_result.h"

namespace vboard::core {

struct RunLog {
  static constexpr size_t kKept = 1000;  // unmodelled accesses and faults listed
  std::optional<Halt> halt;
  std::vector<Unmodelled> unmodelled;
  std::vector<std::string> faults, notes;
  RunTally tally;  // exact, however many the lists drop

  void add_unmodelled(const Unmodelled& u) {
    if (unmodelled.size() < kKept) unmodelled.push_back(u);
    ++tally.unmodelled;
    tally.last_unmodelled = u;
  }
  void add_fault(const std::string& what) {
    if (faults.size() < kKept) faults.push_back(what);
    ++tally.faults;
    tally.last_fault = what;
  }

  // Records the first halt: where the core is stuck and in which state.
  void set_halt(const std::string& reason, uint32_t pc, const Image& image, const Cpu& cpu, ns_t t) {
    if (halt) return;
    Halt h;
    h.reason = reason;
    const Symbol* s = image.containing(pc);
    h.symbol = s ? s->name : hex(pc);
    h.primask = primask::PM.test(cpu.reg(UC_ARM_REG_PRIMASK));
    h.exception = cpu.reg(UC_ARM_REG_XPSR) & 0x1FF;
    h.pc = pc;
    h.t = t;
    halt = h;
  }
  // Its mutable state, for saving, loading and comparing (vboard/state.h).
  void state(StateVisitor& v);
};

}  // namespace vboard::core
