// GPIO ports with pad levels, SYSCFG (EXTI routing) and the EXTI edge detector.
#include <algorithm>

#include "chip/gpio.h"
#include "vboard/state.h"

namespace vboard::periph {

// ---------------------------------------------------------------- GPIO

namespace {
// Values of MODERx and PUPDRx (the vendor's description has no names for them).
constexpr unsigned kModeOutput = 1, kModeAlternate = 2, kModeAnalog = 3;
constexpr unsigned kPullUp = 1;
// One bit per pin of a port (OTYPER, IDR, ODR, BRR; BSRR's set half).
constexpr uint32_t kPins = Field{0, 16}.mask();

unsigned mode_of(uint32_t moder, unsigned pin) { return gpio::moder::MODERx(pin).get(moder); }

std::vector<RegDef> gpio_regs(uint32_t moder, uint32_t ospeedr, uint32_t pupdr) {
  using namespace gpio;
  return {
      {.name = "MODER", .offset = MODER, .reset = moder, .rw = kWord},
      {.name = "OTYPER", .offset = OTYPER, .reset = 0, .rw = kPins},
      {.name = "OSPEEDR", .offset = OSPEEDR, .reset = ospeedr, .rw = kWord},
      {.name = "PUPDR", .offset = PUPDR, .reset = pupdr, .rw = kWord},
      {.name = "IDR", .offset = IDR, .reset = 0, .ro = kPins},
      {.name = "ODR", .offset = ODR, .reset = 0, .rw = kPins},
      {.name = "BSRR", .offset = BSRR, .reset = 0, .wo = kWord},
      {.name = "LCKR", .offset = LCKR, .reset = 0, .rw = kPins | lckr::LCKK.mask()},
      {.name = "AFRL", .offset = AFRL, .reset = 0, .rw = kWord},
      {.name = "AFRH", .offset = AFRH, .reset = 0, .rw = kWord},
      {.name = "BRR", .offset = BRR, .reset = 0, .wo = kPins},
  };
}
}  // namespace

unsigned Gpio::af_of(unsigned pin) const {
  return pin < 8 ? gpio::afrl::AFRLx(pin).get(val(gpio::AFRL)) : gpio::afrh::AFRHx(pin).get(val(gpio::AFRH));
}

Gpio::Gpio(Context& ctx, const desc::Peripheral& where, unsigned port)
    : RegBlock(ctx, where,
               gpio_regs(desc::ports()[port].moder_reset, desc::ports()[port].ospeedr_reset,
                         desc::ports()[port].pupdr_reset)),
      port_(port) {
  ext_.fill(-1);
  for (unsigned p = 0; p < 16; ++p) {
    level_at_zero_[p] = level_of(p);
    pads_ |= static_cast<uint32_t>(level_at_zero_[p]) << p;
  }
}

int Gpio::level_of(unsigned pin) const {
  const unsigned mode = mode_of(val(gpio::MODER), pin);
  const unsigned pupd = gpio::pupdr::PUPDRx(pin).get(val(gpio::PUPDR));
  // Nothing drives the line: the pull decides; a floating line is taken as low.
  const int released = ext_[pin] >= 0 ? ext_[pin] : (pupd == kPullUp ? 1 : 0);
  const bool open_drain = gpio::otyper::OTx(pin).test(val(gpio::OTYPER));
  switch (mode) {
    case kModeOutput: {
      const int out = static_cast<int>(gpio::odr::ODRx(pin).get(val(gpio::ODR)));
      return (open_drain && out) ? released : out;
    }
    case kModeAlternate: {
      const unsigned af = af_of(pin);
      if (const AfSource* src = af_src_[pin][af]) {
        const int out = src->af_level(af_ch_[pin][af]);
        return (open_drain && out) ? released : out;
      }
      return released;  // alternate function without a modelled output (e.g. a receive line)
    }
    case 3:
      return ext_[pin] >= 0 ? ext_[pin] : 0;  // analog: pulls are off; IDR reads 0 (see peek)
    default:
      return released;
  }
}

void Gpio::drive_pad(unsigned pin, int level, ns_t t) {
  if (((pads_ >> pin) & 1u) == static_cast<uint32_t>(level)) return;
  pads_ ^= 1u << pin;
  touched_ |= 1u << pin;
  ++change_count_[pin];
  if (t == 0) {
    level_at_zero_[pin] = level;  // a change at t = 0 is the initial level
  } else {
    if (++hist_total_[pin] <= kHistoryKept) hist_[pin].push_back({t, level});
    last_change_[pin] = t;
  }
  if (ctx_.watcher) ctx_.watcher->pin_changed(16 * port_ + pin, t, level);
  if (listeners_[pin]) listeners_[pin]->pin_changed(level, t);
  if (exti_) exti_->pad_edge(port_, pin, level != 0);
}

// drive_pad for each change of a run, with what does not change within the run
// (listener, EXTI routing, watcher) looked at once: the history takes the run
// in one copy, and only a watcher or an EXTI line routed to the pin needs to
// see the changes one by one.
void Gpio::af_outputs(unsigned pin, const PinChange* c, size_t n) {
  if (!((af_live_ >> pin) & 1u) || n == 0) return;
  size_t first = 0;
  while (first < n && static_cast<uint32_t>(c[first].level) == ((pads_ >> pin) & 1u)) ++first;
  if (first == n) return;
  // The timer hands over changes only: from `first` on every entry toggles the pad.
  touched_ |= 1u << pin;
  pads_ = (pads_ & ~(1u << pin)) | (static_cast<uint32_t>(c[n - 1].level) << pin);
  change_count_[pin] += n - first;
  size_t later = first;  // times never decrease: changes at t = 0 come first
  while (later < n && c[later].t == 0) level_at_zero_[pin] = c[later++].level;
  const uint64_t kept = std::min<uint64_t>(hist_total_[pin], kHistoryKept);
  const size_t room = static_cast<size_t>(kHistoryKept - kept);
  hist_[pin].insert(hist_[pin].end(), c + later, c + later + std::min(room, n - later));
  hist_total_[pin] += n - later;
  if (later < n) last_change_[pin] = c[n - 1].t;
  const bool exti = exti_ && exti_->watches(port_, pin);
  if (exti) {
    for (size_t i = first; i < n; ++i) {
      if (ctx_.watcher) ctx_.watcher->pin_changed(16 * port_ + pin, c[i].t, c[i].level);
      exti_->pad_edge(port_, pin, c[i].level != 0);
    }
  } else if (ctx_.watcher) {
    ctx_.watcher->pin_changes(16 * port_ + pin, c + first, n - first);
  }
  if (listeners_[pin]) listeners_[pin]->pin_changes(c + first, n - first);
}

bool Gpio::takes_train(unsigned pin, int level) const {
  return ((af_live_ >> pin) & 1u) && pad(pin) == level && !ctx_.watcher &&
         !(exti_ && exti_->watches(port_, pin)) && hist_total_[pin] >= kHistoryKept && listeners_[pin] &&
         listeners_[pin]->takes_trains();
}

// af_outputs() for changes that only the listener sees: the history is full,
// so it only counts them.
void Gpio::af_train(unsigned pin, const PwmTrain& t, uint64_t edges, ns_t last_t, int level) {
  if (edges == 0) return;
  pads_ = (pads_ & ~(1u << pin)) | (static_cast<uint32_t>(level) << pin);
  change_count_[pin] += edges;
  hist_total_[pin] += edges;
  last_change_[pin] = last_t;
  listeners_[pin]->pin_train(t);
}

void Gpio::refresh(ns_t t) {
  af_live_ = 0;
  for (unsigned p = 0; p < 16; ++p) {
    const bool open_drain = gpio::otyper::OTx(p).test(val(gpio::OTYPER));
    if (mode_of(val(gpio::MODER), p) == kModeAlternate && af_src_[p][af_of(p)] && !open_drain)
      af_live_ |= 1u << p;
    drive_pad(p, level_of(p), t);
  }
}

void Gpio::set_external(unsigned pin, int level, ns_t t) {
  // A push-pull output drives the line: from ODR, or from its alternate function (a timer channel).
  const unsigned mode = mode_of(val(gpio::MODER), pin);
  const bool push_pull = !gpio::otyper::OTx(pin).test(val(gpio::OTYPER));
  const AfSource* af = mode == kModeAlternate ? af_src_[pin][af_of(pin)] : nullptr;
  const bool push_pull_out = push_pull && (mode == kModeOutput || af);
  const int driven =
      af ? af->af_level(af_ch_[pin][af_of(pin)]) : static_cast<int>(gpio::odr::ODRx(pin).get(val(gpio::ODR)));
  if (push_pull_out && level >= 0 && level != driven)
    ctx_.findings.add(chip::diag::kPinContention,
                      "P" + std::string(1, static_cast<char>('A' + port_)) + std::to_string(pin), t,
                      "driven from outside against its push-pull output");
  ext_[pin] = level;
  touched_ |= 1u << pin;
  drive_pad(pin, level_of(pin), t);
}

void Gpio::connect_af(unsigned pin, unsigned af, AfSource* src, unsigned ch) {
  af_src_[pin][af] = src;
  af_ch_[pin][af] = ch;
}

uint32_t Gpio::peek(unsigned idx) const {
  switch (offset_of(idx)) {
    case gpio::IDR: {
      uint32_t analog = 0;
      for (unsigned p = 0; p < 16; ++p)
        if (mode_of(val(gpio::MODER), p) == kModeAnalog) analog |= gpio::idr::IDRx(p).mask();
      return pads_ & ~analog & kPins;
    }
    case gpio::BSRR:
    case gpio::BRR:
      return 0;
    default:
      return val_[idx];
  }
}

// The field of pin `p` in the configuration register at `offset` (none: 0).
static uint32_t pin_field(uint32_t offset, unsigned p) {
  switch (offset) {
    case gpio::MODER:
      return gpio::moder::MODERx(p).mask();
    case gpio::PUPDR:
      return gpio::pupdr::PUPDRx(p).mask();
    case gpio::OTYPER:
      return gpio::otyper::OTx(p).mask();
    case gpio::AFRL:
      return p < 8 ? gpio::afrl::AFRLx(p).mask() : 0;
    case gpio::AFRH:
      return p >= 8 ? gpio::afrh::AFRHx(p).mask() : 0;
    default:
      return 0;
  }
}

void Gpio::on_write(unsigned idx, uint32_t value, uint32_t lanes) {
  const uint32_t v = value & lanes;
  const uint32_t off = offset_of(idx);
  switch (off) {
    case gpio::BSRR: {
      // Set wins over reset.
      const uint32_t set_bits = v & kPins, reset_bits = (v & ~kPins) >> gpio::bsrr::BRx(0).pos;
      set(gpio::ODR, (val(gpio::ODR) & ~reset_bits) | set_bits);
      break;
    }
    case gpio::BRR:
      set(gpio::ODR, val(gpio::ODR) & ~(v & kPins));
      break;
    case gpio::IDR:
      return;
    case gpio::MODER:
    case gpio::OTYPER:
    case gpio::PUPDR:
    case gpio::AFRL:
    case gpio::AFRH: {
      const uint32_t old = val_[idx];
      plain_write(idx, value, lanes);
      const uint32_t diff = old ^ val_[idx];
      // Mark the pins whose configuration changed.
      for (unsigned p = 0; p < 16; ++p)
        if (diff & pin_field(off, p)) touched_ |= 1u << p;
      break;
    }
    default:
      plain_write(idx, value, lanes);
  }
  refresh(now());
}

std::string Gpio::pin_name(unsigned pin) const {
  std::string n = "P";
  n += static_cast<char>('A' + port_);
  return n + std::to_string(pin);
}

std::map<std::string, std::vector<PinChange>> Gpio::history() const {
  std::map<std::string, std::vector<PinChange>> out;
  for (unsigned p = 0; p < 16; ++p) {
    if (!((touched_ >> p) & 1u)) continue;
    std::vector<PinChange> h;
    h.reserve(hist_[p].size() + 1);
    h.push_back({0, level_at_zero_[p]});
    h.insert(h.end(), hist_[p].begin(), hist_[p].end());
    out.emplace(pin_name(p), std::move(h));
  }
  return out;
}

std::map<std::string, uint64_t> Gpio::history_total() const {
  std::map<std::string, uint64_t> out;
  for (unsigned p = 0; p < 16; ++p)
    if ((touched_ >> p) & 1u) out.emplace(pin_name(p), hist_total_[p] + 1);
  return out;
}

// ---------------------------------------------------------------- SYSCFG

Syscfg::Syscfg(Context& ctx, const desc::Peripheral& where)
    : RegBlock(ctx, where,
               {
                   {.name = "MEMRMP", .offset = syscfg::MEMRMP, .reset = 0, .rw = syscfg::memrmp::kFields},
                   {.name = "CFGR1",
                    .offset = syscfg::CFGR1,
                    .reset = syscfg::cfgr1::kReset,
                    .rw = syscfg::cfgr1::kFields},
                   {.name = "EXTICR1", .offset = syscfg::EXTICR1, .reset = 0, .rw = kPins},
                   {.name = "EXTICR2", .offset = syscfg::EXTICR2, .reset = 0, .rw = kPins},
                   {.name = "EXTICR3", .offset = syscfg::EXTICR3, .reset = 0, .rw = kPins},
                   {.name = "EXTICR4", .offset = syscfg::EXTICR4, .reset = 0, .rw = kPins},
                   {.name = "SCSR",
                    .offset = syscfg::SCSR,
                    .reset = 0,
                    .rw = syscfg::scsr::kWritable,
                    .ro = syscfg::scsr::kReadOnly},
                   {.name = "CFGR2", .offset = syscfg::CFGR2, .reset = 0, .rw = syscfg::cfgr2::kFields},
                   {.name = "SWPR", .offset = syscfg::SWPR, .reset = 0, .rw = kWord},
                   {.name = "SKR", .offset = syscfg::SKR, .reset = 0, .wo = syscfg::skr::kFields},
               }) {}

unsigned Syscfg::port_for_line(unsigned line) const {
  // EXTICR1..EXTICR4 each route four lines, laid out alike.
  return syscfg::exticr1::EXTIx(line % 4).get(val(syscfg::EXTICRx(line / 4 + 1)));
}

// ---------------------------------------------------------------- EXTI

Exti::Exti(Context& ctx, const desc::Peripheral& where, const Syscfg& syscfg)
    : RegBlock(
          ctx, where,
          {
              {.name = "IMR1", .offset = exti::IMR1, .reset = exti::imr1::kReset, .rw = kWord},
              {.name = "EMR1", .offset = exti::EMR1, .reset = 0, .rw = kWord},
              {.name = "RTSR1", .offset = exti::RTSR1, .reset = 0, .rw = exti::rtsr1::kFields},
              {.name = "FTSR1", .offset = exti::FTSR1, .reset = 0, .rw = exti::ftsr1::kFields},
              {.name = "SWIER1", .offset = exti::SWIER1, .reset = 0, .rw = exti::swier1::kFields},
              {.name = "PR1", .offset = exti::PR1, .reset = 0, .w1c = exti::pr1::kFields},
              {.name = "IMR2", .offset = exti::IMR2, .reset = exti::imr2::kReset, .rw = exti::imr2::kFields},
              {.name = "EMR2", .offset = exti::EMR2, .reset = 0, .rw = exti::emr2::kFields},
              {.name = "RTSR2", .offset = exti::RTSR2, .reset = 0, .rw = exti::rtsr2::kFields},
              {.name = "FTSR2", .offset = exti::FTSR2, .reset = 0, .rw = exti::ftsr2::kFields},
              {.name = "SWIER2", .offset = exti::SWIER2, .reset = 0, .rw = exti::swier2::kFields},
              {.name = "PR2", .offset = exti::PR2, .reset = 0, .w1c = exti::pr2::kFields},
          }),
      syscfg_(syscfg) {
  for (const desc::IrqLine& l : where.irqs) {
    uint32_t mask = 0;
    for (unsigned line = l.first; line <= l.last && line < 32; ++line) mask |= 1u << line;
    irq_masks_.emplace_back(l.irq, mask);
  }
}

void Exti::pad_edge(unsigned port, unsigned pin, bool rising) {
  if (pin > 15 || syscfg_.port_for_line(pin) != port) return;
  const uint32_t bit = exti::pr1::PIFx(pin).mask();
  if (!(val(rising ? exti::RTSR1 : exti::FTSR1) & bit)) return;
  // The pending bit latches whatever the mask; the mask only gates the interrupt.
  if (val(exti::PR1) & bit) return;
  set(exti::PR1, val(exti::PR1) | bit);
  update_lines();
}

bool Exti::watches(unsigned port, unsigned pin) const {
  return pin <= 15 && syscfg_.port_for_line(pin) == port &&
         exti::rtsr1::RTx(pin).test(val(exti::RTSR1) | val(exti::FTSR1));
}

void Exti::on_write(unsigned idx, uint32_t value, uint32_t lanes) {
  const uint32_t v = value & lanes;
  // PRx and SWIERx of bank 2 lie as far from bank 1's as each other.
  constexpr uint32_t kBank = exti::PRx(2) - exti::PRx(1);
  static_assert(exti::SWIERx(2) - exti::SWIERx(1) == kBank);
  const uint32_t off = offset_of(idx);
  switch (off) {
    case exti::PR1:
    case exti::PR2: {
      const uint32_t clr = v & regs_[idx].w1c;
      plain_write(idx, value, lanes);  // pending flags: a 1 clears
      const uint32_t swier = exti::SWIERx(off == exti::PR1 ? 1 : 2);
      set(swier, val(swier) & ~clr);
      break;
    }
    case exti::SWIER1:
    case exti::SWIER2: {
      const uint32_t old = val_[idx];
      plain_write(idx, value, lanes);
      const uint32_t pr = exti::PRx(off == exti::SWIER1 ? 1 : 2);
      set(pr, val(pr) | (val_[idx] & ~old));
      break;
    }
    default:
      plain_write(idx, value, lanes);
  }
  update_lines();
}

void Exti::update_lines() {
  const uint32_t p = val(exti::PR1) & val(exti::IMR1);
  for (const auto& [irq, mask] : irq_masks_) ctx_.irq.set(irq, irq_src_, (p & mask) != 0);
}

}  // namespace vboard::periph

// ------------------------------------------------------------------ state

namespace vboard::periph {

// The alternate-function sources and pin listeners are wiring.
void Gpio::state(StateVisitor& v) {
  RegBlock::state(v);
  v("pads", pads_);
  v("touched", touched_);
  v("af_live", af_live_);
  v("ext", ext_);
  v("hist", hist_);
  v("level_at_zero", level_at_zero_);
  v("change_count", change_count_);
  v("hist_total", hist_total_);
  v("last_change", last_change_);
}

}  // namespace vboard::periph
