// The lamp board: the strip's data line on PA7 (TIM17_CH1 fed by DMA), the
// light outputs on PA8 and PA9, and the signal sources on the inputs.
#include "world/lamp_board.h"

#include "vboard/lamp_board.h"

namespace vboard {

namespace world {

namespace {
constexpr unsigned kStripPort = 0, kStripPin = 7;  // PA7
constexpr unsigned kStripLeds = 60;
}  // namespace

LampBoard::LampBoard(Bus& bus) : chip_(bus) {
  sources_ = std::make_unique<SignalSources>(chip_.context());
  strip_ = std::make_unique<Ws2815Strip>(chip_.context(), kStripLeds);
  chip_.gpio(kStripPort).set_listener(kStripPin, strip_.get());
  // The strip judges a quiet line only after the timer driving it has caught up.
  periph::Timer& driver = chip_.timer("TIM17");
  strip_->set_sync([&driver](ns_t t) { driver.sync(t); });
}

std::vector<Device*> LampBoard::devices() {
  std::vector<Device*> out{chip_.pin_settle()};
  out.insert(out.end(), chip_.mmio().begin(), chip_.mmio().end());
  out.push_back(sources_.get());
  out.push_back(strip_.get());
  return out;
}

namespace {
class PinWatch : public periph::PinListener {
 public:
  explicit PinWatch(std::function<void(int, ns_t)> f) : f_(std::move(f)) {}
  void pin_changed(int level, ns_t t) override { f_(level, t); }

 private:
  std::function<void(int, ns_t)> f_;
};
}  // namespace

bool LampBoard::watch_pin(const std::string& pin, std::function<void(int level, ns_t t)> watch) {
  unsigned n = 0;
  periph::Gpio* g = chip_.pin(pin, &n);
  if (!g || g->has_listener(n)) return false;
  watches_.push_back(std::make_unique<PinWatch>(std::move(watch)));
  g->set_listener(n, watches_.back().get());
  return true;
}

bool LampBoard::add_wire(const std::string& from, const std::string& to) {
  unsigned n = 0;
  periph::Gpio* g = chip_.pin(to, &n);
  if (!g) return false;
  return watch_pin(from, [g, n](int level, ns_t t) { g->set_external(n, level, t); });
}

void LampBoard::add_pulse(const PulseSpec& p) {
  unsigned n = 0;
  periph::Gpio* g = chip_.pin(p.pin, &n);
  if (!g) return chip_.context().bus.fault("pulse source on unknown pin '" + p.pin + "'");
  sources_->add_pulse(p, g, n);
}

void LampBoard::add_level(const LevelSpec& l) {
  unsigned n = 0;
  periph::Gpio* g = chip_.pin(l.pin, &n);
  if (!g) return chip_.context().bus.fault("level line on unknown pin '" + l.pin + "'");
  sources_->add_level(l, g, n);
}

int LampBoard::pin_level(const std::string& pin) const {
  unsigned n = 0;
  const periph::Gpio* g = chip_.pin(pin, &n);
  return g ? g->pad(n) : -1;
}

std::optional<PinState> LampBoard::pin_state(const std::string& pin) const {
  unsigned n = 0;
  const periph::Gpio* g = chip_.pin(pin, &n);
  if (!g) return std::nullopt;
  return g->state(n);
}

bool LampBoard::stop_sources(const std::string& pin, ns_t at, bool finish_pulse) {
  unsigned n = 0;
  periph::Gpio* g = chip_.pin(pin, &n);
  if (!g) return false;
  sources_->stop(g, n, at, finish_pulse);
  return true;
}

void LampBoard::report(RunResult& r) const {
  r.strip = strip_->report();
  // What each pin is on the board the image set up: the rear image puts PA7
  // on its timer (alternate function, MODER 0b10), the front image drives PA8
  // and PA9 as outputs (0b01). An image that stopped before either has no roles.
  struct Role {
    const char* pin;
    const char* role;
  };
  static constexpr Role kFront[] = {{"PA0", "RC receiver"}, {"PA9", "left light"}, {"PA8", "right light"}};
  static constexpr Role kRear[] = {
      {"PB5", "red switch"}, {"PB6", "green switch"}, {"PB4", "blue switch"}, {"PA7", "strip data"}};
  unsigned n = 0;
  const periph::Gpio* port_a = chip_.pin("PA0", &n);
  const uint32_t moder = port_a ? port_a->reg("MODER") : 0;
  const auto mode = [moder](unsigned pin) { return (moder >> (2 * pin)) & 3u; };
  if (mode(kStripPin) == 2)
    for (const Role& x : kRear) r.pin_roles[x.pin] = x.role;
  else if (mode(8) == 1 && mode(9) == 1)
    for (const Role& x : kFront) r.pin_roles[x.pin] = x.role;
}

}  // namespace world

int Board::pin_level(const std::string& pin) const {
  const auto s = pin_state(pin);
  return s ? s->level : -1;
}

std::map<std::string, PinState> Board::pin_states() const {
  std::map<std::string, PinState> out;
  for (const auto& [name, h] : pin_history()) {
    if (h.empty()) continue;
    out[name] = {h.back().level, h.size() > 1 ? h.back().t : 0, h.size() - 1};
  }
  return out;
}

std::optional<PinState> Board::pin_state(const std::string& pin) const {
  const auto all = pin_states();
  const auto it = all.find(pin);
  if (it == all.end()) return std::nullopt;
  return it->second;
}

BoardFactory lamp_board_factory() {
  return [](Bus& bus) { return std::make_unique<world::LampBoard>(bus); };
}

}  // namespace vboard
