// How the bits of a memory-mapped register behave, declared once per register
// for the chip's peripheral models and the core's own (NVIC, SCB, SysTick) alike.
// Each bit has at most one access kind; bits under none are reserved (read as
// their reset value, writes ignored). The kinds follow the vendor's register
// manual: rw, r (read-only), rc_w0, rc_w1, w (write-only), plus the fields a
// model stores but whose effect it lacks, which are reported when used.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

  uint32_t unmodelled_mask() const {
    uint32_t m = 0;
    for (const UnmodelledField& f : unmodelled) m |= f.mask;
    return m;
  }
  // Bits that a write stores (read-write fields, modelled or not).
  uint32_t stored() const { return rw | unmodelled_mask(); }
  // Bits the vendor's description calls read-write: stored ones and the flags cleared by writing.
  uint32_t writable() const { return stored() | w0c | w1c; }
};

// The value `def`'s register holds after a write of `value` to the byte lanes
// `lanes` when it held `old`: stored bits take the value, rc_w0 flags clear
// where it has a 0, rc_w1 flags where it has a 1; everything else stays.
inline uint32_t written(const RegDef& def, uint32_t old, uint32_t value, uint32_t lanes) {
  const uint32_t m = lanes & def.stored();
  uint32_t v = (old & ~m) | (value & m);
  v &= ~(lanes & def.w0c & ~value);
  v &= ~(lanes & def.w1c & value);
  return v;
}

// The unmodelled fields of `def` that `value` holds off their reset value.
inline std::vector<const UnmodelledField*> unmodelled_in_use(const RegDef& def, uint32_t value) {
  std::vector<const UnmodelledField*> out;
  for (const UnmodelledField& f : def.unmodelled)
    if ((value & f.mask) != (def.reset & f.mask)) out.push_back(&f);
  return out;
}

}  // namespace vboard::core
