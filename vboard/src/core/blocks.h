// Translated blocks as the machine sees them: a cache of each block's decoded
// instruction count, whether it holds an FP instruction and whether it is a
// halt loop; and idle detection, which recognises a polling loop that can only
// be released by an event.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/address_space.h"
#include "core/cpu.h"
#include "core/layout.h"
#include "core/m4_timing.h"
#include "vboard/run_result.h"
#include "vboard/image.h"

namespace vboard::core {

enum class HaltKind : uint8_t {
  none,
  error_handler,
  default_handler,
  fault_handler,
  exit_loop,
  inlined_error,  // "cpsid i; b ." inlined from Error_Handler into its caller
  self_loop       // any other branch to itself
};

// The stop function at addr (all names at that address: weak aliases share one
// body), with its halt reason ("error_handler", "hard_fault", ...) and its own
// name ("Default_Handler", not whichever interrupt handler alias shares it).
HaltKind halt_kind_at(const Image& image, uint32_t addr, std::string* reason, std::string* name = nullptr);

struct BlockInfo {
  uint32_t addr = 0;
  uint32_t size = 0;
  uint64_t runs = 0;   // times the block ran whole (counted by the machine's block hook)
  uint32_t count = 0;  // instructions
  bool has_fp = false;
  bool excl_store = false;  // STREX/STREXB/STREXH/STREXD
  bool may_store = false;   // holds an instruction that may write memory
  HaltKind halt = HaltKind::none;
  m4::BlockCost m4;         // its cycles under the Cortex-M4 timing
  int32_t sp_dip = 0;       // bytes the code takes the SP below its start (core/stack_effect.h)
  bool sp_unknown = false;  // it writes the SP in a way the code does not tell
  // Idle detection: when the block was last entered and how often in a tight loop.
  uint64_t last_visit = ~0ull;
  uint32_t tight = 0;
  uint32_t check_at = 2;
  // Nothing but its count to look at when it starts: no halt, no FP
  // instruction, no SP change the stack meter must see (derived, not saved).
  bool plain = false;
  void derive() { plain = halt == HaltKind::none && !has_fp && sp_dip >= 0 && !sp_unknown; }
};

class BlockCache {
 public:
  BlockCache(const AddressSpace& space, const Image& image)
      : space_(space), image_(image), flash_index_(space.flash_map().size / 2, -1) {}

  // Every block that ran, with how often: the blocks in the cache and those a
  // block of another size at the same address replaced.
  std::vector<BlockRun> runs() const;

  BlockInfo& block(uint32_t addr, uint32_t size) {
    // The blocks that ran last, by address: a few kilobytes the lookup of a
    // running loop stays in, where the flash index spans a quarter megabyte.
    Recent& r = recent_[(addr >> 1) & (kRecent - 1)];
    if (r.key == Recent::key_of(addr, size)) [[likely]]
      return *r.info;
    return miss(r, addr, size);
  }
  // The block if it ran lately, else null (block() then finds it).
  BlockInfo* recent(uint32_t addr, uint32_t size) {
    const Recent& r = recent_[(addr >> 1) & (kRecent - 1)];
    return r.key == Recent::key_of(addr, size) ? r.info : nullptr;
  }
  // Code was rewritten: every block is decoded again when it next runs.
  void forget() {
    std::fill(flash_index_.begin(), flash_index_.end(), -1);
    other_index_.clear();
    recent_.fill({});
  }
  // Its mutable state, for saving, loading and comparing (vboard/state.h).
  void state(StateVisitor& v);

 private:
  // A block found by a full lookup, by its address and size. The pointer is
  // into blocks_: whatever moves or replaces those empties the table.
  struct Recent {
    static constexpr uint64_t key_of(uint32_t addr, uint32_t size) { return uint64_t{size} << 32 | addr; }
    uint64_t key = 1;  // address 1: no Thumb block starts there
    BlockInfo* info = nullptr;
  };
  static constexpr size_t kRecent = 1024;
  BlockInfo& miss(Recent& r, uint32_t addr, uint32_t size);
  BlockInfo& lookup(uint32_t addr, uint32_t size) {
    int32_t* slot = nullptr;
    const MemoryRegion& flash = space_.flash_map();
    if (addr >= flash.base && addr - flash.base < flash.size)
      slot = &flash_index_[(addr - flash.base) >> 1];
    else
      slot = &other_index_.try_emplace(addr, -1).first->second;
    if (*slot >= 0 && blocks_[static_cast<size_t>(*slot)].size == size)
      return blocks_[static_cast<size_t>(*slot)];
    return decode(slot, addr, size);
  }
  BlockInfo& decode(int32_t* slot, uint32_t addr, uint32_t size);
  const AddressSpace& space_;
  const Image& image_;
  std::vector<int32_t> flash_index_;  // per halfword of flash
  std::unordered_map<uint32_t, int32_t> other_index_;
  std::vector<BlockInfo> blocks_;
  std::vector<BlockRun> replaced_;
  std::array<Recent, kRecent> recent_{};
};

// A loop that comes back to the same block with the same registers and RAM,
// no MMIO writes and unchanged MMIO read values in between waits for something
// only an event can change: time may jump to that event. Each block keeps its
// own reference state, so a helper called from several places in one loop pass
// does not hide the loop head.
//
// What is compared is kept cheap without becoming approximate: SRAM is compared
// only where it changed since the reference (the address space tracks written
// granules; CPU stores are found by comparing SRAM with its last scan, and only
// after a block that may store ran), and the FP registers are read again only when an FP
// instruction ran or the host wrote registers since the reference.
class IdleDetector {
 public:
  IdleDetector(const Cpu& cpu, AddressSpace& space) : cpu_(cpu), space_(space) {}
  // Code ran that on_block did not see (the rest of a block a debugger stop
  // split): whatever it may have changed is compared in full next time.
  void unseen_code_ran() {
    ++fp_blocks_;
    space_.note_ram_write(space_.sram_map().base, space_.sram_map().size);
  }
  // Called at a block start; true when the core is idle at addr.
  bool on_block(uint32_t addr, BlockInfo& b, uint64_t instr_done) {
    if (b.has_fp) ++fp_blocks_;
    if (b.may_store) space_.note_cpu_store();
    uint64_t since = instr_done - b.last_visit;
    b.last_visit = instr_done;
    if (since <= 512 && ++b.tight >= b.check_at) {
      b.tight = 0;
      return check(addr, b);
    }
    return false;
  }
  // Its mutable state, for saving, loading and comparing (vboard/state.h).
  void state(StateVisitor& v);

 private:
  static constexpr size_t kCoreRegs = 19, kFpRegs = 17;  // FP: D0-D15 and FPSCR
  struct Ref {
    std::array<uint32_t, kCoreRegs> core{};
    std::array<uint64_t, kFpRegs> fp{};
    uint64_t fp_epoch = ~0ull;  // fp_epoch() when fp was read
    // SRAM as of ram_writes() == ram_synced, kept sparse: a granule without a
    // slot held zeros then.
    std::vector<uint16_t> slot;  // per granule: index + 1, 0: none
    std::vector<uint8_t> ram;
    bool ram_taken = false;
    uint64_t ram_synced = 0;
    uint64_t writes = 0, read_changes = 0;
    bool valid = false;
  };
  bool check(uint32_t addr, BlockInfo& b);
  uint64_t fp_epoch() const { return fp_blocks_ + cpu_.host_fp_writes; }
  void read_core(std::array<uint32_t, kCoreRegs>& out) const;
  void read_fp(std::array<uint64_t, kFpRegs>& out) const;
  bool sync_ram_copy(Ref& ref) const;
  const Cpu& cpu_;
  AddressSpace& space_;
  uint64_t fp_blocks_ = 0;  // blocks with an FP instruction entered so far
  std::unordered_map<uint32_t, Ref> refs_;
};

}  // namespace vboard::core
