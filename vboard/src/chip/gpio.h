// GPIO ports with pad levels, SYSCFG (EXTI routing) and the EXTI edge detector.
#pragma once

#include "chip/regblock.h"

namespace vboard::periph {

class Syscfg : public RegBlock {
 public:
  Syscfg(Context& ctx, const desc::Peripheral& where);
  // Port (0 = A ... 6 = G) routed to EXTI line 0..15.
  unsigned port_for_line(unsigned line) const;
};

class Exti : public RegBlock {
 public:
  Exti(Context& ctx, const desc::Peripheral& where, const Syscfg& syscfg);
  // A pad of port `port` (0 = A) changed level.
  void pad_edge(unsigned port, unsigned pin, bool rising);
  // Whether any edge of that pad can latch a pending bit (its line is routed
  // to the port and has an edge trigger).
  bool watches(unsigned port, unsigned pin) const;

 protected:
  void on_write(unsigned idx, uint32_t value, uint32_t lanes) override;

 private:
  void update_lines();
  const Syscfg& syscfg_;
  // NVIC line and the EXTI lines (pending bits) that raise it.
  std::vector<std::pair<unsigned, uint32_t>> irq_masks_;
};

// PWM periods of a timer output whose compare values a DMA channel streams
// from memory, told whole instead of edge by edge: the output rises at each
// period start and falls at its compare match, and a period with compare
// value 0 stays low. Times are exact: the period under way starts at base + q
// ns, and r (of den) is what rounding its tick up left over, which carries
// into its match and the next start as Timer::tick_time() rounds them.
struct PwmTrain {
  ns_t base = 0;
  uint64_t q = 0, r = 0;      // start of the period under way
  uint64_t pq = 0, pr = 0;    // length of a period, pq + pr / den ns
  uint64_t num = 1, den = 1;  // length of a timer tick, num / den ns
  uint32_t c = 0;             // compare value of the period under way (its start has passed)
  bool first_fall = false;    // the match of the period under way lowers the pad (else it is low)
  uint32_t n = 0;             // periods that end: their successors' compare values are at data
  const uint8_t* data = nullptr;
  uint32_t stride = 0, size = 1, keep = 0, mask = ~0u;  // item k: keep | (data[k * stride] & mask)

  uint32_t compare(uint32_t k) const {
    const uint8_t* d = data + static_cast<size_t>(k) * stride;
    uint32_t v = d[0];
    if (size >= 2) v |= static_cast<uint32_t>(d[1]) << 8;
    if (size == 4) v |= static_cast<uint32_t>(d[2]) << 16 | static_cast<uint32_t>(d[3]) << 24;
    return keep | (v & mask);
  }
  // The first item from k on (up to `end`) whose compare value is not `cv`.
  uint32_t same_until(uint32_t k, uint32_t end, uint32_t cv) const {
    if (size != 1) {
      while (k < end && compare(k) == cv) ++k;
      return k;
    }
    const uint8_t* d = data + static_cast<size_t>(k) * stride;
    if (stride == 1 && keep == 0 && (mask & 0xffu) == 0xffu && cv < 256) {  // items as they are: 8 at a time
      const uint64_t all = 0x0101010101010101ull * cv;
      for (uint64_t w = 0; k + 8 <= end; k += 8, d += 8)
        if (std::memcpy(&w, d, 8), w != all) break;
    }
    for (; k < end && (keep | (*d & mask)) == cv; ++k) d += stride;
    return k;
  }
  // The match of compare value `cv` in the period starting at (q, r).
  ns_t match(uint32_t cv, uint64_t at_q, uint64_t at_r) const {
    const auto x = static_cast<unsigned __int128>(cv) * num;
    const auto oq = static_cast<uint64_t>(x / den), orr = static_cast<uint64_t>(x % den);
    return base + at_q + oq + (at_r + orr >= den ? 1 : 0);
  }
  // Moves (q, r) on by k periods.
  void step(uint64_t k, uint64_t* at_q, uint64_t* at_r) const {
    const auto x = static_cast<unsigned __int128>(k) * pr + *at_r;
    *at_q += k * pq + static_cast<uint64_t>(x / den);
    *at_r = static_cast<uint64_t>(x % den);
  }
};

// Receives pad level changes of one pin (a part of the board watching a line).
class PinListener {
 public:
  virtual ~PinListener() = default;
  virtual void pin_changed(int level, ns_t t) = 0;
  // A run of changes in time order.
  virtual void pin_changes(const PinChange* c, size_t n) {
    for (size_t i = 0; i < n; ++i) pin_changed(c[i].level, c[i].t);
  }
  // Whether it takes PWM periods whole (pin_train) when nothing else needs the edges.
  virtual bool takes_trains() const { return false; }
  // The same as the train's edges through pin_changes().
  virtual void pin_train(const PwmTrain& t) { (void)t; }
};

// A peripheral output that a pad can select as alternate function.
class AfSource {
 public:
  virtual ~AfSource() = default;
  virtual int af_level(unsigned channel) const = 0;
};

class Gpio : public RegBlock {
 public:
  Gpio(Context& ctx, const desc::Peripheral& where, unsigned port);
  unsigned port() const { return port_; }
  void set_exti(Exti* exti) { exti_ = exti; }
  // External driver on a pin: 0/1 drive, -1 releases to the pull.
  void set_external(unsigned pin, int level, ns_t t);
  // Wires alternate function `af` of `pin` to channel `ch` of `src`.
  void connect_af(unsigned pin, unsigned af, AfSource* src, unsigned ch);
  // Whether alternate function `af` of `pin` has a modelled output.
  bool af_connected(unsigned pin, unsigned af) const { return af_src_[pin][af] != nullptr; }
  // The connected source changed its output level.
  void af_output(unsigned pin, int level, ns_t t) {
    if ((af_live_ >> pin) & 1u) drive_pad(pin, level, t);
  }
  // The same for a run of changes in time order (a timer working off many periods).
  void af_outputs(unsigned pin, const PinChange* c, size_t n);
  // Whether the output of `pin` may be handed over as PWM periods (af_train):
  // its pad is at `level` and only its listener looks at its edges (no pin
  // watcher, no EXTI line, the kept history full) and takes them so.
  bool takes_train(unsigned pin, int level) const;
  // Whether the pad of `pin` follows its connected source now.
  bool af_live(unsigned pin) const { return (af_live_ >> pin) & 1u; }
  // A train of `edges` changes, the last at `last_t` leaving the pad at `level`.
  void af_train(unsigned pin, const PwmTrain& t, uint64_t edges, ns_t last_t, int level);
  void set_listener(unsigned pin, PinListener* l) { listeners_[pin] = l; }
  bool has_listener(unsigned pin) const { return listeners_[pin] != nullptr; }
  int pad(unsigned pin) const { return (pads_ >> pin) & 1u; }
  // History per touched pin: the level at reset (t = 0), then its changes; the
  // first kHistoryKept changes are kept, history_total() counts every entry.
  std::map<std::string, std::vector<PinChange>> history() const;
  std::map<std::string, uint64_t> history_total() const;
  static constexpr size_t kHistoryKept = 20'000;  // per pin (PA7 changes 1.4 M times a second)
  uint64_t changes(unsigned pin) const { return change_count_[pin]; }
  // Exact for the whole run: level now, last change and changes after t = 0.
  PinState state(unsigned pin) const { return {pad(pin), last_change_[pin], hist_total_[pin]}; }
  bool touched(unsigned pin) const { return (touched_ >> pin) & 1u; }
  // Its mutable state, for saving, loading and comparing (vboard/state.h).
  void state(StateVisitor& v) override;

 protected:
  void on_write(unsigned idx, uint32_t value, uint32_t lanes) override;
  uint32_t peek(unsigned idx) const override;

 private:
  int level_of(unsigned pin) const;
  unsigned af_of(unsigned pin) const;  // the alternate function AFRL/AFRH selects for `pin`
  void refresh(ns_t t);
  void drive_pad(unsigned pin, int level, ns_t t);
  unsigned port_;
  Exti* exti_ = nullptr;
  uint32_t pads_ = 0;
  uint32_t touched_ = 0;
  uint32_t af_live_ = 0;  // pins whose pad currently follows their connected source
  std::array<int, 16> ext_{};
  std::array<std::array<AfSource*, 16>, 16> af_src_{};  // [pin][af]
  std::array<std::array<unsigned, 16>, 16> af_ch_{};
  std::array<PinListener*, 16> listeners_{};
  std::string pin_name(unsigned pin) const;
  std::array<std::vector<PinChange>, 16> hist_;  // changes after t = 0 (the first kHistoryKept)
  std::array<int, 16> level_at_zero_{};          // level at reset, or as changed at t = 0
  std::array<uint64_t, 16> change_count_{};
  std::array<uint64_t, 16> hist_total_{};  // changes after t = 0, kept or not
  std::array<ns_t, 16> last_change_{};     // time of the last change after t = 0
};

}  // namespace vboard::periph
