// Host platform: DMA channels, USART3, and the table of interrupt handlers the
// simulated NVIC runs (the boards' handlers do the same on the chip).
#include "dma_port.h"
#include "host_state.h"
#include "uart_port.h"

using platform_host::regs;
using platform_host::detail::state;

namespace {

constexpr uint32_t kCcrEn = 1U << 0U;
constexpr uint32_t kCcrTcie = 1U << 1U;
constexpr uint32_t kCcrHtie = 1U << 2U;
constexpr uint32_t kCcrTeie = 1U << 3U;
constexpr uint32_t kCcrIrqs = kCcrTcie | kCcrHtie | kCcrTeie;

}  // namespace

namespace platform_host::detail {

void run_irq_handler(int irq) {
  State& s = state();
  auto exti_lines = [](uint32_t first, uint32_t last) {
    for (uint32_t line = first; line <= last; ++line) {
      HAL_GPIO_EXTI_IRQHandler(static_cast<uint16_t>(1U << line));
    }
  };
  auto timer = [&s](const TIM_TypeDef* tim) {
    const auto it = s.tim_handles.find(tim);
    if (it != s.tim_handles.end()) {
      HAL_TIM_IRQHandler(it->second);
    }
  };
  auto dma = [&s](const DMA_Channel_TypeDef* ch) {
    const auto it = s.dma_handles.find(ch);
    if (it != s.dma_handles.end()) {
      HAL_DMA_IRQHandler(it->second);
    }
  };
  switch (irq) {
    case EXTI0_IRQn:
      exti_lines(0, 0);
      break;
    case EXTI1_IRQn:
      exti_lines(1, 1);
      break;
    case EXTI2_IRQn:
      exti_lines(2, 2);
      break;
    case EXTI3_IRQn:
      exti_lines(3, 3);
      break;
    case EXTI4_IRQn:
      exti_lines(4, 4);
      break;
    case EXTI9_5_IRQn:
      exti_lines(5, 9);
      break;
    case EXTI15_10_IRQn:
      exti_lines(10, 15);
      break;
    case TIM7_IRQn:
      timer(&regs.tim7);
      break;
    case TIM1_TRG_COM_TIM17_IRQn:
      timer(&regs.tim17);
      break;
    case TIM1_UP_TIM16_IRQn:
      timer(&regs.tim1);
      break;
    case TIM2_IRQn:
      timer(&regs.tim2);
      break;
    case TIM4_IRQn:
      timer(&regs.tim4);
      break;
    case TIM8_UP_IRQn:
      timer(&regs.tim8);
      break;
    case DMA1_Channel1_IRQn:
      dma(&regs.dma1_channel[0]);
      break;
    case DMA1_Channel2_IRQn:
      dma(&regs.dma1_channel[1]);
      break;
    case USART3_IRQn:
      if (s.uart3 != nullptr) {
        HAL_UART_IRQHandler(s.uart3);
      }
      break;
    default:
      break;
  }
}

void pend_irq_for_dma(uint32_t index) {
  pend_irq(static_cast<IRQn_Type>(DMA1_Channel1_IRQn + static_cast<int>(index)));
  service_interrupts();
}

}  // namespace platform_host::detail

namespace dma_port {

uint32_t channel_index(const DMA_Channel_TypeDef* channel) {
  for (uint32_t i = 0; i < kChannels; ++i) {
    if (channel == &regs.dma1_channel[i]) {
      return i;
    }
  }
  return kChannels;
}

void configure(DMA_HandleTypeDef* hdma) {
  const DMA_InitTypeDef& init = hdma->Init;
  hdma->Instance->CCR = init.Direction | init.PeriphInc | init.MemInc | init.PeriphDataAlignment |
                        init.MemDataAlignment | init.Mode | init.Priority;
  regs.dmamux1_channel[hdma->ChannelIndex].CCR = init.Request;
  clear_flags(hdma, kFlagsAll);
  state().dma_handles[hdma->Instance] = hdma;
}

void start(DMA_HandleTypeDef* hdma, uint32_t src, uint32_t dst, uint32_t length, bool half_interrupt) {
  hdma->Instance->CNDTR = length;
  const bool to_periph = (hdma->Instance->CCR & DMA_MEMORY_TO_PERIPH) != 0U;
  hdma->Instance->CPAR = to_periph ? dst : src;
  hdma->Instance->CMAR = to_periph ? src : dst;
  hdma->Instance->CCR = hdma->Instance->CCR | kCcrTcie | kCcrTeie | (half_interrupt ? kCcrHtie : 0U) | kCcrEn;
}

void stop(DMA_HandleTypeDef* hdma) { hdma->Instance->CCR = hdma->Instance->CCR & ~(kCcrEn | kCcrIrqs); }

uint32_t flags(const DMA_HandleTypeDef* hdma) {
  return (regs.dma1.ISR >> (hdma->ChannelIndex * 4U)) & kFlagsAll;
}

// The register file is plain memory: flags are cleared by clearing their bits.
void clear_flags(DMA_HandleTypeDef* hdma, uint32_t group) {
  regs.dma1.ISR = regs.dma1.ISR & ~(group << (hdma->ChannelIndex * 4U));
}

}  // namespace dma_port

namespace uart_port {

// USART3 is the only USART of the register file.
bool known(const USART_TypeDef* usart) { return usart == USART3; }

// As CCIPR's USART3SEL selects it: PCLK1, SYSCLK, HSI16 or LSE.
uint32_t kernel_clock_hz(const USART_TypeDef* /*usart*/) {
  switch ((regs.rcc.CCIPR >> 4U) & 3U) {
    case RCC_USART3CLKSOURCE_PCLK1:
      return HAL_RCC_GetPCLK1Freq();
    case RCC_USART3CLKSOURCE_SYSCLK:
      return HAL_RCC_GetSysClockFreq();
    case RCC_USART3CLKSOURCE_HSI:
      return HSI_VALUE;
    default:
      return 32768U;
  }
}

void configure_frame(UART_HandleTypeDef* huart) {
  USART_TypeDef* u = huart->Instance;
  u->CR1 = u->CR1 & ~1U;  // UE off while configuring
  u->CR1 = (u->CR1 & (1U << 29U)) | huart->Init.WordLength | huart->Init.Parity | huart->Init.Mode |
           huart->Init.OverSampling;
  u->CR2 = huart->Init.StopBits;
  u->PRESC = huart->Init.ClockPrescaler;
}

void enable(UART_HandleTypeDef* huart, uint32_t brr) {
  huart->Instance->BRR = brr;
  huart->Instance->CR1 = huart->Instance->CR1 | 1U;
  state().uart3 = huart;
}

void set_fifo_threshold(USART_TypeDef* u, bool transmit, uint32_t threshold) {
  const uint32_t shift = transmit ? 29U : 25U;
  const uint32_t cr1 = u->CR1;
  u->CR1 = cr1 & ~1U;
  u->CR3 = (u->CR3 & ~(7U << shift)) | (threshold & (7U << shift));
  u->CR1 = cr1;
}

void disable_fifo_mode(USART_TypeDef* u) { u->CR1 = u->CR1 & ~UART_FIFOMODE_ENABLE; }

uint32_t errors(const USART_TypeDef* u) { return u->ISR & 0xFU; }

// The register file is plain memory: the flags are cleared by clearing them.
void acknowledge(USART_TypeDef* u, uint32_t errors) {
  u->ICR = errors;
  u->ISR = u->ISR & ~errors;
}

}  // namespace uart_port
