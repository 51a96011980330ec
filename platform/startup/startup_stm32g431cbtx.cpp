// Reset entry and interrupt vector table of the STM32G431CB, shared by both
// boards. The table holds the initial stack pointer, the reset entry, the core's
// exceptions and the chip's 102 interrupt lines; every handler name is a weak
// alias of Default_Handler, so a board fills a slot simply by defining the
// handler (in its Core/Src/stm32g4xx_it.cpp).
#include <cstdint>

extern "C" {
// Linker-script symbols: only their addresses carry meaning.
extern uint32_t _estack;  // top of RAM, initial main stack pointer
extern uint32_t _sidata;  // load address of .data in flash
extern uint32_t _sdata;   // .data in RAM, word aligned
extern uint32_t _edata;
extern uint32_t _sbss;  // .bss in RAM, word aligned
extern uint32_t _ebss;

void SystemInit();
void __libc_init_array();
[[noreturn]] void Reset_Handler();
[[noreturn]] void Reset_Handler_Body();
void Default_Handler();
}

// The board's main, reached through its symbol name: C++ does not let a program
// name ::main itself.
extern "C" int board_main() __asm__("main");

// The reset path. The stack pointer is loaded first, in
// assembly, so that the rest may run as ordinary compiled code even when the
// image is entered by a debugger or boot loader with some other stack.
extern "C" __attribute__((naked, noreturn)) void Reset_Handler() {
  __asm volatile(
      "ldr r0, =_estack\n"
      "mov sp, r0\n"
      "b Reset_Handler_Body\n");
}

extern "C" __attribute__((used, noreturn)) void Reset_Handler_Body() {
  // Before memory is initialised: SystemInit may use neither .data nor .bss.
  SystemInit();

  // One 32-bit word at a time, over addresses (the linker symbols bound regions,
  // not C++ objects); the volatile stores keep the compiler from turning the
  // loops into library calls.
  uintptr_t from = reinterpret_cast<uintptr_t>(&_sidata);
  for (uintptr_t to = reinterpret_cast<uintptr_t>(&_sdata); to < reinterpret_cast<uintptr_t>(&_edata);
       to += 4U, from += 4U) {
    *reinterpret_cast<volatile uint32_t*>(to) = *reinterpret_cast<const uint32_t*>(from);
  }
  for (uintptr_t to = reinterpret_cast<uintptr_t>(&_sbss); to < reinterpret_cast<uintptr_t>(&_ebss);
       to += 4U) {
    *reinterpret_cast<volatile uint32_t*>(to) = 0U;
  }

  __libc_init_array();
  (void)board_main();

  // main never returns; if it did, stay here rather than run off into flash.
  for (;;) {
    __asm volatile("" ::: "memory");
  }
}

// Any enabled interrupt without a handler of its own ends here and stays: the
// foreground and every interrupt of equal or lower priority stop for good.
extern "C" void Default_Handler() {
  for (;;) {
    __asm volatile("" ::: "memory");
  }
}

#define WEAK_DEFAULT(name) void name() __attribute__((weak, alias("Default_Handler")))

extern "C" {
// Core exceptions.
WEAK_DEFAULT(NMI_Handler);
WEAK_DEFAULT(HardFault_Handler);
WEAK_DEFAULT(MemManage_Handler);
WEAK_DEFAULT(BusFault_Handler);
WEAK_DEFAULT(UsageFault_Handler);
WEAK_DEFAULT(SVC_Handler);
WEAK_DEFAULT(DebugMon_Handler);
WEAK_DEFAULT(PendSV_Handler);
WEAK_DEFAULT(SysTick_Handler);

// Interrupt lines, in IRQ number order.
WEAK_DEFAULT(WWDG_IRQHandler);
WEAK_DEFAULT(PVD_PVM_IRQHandler);
WEAK_DEFAULT(RTC_TAMP_LSECSS_IRQHandler);
WEAK_DEFAULT(RTC_WKUP_IRQHandler);
WEAK_DEFAULT(FLASH_IRQHandler);
WEAK_DEFAULT(RCC_IRQHandler);
WEAK_DEFAULT(EXTI0_IRQHandler);
WEAK_DEFAULT(EXTI1_IRQHandler);
WEAK_DEFAULT(EXTI2_IRQHandler);
WEAK_DEFAULT(EXTI3_IRQHandler);
WEAK_DEFAULT(EXTI4_IRQHandler);
WEAK_DEFAULT(DMA1_Channel1_IRQHandler);
WEAK_DEFAULT(DMA1_Channel2_IRQHandler);
WEAK_DEFAULT(DMA1_Channel3_IRQHandler);
WEAK_DEFAULT(DMA1_Channel4_IRQHandler);
WEAK_DEFAULT(DMA1_Channel5_IRQHandler);
WEAK_DEFAULT(DMA1_Channel6_IRQHandler);
WEAK_DEFAULT(ADC1_2_IRQHandler);
WEAK_DEFAULT(USB_HP_IRQHandler);
WEAK_DEFAULT(USB_LP_IRQHandler);
WEAK_DEFAULT(FDCAN1_IT0_IRQHandler);
WEAK_DEFAULT(FDCAN1_IT1_IRQHandler);
WEAK_DEFAULT(EXTI9_5_IRQHandler);
WEAK_DEFAULT(TIM1_BRK_TIM15_IRQHandler);
WEAK_DEFAULT(TIM1_UP_TIM16_IRQHandler);
WEAK_DEFAULT(TIM1_TRG_COM_TIM17_IRQHandler);
WEAK_DEFAULT(TIM1_CC_IRQHandler);
WEAK_DEFAULT(TIM2_IRQHandler);
WEAK_DEFAULT(TIM3_IRQHandler);
WEAK_DEFAULT(TIM4_IRQHandler);
WEAK_DEFAULT(I2C1_EV_IRQHandler);
WEAK_DEFAULT(I2C1_ER_IRQHandler);
WEAK_DEFAULT(I2C2_EV_IRQHandler);
WEAK_DEFAULT(I2C2_ER_IRQHandler);
WEAK_DEFAULT(SPI1_IRQHandler);
WEAK_DEFAULT(SPI2_IRQHandler);
WEAK_DEFAULT(USART1_IRQHandler);
WEAK_DEFAULT(USART2_IRQHandler);
WEAK_DEFAULT(USART3_IRQHandler);
WEAK_DEFAULT(EXTI15_10_IRQHandler);
WEAK_DEFAULT(RTC_Alarm_IRQHandler);
WEAK_DEFAULT(USBWakeUp_IRQHandler);
WEAK_DEFAULT(TIM8_BRK_IRQHandler);
WEAK_DEFAULT(TIM8_UP_IRQHandler);
WEAK_DEFAULT(TIM8_TRG_COM_IRQHandler);
WEAK_DEFAULT(TIM8_CC_IRQHandler);
WEAK_DEFAULT(LPTIM1_IRQHandler);
WEAK_DEFAULT(SPI3_IRQHandler);
WEAK_DEFAULT(UART4_IRQHandler);
WEAK_DEFAULT(TIM6_DAC_IRQHandler);
WEAK_DEFAULT(TIM7_IRQHandler);
WEAK_DEFAULT(DMA2_Channel1_IRQHandler);
WEAK_DEFAULT(DMA2_Channel2_IRQHandler);
WEAK_DEFAULT(DMA2_Channel3_IRQHandler);
WEAK_DEFAULT(DMA2_Channel4_IRQHandler);
WEAK_DEFAULT(DMA2_Channel5_IRQHandler);
WEAK_DEFAULT(UCPD1_IRQHandler);
WEAK_DEFAULT(COMP1_2_3_IRQHandler);
WEAK_DEFAULT(COMP4_IRQHandler);
WEAK_DEFAULT(CRS_IRQHandler);
WEAK_DEFAULT(SAI1_IRQHandler);
WEAK_DEFAULT(FPU_IRQHandler);
WEAK_DEFAULT(RNG_IRQHandler);
WEAK_DEFAULT(LPUART1_IRQHandler);
WEAK_DEFAULT(I2C3_EV_IRQHandler);
WEAK_DEFAULT(I2C3_ER_IRQHandler);
WEAK_DEFAULT(DMAMUX_OVR_IRQHandler);
WEAK_DEFAULT(DMA2_Channel6_IRQHandler);
WEAK_DEFAULT(CORDIC_IRQHandler);
WEAK_DEFAULT(FMAC_IRQHandler);
}

#undef WEAK_DEFAULT

namespace {

// Word 0 is an address in RAM, all others are code addresses (or 0).
union Vector {
  const void* stack_top;
  void (*handler)();
};

constexpr Vector none{.handler = nullptr};  // reserved word or interrupt the G431 does not have

}  // namespace

// Used in place at 0x08000000: the vector table offset register keeps its reset value.
extern "C" __attribute__((section(".isr_vector"), used)) const Vector g_pfnVectors[] = {
    {.stack_top = &_estack},
    {.handler = Reset_Handler},
    {.handler = NMI_Handler},
    {.handler = HardFault_Handler},
    {.handler = MemManage_Handler},
    {.handler = BusFault_Handler},
    {.handler = UsageFault_Handler},
    none,
    none,
    none,
    none,
    {.handler = SVC_Handler},
    {.handler = DebugMon_Handler},
    none,
    {.handler = PendSV_Handler},
    {.handler = SysTick_Handler},
    // IRQ 0
    {.handler = WWDG_IRQHandler},
    {.handler = PVD_PVM_IRQHandler},
    {.handler = RTC_TAMP_LSECSS_IRQHandler},
    {.handler = RTC_WKUP_IRQHandler},
    {.handler = FLASH_IRQHandler},
    {.handler = RCC_IRQHandler},
    {.handler = EXTI0_IRQHandler},
    {.handler = EXTI1_IRQHandler},
    {.handler = EXTI2_IRQHandler},
    {.handler = EXTI3_IRQHandler},
    // IRQ 10
    {.handler = EXTI4_IRQHandler},
    {.handler = DMA1_Channel1_IRQHandler},
    {.handler = DMA1_Channel2_IRQHandler},
    {.handler = DMA1_Channel3_IRQHandler},
    {.handler = DMA1_Channel4_IRQHandler},
    {.handler = DMA1_Channel5_IRQHandler},
    {.handler = DMA1_Channel6_IRQHandler},
    none,
    {.handler = ADC1_2_IRQHandler},
    {.handler = USB_HP_IRQHandler},
    // IRQ 20
    {.handler = USB_LP_IRQHandler},
    {.handler = FDCAN1_IT0_IRQHandler},
    {.handler = FDCAN1_IT1_IRQHandler},
    {.handler = EXTI9_5_IRQHandler},
    {.handler = TIM1_BRK_TIM15_IRQHandler},
    {.handler = TIM1_UP_TIM16_IRQHandler},
    {.handler = TIM1_TRG_COM_TIM17_IRQHandler},
    {.handler = TIM1_CC_IRQHandler},
    {.handler = TIM2_IRQHandler},
    {.handler = TIM3_IRQHandler},
    // IRQ 30
    {.handler = TIM4_IRQHandler},
    {.handler = I2C1_EV_IRQHandler},
    {.handler = I2C1_ER_IRQHandler},
    {.handler = I2C2_EV_IRQHandler},
    {.handler = I2C2_ER_IRQHandler},
    {.handler = SPI1_IRQHandler},
    {.handler = SPI2_IRQHandler},
    {.handler = USART1_IRQHandler},
    {.handler = USART2_IRQHandler},
    {.handler = USART3_IRQHandler},
    // IRQ 40
    {.handler = EXTI15_10_IRQHandler},
    {.handler = RTC_Alarm_IRQHandler},
    {.handler = USBWakeUp_IRQHandler},
    {.handler = TIM8_BRK_IRQHandler},
    {.handler = TIM8_UP_IRQHandler},
    {.handler = TIM8_TRG_COM_IRQHandler},
    {.handler = TIM8_CC_IRQHandler},
    none,
    none,
    {.handler = LPTIM1_IRQHandler},
    // IRQ 50
    none,
    {.handler = SPI3_IRQHandler},
    {.handler = UART4_IRQHandler},
    none,
    {.handler = TIM6_DAC_IRQHandler},
    {.handler = TIM7_IRQHandler},
    {.handler = DMA2_Channel1_IRQHandler},
    {.handler = DMA2_Channel2_IRQHandler},
    {.handler = DMA2_Channel3_IRQHandler},
    {.handler = DMA2_Channel4_IRQHandler},
    // IRQ 60
    {.handler = DMA2_Channel5_IRQHandler},
    none,
    none,
    {.handler = UCPD1_IRQHandler},
    {.handler = COMP1_2_3_IRQHandler},
    {.handler = COMP4_IRQHandler},
    none,  // COMP7: larger G4 parts only
    none,
    none,
    none,
    // IRQ 70
    none,
    none,
    none,
    none,
    none,
    {.handler = CRS_IRQHandler},
    {.handler = SAI1_IRQHandler},
    none,  // TIM20 break: larger G4 parts only
    none,  // TIM20 update
    none,  // TIM20 trigger/commutation
    // IRQ 80
    none,  // TIM20 capture/compare
    {.handler = FPU_IRQHandler},
    none,
    none,
    none,
    none,  // AES: STM32G441 only
    none,
    none,
    none,
    none,
    // IRQ 90
    {.handler = RNG_IRQHandler},
    {.handler = LPUART1_IRQHandler},
    {.handler = I2C3_EV_IRQHandler},
    {.handler = I2C3_ER_IRQHandler},
    {.handler = DMAMUX_OVR_IRQHandler},
    none,
    none,
    {.handler = DMA2_Channel6_IRQHandler},
    none,
    none,
    // IRQ 100
    {.handler = CORDIC_IRQHandler},
    {.handler = FMAC_IRQHandler},
};

static_assert(sizeof(g_pfnVectors) == 118U * 4U, "16 core words plus 102 interrupt lines");
