// A board from its description: the chip, the signal sources on its inputs,
// the strips on the data pins the description names (each model syncs with the
// timer that drives its line), and the roles of the parts' pins.
#include "world/described_board.h"

#include "vboard/run_result.h"
#include "vboard/state.h"

namespace vboard {

namespace world {

DescribedBoard::DescribedBoard(Bus& bus, const BoardDescription& description)
    : description_(description), chip_(bus) {
  sources_ = std::make_unique<SignalSources>(chip_.context());
  for (const BoardPart& part : description_.parts) {
    const auto* settings = std::get_if<BoardPart::Strip>(&part.kind);
    if (!settings) continue;
    const PartIdentity who{part.name, kStripKind, part.pins.front(), part.role};
    auto& strip = strips_.emplace_back(
        std::make_unique<Ws2815Strip>(chip_.context(), settings->leds, settings->timing, who));
    unsigned n = 0;
    chip_.pin(part.pins.front(), &n)->set_listener(n, strip.get());
    // The strip judges a quiet line only after the timer driving it has caught up.
    periph::Timer& driver = chip_.timer(settings->driver);
    strip->set_sync([&driver](ns_t t) { driver.sync(t); });
  }
  watch_promises();
}

// The promised response times watch their pins and the strip from the start.
void DescribedBoard::watch_promises() {
  const BoardMargins& m = description_.margins;
  if (m.promises.empty()) return;
  const BoardPart* strip = description_.strip();
  const auto* settings = strip ? std::get_if<BoardPart::Strip>(&strip->kind) : nullptr;
  promises_ = std::make_unique<Promises>(m.promises, settings ? settings->leds : 0,
                                         settings ? settings->timing.latch : 0);
  Promises* p = promises_.get();
  for (const std::string& pin : p->pins())
    if (!watch_pin(pin, [p, pin](int level, ns_t t) { p->pin_changed(pin, level, t); }))
      chip_.context().bus.fault("margins: pin " + pin + " of a promise is not a pin of its own");
  if (!strips_.empty())
    strips_.front()->board_watch_frames([p](const StripFrame& f) { p->frame_latched(f); });
}

std::vector<PartView*> DescribedBoard::parts() {
  std::vector<PartView*> out;
  for (const auto& s : strips_) out.push_back(s.get());
  return out;
}

std::vector<Device*> DescribedBoard::devices() {
  std::vector<Device*> out{chip_.pin_settle()};
  out.insert(out.end(), chip_.mmio().begin(), chip_.mmio().end());
  out.push_back(sources_.get());
  for (const auto& s : strips_) out.push_back(s.get());
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

bool DescribedBoard::watch_pin(const std::string& pin, std::function<void(int level, ns_t t)> watch) {
  unsigned n = 0;
  periph::Gpio* g = chip_.pin(pin, &n);
  if (!g || g->has_listener(n)) return false;
  watches_.push_back(std::make_unique<PinWatch>(std::move(watch)));
  g->set_listener(n, watches_.back().get());
  return true;
}

bool DescribedBoard::add_wire(const std::string& from, const std::string& to) {
  unsigned n = 0;
  periph::Gpio* g = chip_.pin(to, &n);
  if (!g) return false;
  return watch_pin(from, [g, n](int level, ns_t t) { g->set_external(n, level, t); });
}

void DescribedBoard::add_pulse(const PulseSpec& p) {
  unsigned n = 0;
  periph::Gpio* g = chip_.pin(p.pin, &n);
  if (!g) return chip_.context().bus.fault("pulse source on unknown pin '" + p.pin + "'");
  sources_->add_pulse(p, g, n);
}

void DescribedBoard::add_level(const LevelSpec& l) {
  unsigned n = 0;
  periph::Gpio* g = chip_.pin(l.pin, &n);
  if (!g) return chip_.context().bus.fault("level line on unknown pin '" + l.pin + "'");
  sources_->add_level(l, g, n);
}

int DescribedBoard::pin_level(const std::string& pin) const {
  unsigned n = 0;
  const periph::Gpio* g = chip_.pin(pin, &n);
  return g ? g->pad(n) : -1;
}

std::optional<PinState> DescribedBoard::pin_state(const std::string& pin) const {
  unsigned n = 0;
  const periph::Gpio* g = chip_.pin(pin, &n);
  if (!g) return std::nullopt;
  return g->state(n);
}

bool DescribedBoard::stop_sources(const std::string& pin, ns_t at, bool finish_pulse) {
  unsigned n = 0;
  periph::Gpio* g = chip_.pin(pin, &n);
  if (!g) return false;
  sources_->stop(g, n, at, finish_pulse);
  return true;
}

void DescribedBoard::report(RunResult& r) const {
  for (const auto& s : strips_) r.parts.push_back(s->record());
  for (const BoardPart& part : description_.parts)
    if (!part.role.empty()) r.pin_roles[part.pins.front()] = part.role;
  if (promises_) promises_->report(r);
}

}  // namespace world

BoardFactory board_factory(const BoardDescription& board) {
  auto description = std::make_shared<const BoardDescription>(board);
  return [description](Bus& bus) { return std::make_unique<world::DescribedBoard>(bus, *description); };
}

}  // namespace vboard

// ------------------------------------------------------------------ state

namespace vboard::world {

// The pin watches and wires are wiring; the chip's models are devices and
// list their own state.
void DescribedBoard::state(StateVisitor& v) {
  v("chip", chip_.context());
  if (promises_) v("promises", *promises_);
}

}  // namespace vboard::world
