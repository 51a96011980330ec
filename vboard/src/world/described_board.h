// A board built from its description (vboard/board.h): the chip, the signal
// sources on its inputs, and the parts the description names (WS2815 strips on
// their data pins, the roles of the other pins). Built by vboard::board_factory.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "chip/chip.h"
#include "chip/stm32g431.h"
#include "world/board.h"
#include "world/promises.h"
#include "world/sources.h"
#include "world/strip_ws2815.h"

namespace vboard::world {

class DescribedBoard : public Board {
 public:
  DescribedBoard(Bus& bus, const BoardDescription& description);
  std::vector<Device*> devices() override;
  const ChipFacts& chip_facts() const override { return chip::facts(); }
  ClockTree& clocks() override { return chip_.clocks(); }
  void add_pulse(const PulseSpec& p) override;
  void add_level(const LevelSpec& l) override;
  std::map<std::string, std::vector<PinChange>> pin_history() const override { return chip_.pin_history(); }
  std::map<std::string, uint64_t> pin_history_total() const override { return chip_.pin_history_total(); }
  std::map<std::string, PinState> pin_states() const override { return chip_.pin_states(); }
  std::optional<PinState> pin_state(const std::string& pin) const override;
  std::vector<std::string> pin_names() const override { return chip_.pin_names(); }
  int pin_level(unsigned pin) const override { return chip_.pin_level(pin); }
  void watch_pins(PinWatcher* w) override { chip_.watch_pins(w); }
  PinWatcher* pin_watcher() const override { return chip_.pin_watcher(); }
  std::map<std::string, std::map<std::string, uint32_t>> register_dump() const override {
    return chip_.register_dump();
  }
  // The parts' records and the roles of the parts' pins.
  void report(RunResult& r) const override;
  std::string heap_break_symbol() const override { return description_.margins.heap_break; }
  std::vector<Diagnostic> diagnostics() const override { return chip_.diagnostics(); }
  int pin_level(const std::string& pin) const override;
  bool stop_sources(const std::string& pin, ns_t at, bool finish_pulse) override;
  std::vector<PartView*> parts() override;
  // What the chip's models share; the devices list their own state.
  void state(StateVisitor& v) override;

  // Calls `watch` with every level change of `pin`'s pad, as test equipment on
  // that pin would see it. False for an unknown pin or one already listened to.
  bool watch_pin(const std::string& pin, std::function<void(int level, ns_t t)> watch);
  // A wire from the pad of `from` to input `to`: `to` is driven to every level `from` takes.
  bool add_wire(const std::string& from, const std::string& to);

  periph::Stm32g431& chip() { return chip_; }
  // The first strip's model; only on a board with a strip.
  Ws2815Strip& strip_model() { return *strips_.front(); }
  const BoardDescription& description() const { return description_; }

 private:
  void watch_promises();

  BoardDescription description_;
  periph::Stm32g431 chip_;
  std::unique_ptr<SignalSources> sources_;
  std::vector<std::unique_ptr<Ws2815Strip>> strips_;
  std::vector<std::unique_ptr<periph::PinListener>> watches_;
  std::unique_ptr<Promises> promises_;  // the board file's promised response times, if any
};

}  // namespace vboard::world
