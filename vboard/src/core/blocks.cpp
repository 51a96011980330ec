#include "core/blocks.h"

#include <algorithm>
#include <cstring>

#include "core/armv7m_regs.h"
#include "core/stack_effect.h"
#include "vboard/state.h"

namespace vboard::core {

namespace {

// A 32-bit coprocessor instruction for cp10/cp11 (the FPU) in Thumb-2.
bool is_fp_insn(uint16_t hw1, uint16_t hw2) {
  return thumb::kCoprocessor.matches(hw1) && thumb::kCoprocessorPair.get(hw2) == thumb::kFpuCoprocessors;
}

// Thumb-2 store-exclusive: STREX, STREXB, STREXH, STREXD.
bool is_excl_store(uint16_t hw1, uint16_t hw2) {
  if (thumb::kStrex.matches(hw1)) return true;
  const uint32_t op = thumb::kExclusiveOp.get(hw2);
  namespace op3 = thumb::exclusive_op;
  return thumb::kStrexBHD.matches(hw1) && (op == op3::STREXB || op == op3::STREXH || op == op3::STREXD);
}

// An instruction that may write memory (ARM ARM A6.2.4 and A6.3): the 16-bit
// STR, STRH, STRB (register and immediate offset), STR SP-relative, PUSH and
// STM; the 32-bit store multiple, dual and exclusive, store single and the
// coprocessor stores (VSTR, VSTM, VPUSH). Where loads share an encoding group
// the bit that says "load" is checked; anything in doubt counts as a store.
bool may_store(uint16_t hw1, bool wide) {
  using thumb::Pattern;
  if (wide) {
    static constexpr Pattern kStores32[] = {
        {0xFE10, 0xE800},  // store multiple, dual, exclusive (L = 0)
        {0xFF10, 0xF800},  // store single data item
        {0xEE10, 0xEC00},  // coprocessor store (L = 0), both encodings
    };
    return std::any_of(std::begin(kStores32), std::end(kStores32), [&](Pattern p) { return p.matches(hw1); });
  }
  static constexpr Pattern kStores16[] = {
      {0xFE00, 0x5000}, {0xFE00, 0x5200}, {0xFE00, 0x5400},  // STR, STRH, STRB (register)
      {0xF800, 0x6000}, {0xF800, 0x7000}, {0xF800, 0x8000},  // STR, STRB, STRH (immediate)
      {0xF800, 0x9000},                                      // STR (SP-relative)
      {0xFE00, 0xB400},                                      // PUSH
      {0xF800, 0xC000},                                      // STM
  };
  return std::any_of(std::begin(kStores16), std::end(kStores16), [&](Pattern p) { return p.matches(hw1); });
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
  b.addr = addr;
  b.size = size;
  uint32_t a = addr, end = addr + size;
  StackDip sp;
  while (a < end) {
    uint16_t hw1 = 0, hw2 = 0;
    space_.peek(a, &hw1, 2);
    const bool wide = thumb::kWidthBits.get(hw1) >= thumb::kFirstWide;
    if (wide) {
      space_.peek(a + 2, &hw2, 2);
      if (is_fp_insn(hw1, hw2)) b.has_fp = true;
      if (is_excl_store(hw1, hw2)) b.excl_store = true;
    }
    if (may_store(hw1, wide)) b.may_store = true;
    sp.add(stack_effect(hw1, hw2, wide));
    a += wide ? 4 : 2;
    b.count++;
  }
  if (b.count == 0) b.count = 1;
  std::vector<uint16_t> code(size / 2);
  space_.peek(addr, code.data(), code.size() * 2);
  b.m4 = m4::block_cost(addr, code, addr < space_.flash_map().size || space_.flash_map().holds(addr, size));
  b.sp_dip = sp.dip;
  b.sp_unknown = sp.unknown;
  b.halt = halt_kind_at(image_, addr, nullptr);
  uint16_t hw = 0, before = 0;
  space_.peek(addr, &hw, 2);
  space_.peek(addr - 2, &before, 2);
  // A branch to itself outside the named stop functions; after CPSID I it
  // is an Error_Handler inlined.
  if (b.halt == HaltKind::none && size == 2 && hw == thumb::B_SELF)
    b.halt = before == thumb::CPSID_I ? HaltKind::inlined_error : HaltKind::self_loop;
  b.derive();
  if (*slot >= 0) {
    BlockInfo& old = blocks_[static_cast<size_t>(*slot)];
    if (old.runs) replaced_.push_back({old.addr, old.size, old.runs});
    old = b;
  } else {
    *slot = static_cast<int32_t>(blocks_.size());
    if (blocks_.size() == blocks_.capacity()) recent_.fill({});  // the blocks move
    blocks_.push_back(b);
  }
  return blocks_[static_cast<size_t>(*slot)];
}

BlockInfo& BlockCache::miss(Recent& r, uint32_t addr, uint32_t size) {
  BlockInfo& b = lookup(addr, size);
  r = {Recent::key_of(addr, size), &b};
  return b;
}

std::vector<BlockRun> BlockCache::runs() const {
  std::vector<BlockRun> out = replaced_;
  for (const BlockInfo& b : blocks_)
    if (b.runs) out.push_back({b.addr, b.size, b.runs});
  return out;
}

void IdleDetector::read_core(std::array<uint32_t, kCoreRegs>& out) const {
  static const std::array<int, kCoreRegs> ids{
      UC_ARM_REG_R0,   UC_ARM_REG_R1,      UC_ARM_REG_R2,      UC_ARM_REG_R3,     UC_ARM_REG_R4,
      UC_ARM_REG_R5,   UC_ARM_REG_R6,      UC_ARM_REG_R7,      UC_ARM_REG_R8,     UC_ARM_REG_R9,
      UC_ARM_REG_R10,  UC_ARM_REG_R11,     UC_ARM_REG_R12,     UC_ARM_REG_SP,     UC_ARM_REG_LR,
      UC_ARM_REG_XPSR, UC_ARM_REG_CONTROL, UC_ARM_REG_PRIMASK, UC_ARM_REG_BASEPRI};
  std::array<void*, kCoreRegs> vals;
  for (size_t i = 0; i < ids.size(); ++i) vals[i] = &out[i];
  uc_reg_read_batch(cpu_.uc, const_cast<int*>(ids.data()), vals.data(), static_cast<int>(ids.size()));
}

void IdleDetector::read_fp(std::array<uint64_t, kFpRegs>& out) const {
  static const std::array<int, kFpRegs> ids = [] {
    std::array<int, kFpRegs> r{};
    for (int k = 0; k < 16; ++k) r[static_cast<size_t>(k)] = UC_ARM_REG_D0 + k;
    r[16] = UC_ARM_REG_FPSCR;
    return r;
  }();
  out.fill(0);  // FPSCR fills the low half of its slot
  std::array<void*, kFpRegs> vals;
  for (size_t i = 0; i < ids.size(); ++i) vals[i] = &out[i];
  uc_reg_read_batch(cpu_.uc, const_cast<int*>(ids.data()), vals.data(), static_cast<int>(ids.size()));
}

// Brings the reference's copy of SRAM up to date and says whether it was
// already: only granules written since the copy was last synced can differ.
bool IdleDetector::sync_ram_copy(Ref& ref) const {
  constexpr uint32_t kGranule = 1u << AddressSpace::kGranuleBits;
  const uint8_t* ram = space_.ram();
  const uint64_t now = space_.ram_writes();
  const auto keep = [&](uint32_t g) {
    ref.ram.insert(ref.ram.end(), ram + g * kGranule, ram + (g + 1) * kGranule);
    ref.slot[g] = static_cast<uint16_t>(ref.ram.size() / kGranule);
  };
  static const std::array<uint8_t, kGranule> zeros{};
  const auto zero = [&](uint32_t g) { return std::memcmp(zeros.data(), ram + g * kGranule, kGranule) == 0; };
  if (!ref.ram_taken) {
    // Granules holding zeros need no slot either: most of a zeroed .bss.
    std::vector<uint32_t> kept;
    ref.slot.assign(space_.granules(), 0);
    for (uint32_t g = 0; g < space_.granules(); ++g)
      if (space_.granule_write(g) != 0 && !zero(g)) kept.push_back(g);
    ref.ram.reserve((kept.size() + 8) * kGranule);  // room for a few more without moving
    for (uint32_t g : kept) keep(g);
    ref.ram_taken = true;
    ref.ram_synced = now;
    return false;
  }
  if (ref.ram_synced == now) return true;
  bool same = true;
  for (uint32_t k = 0; k < space_.groups(); ++k) {
    if (space_.group_write(k) <= ref.ram_synced) continue;
    for (uint32_t g = k << AddressSpace::kGroupBits; g < (k + 1) << AddressSpace::kGroupBits; ++g) {
      if (space_.granule_write(g) <= ref.ram_synced) continue;
      const uint8_t* now_g = ram + g * kGranule;
      if (ref.slot[g] == 0) {
        if (zero(g)) continue;
        keep(g);
        same = false;
        continue;
      }
      uint8_t* old_g = &ref.ram[(ref.slot[g] - 1u) * kGranule];
      if (std::memcmp(old_g, now_g, kGranule) != 0) {
        std::memcpy(old_g, now_g, kGranule);
        same = false;
      }
    }
  }
  ref.ram_synced = now;
  return same;
}

bool IdleDetector::check(uint32_t addr, BlockInfo& b) {
  std::array<uint32_t, kCoreRegs> core;
  read_core(core);
  Ref& ref = refs_[addr];
  const uint64_t epoch = fp_epoch();
  bool fp_same = ref.fp_epoch == epoch;
  if (!fp_same) {
    std::array<uint64_t, kFpRegs> fp;
    read_fp(fp);
    fp_same = ref.fp_epoch != ~0ull && fp == ref.fp;
    ref.fp = fp;
    ref.fp_epoch = epoch;
  }
  if (space_.cpu_stored()) space_.scan_ram();
  const bool ram_same = sync_ram_copy(ref);
  const bool same = ref.valid && ref.writes == space_.mmio_writes() &&
                    ref.read_changes == space_.read_changes() && ref.core == core && fp_same && ram_same;
  if (same) {
    b.check_at = 2;
    ref.valid = false;
    return true;
  }
  if (ref.valid) b.check_at = std::min<uint32_t>(b.check_at * 2, 64);
  ref.core = core;
  ref.writes = space_.mmio_writes();
  ref.read_changes = space_.read_changes();
  ref.valid = true;
  return false;
}

}  // namespace vboard::core

// ------------------------------------------------------------------ state

namespace vboard::core {

namespace {
void block_info_state(StateVisitor& v, BlockInfo& b) {
  v("addr", b.addr);
  v("size", b.size);
  v("runs", b.runs);
  v("count", b.count);
  v("has_fp", b.has_fp);
  v("excl_store", b.excl_store);
  v("may_store", b.may_store);
  v("halt", b.halt);
  v("m4_cycles", b.m4.cycles);
  v("m4_taken", b.m4.taken);
  v("m4_later_lines", b.m4.later_lines);
  v("m4_line_start", b.m4.line_start);
  v("m4_flash", b.m4.flash);
  v("sp_dip", b.sp_dip);
  v("sp_unknown", b.sp_unknown);
  v("last_visit", b.last_visit);
  v("tight", b.tight);
  v("check_at", b.check_at);
  if (v.loading()) b.derive();
}
}  // namespace

// The decoded blocks with their run counts and idle-detection counters: where
// detection happens decides how many instructions a polling loop runs.
void BlockCache::state(StateVisitor& v) {
  v("flash_index", flash_index_);
  v("other_index", other_index_);
  v.items("blocks", blocks_, block_info_state);
  v.items("replaced", replaced_, [](StateVisitor& s, BlockRun& r) {
    s("addr", r.addr);
    s("size", r.size);
    s("runs", r.runs);
  });
  if (v.loading()) recent_.fill({});  // pointers into the blocks before the load
}

void IdleDetector::state(StateVisitor& v) {
  v("fp_blocks", fp_blocks_);
  v("refs", refs_, [](StateVisitor& s, std::unordered_map<uint32_t, Ref>& refs) {
    std::vector<uint32_t> keys;
    for (const auto& kv : refs) keys.push_back(kv.first);
    std::sort(keys.begin(), keys.end());
    s("keys", keys);
    if (s.loading()) {
      refs.clear();
      for (uint32_t k : keys) refs[k];
    }
    for (uint32_t k : keys) {
      if (s.done()) return;
      if (!refs.contains(k)) return s.fail("no reference state for " + std::to_string(k));
      Ref& r = refs[k];
      StateVisitor::Scope at(s, std::to_string(k));
      s("core", r.core);
      s("fp", r.fp);
      s("fp_epoch", r.fp_epoch);
      s("slot", r.slot);
      s("ram", r.ram);
      s("ram_taken", r.ram_taken);
      s("ram_synced", r.ram_synced);
      s("writes", r.writes);
      s("read_changes", r.read_changes);
      s("valid", r.valid);
    }
  });
}

}  // namespace vboard::core
