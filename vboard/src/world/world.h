// The world around the chip (signal sources on input pins, the WS2815 strip on
// the rear board's data line) and the board that puts it together with the
// peripheral models behind vboard::make_stm32g431_board.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../periph/models.h"

namespace vboard::world {

// Decodes the pad waveform of a WS2815 data line: bit timing against the
// datasheet windows and against what real parts accept, frames latched by the
// reset gap, GRB colours per LED.
class Ws2815Strip : public Device, public periph::PinListener {
 public:
  explicit Ws2815Strip(periph::Context& ctx, unsigned leds = 60);
  std::string name() const override { return "WS2815"; }
  void pin_changed(int level, ns_t t) override;
  // Latches a frame whose reset gap is still running (the line stayed low).
  void advance(ns_t now) override;
  // Brings the driving peripheral up to `t` before the strip judges a quiet line.
  void set_sync(std::function<void(ns_t)> f) { sync_ = std::move(f); }
  StripReport report() const;

  // Datasheet windows (ns) and what real parts accept.
  static constexpr ns_t kT0HMin = 220, kT0HMax = 380, kT1HMin = 580, kT1HMax = 1600;
  static constexpr ns_t kT0LMin = 580, kT0LMax = 1600, kT1LMin = 220, kT1LMax = 420;
  static constexpr ns_t kResetNs = 280'000;
  static constexpr ns_t kRealZeroBelow = 500, kRealOneAbove = 550, kRealLowMax = 5'000;
  static constexpr size_t kViolationCap = 1000, kPerKindCap = 100, kFrameCap = 100'000;

  enum Kind : unsigned { kT0H, kT1H, kT0L, kT1L, kAmbiguous, kLongLow, kFrameBits, kKinds };
  uint64_t count(Kind k) const { return counts_[k]; }
  uint64_t bits_total() const { return bits_total_; }
  uint64_t frames_total() const { return frames_total_; }

 private:
  void finish_bit(ns_t high, ns_t low, bool last, ns_t t_rise);
  void latch(ns_t t);
  void violation(Kind k, ns_t t, ns_t value);

  periph::Context& ctx_;
  unsigned leds_;
  std::function<void(ns_t)> sync_;
  int level_ = 0;
  ns_t last_rise_ = 0, last_fall_ = 0;
  bool pending_ = false;  // a high phase ended; its low time is still running
  ns_t pending_high_ = 0;
  bool gap_open_ = false;  // a frame was latched and its reset gap is still running
  unsigned bits_ = 0;
  uint8_t cur_ = 0;
  std::vector<uint8_t> bytes_;
  uint64_t bits_total_ = 0, frames_total_ = 0;
  std::array<uint64_t, kKinds> counts_{};
  std::array<size_t, kKinds> stored_{};
  StripReport rep_;
  bool have_stats_[2] = {false, false};
  bool have_low_[2] = {false, false};
};

// Pulse trains and level lines driving input pins; one device so the machine
// sees sources added after it has listed the devices.
class World : public Device {
 public:
  explicit World(periph::Context& ctx) : ctx_(ctx) {}
  std::string name() const override { return "WORLD"; }
  void add_pulse(const PulseSpec& p, periph::Gpio* gpio, unsigned pin);
  void add_level(const LevelSpec& l, periph::Gpio* gpio, unsigned pin);
  void advance(ns_t now) override;
  ns_t next_event() const override;

 private:
  struct Source {
    periph::Gpio* gpio;
    unsigned pin;
    bool pulse;
    PulseSpec p;
    LevelSpec l;
    uint64_t index = 0;  // pulse number, or bounce step
    bool high_next = true;
    ns_t next = kNever;
    int next_level = 0;
  };
  void step(Source& s);
  periph::Context& ctx_;
  std::vector<Source> sources_;
};

class Stm32g431Board : public Board {
 public:
  explicit Stm32g431Board(Bus& bus);
  std::vector<Device*> devices() override;
  ClockTree& clocks() override { return *rcc_; }
  void add_pulse(const PulseSpec& p) override;
  void add_level(const LevelSpec& l) override;
  std::map<std::string, std::vector<PinChange>> pin_history() const override;
  StripReport strip() const override { return strip_->report(); }
  std::map<std::string, std::map<std::string, uint32_t>> register_dump() const override;

  // Fault injection: the PLL never locks (also the run option "pll_never_locks").
  void set_pll_never_locks(bool v) { rcc_->set_pll_never_locks(v); }
  // Rule violations the real chip would punish (clock rules, locked fields).
  const std::vector<periph::Findings::Entry>& findings() const { return ctx_.findings.entries(); }

  periph::Rcc& rcc() { return *rcc_; }
  periph::Gpio& gpio(unsigned port) { return *gpio_[port]; }
  periph::Timer& timer(const std::string& name);
  periph::Dma& dma1() { return *dma1_; }
  periph::Exti& exti() { return *exti_; }
  Ws2815Strip& strip_model() { return *strip_; }
  periph::Context& context() { return ctx_; }

 private:
  bool parse_pin(const std::string& pin, periph::Gpio** g, unsigned* n);
  periph::Context ctx_;
  std::unique_ptr<periph::Rcc> rcc_;
  std::unique_ptr<periph::Pwr> pwr_;
  std::unique_ptr<periph::Flash> flash_;
  std::unique_ptr<periph::Syscfg> syscfg_;
  std::unique_ptr<periph::Exti> exti_;
  std::array<std::unique_ptr<periph::Gpio>, 7> gpio_;
  std::vector<std::unique_ptr<periph::Timer>> timers_;
  std::unique_ptr<periph::Dmamux> dmamux_;
  std::unique_ptr<periph::Dma> dma1_;
  std::unique_ptr<periph::Usart> usart3_;
  std::unique_ptr<World> world_;
  std::unique_ptr<Ws2815Strip> strip_;
  std::vector<periph::RegBlock*> mmio_;
};

}  // namespace vboard::world
