// The chip's registers and interrupt lines by name, for tests: an address is
// the chip description's base of the peripheral plus the generated offset of
// the register (`reg("TIM7", tim::CR1)`), an NVIC line is the one the chip
// description lists for the peripheral's source (`irq("TIM17")`). Every test
// that addresses the chip goes through here, so none keeps an address of its own.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>

#include "chip/stm32g431_desc.h"
#include "chip/stm32g431_regs.h"

namespace vboard::test {

namespace periph = vboard::periph;
namespace tim = periph::tim;
namespace gpio = periph::gpio;
namespace rcc = periph::rcc;
namespace pwr = periph::pwr;
namespace flash = periph::flash;
namespace exti = periph::exti;
namespace syscfg = periph::syscfg;
namespace dma = periph::dma;
namespace dmamux = periph::dmamux;
namespace usart = periph::usart;

// Values of fields the SVD gives no names for (reference manual RM0440).
namespace pin_mode {  // GPIOx_MODER.MODERy
inline constexpr uint32_t kInput = 0;
inline constexpr uint32_t kOutput = 1;
inline constexpr uint32_t kAlternate = 2;
inline constexpr uint32_t kAnalog = 3;
}  // namespace pin_mode
namespace pin_pull {  // GPIOx_PUPDR.PUPDRy
inline constexpr uint32_t kNone = 0;
inline constexpr uint32_t kUp = 1;
inline constexpr uint32_t kDown = 2;
}  // namespace pin_pull
namespace dma_size {  // DMA_CCRx.PSIZE, MSIZE
inline constexpr uint32_t k8Bits = 0;
inline constexpr uint32_t k16Bits = 1;
inline constexpr uint32_t k32Bits = 2;
}  // namespace dma_size

// Channel `ch`'s flags in the DMA's ISR (and IFCR): GIF, TCIF, HTIF, TEIF.
constexpr uint32_t dma_channel_flags(unsigned ch) {
  return dma::isr::GIFx(ch) | dma::isr::TCIFx(ch) | dma::isr::HTIFx(ch) | dma::isr::TEIFx(ch);
}

// The chip description's entry of `peripheral` (a test failure if it has none).
inline const periph::desc::Peripheral& entry(std::string_view peripheral) {
  static const periph::desc::Peripheral none{"", periph::desc::Kind::kRcc, 0, 0, {}, {}, {}, {}};
  const periph::desc::Peripheral* p = periph::desc::peripheral(peripheral);
  if (p == nullptr) ADD_FAILURE() << "the chip description has no " << peripheral;
  return p ? *p : none;
}

// The base address of `peripheral`.
inline uint32_t base(std::string_view peripheral) { return entry(peripheral).base; }

// The address of the register at `offset` (a name from chip/stm32g431_regs.h) of `peripheral`.
inline uint32_t reg(std::string_view peripheral, uint32_t offset) { return base(peripheral) + offset; }

// Whether `addr` lies in the register block of `peripheral`.
inline bool in_block(std::string_view peripheral, uint32_t addr) {
  const periph::desc::Peripheral& p = entry(peripheral);
  return addr >= p.base && addr - p.base < p.size;
}

// The NVIC line `peripheral` raises for its source `source` (a timer event
// desc::kTimUpdate..., a DMA channel from 0, an EXTI line; the first line it
// lists when omitted).
inline unsigned irq(std::string_view peripheral, unsigned source = ~0u) {
  const periph::desc::Peripheral& p = entry(peripheral);
  for (const periph::desc::IrqLine& l : p.irqs)
    if (source == ~0u || (source >= l.first && source <= l.last)) return l.irq;
  ADD_FAILURE() << peripheral << " raises no NVIC line for source " << source;
  return 0;
}

}  // namespace vboard::test
