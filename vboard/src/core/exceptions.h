// Exception entry and return as the Cortex-M4 does them and Unicorn does not:
// stacking of the 8- or 26-word frame with alignment padding, EXC_RETURN,
// tail-chaining, late return to thread mode; faults (UsageFault, BusFault,
// escalation to HardFault, lockup); and per-exception instruction counts.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/address_space.h"
#include "core/clock.h"
#include "core/cpu.h"
#include "core/margins.h"
#include "core/nvic.h"
#include "core/run_log.h"
#include "core/scb.h"

namespace vboard::core {

enum class FaultKind { undef, invstate, nocp, invpc, unaligned, bus, ibus };

class ExceptionUnit {
 public:
  struct Parts {
    Cpu& cpu;
    VirtualClock& clock;
    Nvic& nvic;
    Scb& scb;
    AddressSpace& space;
    Bus& bus;  // vector fetch
    RunLog& log;
    const Image& image;
    const MachineOptions& opt;
    MarginMeter& margins;
  };
  explicit ExceptionUnit(const Parts& p) : p_(p) {}

  // Stacks the frame, switches to handler mode and jumps to the vector.
  bool enter(unsigned e, uint32_t ret_pc);
  // The core branched to an EXC_RETURN value.
  void exception_return(uint32_t excret);
  // A synchronous fault at ret_pc (bfar_addr: the data address of a bus fault).
  void take_fault(FaultKind k, uint32_t ret_pc, const std::string& detail, uint32_t bfar_addr = 0);
  // Unicorn's interrupt hook: exception return, SVC, BKPT and the CPU's faults.
  void on_interrupt(uint32_t intno, uint32_t bfar_addr);
  void lockup(const std::string& why);

  size_t depth() const { return p_.nvic.depth(); }
  const std::array<uint64_t, 16>& incl_by_depth() const { return incl_by_depth_; }
  const std::map<unsigned, ExceptionStat>& stats() const { return stats_; }
  const std::vector<ExceptionEntry>& trace() const { return trace_; }
  // Its mutable state, for saving, loading and comparing (vboard/state.h).
  void state(StateVisitor& v);

 private:
  // frame_sp: where entry stacked the frame (0: a tail-chain, none stacked).
  void activate(unsigned e, uint32_t frame_sp);
  bool jump_vector(unsigned e, uint32_t xpsr);
  // The APSR write after an xPSR or CONTROL write (left out by the no-flag-restore mutant).
  void add_flag_rebuild(Cpu::RegWrites& w, uint32_t xpsr) const;
  void done(unsigned e);

  Parts p_;
  struct Frame {
    unsigned exc;
    uint64_t instr0;
    uint64_t nested;
  };
  std::vector<Frame> frames_;
  std::array<uint64_t, 16> incl_by_depth_{};
  std::map<unsigned, ExceptionStat> stats_;
  std::vector<ExceptionEntry> trace_;  // the first 100000 entries
  bool tail_chaining_ = false;
};

}  // namespace vboard::core
