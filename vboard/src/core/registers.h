// How the bits of a memory-mapped register behave, declared once per register
// for the chip's peripheral models and the core's own (NVIC, SCB, SysTick) alike.
// Each bit has at most one access kind; bits under none are reserved (read as
// their reset value, writes ignored). The kinds follow the vendor's register
// manual: rw, r (read-only), rc_w0, rc_w1, w (write-only), plus the fields a
// model stores but whose effect it lacks, which are reported when used.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <numeric>
#include <string>
#include <string_view>
#include <vector>

#include "vboard/device.h"

namespace vboard::core {

// A read-write field whose effect the model does not implement: a write that
// moves it off its reset value is reported (the model goes on as if it had not).
struct UnmodelledField {
  uint32_t mask;
  const char*
      what;  // the finding's words, e.g. "CR1.DIR/CMS: down or centre-aligned counting is not modelled"
};

struct RegDef {
  const char* name;
  uint32_t offset;
  uint32_t reset;
  uint32_t rw = 0;   // read-write: a write stores them
  uint32_t ro = 0;   // read-only: the hardware sets them, writes are ignored
  uint32_t w0c = 0;  // status flags a write of 0 clears, 1 leaves (rc_w0)
  uint32_t w1c = 0;  // status flags a write of 1 clears, 0 leaves (rc_w1)
  uint32_t wo = 0;   // write-only commands: they act when written and read as 0
  std::vector<UnmodelledField> unmodelled = {};
  uint32_t w1s = 0;  // set by writing 1, 0 leaves (the NVIC's set-enable and set-pending views)

  uint32_t unmodelled_mask() const {
    return std::accumulate(unmodelled.begin(), unmodelled.end(), uint32_t{0},
                           [](uint32_t m, const UnmodelledField& f) { return m | f.mask; });
  }
  // Bits that a write stores (read-write fields, modelled or not).
  uint32_t stored() const { return rw | unmodelled_mask(); }
  // Bits the vendor's description calls read-write: stored ones, the flags
  // cleared by writing and the bits set by writing.
  uint32_t writable() const { return stored() | w0c | w1c | w1s; }
};

// The value `def`'s register holds after a write of `value` to the byte lanes
// `lanes` when it held `old`: stored bits take the value, rc_w0 flags clear
// where it has a 0, rc_w1 flags where it has a 1; everything else stays.
inline uint32_t written(const RegDef& def, uint32_t old, uint32_t value, uint32_t lanes) {
  const uint32_t m = lanes & def.stored();
  uint32_t v = (old & ~m) | (value & m);
  v &= ~(lanes & def.w0c & ~value);
  v &= ~(lanes & def.w1c & value);
  v |= lanes & def.w1s & value;
  return v;
}

// The unmodelled fields of `def` that `value` holds off their reset value.
inline std::vector<const UnmodelledField*> unmodelled_in_use(const RegDef& def, uint32_t value) {
  std::vector<const UnmodelledField*> out;
  for (const UnmodelledField& f : def.unmodelled)
    if ((value & f.mask) != (def.reset & f.mask)) out.push_back(&f);
  return out;
}

// The kind of finding an unmodelled field in use is (chip::diag::kNotModelled).
inline constexpr std::string_view kNotModelled = "not_modelled";
// The kind of finding a write to a peripheral whose clock is off is (chip::diag::kClockOff).
inline constexpr std::string_view kClockOff = "clock_off";

// A block's registers by address, in declaration order.
class RegTable {
 public:
  RegTable(uint32_t base, std::vector<RegDef> defs) : base_(base), defs_(std::move(defs)) {
    for (size_t i = 0; i < defs_.size(); ++i)
      by_addr_.emplace_back(base_ + defs_[i].offset, static_cast<int>(i));
    std::sort(by_addr_.begin(), by_addr_.end());
  }
  // The register at the word address `addr`, -1 if none.
  int index(uint32_t addr) const {
    auto it = std::lower_bound(by_addr_.begin(), by_addr_.end(), std::make_pair(addr, -1));
    return it != by_addr_.end() && it->first == addr ? it->second : -1;
  }
  const RegDef& operator[](int i) const { return defs_[static_cast<size_t>(i)]; }
  const std::vector<RegDef>& defs() const { return defs_; }
  uint32_t base() const { return base_; }
  uint32_t address(int i) const { return base_ + defs_[static_cast<size_t>(i)].offset; }

 private:
  uint32_t base_;
  std::vector<RegDef> defs_;
  std::vector<std::pair<uint32_t, int>> by_addr_;
};

// Things the real chip would punish, or that the models do not implement, and
// tolerate. Each distinct finding (kind, where, message) is kept once, with its
// first time and how often it happened. Kinds: chip::diag.
class Findings {
 public:
  void add(std::string_view kind, const std::string& where, ns_t t, const std::string& message) {
    std::string key = std::string(kind) + '\0' + where + '\0' + message;
    auto [it, fresh] = index_.try_emplace(std::move(key), entries_.size());
    if (!fresh) {
      ++entries_[it->second].count;
      return;
    }
    entries_.push_back({std::string(kind), where, t, 1, message});
  }
  const std::vector<Diagnostic>& entries() const { return entries_; }
  // Its mutable state, for saving, loading and comparing (vboard/state.h).
  void state(StateVisitor& v);

 private:
  std::vector<Diagnostic> entries_;
  std::map<std::string, size_t> index_;
};

}  // namespace vboard::core
