// The die's wiring: fact-sheet bases, RCC enable bits, IRQ lines, DMAMUX
// request ids and the alternate functions the images select.
#include "chip/stm32g431.h"

namespace vboard::periph {

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

Stm32g431::Stm32g431(Bus& bus) : ctx_(bus) {
  rcc_ = std::make_unique<Rcc>(ctx_);
  pwr_ = std::make_unique<Pwr>(ctx_);
  flash_ = std::make_unique<Flash>(ctx_);
  rcc_->attach(pwr_.get(), flash_.get());
  pwr_->attach(rcc_.get());
  flash_->attach(rcc_.get());
  pwr_->set_gate(rcc_.get(), kAPB1ENR1, 28);
  flash_->set_gate(rcc_.get(), kAHB1ENR, 8);
  if (bus.option("pll_never_locks")) rcc_->set_pll_never_locks(true);

  syscfg_ = std::make_unique<Syscfg>(ctx_);
  syscfg_->set_gate(rcc_.get(), kAPB2ENR, 0);
  exti_ = std::make_unique<Exti>(ctx_, *syscfg_);

  gpio_[0] = std::make_unique<Gpio>(ctx_, 0, 0xABFFFFFF, 0x0C000000, 0x64000000);
  gpio_[1] = std::make_unique<Gpio>(ctx_, 1, 0xFFFFFEBF, 0x000000C0, 0x00000100);
  for (unsigned p = 2; p < 7; ++p) gpio_[p] = std::make_unique<Gpio>(ctx_, p, 0xFFFFFFFF, 0, 0);
  for (unsigned p = 0; p < 7; ++p) {
    gpio_[p]->set_gate(rcc_.get(), kAHB2ENR, p);
    gpio_[p]->set_exti(exti_.get());
  }

  dmamux_ = std::make_unique<Dmamux>(ctx_);
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

  // Alternate-function outputs the images use: PA7 and PB9 AF1 = TIM17_CH1, PB8 AF2 = TIM4_CH3.
  Timer& tim17 = timer("TIM17");
  Timer& tim4 = timer("TIM4");
  gpio_[0]->connect_af(7, 1, &tim17, 0);
  tim17.connect_output(0, gpio_[0].get(), 7);
  gpio_[1]->connect_af(9, 1, &tim17, 0);
  tim17.connect_output(0, gpio_[1].get(), 9);
  gpio_[1]->connect_af(8, 2, &tim4, 2);
  tim4.connect_output(2, gpio_[1].get(), 8);

  usart3_ = std::make_unique<Usart>(ctx_, "USART3", 0x40004800);
  usart3_->set_gate(rcc_.get(), kAPB1ENR1, 18);

  mmio_ = {rcc_.get(), pwr_.get(), flash_.get(), syscfg_.get(), exti_.get()};
  for (auto& g : gpio_) mmio_.push_back(g.get());
  for (auto& t : timers_) mmio_.push_back(t.get());
  mmio_.push_back(dmamux_.get());
  dma1_ = std::make_unique<Dma>(ctx_, *dmamux_, [this](uint32_t addr, uint32_t* off) -> RegBlock* {
    for (RegBlock* d : mmio_) {
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
  settle_ = std::make_unique<PinSettle>(ctx_);
}

Timer& Stm32g431::timer(const std::string& name) {
  for (auto& t : timers_)
    if (name == t->info().name) return *t;
  return *timers_.front();
}

Gpio* Stm32g431::pin(const std::string& name, unsigned* n) const {
  if (name.size() < 3 || name.size() > 4 || name[0] != 'P' || name[1] < 'A' || name[1] > 'G') return nullptr;
  unsigned v = 0;
  for (size_t i = 2; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return nullptr;
    v = v * 10 + static_cast<unsigned>(name[i] - '0');
  }
  if (v > 15) return nullptr;
  *n = v;
  return gpio_[static_cast<unsigned>(name[1] - 'A')].get();
}

std::map<std::string, std::vector<PinChange>> Stm32g431::pin_history() const {
  std::map<std::string, std::vector<PinChange>> out;
  for (const auto& g : gpio_) out.merge(g->history());
  return out;
}

std::map<std::string, uint64_t> Stm32g431::pin_history_total() const {
  std::map<std::string, uint64_t> out;
  for (const auto& g : gpio_) out.merge(g->history_total());
  return out;
}

std::map<std::string, PinState> Stm32g431::pin_states() const {
  std::map<std::string, PinState> out;
  for (unsigned port = 0; port < gpio_.size(); ++port)
    for (unsigned p = 0; p < 16; ++p)
      if (gpio_[port]->touched(p))
        out.emplace(std::string("P") + static_cast<char>('A' + port) + std::to_string(p),
                    gpio_[port]->state(p));
  return out;
}

// The I/O pins of the 48-pin package (STM32G431CB); other port bits exist in
// the registers only.
std::vector<std::string> Stm32g431::pin_names() const {
  static const uint16_t kBonded[7] = {0xFFFF, 0xFFFF, 0xEC50, 0, 0, 0x0003, 0x0400};
  std::vector<std::string> out(7 * 16);
  for (unsigned port = 0; port < 7; ++port)
    for (unsigned pin = 0; pin < 16; ++pin)
      if ((kBonded[port] >> pin) & 1u)
        out[16 * port + pin] = std::string("P") + static_cast<char>('A' + port) + std::to_string(pin);
  return out;
}

int Stm32g431::pin_level(unsigned pin) const { return pin < 7 * 16 ? gpio_[pin / 16]->pad(pin % 16) : 0; }

std::map<std::string, std::map<std::string, uint32_t>> Stm32g431::register_dump() const {
  std::map<std::string, std::map<std::string, uint32_t>> out;
  for (const RegBlock* d : mmio_) out[d->name()] = d->registers();
  return out;
}

}  // namespace vboard::periph
