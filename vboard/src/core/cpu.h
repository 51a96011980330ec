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

  uint32_t reg(int r) const {
    uint32_t v = 0;
    uc_reg_read(uc, r, &v);
    return v;
  }
  void set_reg(int r, uint32_t v) const { uc_reg_write(uc, r, &v); }
};

}  // namespace vboard::core
