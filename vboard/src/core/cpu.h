// The CPU: Unicorn's engine as the core's registers, the start address of the
// translated block being executed (the code position every record names), and
// whether the core sleeps in WFI/WFE.
#pragma once

#include <unicorn/unicorn.h>

#include <array>
#include <cassert>
#include <cstdint>

namespace vboard {
class StateVisitor;
}

namespace vboard::core {

struct Cpu {
  uc_engine* uc = nullptr;
  uint32_t block_pc = 0;  // start of the current translated block
  bool sleeping = false;
  // Writes of FP registers made by the host (exception return, a debugger);
  // idle detection re-reads the FP registers when this moved.
  mutable uint64_t host_fp_writes = 0;
  static bool is_fp_reg(int r) {
    return (r >= UC_ARM_REG_FPEXC && r <= UC_ARM_REG_FPSID) || (r >= UC_ARM_REG_D0 && r <= UC_ARM_REG_D31) ||
           (r >= UC_ARM_REG_Q0 && r <= UC_ARM_REG_Q15) || (r >= UC_ARM_REG_S0 && r <= UC_ARM_REG_S31);
  }

  uint32_t reg(int r) const {
    uint32_t v = 0;
    uc_reg_read(uc, r, &v);
    return v;
  }
  void set_reg(int r, uint32_t v) const {
    if (is_fp_reg(r)) ++host_fp_writes;
    uc_reg_write(uc, r, &v);
  }
  // 32-bit register writes gathered to go into the engine in one call, in
  // the order they were added.
  struct RegWrites {
    static constexpr int kMax = 12;
    std::array<int, kMax> ids{};
    std::array<uint32_t, kMax> values{};
    int n = 0;
    void add(int id, uint32_t v) {
      assert(n < kMax);
      ids[static_cast<size_t>(n)] = id;
      values[static_cast<size_t>(n++)] = v;
    }
  };
  void set_regs(RegWrites& w) const {
    std::array<void*, RegWrites::kMax> vals{};
    for (int i = 0; i < w.n; ++i) {
      if (is_fp_reg(w.ids[static_cast<size_t>(i)])) ++host_fp_writes;
      vals[static_cast<size_t>(i)] = &w.values[static_cast<size_t>(i)];
    }
    uc_reg_write_batch(uc, w.ids.data(), vals.data(), w.n);
  }
  // Any register, 64-bit ones (D0-D15) included; false if Unicorn refuses it.
  bool set_reg64(int r, uint64_t v) const {
    if (is_fp_reg(r)) ++host_fp_writes;
    return uc_reg_write(uc, r, &v) == UC_ERR_OK;
  }
  // Its mutable state, for saving, loading and comparing (vboard/state.h).
  void state(StateVisitor& v);
};

}  // namespace vboard::core
