// GPIO ports with pad levels, SYSCFG (EXTI routing) and the EXTI edge detector.
#include <algorithm>

#include "chip/gpio.h"

namespace vboard::periph {

// ---------------------------------------------------------------- GPIO

namespace {
enum GpioReg : unsigned { kMODER, kOTYPER, kOSPEEDR, kPUPDR, kIDR, kODR, kBSRR, kLCKR, kAFRL, kAFRH, kBRR };

std::vector<RegDef> gpio_regs(uint32_t moder, uint32_t ospeedr, uint32_t pupdr) {
  return {
      {"MODER", 0x00, moder, 0xFFFFFFFF},
      {"OTYPER", 0x04, 0, 0xFFFF},
      {"OSPEEDR", 0x08, ospeedr, 0xFFFFFFFF},
      {"PUPDR", 0x0C, pupdr, 0xFFFFFFFF},
      {"IDR", 0x10, 0, 0, 0xFFFF},
      {"ODR", 0x14, 0, 0xFFFF},
      {.name = "BSRR", .offset = 0x18, .reset = 0, .wo = 0xFFFFFFFF},
      {"LCKR", 0x1C, 0, 0x1FFFF},
      {"AFRL", 0x20, 0, 0xFFFFFFFF},
      {"AFRH", 0x24, 0, 0xFFFFFFFF},
      {.name = "BRR", .offset = 0x28, .reset = 0, .wo = 0xFFFF},
  };
}
}  // namespace

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
  const unsigned mode = (val_[kMODER] >> (2 * pin)) & 3u;
  const unsigned pupd = (val_[kPUPDR] >> (2 * pin)) & 3u;
  // Nothing drives the line: the pull decides; a floating line is taken as low.
  const int released = ext_[pin] >= 0 ? ext_[pin] : (pupd == 1 ? 1 : 0);
  const bool open_drain = (val_[kOTYPER] >> pin) & 1u;
  switch (mode) {
    case 1: {
      const int out = (val_[kODR] >> pin) & 1u;
      return (open_drain && out) ? released : out;
    }
    case 2: {
      const unsigned af = (val_[pin < 8 ? kAFRL : kAFRH] >> (4 * (pin % 8))) & 0xFu;
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
  if (ctx_.watcher || exti) {
    for (size_t i = first; i < n; ++i) {
      if (ctx_.watcher) ctx_.watcher->pin_changed(16 * port_ + pin, c[i].t, c[i].level);
      if (exti) exti_->pad_edge(port_, pin, c[i].level != 0);
    }
  }
  if (listeners_[pin]) listeners_[pin]->pin_changes(c + first, n - first);
}

void Gpio::refresh(ns_t t) {
  af_live_ = 0;
  for (unsigned p = 0; p < 16; ++p) {
    const unsigned mode = (val_[kMODER] >> (2 * p)) & 3u;
    const unsigned af = (val_[p < 8 ? kAFRL : kAFRH] >> (4 * (p % 8))) & 0xFu;
    if (mode == 2 && af_src_[p][af] && !((val_[kOTYPER] >> p) & 1u)) af_live_ |= 1u << p;
    drive_pad(p, level_of(p), t);
  }
}

void Gpio::set_external(unsigned pin, int level, ns_t t) {
  const bool push_pull_out = ((val_[kMODER] >> (2 * pin)) & 3u) == 1u && !((val_[kOTYPER] >> pin) & 1u);
  if (push_pull_out && level >= 0 && static_cast<uint32_t>(level) != ((val_[kODR] >> pin) & 1u))
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
  if (idx == kIDR) {
    uint32_t analog = 0;
    for (unsigned p = 0; p < 16; ++p)
      if (((val_[kMODER] >> (2 * p)) & 3u) == 3u) analog |= 1u << p;
    return pads_ & ~analog & 0xFFFFu;
  }
  if (idx == kBSRR || idx == kBRR) return 0;
  return val_[idx];
}

void Gpio::on_write(unsigned idx, uint32_t value, uint32_t lanes) {
  const uint32_t v = value & lanes;
  switch (idx) {
    case kBSRR:
      val_[kODR] = (val_[kODR] & ~(v >> 16)) | (v & 0xFFFFu);  // set wins over reset
      break;
    case kBRR:
      val_[kODR] &= ~(v & 0xFFFFu);
      break;
    case kIDR:
      return;
    case kMODER:
    case kOTYPER:
    case kPUPDR:
    case kAFRL:
    case kAFRH: {
      const uint32_t old = val_[idx];
      plain_write(idx, value, lanes);
      const uint32_t diff = old ^ val_[idx];
      // Mark the pins whose configuration changed.
      for (unsigned p = 0; p < 16; ++p) {
        uint32_t field = 0;
        if (idx == kMODER || idx == kPUPDR) field = 3u << (2 * p);
        if (idx == kOTYPER) field = 1u << p;
        if (idx == kAFRL && p < 8) field = 0xFu << (4 * p);
        if (idx == kAFRH && p >= 8) field = 0xFu << (4 * (p - 8));
        if (diff & field) touched_ |= 1u << p;
      }
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
                   {"MEMRMP", 0x000, 0, 0x00000107},
                   {"CFGR1", 0x004, 0x7C000001, 0xFCFF0300},
                   {"EXTICR1", 0x008, 0, 0xFFFF},
                   {"EXTICR2", 0x00C, 0, 0xFFFF},
                   {"EXTICR3", 0x010, 0, 0xFFFF},
                   {"EXTICR4", 0x014, 0, 0xFFFF},
                   {"SCSR", 0x018, 0, 0x1, 0x2},
                   {"CFGR2", 0x01C, 0, 0x10F},
                   {"SWPR", 0x020, 0, 0xFFFFFFFF},
                   {.name = "SKR", .offset = 0x024, .reset = 0, .wo = 0xFF},
               }) {}

// ---------------------------------------------------------------- EXTI

namespace {
enum ExtiReg : unsigned {
  kIMR1,
  kEMR1,
  kRTSR1,
  kFTSR1,
  kSWIER1,
  kPR1,
  kIMR2,
  kEMR2,
  kRTSR2,
  kFTSR2,
  kSWIER2,
  kPR2
};
}

Exti::Exti(Context& ctx, const desc::Peripheral& where, const Syscfg& syscfg)
    : RegBlock(ctx, where,
               {
                   {"IMR1", 0x000, 0xFF820000, 0xFFFFFFFF},
                   {"EMR1", 0x004, 0, 0xFFFFFFFF},
                   {"RTSR1", 0x008, 0, 0xE07DFFFF},
                   {"FTSR1", 0x00C, 0, 0x007DFFFF},
                   {"SWIER1", 0x010, 0, 0x007DFFFF},
                   {.name = "PR1", .offset = 0x014, .reset = 0, .w1c = 0xE07FFFFF},
                   {"IMR2", 0x020, 0xFFFFFF87, 0x00000FFF},
                   {"EMR2", 0x024, 0, 0x000001FF},
                   {"RTSR2", 0x028, 0, 0x000003C3},
                   {"FTSR2", 0x02C, 0, 0x00000078},
                   {"SWIER2", 0x030, 0, 0x00000078},
                   {.name = "PR2", .offset = 0x034, .reset = 0, .w1c = 0x00000078},
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
  const uint32_t bit = 1u << pin;
  if (!(val_[rising ? kRTSR1 : kFTSR1] & bit)) return;
  // The pending bit latches whatever the mask; the mask only gates the interrupt.
  if (val_[kPR1] & bit) return;
  val_[kPR1] |= bit;
  update_lines();
}

bool Exti::watches(unsigned port, unsigned pin) const {
  return pin <= 15 && syscfg_.port_for_line(pin) == port && ((val_[kRTSR1] | val_[kFTSR1]) >> pin) & 1u;
}

void Exti::on_write(unsigned idx, uint32_t value, uint32_t lanes) {
  const uint32_t v = value & lanes;
  switch (idx) {
    case kPR1:
    case kPR2: {
      const uint32_t clr = v & regs_[idx].w1c;
      plain_write(idx, value, lanes);  // pending flags: a 1 clears
      val_[idx == kPR1 ? kSWIER1 : kSWIER2] &= ~clr;
      break;
    }
    case kSWIER1:
    case kSWIER2: {
      const uint32_t old = val_[idx];
      plain_write(idx, value, lanes);
      val_[idx == kSWIER1 ? kPR1 : kPR2] |= val_[idx] & ~old;
      break;
    }
    default:
      plain_write(idx, value, lanes);
  }
  update_lines();
}

void Exti::update_lines() {
  const uint32_t p = val_[kPR1] & val_[kIMR1];
  for (const auto& [irq, mask] : irq_masks_) ctx_.irq.set(irq, irq_src_, (p & mask) != 0);
}

}  // namespace vboard::periph

// ------------------------------------------------------------------ state
#include "vboard/state.h"

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
