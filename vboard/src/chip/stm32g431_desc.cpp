// The chip description: bases and sizes, clock gates and NVIC lines as the SVD
// gives them; DMAMUX request ids from the reference manual's request table (the
// SVD has none); the pinout and alternate functions from the datasheet of the
// 48-pin package (the SVD has no pin data either).
#include "chip/stm32g431_desc.h"

#include <algorithm>
#include <charconv>
#include <deque>

namespace vboard::periph::desc {

namespace {
constexpr uint32_t kAHB1ENR = 0x048, kAHB2ENR = 0x04C, kAPB1ENR1 = 0x058, kAPB2ENR = 0x060;
constexpr unsigned kAllEvents = kTimBreak;

IrqLine timer_line(const char* name, unsigned irq, TimerEvent e) { return {name, irq, e, e}; }

std::vector<DmaRequest> timer_requests(const std::string& timer, unsigned up, unsigned ch1,
                                       unsigned channels) {
  // Names are kept in static storage (a deque never moves its elements): the
  // table lives as long as the program.
  static std::deque<std::string> names;
  auto keep = [](std::string s) {
    names.push_back(std::move(s));
    return names.back().c_str();
  };
  std::vector<DmaRequest> r = {{keep(timer + "_UP"), up, 0}};
  for (unsigned c = 0; c < channels; ++c)
    r.push_back({keep(timer + "_CH" + std::to_string(c + 1)), ch1 + c, c + 1});
  return r;
}
}  // namespace

const std::vector<Peripheral>& peripherals() {
  using K = Kind;
  static const std::vector<Peripheral> list = {
      {"RCC", K::kRcc, 0x40021000, 0x400, {}, {{"RCC", 5, 0, 0}}, {}},
      {"PWR", K::kPwr, 0x40007000, 0x400, {"APB1ENR1", kAPB1ENR1, 28, "PWREN"}, {}, {}},
      {"FLASH", K::kFlash, 0x40022000, 0x400, {"AHB1ENR", kAHB1ENR, 8, "FLASHEN"}, {{"FLASH", 4, 0, 0}}, {}},
      // The SVD's block is 0x2A bytes; VREFBUF follows at 0x30.
      {"SYSCFG", K::kSyscfg, 0x40010000, 0x30, {"APB2ENR", kAPB2ENR, 0, "SYSCFGEN"}, {}, {}},
      {"EXTI",
       K::kExti,
       0x40010400,
       0x400,
       {},
       {{"EXTI0", 6, 0, 0},
        {"EXTI1", 7, 1, 1},
        {"EXTI2", 8, 2, 2},
        {"EXTI3", 9, 3, 3},
        {"EXTI4", 10, 4, 4},
        {"EXTI9_5", 23, 5, 9},
        {"EXTI15_10", 40, 10, 15}},
       {}},
      {"GPIOA", K::kGpio, 0x48000000, 0x400, {"AHB2ENR", kAHB2ENR, 0, "GPIOAEN"}, {}, {}},
      {"GPIOB", K::kGpio, 0x48000400, 0x400, {"AHB2ENR", kAHB2ENR, 1, "GPIOBEN"}, {}, {}},
      {"GPIOC", K::kGpio, 0x48000800, 0x400, {"AHB2ENR", kAHB2ENR, 2, "GPIOCEN"}, {}, {}},
      {"GPIOD", K::kGpio, 0x48000C00, 0x400, {"AHB2ENR", kAHB2ENR, 3, "GPIODEN"}, {}, {}},
      {"GPIOE", K::kGpio, 0x48001000, 0x400, {"AHB2ENR", kAHB2ENR, 4, "GPIOEEN"}, {}, {}},
      {"GPIOF", K::kGpio, 0x48001400, 0x400, {"AHB2ENR", kAHB2ENR, 5, "GPIOFEN"}, {}, {}},
      {"GPIOG", K::kGpio, 0x48001800, 0x400, {"AHB2ENR", kAHB2ENR, 6, "GPIOGEN"}, {}, {}},
      {"TIM1",
       K::kTimer,
       0x40012C00,
       0x400,
       {"APB2ENR", kAPB2ENR, 11, "TIM1EN"},
       {timer_line("TIM1_UP_TIM16", 25, kTimUpdate), timer_line("TIM1_CC", 27, kTimCapture),
        timer_line("TIM1_TRG_COM_TIM17", 26, kTimTrigger), timer_line("TIM1_BRK_TIM15", 24, kTimBreak)},
       timer_requests("TIM1", 46, 42, 4),
       {4, false, true, true}},
      {"TIM2",
       K::kTimer,
       0x40000000,
       0x400,
       {"APB1ENR1", kAPB1ENR1, 0, "TIM2EN"},
       {{"TIM2", 28, 0, kAllEvents}},
       timer_requests("TIM2", 60, 56, 4),
       {4, true, false, false}},
      {"TIM4",
       K::kTimer,
       0x40000800,
       0x400,
       {"APB1ENR1", kAPB1ENR1, 2, "TIM4EN"},
       {{"TIM4", 30, 0, kAllEvents}},
       timer_requests("TIM4", 71, 67, 4),
       {4, false, false, false}},
      {"TIM7",
       K::kTimer,
       0x40001400,
       0x400,
       {"APB1ENR1", kAPB1ENR1, 5, "TIM7EN"},
       {{"TIM7", 55, 0, kAllEvents}},
       timer_requests("TIM7", 9, 0, 0),
       {0, false, false, false}},
      {"TIM8",
       K::kTimer,
       0x40013400,
       0x400,
       {"APB2ENR", kAPB2ENR, 13, "TIM8EN"},
       {timer_line("TIM8_UP", 44, kTimUpdate), timer_line("TIM8_CC", 46, kTimCapture),
        timer_line("TIM8_TRG_COM", 45, kTimTrigger), timer_line("TIM8_BRK", 43, kTimBreak)},
       timer_requests("TIM8", 53, 49, 4),
       {4, false, true, true}},
      // TIM17 shares IRQ 26 with TIM1's trigger/commutation (the SVD gives TIM17 no line).
      {"TIM17",
       K::kTimer,
       0x40014800,
       0x400,
       {"APB2ENR", kAPB2ENR, 18, "TIM17EN"},
       {{"TIM1_TRG_COM_TIM17", 26, 0, kAllEvents}},
       timer_requests("TIM17", 85, 84, 1),
       {1, false, true, true}},
      {"DMAMUX", K::kDmamux, 0x40020800, 0x400, {"AHB1ENR", kAHB1ENR, 2, "DMAMUX1EN"}, {}, {}},
      {"DMA1",
       K::kDma,
       0x40020000,
       0x400,
       {"AHB1ENR", kAHB1ENR, 0, "DMA1EN"},
       {{"DMA1_CH1", 11, 0, 0},
        {"DMA1_CH2", 12, 1, 1},
        {"DMA1_CH3", 13, 2, 2},
        {"DMA1_CH4", 14, 3, 3},
        {"DMA1_CH5", 15, 4, 4},
        {"DMA1_CH6", 16, 5, 5}},
       {}},
      {"USART3",
       K::kUsart,
       0x40004800,
       0x400,
       {"APB1ENR1", kAPB1ENR1, 18, "USART3EN"},
       {{"USART3", 39, 0, 0}},
       {{"USART3_RX", 28, 0}, {"USART3_TX", 29, 1}}},
  };
  return list;
}

const Peripheral* peripheral(std::string_view name) {
  const auto& l = peripherals();
  auto it = std::find_if(l.begin(), l.end(), [&](const Peripheral& p) { return name == p.name; });
  return it == l.end() ? nullptr : &*it;
}

// LQFP48 / UFQFPN48: all of ports A and B, PC4, PC6, PC10, PC11, PC13..PC15,
// PF0/PF1 (oscillator pins) and PG10 (NRST). GPIOA's and GPIOB's reset states
// carry the debug pins (PA13..PA15, PB3, PB4 with its pull-up).
const std::array<Port, 7>& ports() {
  static const std::array<Port, 7> list = {{
      {'A', 0xABFFFFFF, 0x0C000000, 0x64000000, 0xFFFF},
      {'B', 0xFFFFFEBF, 0x000000C0, 0x00000100, 0xFFFF},
      {'C', 0xFFFFFFFF, 0, 0, 0xEC50},
      {'D', 0xFFFFFFFF, 0, 0, 0x0000},
      {'E', 0xFFFFFFFF, 0, 0, 0x0000},
      {'F', 0xFFFFFFFF, 0, 0, 0x0003},
      {'G', 0xFFFFFFFF, 0, 0, 0x0400},
  }};
  return list;
}

// The timer channel outputs (of the timers modelled here) and USART lines of
// the bonded pins, from the datasheet's alternate-function table. No file here
// holds that table, so no test checks these numbers against it: the entries the
// images and the test board select (PA7, PB8, PB9, PB10, PB11) are held by the
// image tests through what the pins do; the others are as typed. Every other
// alternate function (SPI, I2C, CAN, complementary and break inputs, ...) is
// not listed and not modelled: such a pin in alternate mode floats to its pull.
const std::vector<AltFunction>& alt_functions() {
  static const std::vector<AltFunction> list = {
      {"PA0", 1, "TIM2_CH1"},   {"PA1", 1, "TIM2_CH2"},   {"PA2", 1, "TIM2_CH3"},   {"PA2", 7, "USART2_TX"},
      {"PA3", 1, "TIM2_CH4"},   {"PA3", 7, "USART2_RX"},  {"PA5", 1, "TIM2_CH1"},   {"PA7", 1, "TIM17_CH1"},
      {"PA8", 6, "TIM1_CH1"},   {"PA9", 6, "TIM1_CH2"},   {"PA9", 7, "USART1_TX"},  {"PA9", 10, "TIM2_CH3"},
      {"PA10", 6, "TIM1_CH3"},  {"PA10", 7, "USART1_RX"}, {"PA10", 10, "TIM2_CH4"}, {"PA11", 10, "TIM4_CH1"},
      {"PA11", 11, "TIM1_CH4"}, {"PA12", 10, "TIM4_CH2"}, {"PA13", 10, "TIM4_CH3"}, {"PA14", 5, "TIM8_CH2"},
      {"PA14", 7, "USART2_TX"}, {"PA15", 1, "TIM2_CH1"},  {"PA15", 2, "TIM8_CH1"},  {"PA15", 7, "USART2_RX"},
      {"PB3", 1, "TIM2_CH2"},   {"PB3", 7, "USART2_TX"},  {"PB4", 7, "USART2_RX"},  {"PB5", 10, "TIM17_CH1"},
      {"PB6", 2, "TIM4_CH1"},   {"PB6", 5, "TIM8_CH1"},   {"PB6", 7, "USART1_TX"},  {"PB7", 2, "TIM4_CH2"},
      {"PB7", 7, "USART1_RX"},  {"PB8", 2, "TIM4_CH3"},   {"PB8", 7, "USART3_RX"},  {"PB8", 10, "TIM8_CH2"},
      {"PB9", 1, "TIM17_CH1"},  {"PB9", 2, "TIM4_CH4"},   {"PB9", 7, "USART3_TX"},  {"PB9", 10, "TIM8_CH3"},
      {"PB10", 1, "TIM2_CH3"},  {"PB10", 7, "USART3_TX"}, {"PB11", 1, "TIM2_CH4"},  {"PB11", 7, "USART3_RX"},
      {"PC4", 7, "USART1_TX"},  {"PC6", 4, "TIM8_CH1"},   {"PC10", 7, "USART3_TX"}, {"PC11", 7, "USART3_RX"},
  };
  return list;
}

const char* irq_name(unsigned irq) {
  for (const Peripheral& p : peripherals()) {
    auto it = std::find_if(p.irqs.begin(), p.irqs.end(), [&](const IrqLine& l) { return l.irq == irq; });
    if (it != p.irqs.end()) return it->name;
  }
  return nullptr;
}

bool timer_channel(std::string_view signal, std::string* timer, unsigned* channel) {
  const size_t us = signal.find("_CH");
  if (signal.substr(0, 3) != "TIM" || us == std::string_view::npos || us + 4 != signal.size()) return false;
  unsigned ch = 0;
  const char* first = signal.data() + us + 3;
  if (std::from_chars(first, first + 1, ch).ec != std::errc() || ch < 1 || ch > 4) return false;
  *timer = std::string(signal.substr(0, us));
  *channel = ch;
  return true;
}

}  // namespace vboard::periph::desc
