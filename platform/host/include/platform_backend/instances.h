// Host implementation: every peripheral instance is a block of ordinary memory
// in one register file owned by the host platform, so tests can set and inspect
// it (included by stm32g431xx.h as platform_backend/instances.h).
#pragma once

namespace platform_host {
struct RegisterFile {
  GPIO_TypeDef gpio[7];
  RCC_TypeDef rcc;
  PWR_TypeDef pwr;
  FLASH_TypeDef flash;
  SYSCFG_TypeDef syscfg;
  EXTI_TypeDef exti;
  TIM_TypeDef tim1, tim2, tim4, tim7, tim8, tim17;
  DMA_TypeDef dma1;
  DMA_Channel_TypeDef dma1_channel[6];
  DMAMUX_Channel_TypeDef dmamux1_channel[12];
  DMAMUX_ChannelStatus_TypeDef dmamux1_status;
  USART_TypeDef usart3;
};
extern RegisterFile regs;
}  // namespace platform_host

#define PLATFORM_INSTANCE(type, register_file_member, base) (&platform_host::regs.register_file_member)
