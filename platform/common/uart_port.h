// The register side of the USARTs. Each implementation of the platform API
// provides these (platform/chip on the chip's registers, platform/host in host
// memory); the handle-state rules on top of them are shared (hal_uart.cpp).
#pragma once

#include "stm32g4xx_hal.h"

namespace uart_port {

// Whether this implementation has the USART instance at all.
bool known(const USART_TypeDef* usart);
// The USART's kernel clock in Hz, as selected for it (before PRESC).
uint32_t kernel_clock_hz(const USART_TypeDef* usart);
// With the USART disabled: frame format, stop bits, flow control and sampling,
// and the kernel clock prescaler, from the handle's Init.
void configure_frame(UART_HandleTypeDef* huart);
// Writes the divider and enables the USART.
void enable(UART_HandleTypeDef* huart, uint32_t brr);
// With the USART disabled for the change (as FIFO settings need), then CR1 back
// as it was: a FIFO threshold (the constant carries its CR3 position), or FIFO
// mode off.
void set_fifo_threshold(USART_TypeDef* usart, bool transmit, uint32_t threshold);
void disable_fifo_mode(USART_TypeDef* usart);
// Receive error flags (ISR bits: PE, FE, NF, ORE) set now, and their acknowledgement.
uint32_t errors(const USART_TypeDef* usart);
void acknowledge(USART_TypeDef* usart, uint32_t errors);

}  // namespace uart_port
