// Up-counting timers, computed lazily from virtual time.
#pragma once

#include "chip/dma_request.h"
#include "chip/gpio.h"

namespace vboard::periph {

class Dmamux;
class Dma;

// A timer's description entry in the form the model works with.
struct TimerInfo {
  explicit TimerInfo(const desc::Peripheral& p);
  const char* name;
  unsigned channels;  // capture/compare channels with outputs
  bool bits32;
  bool has_rcr;
  bool has_break;  // main output enable (BDTR.MOE) gates the outputs
  // IRQ lines: update, capture/compare, trigger/commutation, break.
  std::array<unsigned, 4> irq{};
  // DMAMUX request ids: update, CC1..CC4 (0: none).
  unsigned req_up = 0;
  std::array<unsigned, 4> req_cc{};
};

// Up-counting timer (basic, general purpose, advanced) computed lazily from time.
class Timer : public RegBlock, public AfSource, public RequestSource {
 public:
  Timer(Context& ctx, const desc::Peripheral& where, const ClockTree& clocks, Dmamux* mux);
  const TimerInfo& info() const { return info_; }
  // The timer clock changed at t (RCC): count with the new rate from t on.
  void clock_changed(ns_t t);
  // Channel `ch`'s output reaches `pin` of `gpio` (one of the pins that can carry it).
  void connect_output(unsigned ch, Gpio* gpio, unsigned pin);
  uint32_t counter_at(ns_t t) const;
  // Off: every PWM period is worked off event by event (the reference the
  // whole-period path is checked against).
  void set_whole_periods(bool on) { whole_periods_ = on; }
  // A deliberately broken variant for the model tests to catch: every compare
  // value is taken as preloaded, whatever OCxPE says (never a run option).
  void set_compare_always_preloaded(bool on) {
    compare_always_preloaded_ = on;
    decode_config();
  }

  int af_level(unsigned channel) const override { return (out_levels_ >> channel) & 1u; }
  void sync(ns_t t) override { process(t); }
  ns_t request_time(unsigned req, uint64_t k) const override;
  ns_t next_event() const override;
  // Level of OCxREF in output compare mode `mode` for the counter at `cnt`, for
  // the modes that depend on the counter only (others keep `old`).
  static int level_for(unsigned mode, uint32_t cnt, uint32_t ccr, int old);
  // Its mutable state, for saving, loading and comparing (vboard/state.h).
  void state(StateVisitor& v) override;

 protected:
  uint32_t on_read(unsigned idx) override;
  void on_write(unsigned idx, uint32_t value, uint32_t lanes) override;
  uint32_t peek(unsigned idx) const override;
  void on_advance(ns_t now) override { process(now); }

 private:
  void process(ns_t t);
  void start(ns_t t);
  void rebase(ns_t t, uint32_t cnt);
  void load_rate();
  ns_t tick_time(uint64_t tick) const;
  uint64_t ticks_at(ns_t t) const;
  uint32_t top() const { return cyc_cnt0_ <= arr_act_ ? arr_act_ : cnt_max_; }
  void overflow(uint64_t tick, ns_t t);
  void update_event(ns_t t, bool from_ug);
  void matches(uint32_t value, ns_t t);
  bool oc_preload(unsigned ch) const;
  void set_ref(unsigned ch, int ref, ns_t t);
  void refresh_outputs(ns_t t);
  void update_irq();
  void set_flags(uint32_t bits);
  void decode_config();
  void compare_written(unsigned ch, ns_t t);
  void generate(uint32_t v, ns_t t);
  bool dma_fed_channel(unsigned* ch, Dma** dma, unsigned* dch) const;
  bool pwm_periods(ns_t t);
  struct OutPin {
    Gpio* gpio;
    unsigned pin;
  };
  // Time offsets of compare values within a period (quotient and remainder of
  // c * num_ / den_), kept while the rate stays: a DMA-fed stream uses a few.
  struct Offset {
    uint64_t tag = 0;  // compare value + 1; 0: empty
    uint64_t q = 0, r = 0;
  };
  static constexpr uint32_t kOffsetSlots = 256;
  // State of a run of whole periods (pwm_periods).
  struct PwmPass {
    ns_t base = 0;
    uint64_t q = 0, r = 0, pq = 0, pr = 0;  // period start and length as quotient and remainder
    uint32_t c = 0, keep = 0, wmask = 0, arr = 0;
    int out = 0, at_match = 0, at_start = 0;
    PinChange* batch = nullptr;
    Offset* offsets = nullptr;
    uint32_t lit = 0, last_lit = 0;  // pwm_count(): periods with compare value not 0, the last of them
  };
  // What a run of periods makes of the output's changes: none (the output is
  // disabled), each change into the batch, or only their count (a PwmTrain).
  enum class Emit { kNone, kEdges, kCount };
  template <unsigned Size, bool Edges>
  uint32_t pwm_run(PwmPass& p, const uint8_t* data, uint32_t stride, uint32_t n);
  template <unsigned Size>
  uint32_t pwm_count(PwmPass& p, const uint8_t* data, uint32_t stride, uint32_t n);
  template <Emit E>
  uint32_t pwm_run_sized(PwmPass& p, const uint8_t* data, uint32_t size, uint32_t stride, uint32_t n);
  const OutPin* train_pin(unsigned ch, const PwmPass& p) const;
  // Hands the periods pwm_count() just worked off to the pin as a PwmTrain.
  void hand_train(const PwmPass& before, const PwmPass& p, const uint8_t* data, uint32_t k, uint32_t size,
                  uint32_t stride, const OutPin& o) const;
  void split(unsigned __int128 x, uint64_t* q, uint64_t* r) const;
  Offset* offsets_for_rate();

  TimerInfo info_;
  const ClockTree& clocks_;
  Dmamux* mux_;
  uint32_t cnt_max_;
  // Counting state: relative tick k happens at base_t_ + ceil(k * num_ / den_).
  bool run_ = false;
  uint64_t num_ = 1, den_ = 1, fast_limit_ = 0;
  ns_t base_t_ = 0;
  uint64_t cyc_tick_ = 0;  // tick at which the current cycle began
  uint32_t cyc_cnt0_ = 0;  // counter value at cyc_tick_
  uint64_t pos_ = 0;       // compare matches below this value are done in this cycle
  uint32_t stopped_cnt_ = 0;
  ns_t done_t_ = 0;
  bool busy_ = false;  // inside process(): register writes come from DMA at ev_t_
  ns_t ev_t_ = 0;
  uint32_t psc_act_ = 0, arr_act_ = 0, rep_left_ = 0;
  std::array<uint32_t, 4> ccr_act_{};
  std::array<int, 4> ref_{};
  uint32_t out_levels_ = 0;
  std::array<std::vector<OutPin>, 4> out_pins_;
  // Decoded configuration (refreshed on register writes).
  uint32_t cmp_mask_ = 0;     // channels in output-compare mode
  uint32_t out_en_mask_ = 0;  // channels whose output reaches the pin
  uint32_t dma_cc_mask_ = 0;
  std::array<unsigned, 4> mode_{};
  uint32_t preload_mask_ = 0;
  // Whole-period path: output changes of the fed channel, handed to the pin in runs.
  bool whole_periods_ = true;
  bool compare_always_preloaded_ = false;
  std::vector<PinChange> batch_;
  std::vector<Offset> offsets_;
  uint64_t offsets_num_ = 0, offsets_den_ = 0;
};

}  // namespace vboard::periph
