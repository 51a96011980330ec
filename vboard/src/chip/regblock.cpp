// Register table plumbing shared by every peripheral model.
#include "chip/regblock.h"
#include "vboard/state.h"

namespace vboard::periph {

namespace {
constexpr unsigned kByteBits = 8;
}  // namespace

static_assert(core::kNotModelled == chip::diag::kNotModelled, "one kind for unmodelled fields");
static_assert(core::kClockOff == chip::diag::kClockOff, "one kind for writes to a peripheral without clock");

void IrqMux::set(unsigned irq, uint32_t source_bit, bool high) {
  if (irq >= kLines) return;
  const uint32_t before = state_[irq];
  const uint32_t after = high ? (before | source_bit) : (before & ~source_bit);
  state_[irq] = after;
  if ((before != 0) != (after != 0)) bus_.set_irq_line(irq, after != 0);
}

RegBlock::RegBlock(Context& ctx, const desc::Peripheral& where, std::vector<RegDef> regs)
    : ctx_(ctx),
      entry_(where),
      irq_src_(ctx.new_irq_source()),
      regs_(std::move(regs)),
      name_(where.name),
      base_(where.base),
      size_(where.size) {
  lookup_.assign(size_ / 4, -1);
  val_.resize(regs_.size());
  for (size_t i = 0; i < regs_.size(); ++i) {
    val_[i] = regs_[i].reset;
    const uint32_t w = regs_[i].offset / 4;
    // Alternate views of one address (CCMR1 input/output) share the first entry.
    if (w < lookup_.size() && lookup_[w] < 0) lookup_[w] = static_cast<int16_t>(i);
  }
}

void RegBlock::set_gate(const ClockGate* gate) { gate_rcc_ = entry_.gate.reg ? gate : nullptr; }

bool RegBlock::clocked() const {
  return gate_rcc_ == nullptr || gate_rcc_->enabled(entry_.gate.offset, entry_.gate.bit);
}

void RegBlock::advance(ns_t now) {
  ++ctx_.epoch;
  on_advance(now);
}

uint32_t RegBlock::read(uint32_t offset, unsigned size) {
  ++ctx_.epoch;
  return access_read(offset, size);
}

void RegBlock::write(uint32_t offset, uint32_t value, unsigned size) {
  ++ctx_.epoch;
  access_write(offset, value, size);
}

uint32_t RegBlock::access_read(uint32_t offset, unsigned size) {
  const uint32_t w = offset / 4;
  if (w >= lookup_.size() || lookup_[w] < 0) {
    ctx_.bus.unmodelled(base_ + offset, false, size, 0);
    return 0;
  }
  // The byte lanes the access covers, shifted down.
  return core::Field{kByteBits * (offset % 4), kByteBits * size}.get(
      on_read(static_cast<unsigned>(lookup_[w])));
}

void RegBlock::access_write(uint32_t offset, uint32_t value, unsigned size) {
  const uint32_t w = offset / 4;
  if (w >= lookup_.size() || lookup_[w] < 0) {
    ctx_.bus.unmodelled(base_ + offset, true, size, value);
    return;
  }
  const unsigned shift = kByteBits * (offset % 4);
  const uint32_t lanes = core::Field{shift, kByteBits * size}.mask();
  const auto idx = static_cast<unsigned>(lookup_[w]);
  on_write(idx, value << shift, lanes);
  // Whatever path the model took, a field it does not implement is reported once it is in use.
  if (!regs_[idx].unmodelled.empty())
    for (const UnmodelledField* f : core::unmodelled_in_use(regs_[idx], val_[idx]))
      finding(chip::diag::kNotModelled, f->what);
}

std::map<std::string, uint32_t> RegBlock::registers() const {
  std::map<std::string, uint32_t> out;
  for (size_t i = 0; i < regs_.size(); ++i) {
    // Skip alternate views that share an address with an earlier entry.
    if (lookup_[regs_[i].offset / 4] != static_cast<int16_t>(i)) continue;
    out[regs_[i].name] = peek(static_cast<unsigned>(i));
  }
  return out;
}

uint32_t RegBlock::reg(const std::string& name) const {
  for (size_t i = 0; i < regs_.size(); ++i)
    if (name == regs_[i].name) return peek(static_cast<unsigned>(i));
  return 0;
}

}  // namespace vboard::periph

// ------------------------------------------------------------------ state

namespace vboard::periph {

void IrqMux::state(StateVisitor& v) { v("sources", state_); }

// The pin watcher and the bus are wiring; the next IRQ source bit is handed
// out while the models are built.
void Context::state(StateVisitor& v) {
  v("findings", findings);
  v("irq", irq);
  v("epoch", epoch);
  v.expect("next_irq_source", next_irq_source);
}

void RegBlock::state(StateVisitor& v) {
  for (size_t i = 0; i < regs_.size(); ++i) v(regs_[i].name, val_[i]);
}

}  // namespace vboard::periph
