// USART in asynchronous mode: frame format, baud rate from the selected kernel
// clock, FIFO thresholds and FIFO mode, and the interrupt handler's error
// acknowledgement.
#include <algorithm>
#include <iterator>

#include "chip_internal.h"
#include "hal_shared.h"

using namespace chip;

namespace {

// Error bits in UART_HandleTypeDef::ErrorCode.
constexpr uint32_t kErrorParity = 0x1U;
constexpr uint32_t kErrorNoise = 0x2U;
constexpr uint32_t kErrorFraming = 0x4U;
constexpr uint32_t kErrorOverrun = 0x8U;

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
uint32_t kernel_clock_hz(const UsartClock& c) {
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

constexpr uint32_t kPrescalerDivisors[] = {1U, 2U, 4U, 6U, 8U, 10U, 12U, 16U, 32U, 64U, 128U, 256U};

// Runs `change` with the USART disabled (the FIFO settings may only be changed
// then) and puts CR1 back as it was, enable bit included.
template <typename Change>
HAL_StatusTypeDef with_usart_disabled(UART_HandleTypeDef* huart, Change change) {
  if (huart == nullptr || huart->Instance == nullptr) {
    return HAL_ERROR;
  }
  huart->gState = HAL_UART_STATE_BUSY;
  USART_TypeDef* u = huart->Instance;
  const uint32_t saved_cr1 = u->CR1;
  clear_bits(u->CR1, usart::CR1_UE);
  const uint32_t cr1 = change(u, saved_cr1);
  u->CR1 = cr1;
  huart->gState = HAL_UART_STATE_READY;
  return HAL_OK;
}

}  // namespace

extern "C" {

HAL_StatusTypeDef HAL_UART_Init(UART_HandleTypeDef* huart) {
  if (huart == nullptr) {
    return HAL_ERROR;
  }
  const UsartClock* clock = usart_clock(huart->Instance);
  const UART_InitTypeDef& init = huart->Init;
  const uint32_t presc = init.ClockPrescaler;
  if (clock == nullptr || init.BaudRate == 0U || presc >= sizeof(kPrescalerDivisors) / sizeof(uint32_t) ||
      huart->AdvancedInit.AdvFeatureInit != UART_ADVFEATURE_NO_INIT) {
    return HAL_ERROR;
  }
  if (huart->gState == HAL_UART_STATE_RESET) {
    huart->Lock = HAL_UNLOCKED;
    HAL_UART_MspInit(huart);  // kernel clock, bus clock, pins, DMA, interrupt line
  }
  huart->gState = HAL_UART_STATE_BUSY;
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
  write_field(u->PRESC, usart::PRESC_PRESCALER, presc);

  const bool over8 = (init.OverSampling & usart::CR1_OVER8) != 0U;
  const uint32_t brr =
      platform_shared::uart_brr(kernel_clock_hz(*clock) / kPrescalerDivisors[presc], init.BaudRate, over8);
  if (brr < platform_shared::kUartBrrMin || brr > platform_shared::kUartBrrMax) {
    huart->gState = HAL_UART_STATE_READY;
    return HAL_ERROR;  // baud rate out of reach of this kernel clock
  }
  u->BRR = brr;

  set_bits(u->CR1, usart::CR1_UE);
  huart->ErrorCode = 0U;
  huart->gState = HAL_UART_STATE_READY;
  huart->RxState = HAL_UART_STATE_READY;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_UARTEx_SetTxFifoThreshold(UART_HandleTypeDef* huart, uint32_t TxFifoThreshold) {
  return with_usart_disabled(huart, [TxFifoThreshold](USART_TypeDef* u, uint32_t cr1) {
    // The threshold constants carry their CR3 position.
    modify(u->CR3, usart::CR3_TXFTCFG.mask(), TxFifoThreshold & usart::CR3_TXFTCFG.mask());
    return cr1;
  });
}

HAL_StatusTypeDef HAL_UARTEx_SetRxFifoThreshold(UART_HandleTypeDef* huart, uint32_t RxFifoThreshold) {
  return with_usart_disabled(huart, [RxFifoThreshold](USART_TypeDef* u, uint32_t cr1) {
    modify(u->CR3, usart::CR3_RXFTCFG.mask(), RxFifoThreshold & usart::CR3_RXFTCFG.mask());
    return cr1;
  });
}

HAL_StatusTypeDef HAL_UARTEx_DisableFifoMode(UART_HandleTypeDef* huart) {
  const HAL_StatusTypeDef status = with_usart_disabled(huart, [](USART_TypeDef*, uint32_t cr1) {
    return cr1 & ~usart::CR1_FIFOEN;  // restored together with the enable bit
  });
  if (status == HAL_OK) {
    huart->FifoMode = UART_FIFOMODE_DISABLE;
  }
  return status;
}

void HAL_UART_IRQHandler(UART_HandleTypeDef* huart) {
  if (huart == nullptr || huart->Instance == nullptr) {
    return;
  }
  USART_TypeDef* u = huart->Instance;
  const uint32_t errors = u->ISR & usart::ICR_ERRORS;
  if (errors == 0U) {
    return;
  }
  // No transfer is served by this layer; errors are recorded and acknowledged so
  // the line does not stay pending.
  u->ICR = errors;
  uint32_t code = 0U;
  code |= (errors & usart::ISR_PE) != 0U ? kErrorParity : 0U;
  code |= (errors & usart::ISR_NF) != 0U ? kErrorNoise : 0U;
  code |= (errors & usart::ISR_FE) != 0U ? kErrorFraming : 0U;
  code |= (errors & usart::ISR_ORE) != 0U ? kErrorOverrun : 0U;
  huart->ErrorCode = huart->ErrorCode | code;
}

}  // extern "C"
