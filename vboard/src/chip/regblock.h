// Register plumbing every peripheral model shares: findings, shared NVIC lines,
// the board context, and the block of named registers a model is built on.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "chip/stm32g431_desc.h"
#include "chip/stm32g431_regs.h"
#include "core/registers.h"
#include "chip/chip.h"
#include "vboard/device.h"

namespace vboard::periph {

using core::Findings;

// Several sources may share one NVIC line (TIM1 trigger/commutation and TIM17 on
// IRQ 26): the line is high while any of its sources is.
class IrqMux {
 public:
  explicit IrqMux(Bus& bus) : bus_(bus) {}
  void set(unsigned irq, uint32_t source_bit, bool high);
  bool line(unsigned irq) const { return irq < kLines && state_[irq] != 0; }
  // Its mutable state, for saving, loading and comparing (vboard/state.h).
  void state(StateVisitor& v);

 private:
  static constexpr unsigned kLines = desc::kFacts.irq_count;
  Bus& bus_;
  std::array<uint32_t, kLines> state_{};
};

// Shared by every model of one board.
struct Context {
  explicit Context(Bus& b) : bus(b), irq(b) {}
  Bus& bus;
  Findings findings;
  IrqMux irq;
  // Bumped at every entry from the machine (and by DMA memory writes): a DMA
  // channel may keep guest memory it has read for as long as this is unchanged,
  // because the CPU cannot run inside one call.
  uint64_t epoch = 0;
  // Told about every pad change while set (VCD streaming); pins as port * 16 + pin.
  PinWatcher* watcher = nullptr;
  // Next free IrqMux source bit (one per device that raises interrupts).
  unsigned next_irq_source = 0;
  uint32_t new_irq_source() { return 1u << (next_irq_source++ % 32u); }
  // Its mutable state, for saving, loading and comparing (vboard/state.h).
  void state(StateVisitor& v);
};

// Registers are declared by access kind (core/registers.h), as the core's are.
using core::RegDef;
// All 32 bits of a register (a word-wide field such as a DMA address).
inline constexpr uint32_t kWord = core::Field{0, 32}.mask();
using core::UnmodelledField;

// What decides whether a block's clock runs: the RCC model implements it,
// every block asks it through its description entry's enable bit.
class ClockGate {
 public:
  virtual ~ClockGate() = default;
  // Whether bit `bit` of the enable register at `enr_offset` is set (an
  // offset the gate does not know: the clock runs).
  virtual bool enabled(uint32_t enr_offset, unsigned bit) const = 0;
};

// One memory-mapped block of named registers with byte/half-word/word access.
class RegBlock : public Device {
 public:
  // Placed and gated as the chip description's entry says.
  RegBlock(Context& ctx, const desc::Peripheral& where, std::vector<RegDef> regs);
  std::string name() const override { return name_; }
  uint32_t base() const override { return base_; }
  uint32_t size() const override { return size_; }
  bool clocked() const override;
  uint32_t read(uint32_t offset, unsigned size) override;
  void write(uint32_t offset, uint32_t value, unsigned size) override;
  void advance(ns_t now) override;
  std::map<std::string, uint32_t> registers() const override;

  // Clock gate: the entry's enable bit in `gate` (none: always clocked).
  void set_gate(const ClockGate* gate);
  // Write coming from a DMA channel (no machine entry: keeps the DMA's memory view).
  void dma_write(uint32_t offset, uint32_t value, unsigned size) { access_write(offset, value, size); }
  uint32_t dma_read(uint32_t offset, unsigned size) { return access_read(offset, size); }
  // Register value as a read would see it, by fact-sheet name (tests, dump).
  uint32_t reg(const std::string& name) const;
  // Register value as a read would see it, by offset (chip/stm32g431_regs.h); 0 if none.
  uint32_t reg_at(uint32_t offset) const {
    const int i = index_of(offset);
    return i < 0 ? 0 : peek(static_cast<unsigned>(i));
  }
  const std::vector<RegDef>& defs() const { return regs_; }
  const desc::Peripheral& entry() const { return entry_; }
  // The register values by name; a model with state of its own lists it
  // after calling this.
  void state(StateVisitor& v) override;

 protected:
  virtual uint32_t on_read(unsigned idx) { return peek(idx); }
  virtual void on_write(unsigned idx, uint32_t value, uint32_t lanes) { plain_write(idx, value, lanes); }
  virtual uint32_t peek(unsigned idx) const { return val_[idx]; }
  virtual void on_advance(ns_t now) { (void)now; }
  // The write as the register's access kinds take it (core::written).
  void plain_write(unsigned idx, uint32_t value, uint32_t lanes) {
    val_[idx] = core::written(regs_[idx], val_[idx], value, lanes);
  }
  // The register with its stored bits taken from `value` (flags untouched).
  uint32_t merged(unsigned idx, uint32_t value, uint32_t lanes) const {
    const uint32_t m = lanes & regs_[idx].stored();
    return (val_[idx] & ~m) | (value & m);
  }
  // Registers are found by their offset, a name from chip/stm32g431_regs.h
  // (`val(tim::CCER)`): the index of the register at `offset`, -1 if the block has none.
  int index_of(uint32_t offset) const {
    const uint32_t w = offset / 4;
    return w < lookup_.size() ? lookup_[w] : -1;
  }
  // The offset of register `idx` (what on_read/on_write dispatch on).
  uint32_t offset_of(unsigned idx) const { return regs_[idx].offset; }
  // The stored value of the register at `offset` (0 if the block has none).
  uint32_t val(uint32_t offset) const {
    const int i = index_of(offset);
    return i < 0 ? 0 : val_[static_cast<size_t>(i)];
  }
  // Stores `v` in the register at `offset` as it is (no access rules).
  void set(uint32_t offset, uint32_t v) {
    const int i = index_of(offset);
    if (i >= 0) val_[static_cast<size_t>(i)] = v;
  }
  ns_t now() const { return ctx_.bus.now(); }
  void finding(std::string_view kind, const std::string& what) {
    ctx_.findings.add(kind, name_, now(), what);
  }

  Context& ctx_;
  const desc::Peripheral& entry_;
  const uint32_t irq_src_;
  std::vector<RegDef> regs_;
  std::vector<uint32_t> val_;

 private:
  uint32_t access_read(uint32_t offset, unsigned size);
  void access_write(uint32_t offset, uint32_t value, unsigned size);
  std::string name_;
  uint32_t base_;
  uint32_t size_;
  std::vector<int16_t> lookup_;  // word index -> register index, -1 unmodelled
  const ClockGate* gate_rcc_ = nullptr;
};

}  // namespace vboard::periph
