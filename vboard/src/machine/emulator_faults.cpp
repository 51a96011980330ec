// What the engine's return from a slice means for the core at `pc`: nothing
// (the slice ended normally), a hint instruction it does not know (WFE,
// YIELD), or a fault the exception unit takes as the chip would (a bus error,
// an undefined instruction, an invalid state, an unaligned access). Errors
// with no such meaning end the run.
#include <string>

#include "core/armv7m_regs.h"
#include "machine/machine_impl.h"

namespace vboard {

using namespace core;

void Machine::Impl::after_emulation(uc_err err, uint32_t pc) {
  uint16_t prev_hw = 0;  // the halfword before the PC: the instruction a stop came after
  m.peek(pc - 2, &prev_hw, 2);
  switch (err) {
    case UC_ERR_OK:
      if (pc == 0)
        exc.take_fault(FaultKind::invstate, 0, "branch to address 0");
      else if (prev_hw == thumb::WFI)
        cpu.sleeping = true;
      break;
    case UC_ERR_READ_UNMAPPED:
    case UC_ERR_WRITE_UNMAPPED:
    case UC_ERR_WRITE_PROT:
    case UC_ERR_READ_PROT:
      exc.take_fault(FaultKind::bus, pc, std::string(uc_strerror(err)) + " at " + hex(unmapped_addr),
                     unmapped_addr);
      break;
    case UC_ERR_FETCH_UNMAPPED:
    case UC_ERR_FETCH_PROT:
      unmapped_addr = pc;
      exc.take_fault(FaultKind::ibus, pc, "instruction fetch from " + hex(pc));
      break;
    case UC_ERR_INSN_INVALID:
      // The engine stops after hints it does not implement: WFE sleeps as
      // WFI does, YIELD does nothing.
      if (prev_hw == thumb::WFE || prev_hw == thumb::YIELD) {
        if (prev_hw == thumb::WFE) cpu.sleeping = true;
        cpu.set_reg(UC_ARM_REG_PC, pc | 1u);
      } else {
        exc.take_fault(FaultKind::undef, pc, "undefined instruction");
      }
      break;
    case UC_ERR_EXCEPTION:
      exc.take_fault(FaultKind::invstate, pc, "invalid state");
      break;
    case UC_ERR_READ_UNALIGNED:
    case UC_ERR_WRITE_UNALIGNED:
    case UC_ERR_FETCH_UNALIGNED:
      exc.take_fault(FaultKind::unaligned, pc, "unaligned access");
      break;
    default:
      log.add_fault(std::string("emulator error: ") + uc_strerror(err) + " at " + m.image_->describe(pc));
      set_halt("emulator_error", pc);
      break;
  }
}

}  // namespace vboard
