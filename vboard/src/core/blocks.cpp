#include "core/blocks.h"

#include <algorithm>
#include <cstring>

namespace vboard::core {

namespace {

// A 32-bit coprocessor instruction for cp10/cp11 (the FPU) in Thumb-2.
bool is_fp_insn(uint16_t hw1, uint16_t hw2) {
  return (hw1 & 0xEC00) == 0xEC00 && (hw1 & 0x1000) == 0 && ((hw2 >> 9) & 7) == 5;
}

}  // namespace

HaltKind halt_kind_at(const Image& image, uint32_t addr, std::string* reason, std::string* name) {
  const Symbol* s = image.containing(addr);
  if (!s) return HaltKind::none;
  HaltKind best = HaltKind::none;
  int best_rank = 99;
  for (const Symbol& o : image.symbols()) {
    if (!o.is_func || o.addr != s->addr) continue;
    static const struct {
      const char* name;
      HaltKind kind;
      const char* reason;
    } table[] = {{"Error_Handler", HaltKind::error_handler, "error_handler"},
                 {"Default_Handler", HaltKind::default_handler, "default_handler"},
                 {"_exit", HaltKind::exit_loop, "exit"},
                 {"HardFault_Handler", HaltKind::fault_handler, "hard_fault"},
                 {"NMI_Handler", HaltKind::fault_handler, "nmi"},
                 {"MemManage_Handler", HaltKind::fault_handler, "mem_manage"},
                 {"BusFault_Handler", HaltKind::fault_handler, "bus_fault"},
                 {"UsageFault_Handler", HaltKind::fault_handler, "usage_fault"}};
    for (int i = 0; i < 8; ++i)
      if (i < best_rank && o.name == table[i].name) {
        best_rank = i;
        best = table[i].kind;
        if (reason) *reason = table[i].reason;
        if (name) *name = table[i].name;
      }
  }
  return best;
}

BlockInfo& BlockCache::decode(int32_t* slot, uint32_t addr, uint32_t size) {
  BlockInfo b;
  b.size = size;
  uint32_t a = addr, end = addr + size;
  while (a < end) {
    uint16_t hw1 = 0, hw2 = 0;
    space_.peek(a, &hw1, 2);
    bool wide = (hw1 >> 11) >= 0x1D;
    if (wide) {
      space_.peek(a + 2, &hw2, 2);
      if (is_fp_insn(hw1, hw2)) b.has_fp = true;
    }
    a += wide ? 4 : 2;
    b.count++;
  }
  if (b.count == 0) b.count = 1;
  b.halt = halt_kind_at(image_, addr, nullptr);
  uint16_t hw = 0, before = 0;
  space_.peek(addr, &hw, 2);
  space_.peek(addr - 2, &before, 2);
  if (b.halt == HaltKind::none && size == 2 && hw == 0xE7FE)  // "b ." outside the named stop functions
    b.halt = before == 0xB672 ? HaltKind::inlined_error : HaltKind::self_loop;
  if (*slot >= 0) {
    blocks_[static_cast<size_t>(*slot)] = b;
  } else {
    *slot = static_cast<int32_t>(blocks_.size());
    blocks_.push_back(b);
  }
  return blocks_[static_cast<size_t>(*slot)];
}

// Core and FP registers in one call (read at every check).
void IdleDetector::snapshot_regs(std::array<uint64_t, 40>& out) const {
  static const std::array<int, 36> ids = [] {
    std::array<int, 36> r{UC_ARM_REG_R0,      UC_ARM_REG_R1,      UC_ARM_REG_R2,      UC_ARM_REG_R3,
                          UC_ARM_REG_R4,      UC_ARM_REG_R5,      UC_ARM_REG_R6,      UC_ARM_REG_R7,
                          UC_ARM_REG_R8,      UC_ARM_REG_R9,      UC_ARM_REG_R10,     UC_ARM_REG_R11,
                          UC_ARM_REG_R12,     UC_ARM_REG_SP,      UC_ARM_REG_LR,      UC_ARM_REG_XPSR,
                          UC_ARM_REG_CONTROL, UC_ARM_REG_PRIMASK, UC_ARM_REG_BASEPRI, UC_ARM_REG_FPSCR};
    for (int k = 0; k < 16; ++k) r[20 + static_cast<size_t>(k)] = UC_ARM_REG_D0 + k;
    return r;
  }();
  out.fill(0);  // a 32-bit register fills the low half of its slot
  std::array<void*, 36> vals;
  for (size_t i = 0; i < ids.size(); ++i) vals[i] = &out[i];
  uc_reg_read_batch(cpu_.uc, const_cast<int*>(ids.data()), vals.data(), static_cast<int>(ids.size()));
}

// Between two visits of a loop little of SRAM changes: one compare says whether
// anything did, and only the 512-byte pieces that differ are copied. Unlike the
// hash this replaced (all of SRAM, twice per wake) it cannot collide.
bool IdleDetector::sync_ram_copy(std::vector<uint8_t>& copy) const {
  const uint8_t* ram = space_.ram();
  if (copy.size() != kRamSize) {
    copy.assign(ram, ram + kRamSize);
    return false;
  }
  if (std::memcmp(copy.data(), ram, kRamSize) == 0) return true;
  constexpr uint32_t kPiece = 512;
  for (uint32_t i = 0; i < kRamSize; i += kPiece)
    if (std::memcmp(&copy[i], ram + i, kPiece) != 0) std::memcpy(&copy[i], ram + i, kPiece);
  return false;
}

bool IdleDetector::check(uint32_t addr, BlockInfo& b) {
  std::array<uint64_t, 40> regs;
  snapshot_regs(regs);
  Ref& ref = refs_[addr];
  const bool ram_same = sync_ram_copy(ref.ram);
  const bool same = ref.valid && ref.writes == space_.mmio_writes() &&
                    ref.read_changes == space_.read_changes() && ref.regs == regs && ram_same;
  if (same) {
    b.check_at = 2;
    ref.valid = false;
    return true;
  }
  if (ref.valid) b.check_at = std::min<uint32_t>(b.check_at * 2, 64);
  ref.regs = regs;
  ref.writes = space_.mmio_writes();
  ref.read_changes = space_.read_changes();
  ref.valid = true;
  return false;
}

}  // namespace vboard::core
