// The die: every model built from its entry in the chip description
// (stm32g431_desc.cpp), and wired to the others.
#include "chip/stm32g431.h"

namespace vboard::periph {

namespace {
const desc::Peripheral& entry(const char* name) {
  // The description and the models are compiled together: a missing entry is a
  // programming error that the chip description test reports first.
  const desc::Peripheral* p = desc::peripheral(name);
  if (p == nullptr) __builtin_trap();
  return *p;
}
}  // namespace

Stm32g431::Stm32g431(Bus& bus) : ctx_(bus) {
  rcc_ = std::make_unique<Rcc>(ctx_, entry("RCC"));
  pwr_ = std::make_unique<Pwr>(ctx_, entry("PWR"));
  flash_ = std::make_unique<Flash>(ctx_, entry("FLASH"));
  rcc_->attach(pwr_.get(), flash_.get());
  pwr_->attach(rcc_.get());
  flash_->attach(rcc_.get());
  pwr_->set_gate(rcc_.get());
  flash_->set_gate(rcc_.get());
  if (bus.option(std::string(chip::kPllNeverLocks))) rcc_->set_pll_never_locks(true);
  if (bus.option(std::string(chip::kSysclkSwitchStuck))) rcc_->set_sysclk_switch_stuck(true);

  syscfg_ = std::make_unique<Syscfg>(ctx_, entry("SYSCFG"));
  syscfg_->set_gate(rcc_.get());
  exti_ = std::make_unique<Exti>(ctx_, entry("EXTI"), *syscfg_);

  for (unsigned p = 0; p < gpio_.size(); ++p) {
    const std::string name = std::string("GPIO") + desc::ports()[p].letter;
    gpio_[p] = std::make_unique<Gpio>(ctx_, entry(name.c_str()), p);
    gpio_[p]->set_gate(rcc_.get());
    gpio_[p]->set_exti(exti_.get());
  }

  dmamux_ = std::make_unique<Dmamux>(ctx_, entry("DMAMUX"));
  dmamux_->set_gate(rcc_.get());
  for (const desc::Peripheral& e : desc::peripherals()) {
    if (e.kind != desc::Kind::kTimer) continue;
    auto t = std::make_unique<Timer>(ctx_, e, *rcc_, dmamux_.get());
    t->set_gate(rcc_.get());
    for (const desc::DmaRequest& r : e.requests) dmamux_->register_source(r.id, t.get());
    timers_.push_back(std::move(t));
  }
  rcc_->on_clock_change([this](ns_t t) {
    for (auto& tm : timers_) tm->clock_changed(t);
  });

  // Every listed timer channel output of a modelled timer reaches its pin.
  for (const desc::AltFunction& af : desc::alt_functions()) {
    std::string tim;
    unsigned ch = 0, bit = 0;
    if (!desc::timer_channel(af.signal, &tim, &ch)) continue;
    Gpio* g = pin(af.pin, &bit);
    for (auto& t : timers_) {
      if (tim != t->info().name || ch > t->info().channels || g == nullptr) continue;
      g->connect_af(bit, af.af, t.get(), ch - 1);
      t->connect_output(ch - 1, g, bit);
    }
  }

  usart3_ = std::make_unique<Usart>(ctx_, entry("USART3"));
  usart3_->set_gate(rcc_.get());

  mmio_ = {rcc_.get(), pwr_.get(), flash_.get(), syscfg_.get(), exti_.get()};
  for (auto& g : gpio_) mmio_.push_back(g.get());
  for (auto& t : timers_) mmio_.push_back(t.get());
  mmio_.push_back(dmamux_.get());
  dma1_ =
      std::make_unique<Dma>(ctx_, entry("DMA1"), *dmamux_, [this](uint32_t addr, uint32_t* off) -> RegBlock* {
        for (RegBlock* d : mmio_) {
          if (addr >= d->base() && addr - d->base() < d->size()) {
            *off = addr - d->base();
            return d;
          }
        }
        return nullptr;
      });
  dma1_->set_gate(rcc_.get());
  dmamux_->attach(dma1_.get());
  mmio_.push_back(dma1_.get());
  mmio_.push_back(usart3_.get());
  settle_ = std::make_unique<PinSettle>(ctx_);
}

Timer& Stm32g431::timer(const std::string& name) {
  for (const auto& t : timers_)
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

// The I/O pins of the 48-pin package; other port bits exist in the registers only.
std::vector<std::string> Stm32g431::pin_names() const {
  std::vector<std::string> out(7 * 16);
  for (unsigned port = 0; port < 7; ++port)
    for (unsigned bit = 0; bit < 16; ++bit)
      if ((desc::ports()[port].bonded >> bit) & 1u)
        out[16 * port + bit] = std::string("P") + desc::ports()[port].letter + std::to_string(bit);
  return out;
}

int Stm32g431::pin_level(unsigned pin) const { return pin < 7 * 16 ? gpio_[pin / 16]->pad(pin % 16) : 0; }

std::map<std::string, std::map<std::string, uint32_t>> Stm32g431::register_dump() const {
  std::map<std::string, std::map<std::string, uint32_t>> out;
  for (const RegBlock* d : mmio_) out[d->name()] = d->registers();
  return out;
}

}  // namespace vboard::periph
