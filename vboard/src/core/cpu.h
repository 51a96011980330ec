// The CPU: Unicorn's engine as the core's registers, the start address of the
// translated block being executed (the code position every record names), and
// whether the core sleeps in WFI/WFE.
#pragma once

#include <unicorn/unicorn.h>

#include <cstdint>

namespace vboard::core {

struct Cpu {
  uc_engine* uc = nullptr;
  uint32_t block_pc = 0;  // start of the current translated block
  bool sleeping = false;
  // Register writes made by the host (exception entry and return, a debugger);
  // idle detection re-reads the FP registers when this moved.
  mutable uint64_t host_reg_writes = 0;

  uint32_t reg(int r) const {
    uint32_t v = 0;
    uc_reg_read(uc, r, &v);
    return v;
  }
  void set_reg(int r, uint32_t v) const {
    ++host_reg_writes;
    uc_reg_write(uc, r, &v);
  }
  // n 32-bit registers in one call into the engine.
  void set_regs(int* ids, uint32_t* values, int n) const {
    ++host_reg_writes;
    void* vals[16];
    for (int i = 0; i < n && i < 16; ++i) vals[i] = &values[i];
    uc_reg_write_batch(uc, ids, vals, n < 16 ? n : 16);
  }
  // 64-bit registers (D0-D15); false if Unicorn refuses the register.
  bool set_reg64(int r, uint64_t v) const {
    ++host_reg_writes;
    return uc_reg_write(uc, r, &v) == UC_ERR_OK;
  }
};

}  // namespace vboard::core
