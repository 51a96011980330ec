// USARTs in asynchronous mode: the handle-state rules of the platform API,
// shared by both implementations: argument checks, the MSP hook on first use,
// the divider's range, the handle's states, and the error code an interrupt
// records. The registers are reached through uart_port.
#include <iterator>

#include "hal_shared.h"
#include "uart_port.h"

namespace {

// Receive error flags in ISR, and their bits in UART_HandleTypeDef::ErrorCode.
constexpr uint32_t kIsrParity = 1U << 0U;
constexpr uint32_t kIsrFraming = 1U << 1U;
constexpr uint32_t kIsrNoise = 1U << 2U;
constexpr uint32_t kIsrOverrun = 1U << 3U;
constexpr uint32_t kErrorParity = 0x1U;
constexpr uint32_t kErrorNoise = 0x2U;
constexpr uint32_t kErrorFraming = 0x4U;
constexpr uint32_t kErrorOverrun = 0x8U;

constexpr uint32_t kOver8 = 1U << 15U;  // CR1.OVER8, as Init.OverSampling carries it

// PRESC divides the kernel clock by these.
constexpr uint32_t kPrescalerDivisors[] = {1U, 2U, 4U, 6U, 8U, 10U, 12U, 16U, 32U, 64U, 128U, 256U};

// Runs a FIFO change with the handle busy meanwhile.
template <typename Change>
HAL_StatusTypeDef change_fifo(UART_HandleTypeDef* huart, Change change) {
  if (huart == nullptr || huart->Instance == nullptr) {
    return HAL_ERROR;
  }
  huart->gState = HAL_UART_STATE_BUSY;
  change(huart->Instance);
  huart->gState = HAL_UART_STATE_READY;
  return HAL_OK;
}

}  // namespace

extern "C" {

HAL_StatusTypeDef HAL_UART_Init(UART_HandleTypeDef* huart) {
  if (huart == nullptr) {
    return HAL_ERROR;
  }
  const UART_InitTypeDef& init = huart->Init;
  const uint32_t presc = init.ClockPrescaler;
  if (!uart_port::known(huart->Instance) || init.BaudRate == 0U || presc >= std::size(kPrescalerDivisors) ||
      huart->AdvancedInit.AdvFeatureInit != UART_ADVFEATURE_NO_INIT) {
    return HAL_ERROR;
  }
  if (huart->gState == HAL_UART_STATE_RESET) {
    huart->Lock = HAL_UNLOCKED;
    HAL_UART_MspInit(huart);  // kernel clock, bus clock, pins, DMA, interrupt line
  }
  huart->gState = HAL_UART_STATE_BUSY;
  uart_port::configure_frame(huart);

  const uint32_t clock_hz = uart_port::kernel_clock_hz(huart->Instance) / kPrescalerDivisors[presc];
  const uint32_t brr = platform_shared::uart_brr(clock_hz, init.BaudRate, (init.OverSampling & kOver8) != 0U);
  if (brr < platform_shared::kUartBrrMin || brr > platform_shared::kUartBrrMax) {
    huart->gState = HAL_UART_STATE_READY;
    return HAL_ERROR;  // baud rate out of reach of this kernel clock
  }
  uart_port::enable(huart, brr);
  huart->ErrorCode = 0U;
  huart->gState = HAL_UART_STATE_READY;
  huart->RxState = HAL_UART_STATE_READY;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_UARTEx_SetTxFifoThreshold(UART_HandleTypeDef* huart, uint32_t TxFifoThreshold) {
  return change_fifo(huart, [TxFifoThreshold](USART_TypeDef* u) {
    uart_port::set_fifo_threshold(u, true, TxFifoThreshold);
  });
}

HAL_StatusTypeDef HAL_UARTEx_SetRxFifoThreshold(UART_HandleTypeDef* huart, uint32_t RxFifoThreshold) {
  return change_fifo(huart, [RxFifoThreshold](USART_TypeDef* u) {
    uart_port::set_fifo_threshold(u, false, RxFifoThreshold);
  });
}

HAL_StatusTypeDef HAL_UARTEx_DisableFifoMode(UART_HandleTypeDef* huart) {
  const HAL_StatusTypeDef status = change_fifo(huart, uart_port::disable_fifo_mode);
  if (status == HAL_OK) {
    huart->FifoMode = UART_FIFOMODE_DISABLE;
  }
  return status;
}

void HAL_UART_IRQHandler(UART_HandleTypeDef* huart) {
  if (huart == nullptr || huart->Instance == nullptr) {
    return;
  }
  const uint32_t errors = uart_port::errors(huart->Instance);
  if (errors == 0U) {
    return;
  }
  // No transfer is served by this layer; errors are recorded and acknowledged so
  // the line does not stay pending.
  uart_port::acknowledge(huart->Instance, errors);
  uint32_t code = 0U;
  code |= (errors & kIsrParity) != 0U ? kErrorParity : 0U;
  code |= (errors & kIsrNoise) != 0U ? kErrorNoise : 0U;
  code |= (errors & kIsrFraming) != 0U ? kErrorFraming : 0U;
  code |= (errors & kIsrOverrun) != 0U ? kErrorOverrun : 0U;
  huart->ErrorCode = huart->ErrorCode | code;
}

}  // extern "C"
