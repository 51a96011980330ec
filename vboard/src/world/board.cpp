// The STM32G431 lamp board: every peripheral model, wired as on the chip, plus
// the signal sources and the WS2815 strip on PA7.
#include "world.h"

namespace vboard {

namespace world {

using periph::Gpio;
using periph::Timer;
using periph::TimerInfo;

namespace {
constexpr uint32_t kAHB1ENR = 0x048, kAHB2ENR = 0x04C, kAPB1ENR1 = 0x058, kAPB2ENR = 0x060;

// Fact-sheet bases, IRQ lines and DMAMUX request ids.
const TimerInfo kTimers[] = {
    {"TIM1", 0x40012C00, 4, false, true, true, true, 25, 27, 26, 24, 46, {42, 43, 44, 45}},
    {"TIM2", 0x40000000, 4, true, false, false, false, 28, 28, 28, 28, 60, {56, 57, 58, 59}},
    {"TIM4", 0x40000800, 4, false, false, false, false, 30, 30, 30, 30, 71, {67, 68, 69, 70}},
    {"TIM7", 0x40001400, 0, false, false, false, false, 55, 55, 55, 55, 9, {0, 0, 0, 0}},
    {"TIM8", 0x40013400, 4, false, true, true, true, 44, 46, 45, 43, 53, {49, 50, 51, 52}},
    // TIM17's interrupt shares IRQ 26 with TIM1 trigger/commutation.
    {"TIM17", 0x40014800, 1, false, true, true, true, 26, 26, 26, 26, 85, {84, 0, 0, 0}},
};
const unsigned kTimerGate[][2] = {{kAPB2ENR, 11}, {kAPB1ENR1, 0}, {kAPB1ENR1, 2},
                                  {kAPB1ENR1, 5}, {kAPB2ENR, 13}, {kAPB2ENR, 18}};
}  // namespace

Stm32g431Board::Stm32g431Board(Bus& bus) : ctx_(bus) {
  rcc_ = std::make_unique<periph::Rcc>(ctx_);
  pwr_ = std::make_unique<periph::Pwr>(ctx_);
  flash_ = std::make_unique<periph::Flash>(ctx_);
  rcc_->attach(pwr_.get(), flash_.get());
  pwr_->attach(rcc_.get());
  flash_->attach(rcc_.get());
  pwr_->set_gate(rcc_.get(), kAPB1ENR1, 28);
  flash_->set_gate(rcc_.get(), kAHB1ENR, 8);
  if (bus.option("pll_never_locks")) rcc_->set_pll_never_locks(true);

  syscfg_ = std::make_unique<periph::Syscfg>(ctx_);
  syscfg_->set_gate(rcc_.get(), kAPB2ENR, 0);
  exti_ = std::make_unique<periph::Exti>(ctx_, *syscfg_);

  gpio_[0] = std::make_unique<Gpio>(ctx_, 0, 0xABFFFFFF, 0x0C000000, 0x64000000);
  gpio_[1] = std::make_unique<Gpio>(ctx_, 1, 0xFFFFFEBF, 0x000000C0, 0x00000100);
  for (unsigned p = 2; p < 7; ++p) gpio_[p] = std::make_unique<Gpio>(ctx_, p, 0xFFFFFFFF, 0, 0);
  for (unsigned p = 0; p < 7; ++p) {
    gpio_[p]->set_gate(rcc_.get(), kAHB2ENR, p);
    gpio_[p]->set_exti(exti_.get());
  }

  dmamux_ = std::make_unique<periph::Dmamux>(ctx_);
  dmamux_->set_gate(rcc_.get(), kAHB1ENR, 2);
  for (size_t i = 0; i < std::size(kTimers); ++i) {
    auto t = std::make_unique<Timer>(ctx_, kTimers[i], *rcc_, dmamux_.get());
    t->set_gate(rcc_.get(), kTimerGate[i][0], kTimerGate[i][1]);
    if (kTimers[i].req_up) dmamux_->register_source(kTimers[i].req_up, t.get());
    for (unsigned r : kTimers[i].req_cc)
      if (r) dmamux_->register_source(r, t.get());
    timers_.push_back(std::move(t));
  }
  rcc_->on_clock_change([this](ns_t t) {
    for (auto& tm : timers_) tm->clock_changed(t);
  });

  // Alternate-function outputs the images use: PA7 AF1 = TIM17_CH1, PB8 AF2 = TIM4_CH3.
  Timer& tim17 = timer("TIM17");
  Timer& tim4 = timer("TIM4");
  gpio_[0]->connect_af(7, 1, &tim17, 0);
  tim17.connect_output(0, gpio_[0].get(), 7);
  gpio_[1]->connect_af(8, 2, &tim4, 2);
  tim4.connect_output(2, gpio_[1].get(), 8);

  usart3_ = std::make_unique<periph::Usart>(ctx_, "USART3", 0x40004800);
  usart3_->set_gate(rcc_.get(), kAPB1ENR1, 18);

  mmio_ = {rcc_.get(), pwr_.get(), flash_.get(), syscfg_.get(), exti_.get()};
  for (auto& g : gpio_) mmio_.push_back(g.get());
  for (auto& t : timers_) mmio_.push_back(t.get());
  mmio_.push_back(dmamux_.get());
  dma1_ = std::make_unique<periph::Dma>(ctx_, *dmamux_,
                                        [this](uint32_t addr, uint32_t* off) -> periph::RegBlock* {
                                          for (periph::RegBlock* d : mmio_) {
                                            if (addr >= d->base() && addr - d->base() < d->size()) {
                                              *off = addr - d->base();
                                              return d;
                                            }
                                          }
                                          return nullptr;
                                        });
  dma1_->set_gate(rcc_.get(), kAHB1ENR, 0);
  dmamux_->attach(dma1_.get());
  mmio_.push_back(dma1_.get());
  mmio_.push_back(usart3_.get());

  world_ = std::make_unique<World>(ctx_);
  strip_ = std::make_unique<Ws2815Strip>(ctx_, 60);
  gpio_[0]->set_listener(7, strip_.get());
  strip_->set_sync([&tim17](ns_t t) { tim17.sync(t); });
}

Timer& Stm32g431Board::timer(const std::string& name) {
  for (auto& t : timers_)
    if (name == t->info().name) return *t;
  return *timers_.front();
}

std::vector<Device*> Stm32g431Board::devices() {
  std::vector<Device*> out(mmio_.begin(), mmio_.end());
  out.push_back(world_.get());
  out.push_back(strip_.get());
  return out;
}

bool Stm32g431Board::parse_pin(const std::string& pin, Gpio** g, unsigned* n) {
  if (pin.size() < 3 || pin.size() > 4 || pin[0] != 'P' || pin[1] < 'A' || pin[1] > 'G') return false;
  unsigned v = 0;
  for (size_t i = 2; i < pin.size(); ++i) {
    if (pin[i] < '0' || pin[i] > '9') return false;
    v = v * 10 + static_cast<unsigned>(pin[i] - '0');
  }
  if (v > 15) return false;
  *g = gpio_[static_cast<unsigned>(pin[1] - 'A')].get();
  *n = v;
  return true;
}

void Stm32g431Board::add_pulse(const PulseSpec& p) {
  Gpio* g = nullptr;
  unsigned n = 0;
  if (!parse_pin(p.pin, &g, &n)) return ctx_.bus.fault("pulse source on unknown pin '" + p.pin + "'");
  world_->add_pulse(p, g, n);
}

void Stm32g431Board::add_level(const LevelSpec& l) {
  Gpio* g = nullptr;
  unsigned n = 0;
  if (!parse_pin(l.pin, &g, &n)) return ctx_.bus.fault("level line on unknown pin '" + l.pin + "'");
  world_->add_level(l, g, n);
}

std::map<std::string, std::vector<PinChange>> Stm32g431Board::pin_history() const {
  std::map<std::string, std::vector<PinChange>> out;
  for (const auto& g : gpio_) out.merge(g->history());
  return out;
}

std::map<std::string, std::map<std::string, uint32_t>> Stm32g431Board::register_dump() const {
  std::map<std::string, std::map<std::string, uint32_t>> out;
  for (const periph::RegBlock* d : mmio_) out[d->name()] = d->registers();
  return out;
}

}  // namespace world

std::unique_ptr<Board> make_stm32g431_board(Bus& bus) { return std::make_unique<world::Stm32g431Board>(bus); }

}  // namespace vboard
