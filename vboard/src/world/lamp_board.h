// The lamp board: the chip, the signal sources on its inputs, the WS2815 strip
// on PA7 and the light outputs. Built by vboard::lamp_board_factory.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "chip/stm32g431.h"
#include "world/sources.h"
#include "world/ws2815.h"

namespace vboard::world {

class LampBoard : public Board {
 public:
  explicit LampBoard(Bus& bus);
  std::vector<Device*> devices() override;
  ClockTree& clocks() override { return chip_.clocks(); }
  void add_pulse(const PulseSpec& p) override;
  void add_level(const LevelSpec& l) override;
  std::map<std::string, std::vector<PinChange>> pin_history() const override { return chip_.pin_history(); }
  std::map<std::string, std::map<std::string, uint32_t>> register_dump() const override {
    return chip_.register_dump();
  }
  // The strip's report and the roles of the light outputs.
  void report(RunResult& r) const override;
  int pin_level(const std::string& pin) const override;
  bool stop_sources(const std::string& pin, ns_t at, bool finish_pulse) override;
  const StripView* strip_view() const override { return strip_.get(); }

  periph::Stm32g431& chip() { return chip_; }
  Ws2815Strip& strip_model() { return *strip_; }
  StripReport strip() const { return strip_->report(); }

 private:
  periph::Stm32g431 chip_;
  std::unique_ptr<SignalSources> sources_;
  std::unique_ptr<Ws2815Strip> strip_;
};

}  // namespace vboard::world
