// The STM32G431CB (48-pin package) as data: each modelled peripheral's place in
// the address map, its clock gate, NVIC lines and DMAMUX request ids; the GPIO
// ports' reset states and bonded pins; the pins' alternate functions. The chip
// (stm32g431.cpp) builds every model from its entry, the report names
// interrupts from it, and a test checks it against the vendor's SVD
// (tests/vboard/chip/chip_svd_test.py, fed by `vboard_chip_dump`).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "vboard/chip_facts.h"

namespace vboard::periph::desc {

// The chip's memory map, its NVIC lines and its reset clock (reference manual:
// 128 KiB of flash, 32 KiB of SRAM1+SRAM2 as one block, 102 maskable
// interrupts, the 16 MHz HSI16). The rest of the program gets them as values:
// through Board::chip_facts() and chip::facts().
inline constexpr ChipFacts kFacts = {
    .flash = {0x08000000, 128 * 1024},
    .sram = {0x20000000, 32 * 1024},
    .irq_count = 102,
    .hsi_hz = 16'000'000,
};

// RCC enable bit that clocks a peripheral; reg == nullptr: always clocked.
struct ClockGate {
  const char* reg = nullptr;  // "APB2ENR"
  uint32_t offset = 0;        // its offset in RCC
  unsigned bit = 0;
  const char* field = nullptr;  // the bit's name in the SVD ("TIM1EN")
};

// An NVIC line the peripheral raises for its sources first..last. Sources are
// numbered per model: EXTI lines; DMA channels 0..5; timer events (TimerEvent).
struct IrqLine {
  const char* name;  // as the reference manual's vector table names it
  unsigned irq;
  unsigned first, last;
};
enum TimerEvent : unsigned { kTimUpdate, kTimCapture, kTimTrigger, kTimBreak };

// A DMAMUX request id; source is model-specific: 0 update, 1..4 CC channels
// for timers.
struct DmaRequest {
  const char* name;  // "TIM17_CH1"
  unsigned id;
  unsigned source;
};

enum class Kind { kRcc, kPwr, kFlash, kSyscfg, kExti, kGpio, kTimer, kDmamux, kDma, kUsart };

// Shape of a timer (which register set and output stage it has).
struct TimerShape {
  unsigned channels = 0;  // capture/compare channels with outputs
  bool bits32 = false;
  bool has_rcr = false;
  bool has_break = false;  // BDTR.MOE gates the outputs
};

struct Peripheral {
  const char* name;
  Kind kind;
  uint32_t base;
  uint32_t size;
  ClockGate gate;
  std::vector<IrqLine> irqs;
  std::vector<DmaRequest> requests;
  TimerShape timer{};  // kTimer only
};

// GPIO port: reset values that differ between ports, and the pins the
// 48-pin package bonds out.
struct Port {
  char letter;
  uint32_t moder_reset, ospeedr_reset, pupdr_reset;
  uint16_t bonded;
};

// One alternate function of a pin. `signal` names a timer channel output as
// "TIMx_CHn"; the chip connects it when TIMx is modelled with that channel.
struct AltFunction {
  const char* pin;  // "PA7"
  unsigned af;
  const char* signal;  // "TIM17_CH1", "USART3_TX"
};

const std::vector<Peripheral>& peripherals();
// The entry of `name`; nullptr when the chip description has none.
const Peripheral* peripheral(std::string_view name);
const std::array<Port, 7>& ports();
const std::vector<AltFunction>& alt_functions();
// The NVIC line's name (first entry that lists it); nullptr when no modelled
// peripheral raises it.
const char* irq_name(unsigned irq);
// Timer channel output named by `signal` ("TIM4_CH3" -> "TIM4", 3); false for
// any other signal.
bool timer_channel(std::string_view signal, std::string* timer, unsigned* channel);

}  // namespace vboard::periph::desc
