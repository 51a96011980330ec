// USARTs on the chip's registers: the register side of the platform API's USART
// functions (uart_port.h; the handle-state rules are shared): frame format, the
// selected kernel clock, FIFO thresholds and mode, error flags.
#include <algorithm>
#include <iterator>

#include "chip_internal.h"
#include "uart_port.h"

using namespace chip;

namespace {

constexpr uint32_t kLseHz = 32768U;

// USARTs whose kernel clock selection this layer knows: where it is chosen in
// CCIPR and which bus clocks it when "PCLK" is selected.
struct UsartClock {
  uintptr_t base;
  Field sel;
  uint32_t (*pclk)();
};
constexpr UsartClock kUsarts[] = {
    {usart::USART1_BASE, rcc::CCIPR_USART1SEL, HAL_RCC_GetPCLK2Freq},
    {usart::USART2_BASE, rcc::CCIPR_USART2SEL, HAL_RCC_GetPCLK1Freq},
    {USART3_BASE, rcc::CCIPR_USART3SEL, HAL_RCC_GetPCLK1Freq},
};

const UsartClock* usart_clock(const USART_TypeDef* u) {
  const auto* it = std::find_if(std::begin(kUsarts), std::end(kUsarts), [u](const UsartClock& c) {
    return c.base == reinterpret_cast<uintptr_t>(u);
  });
  return it == std::end(kUsarts) ? nullptr : it;
}

// Kernel clock in Hz as CCIPR selects it (0 if the source is unknown).
uint32_t selected_clock_hz(const UsartClock& c) {
  switch (c.sel.get(RCC->CCIPR)) {
    case rcc::UARTSEL_PCLK:
      return c.pclk();
    case rcc::UARTSEL_SYSCLK:
      return HAL_RCC_GetSysClockFreq();
    case rcc::UARTSEL_HSI16:
      return HSI_VALUE;
    default:
      return kLseHz;
  }
}

}  // namespace

namespace uart_port {

bool known(const USART_TypeDef* usart) { return usart_clock(usart) != nullptr; }

uint32_t kernel_clock_hz(const USART_TypeDef* usart) { return selected_clock_hz(*usart_clock(usart)); }

void configure_frame(UART_HandleTypeDef* huart) {
  const UART_InitTypeDef& init = huart->Init;
  USART_TypeDef* u = huart->Instance;
  // Frame format and baud rate can only be written with the USART disabled.
  clear_bits(u->CR1, usart::CR1_UE);

  const uint32_t cr1_mask = usart::CR1_M0 | usart::CR1_M1 | usart::CR1_PCE | usart::CR1_PS | usart::CR1_TE |
                            usart::CR1_RE | usart::CR1_OVER8;
  modify(u->CR1, cr1_mask, (init.WordLength | init.Parity | init.Mode | init.OverSampling) & cr1_mask);
  // Asynchronous mode: no LIN, no synchronous clock; stop bits as asked.
  modify(u->CR2, usart::CR2_STOP.mask() | usart::CR2_LINEN | usart::CR2_CLKEN,
         init.StopBits & usart::CR2_STOP.mask());
  // Flow control and sampling as asked; no smartcard, half-duplex or IrDA.
  const uint32_t cr3_mask = usart::CR3_RTSE | usart::CR3_CTSE | usart::CR3_ONEBIT;
  modify(u->CR3, cr3_mask | usart::CR3_SCEN | usart::CR3_HDSEL | usart::CR3_IREN,
         (init.HwFlowCtl | init.OneBitSampling) & cr3_mask);
  write_field(u->PRESC, usart::PRESC_PRESCALER, init.ClockPrescaler);
}

void enable(UART_HandleTypeDef* huart, uint32_t brr) {
  huart->Instance->BRR = brr;
  set_bits(huart->Instance->CR1, usart::CR1_UE);
}

void set_fifo_threshold(USART_TypeDef* u, bool transmit, uint32_t threshold) {
  const uint32_t saved_cr1 = u->CR1;
  clear_bits(u->CR1, usart::CR1_UE);
  const uint32_t mask = transmit ? usart::CR3_TXFTCFG.mask() : usart::CR3_RXFTCFG.mask();
  modify(u->CR3, mask, threshold & mask);
  u->CR1 = saved_cr1;
}

void disable_fifo_mode(USART_TypeDef* u) {
  const uint32_t saved_cr1 = u->CR1;
  clear_bits(u->CR1, usart::CR1_UE);
  u->CR1 = saved_cr1 & ~usart::CR1_FIFOEN;  // restored together with the enable bit
}

uint32_t errors(const USART_TypeDef* u) { return u->ISR & usart::ICR_ERRORS; }

// ICR has a clear bit at each error flag's position.
void acknowledge(USART_TypeDef* u, uint32_t errors) { u->ICR = errors; }

}  // namespace uart_port
