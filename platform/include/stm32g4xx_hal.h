// The platform API: everything the board code and the middleware use from the
// vendor-style hardware layer: status codes, peripheral handles, init records,
// constants and the HAL_* operations with their weak hooks and callbacks.
//
// Two implementations (backends) exist: platform/chip (the STM32G431's
// registers) and platform/host (host memory, for unit tests). Board-specific settings come from
// the board's stm32g4xx_hal_conf.h (TICK_INT_PRIORITY, HSI_VALUE, ...).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core_cm4.h"
#include "stm32g431xx.h"
#include "stm32g4xx_hal_conf.h"

// ---- Common -----------------------------------------------------------------

enum HAL_StatusTypeDef : uint32_t {
  HAL_OK = 0x00U,
  HAL_ERROR = 0x01U,
  HAL_BUSY = 0x02U,
  HAL_TIMEOUT = 0x03U
};
enum HAL_LockTypeDef : uint32_t { HAL_UNLOCKED = 0x00U, HAL_LOCKED = 0x01U };

#define HAL_MAX_DELAY 0xFFFFFFFFU

// Links a DMA handle and its parent peripheral handle both ways.
#define __HAL_LINKDMA(handle, field, dma) \
  do {                                    \
    (handle)->field = &(dma);             \
    (dma).Parent = (handle);              \
  } while (0)

extern "C" {
extern uint32_t SystemCoreClock;  // core clock in Hz; 16 MHz from reset
extern volatile uint32_t uwTick;  // the 1 ms tick
extern uint32_t uwTickPrio;       // priority the tick interrupt was given
}

// ---- Flash latency ------------------------------------------------------------
#define FLASH_LATENCY_0 0U
#define FLASH_LATENCY_1 1U
#define FLASH_LATENCY_2 2U
#define FLASH_LATENCY_3 3U
#define FLASH_LATENCY_4 4U

// ---- NVIC ---------------------------------------------------------------------
#define NVIC_PRIORITYGROUP_0 0x7U  // 0 bits pre-emption, 4 bits sub-priority
#define NVIC_PRIORITYGROUP_1 0x6U
#define NVIC_PRIORITYGROUP_2 0x5U
#define NVIC_PRIORITYGROUP_3 0x4U
#define NVIC_PRIORITYGROUP_4 0x3U  // 4 bits pre-emption, 0 bits sub-priority

// ---- PWR ----------------------------------------------------------------------
#define PWR_REGULATOR_VOLTAGE_SCALE1_BOOST 0x00000000U
#define PWR_REGULATOR_VOLTAGE_SCALE1 0x00000200U  // range 1, normal mode
#define PWR_REGULATOR_VOLTAGE_SCALE2 0x00000400U

// ---- RCC ----------------------------------------------------------------------
#define RCC_OSCILLATORTYPE_NONE 0x00U
#define RCC_OSCILLATORTYPE_HSE 0x01U
#define RCC_OSCILLATORTYPE_HSI 0x02U
#define RCC_OSCILLATORTYPE_LSE 0x04U
#define RCC_OSCILLATORTYPE_LSI 0x08U
#define RCC_OSCILLATORTYPE_HSI48 0x20U

#define RCC_HSI_OFF 0x000U
#define RCC_HSI_ON 0x100U
#define RCC_HSICALIBRATION_DEFAULT 0x40U

#define RCC_PLL_NONE 0x00U
#define RCC_PLL_OFF 0x01U
#define RCC_PLL_ON 0x02U

#define RCC_PLLSOURCE_NONE 0x00U
#define RCC_PLLSOURCE_HSI 0x02U
#define RCC_PLLSOURCE_HSE 0x03U

// PLL dividers are carried as the divisors themselves; the implementation turns
// them into the register's field codes.
#define RCC_PLLM_DIV1 1U
#define RCC_PLLM_DIV2 2U
#define RCC_PLLM_DIV3 3U
#define RCC_PLLM_DIV4 4U
#define RCC_PLLP_DIV2 2U
#define RCC_PLLQ_DIV2 2U
#define RCC_PLLQ_DIV4 4U
#define RCC_PLLR_DIV2 2U
#define RCC_PLLR_DIV4 4U

#define RCC_CLOCKTYPE_SYSCLK 0x01U
#define RCC_CLOCKTYPE_HCLK 0x02U
#define RCC_CLOCKTYPE_PCLK1 0x04U
#define RCC_CLOCKTYPE_PCLK2 0x08U

#define RCC_SYSCLKSOURCE_HSI 0x01U  // CFGR.SW codes
#define RCC_SYSCLKSOURCE_HSE 0x02U
#define RCC_SYSCLKSOURCE_PLLCLK 0x03U

#define RCC_SYSCLK_DIV1 0x00U  // CFGR.HPRE field values, unshifted
#define RCC_SYSCLK_DIV2 0x08U
#define RCC_SYSCLK_DIV4 0x09U
#define RCC_HCLK_DIV1 0x00U  // CFGR.PPREx field values, unshifted
#define RCC_HCLK_DIV2 0x04U
#define RCC_HCLK_DIV4 0x05U

#define RCC_PERIPHCLK_USART3 0x00000004U
#define RCC_USART3CLKSOURCE_PCLK1 0x0U
#define RCC_USART3CLKSOURCE_SYSCLK 0x1U
#define RCC_USART3CLKSOURCE_HSI 0x2U

struct RCC_PLLInitTypeDef {
  uint32_t PLLState;
  uint32_t PLLSource;
  uint32_t PLLM;
  uint32_t PLLN;
  uint32_t PLLP;
  uint32_t PLLQ;
  uint32_t PLLR;
};

struct RCC_OscInitTypeDef {
  uint32_t OscillatorType;
  uint32_t HSEState;
  uint32_t LSEState;
  uint32_t HSIState;
  uint32_t HSICalibrationValue;
  uint32_t LSIState;
  uint32_t HSI48State;
  RCC_PLLInitTypeDef PLL;
};

struct RCC_ClkInitTypeDef {
  uint32_t ClockType;
  uint32_t SYSCLKSource;
  uint32_t AHBCLKDivider;
  uint32_t APB1CLKDivider;
  uint32_t APB2CLKDivider;
};

struct RCC_PeriphCLKInitTypeDef {
  uint32_t PeriphClockSelection;
  uint32_t Usart1ClockSelection;
  uint32_t Usart2ClockSelection;
  uint32_t Usart3ClockSelection;
};

// Clock enables: set the bit, then read it back so the peripheral is clocked
// before the next access to it.
#define PLATFORM_RCC_CLK_ENABLE(reg, bit)        \
  do {                                           \
    RCC->reg = RCC->reg | (bit);                 \
    volatile uint32_t tmpreg = RCC->reg & (bit); \
    (void)tmpreg;                                \
  } while (0)

#define RCC_AHB1ENR_DMA1EN (1U << 0)
#define RCC_AHB1ENR_DMAMUX1EN (1U << 2)
#define RCC_AHB2ENR_GPIOAEN (1U << 0)
#define RCC_AHB2ENR_GPIOBEN (1U << 1)
#define RCC_AHB2ENR_GPIOCEN (1U << 2)
#define RCC_AHB2ENR_GPIOGEN (1U << 6)
#define RCC_APB1ENR1_TIM2EN (1U << 0)
#define RCC_APB1ENR1_TIM4EN (1U << 2)
#define RCC_APB1ENR1_TIM7EN (1U << 5)
#define RCC_APB1ENR1_USART3EN (1U << 18)
#define RCC_APB1ENR1_PWREN (1U << 28)
#define RCC_APB2ENR_SYSCFGEN (1U << 0)
#define RCC_APB2ENR_TIM1EN (1U << 11)
#define RCC_APB2ENR_TIM8EN (1U << 13)
#define RCC_APB2ENR_TIM17EN (1U << 18)

#define __HAL_RCC_DMA1_CLK_ENABLE() PLATFORM_RCC_CLK_ENABLE(AHB1ENR, RCC_AHB1ENR_DMA1EN)
#define __HAL_RCC_DMAMUX1_CLK_ENABLE() PLATFORM_RCC_CLK_ENABLE(AHB1ENR, RCC_AHB1ENR_DMAMUX1EN)
#define __HAL_RCC_GPIOA_CLK_ENABLE() PLATFORM_RCC_CLK_ENABLE(AHB2ENR, RCC_AHB2ENR_GPIOAEN)
#define __HAL_RCC_GPIOB_CLK_ENABLE() PLATFORM_RCC_CLK_ENABLE(AHB2ENR, RCC_AHB2ENR_GPIOBEN)
#define __HAL_RCC_GPIOC_CLK_ENABLE() PLATFORM_RCC_CLK_ENABLE(AHB2ENR, RCC_AHB2ENR_GPIOCEN)
#define __HAL_RCC_GPIOG_CLK_ENABLE() PLATFORM_RCC_CLK_ENABLE(AHB2ENR, RCC_AHB2ENR_GPIOGEN)
#define __HAL_RCC_TIM2_CLK_ENABLE() PLATFORM_RCC_CLK_ENABLE(APB1ENR1, RCC_APB1ENR1_TIM2EN)
#define __HAL_RCC_TIM4_CLK_ENABLE() PLATFORM_RCC_CLK_ENABLE(APB1ENR1, RCC_APB1ENR1_TIM4EN)
#define __HAL_RCC_TIM7_CLK_ENABLE() PLATFORM_RCC_CLK_ENABLE(APB1ENR1, RCC_APB1ENR1_TIM7EN)
#define __HAL_RCC_USART3_CLK_ENABLE() PLATFORM_RCC_CLK_ENABLE(APB1ENR1, RCC_APB1ENR1_USART3EN)
#define __HAL_RCC_PWR_CLK_ENABLE() PLATFORM_RCC_CLK_ENABLE(APB1ENR1, RCC_APB1ENR1_PWREN)
#define __HAL_RCC_SYSCFG_CLK_ENABLE() PLATFORM_RCC_CLK_ENABLE(APB2ENR, RCC_APB2ENR_SYSCFGEN)
#define __HAL_RCC_TIM1_CLK_ENABLE() PLATFORM_RCC_CLK_ENABLE(APB2ENR, RCC_APB2ENR_TIM1EN)
#define __HAL_RCC_TIM8_CLK_ENABLE() PLATFORM_RCC_CLK_ENABLE(APB2ENR, RCC_APB2ENR_TIM8EN)
#define __HAL_RCC_TIM17_CLK_ENABLE() PLATFORM_RCC_CLK_ENABLE(APB2ENR, RCC_APB2ENR_TIM17EN)

// ---- GPIO ---------------------------------------------------------------------
enum GPIO_PinState : uint32_t { GPIO_PIN_RESET = 0U, GPIO_PIN_SET = 1U };

#define GPIO_PIN_0 0x0001U
#define GPIO_PIN_1 0x0002U
#define GPIO_PIN_2 0x0004U
#define GPIO_PIN_3 0x0008U
#define GPIO_PIN_4 0x0010U
#define GPIO_PIN_5 0x0020U
#define GPIO_PIN_6 0x0040U
#define GPIO_PIN_7 0x0080U
#define GPIO_PIN_8 0x0100U
#define GPIO_PIN_9 0x0200U
#define GPIO_PIN_10 0x0400U
#define GPIO_PIN_11 0x0800U
#define GPIO_PIN_12 0x1000U
#define GPIO_PIN_13 0x2000U
#define GPIO_PIN_14 0x4000U
#define GPIO_PIN_15 0x8000U
#define GPIO_PIN_All 0xFFFFU

// Mode encoding: bits 0-1 MODER value, bit 4 open drain, bit 16 EXTI interrupt,
// bit 17 EXTI event, bit 20 rising trigger, bit 21 falling trigger.
#define GPIO_MODE_INPUT 0x00000000U
#define GPIO_MODE_OUTPUT_PP 0x00000001U
#define GPIO_MODE_OUTPUT_OD 0x00000011U
#define GPIO_MODE_AF_PP 0x00000002U
#define GPIO_MODE_AF_OD 0x00000012U
#define GPIO_MODE_ANALOG 0x00000003U
#define GPIO_MODE_IT_RISING 0x00110000U
#define GPIO_MODE_IT_FALLING 0x00210000U
#define GPIO_MODE_IT_RISING_FALLING 0x00310000U
#define GPIO_MODE_EVT_RISING 0x00120000U
#define GPIO_MODE_EVT_FALLING 0x00220000U
#define GPIO_MODE_EVT_RISING_FALLING 0x00320000U

#define GPIO_NOPULL 0x0U
#define GPIO_PULLUP 0x1U
#define GPIO_PULLDOWN 0x2U

#define GPIO_SPEED_FREQ_LOW 0x0U
#define GPIO_SPEED_FREQ_MEDIUM 0x1U
#define GPIO_SPEED_FREQ_HIGH 0x2U
#define GPIO_SPEED_FREQ_VERY_HIGH 0x3U

#define GPIO_AF1_TIM17 0x1U
#define GPIO_AF2_TIM4 0x2U
#define GPIO_AF7_USART3 0x7U

struct GPIO_InitTypeDef {
  uint32_t Pin;
  uint32_t Mode;
  uint32_t Pull;
  uint32_t Speed;
  uint32_t Alternate;
};

// ---- DMA ----------------------------------------------------------------------
#define DMA_REQUEST_MEM2MEM 0U
#define DMA_REQUEST_USART3_RX 28U
#define DMA_REQUEST_USART3_TX 29U
#define DMA_REQUEST_TIM2_CH2 57U
#define DMA_REQUEST_TIM17_CH1 84U

// Values are the CCR bits they stand for.
#define DMA_PERIPH_TO_MEMORY 0x00000000U
#define DMA_MEMORY_TO_PERIPH 0x00000010U
#define DMA_MEMORY_TO_MEMORY 0x00004000U
#define DMA_PINC_DISABLE 0x00000000U
#define DMA_PINC_ENABLE 0x00000040U
#define DMA_MINC_DISABLE 0x00000000U
#define DMA_MINC_ENABLE 0x00000080U
#define DMA_PDATAALIGN_BYTE 0x00000000U
#define DMA_PDATAALIGN_HALFWORD 0x00000100U
#define DMA_PDATAALIGN_WORD 0x00000200U
#define DMA_MDATAALIGN_BYTE 0x00000000U
#define DMA_MDATAALIGN_HALFWORD 0x00000400U
#define DMA_MDATAALIGN_WORD 0x00000800U
#define DMA_NORMAL 0x00000000U
#define DMA_CIRCULAR 0x00000020U
#define DMA_PRIORITY_LOW 0x00000000U
#define DMA_PRIORITY_MEDIUM 0x00001000U
#define DMA_PRIORITY_HIGH 0x00002000U
#define DMA_PRIORITY_VERY_HIGH 0x00003000U

enum HAL_DMA_StateTypeDef : uint32_t {
  HAL_DMA_STATE_RESET = 0x00U,
  HAL_DMA_STATE_READY = 0x01U,
  HAL_DMA_STATE_BUSY = 0x02U,
  HAL_DMA_STATE_TIMEOUT = 0x03U,
};

#define HAL_DMA_ERROR_NONE 0x00U
#define HAL_DMA_ERROR_TE 0x01U
#define HAL_DMA_ERROR_NO_XFER 0x04U
#define HAL_DMA_ERROR_PARAM 0x40U

struct DMA_InitTypeDef {
  uint32_t Request;
  uint32_t Direction;
  uint32_t PeriphInc;
  uint32_t MemInc;
  uint32_t PeriphDataAlignment;
  uint32_t MemDataAlignment;
  uint32_t Mode;
  uint32_t Priority;
};

struct DMA_HandleTypeDef {
  DMA_Channel_TypeDef* Instance;
  DMA_InitTypeDef Init;
  HAL_LockTypeDef Lock;
  volatile HAL_DMA_StateTypeDef State;
  void* Parent;  // the peripheral handle this channel serves
  void (*XferCpltCallback)(DMA_HandleTypeDef* hdma);
  void (*XferHalfCpltCallback)(DMA_HandleTypeDef* hdma);
  void (*XferErrorCallback)(DMA_HandleTypeDef* hdma);
  void (*XferAbortCallback)(DMA_HandleTypeDef* hdma);
  volatile uint32_t ErrorCode;
  uint32_t ChannelIndex;  // channel number - 1, set by HAL_DMA_Init
};

// ---- TIM ----------------------------------------------------------------------
#define TIM_COUNTERMODE_UP 0x00000000U
#define TIM_CLOCKDIVISION_DIV1 0x00000000U
#define TIM_AUTORELOAD_PRELOAD_DISABLE 0x00000000U
#define TIM_AUTORELOAD_PRELOAD_ENABLE 0x00000080U  // CR1.ARPE

#define TIM_CLOCKSOURCE_INTERNAL 0x00001000U
#define TIM_TRGO_RESET 0x00000000U
#define TIM_TRGO2_RESET 0x00000000U
#define TIM_MASTERSLAVEMODE_DISABLE 0x00000000U

#define TIM_CHANNEL_1 0x00000000U
#define TIM_CHANNEL_2 0x00000004U
#define TIM_CHANNEL_3 0x00000008U
#define TIM_CHANNEL_4 0x0000000CU
#define TIM_CHANNEL_ALL 0x0000003CU

#define TIM_OCMODE_TIMING 0x00000000U
#define TIM_OCMODE_PWM1 0x00000060U  // OCxM = 0110
#define TIM_OCMODE_PWM2 0x00000070U
#define TIM_OCPOLARITY_HIGH 0x00000000U
#define TIM_OCPOLARITY_LOW 0x00000002U
#define TIM_OCNPOLARITY_HIGH 0x00000000U
#define TIM_OCNPOLARITY_LOW 0x00000008U
#define TIM_OCFAST_DISABLE 0x00000000U
#define TIM_OCFAST_ENABLE 0x00000004U
#define TIM_OCIDLESTATE_RESET 0x00000000U
#define TIM_OCIDLESTATE_SET 0x00000100U  // OIS1, shifted to the channel's OISx
#define TIM_OCNIDLESTATE_RESET 0x00000000U
#define TIM_OCNIDLESTATE_SET 0x00000200U  // OIS1N

#define TIM_OSSR_DISABLE 0x00000000U
#define TIM_OSSI_DISABLE 0x00000000U
#define TIM_LOCKLEVEL_OFF 0x00000000U
#define TIM_BREAK_DISABLE 0x00000000U
#define TIM_BREAK_ENABLE 0x00001000U
#define TIM_BREAKPOLARITY_LOW 0x00000000U
#define TIM_BREAKPOLARITY_HIGH 0x00002000U
#define TIM_BREAK_AFMODE_INPUT 0x00000000U
#define TIM_BREAK2_DISABLE 0x00000000U
#define TIM_BREAK2POLARITY_LOW 0x00000000U
#define TIM_BREAK2_AFMODE_INPUT 0x00000000U
#define TIM_AUTOMATICOUTPUT_DISABLE 0x00000000U

#define TIM_DMA_ID_UPDATE 0U
#define TIM_DMA_ID_CC1 1U
#define TIM_DMA_ID_CC2 2U
#define TIM_DMA_ID_CC3 3U
#define TIM_DMA_ID_CC4 4U
#define TIM_DMA_ID_COMMUTATION 5U
#define TIM_DMA_ID_TRIGGER 6U

#define TIM_FLAG_UPDATE 0x00000001U  // SR.UIF
#define TIM_IT_UPDATE 0x00000001U    // DIER.UIE

#define HAL_TIM_ACTIVE_CHANNEL_CLEARED 0x00U
#define HAL_TIM_ACTIVE_CHANNEL_1 0x01U

enum HAL_TIM_StateTypeDef : uint32_t {
  HAL_TIM_STATE_RESET = 0x00U,
  HAL_TIM_STATE_READY = 0x01U,
  HAL_TIM_STATE_BUSY = 0x02U,
  HAL_TIM_STATE_TIMEOUT = 0x03U,
  HAL_TIM_STATE_ERROR = 0x04U,
};

enum HAL_TIM_ChannelStateTypeDef : uint32_t {
  HAL_TIM_CHANNEL_STATE_RESET = 0x00U,
  HAL_TIM_CHANNEL_STATE_READY = 0x01U,
  HAL_TIM_CHANNEL_STATE_BUSY = 0x02U,
};

struct TIM_Base_InitTypeDef {
  uint32_t Prescaler;
  uint32_t CounterMode;
  uint32_t Period;
  uint32_t ClockDivision;
  uint32_t RepetitionCounter;
  uint32_t AutoReloadPreload;
};

struct TIM_OC_InitTypeDef {
  uint32_t OCMode;
  uint32_t Pulse;
  uint32_t OCPolarity;
  uint32_t OCNPolarity;
  uint32_t OCFastMode;
  uint32_t OCIdleState;
  uint32_t OCNIdleState;
};

struct TIM_ClockConfigTypeDef {
  uint32_t ClockSource;
  uint32_t ClockPolarity;
  uint32_t ClockPrescaler;
  uint32_t ClockFilter;
};

struct TIM_MasterConfigTypeDef {
  uint32_t MasterOutputTrigger;
  uint32_t MasterOutputTrigger2;
  uint32_t MasterSlaveMode;
};

struct TIM_BreakDeadTimeConfigTypeDef {
  uint32_t OffStateRunMode;
  uint32_t OffStateIDLEMode;
  uint32_t LockLevel;
  uint32_t DeadTime;
  uint32_t BreakState;
  uint32_t BreakPolarity;
  uint32_t BreakFilter;
  uint32_t BreakAFMode;
  uint32_t Break2State;
  uint32_t Break2Polarity;
  uint32_t Break2Filter;
  uint32_t Break2AFMode;
  uint32_t AutomaticOutput;
};

struct TIM_HandleTypeDef {
  TIM_TypeDef* Instance;
  TIM_Base_InitTypeDef Init;
  uint32_t Channel;            // active channel while a channel callback runs
  DMA_HandleTypeDef* hdma[7];  // indexed by TIM_DMA_ID_*
  HAL_LockTypeDef Lock;
  volatile HAL_TIM_StateTypeDef State;
  volatile HAL_TIM_ChannelStateTypeDef ChannelState[6];
  volatile HAL_TIM_ChannelStateTypeDef ChannelNState[4];
};

// __HAL_TIM_GET_FLAG(htim, flag) and __HAL_TIM_GET_COUNTER(htim): reads of a
// timer's status and counter, from the backend's platform_backend/timer_reads.h.
#include "platform_backend/timer_reads.h"

// ---- UART ---------------------------------------------------------------------
#define UART_WORDLENGTH_8B 0x00000000U
#define UART_STOPBITS_1 0x00000000U
#define UART_PARITY_NONE 0x00000000U
#define UART_MODE_TX_RX 0x0000000CU  // CR1.TE | CR1.RE
#define UART_HWCONTROL_NONE 0x00000000U
#define UART_OVERSAMPLING_16 0x00000000U
#define UART_OVERSAMPLING_8 0x00008000U  // CR1.OVER8
#define UART_ONE_BIT_SAMPLE_DISABLE 0x00000000U
#define UART_PRESCALER_DIV1 0x00000000U  // PRESC: the kernel clock divided by 1, 2, 4, ... 256
#define UART_PRESCALER_DIV2 0x00000001U
#define UART_PRESCALER_DIV4 0x00000002U
#define UART_PRESCALER_DIV6 0x00000003U
#define UART_PRESCALER_DIV8 0x00000004U
#define UART_PRESCALER_DIV10 0x00000005U
#define UART_PRESCALER_DIV12 0x00000006U
#define UART_PRESCALER_DIV16 0x00000007U
#define UART_PRESCALER_DIV32 0x00000008U
#define UART_PRESCALER_DIV64 0x00000009U
#define UART_PRESCALER_DIV128 0x0000000AU
#define UART_PRESCALER_DIV256 0x0000000BU
#define UART_ADVFEATURE_NO_INIT 0x00000000U
#define UART_TXFIFO_THRESHOLD_1_8 0x00000000U
#define UART_RXFIFO_THRESHOLD_1_8 0x00000000U
#define UART_FIFOMODE_DISABLE 0x00000000U
#define UART_FIFOMODE_ENABLE 0x20000000U  // CR1.FIFOEN

// ErrorCode bits: receive errors recorded by HAL_UART_IRQHandler until cleared.
#define HAL_UART_ERROR_NONE 0x00000000U
#define HAL_UART_ERROR_PE 0x00000001U   // parity
#define HAL_UART_ERROR_NE 0x00000002U   // noise
#define HAL_UART_ERROR_FE 0x00000004U   // framing
#define HAL_UART_ERROR_ORE 0x00000008U  // overrun

enum HAL_UART_StateTypeDef : uint32_t {
  HAL_UART_STATE_RESET = 0x00U,
  HAL_UART_STATE_READY = 0x20U,
  HAL_UART_STATE_BUSY = 0x24U,
};

struct UART_InitTypeDef {
  uint32_t BaudRate;
  uint32_t WordLength;
  uint32_t StopBits;
  uint32_t Parity;
  uint32_t Mode;
  uint32_t HwFlowCtl;
  uint32_t OverSampling;
  uint32_t OneBitSampling;
  uint32_t ClockPrescaler;
};

struct UART_AdvFeatureInitTypeDef {
  uint32_t AdvFeatureInit;
};

struct UART_HandleTypeDef {
  USART_TypeDef* Instance;
  UART_InitTypeDef Init;
  UART_AdvFeatureInitTypeDef AdvancedInit;
  uint32_t FifoMode;
  DMA_HandleTypeDef* hdmatx;
  DMA_HandleTypeDef* hdmarx;
  HAL_LockTypeDef Lock;
  volatile HAL_UART_StateTypeDef gState;
  volatile HAL_UART_StateTypeDef RxState;
  volatile uint32_t ErrorCode;
};

// ---- Operations ---------------------------------------------------------------
extern "C" {

HAL_StatusTypeDef HAL_Init(void);
HAL_StatusTypeDef HAL_InitTick(uint32_t TickPriority);
void HAL_IncTick(void);
uint32_t HAL_GetTick(void);
void HAL_Delay(uint32_t Delay);
void HAL_MspInit(void);  // weak hook

void HAL_NVIC_SetPriorityGrouping(uint32_t PriorityGroup);
void HAL_NVIC_SetPriority(IRQn_Type IRQn, uint32_t PreemptPriority, uint32_t SubPriority);
void HAL_NVIC_EnableIRQ(IRQn_Type IRQn);
void HAL_NVIC_DisableIRQ(IRQn_Type IRQn);

void HAL_PWREx_ControlVoltageScaling(uint32_t VoltageScaling);
void HAL_PWREx_DisableUCPDDeadBattery(void);

HAL_StatusTypeDef HAL_RCC_OscConfig(RCC_OscInitTypeDef* RCC_OscInitStruct);
HAL_StatusTypeDef HAL_RCC_ClockConfig(RCC_ClkInitTypeDef* RCC_ClkInitStruct, uint32_t FLatency);
uint32_t HAL_RCC_GetSysClockFreq(void);
uint32_t HAL_RCC_GetHCLKFreq(void);
uint32_t HAL_RCC_GetPCLK1Freq(void);
uint32_t HAL_RCC_GetPCLK2Freq(void);
HAL_StatusTypeDef HAL_RCCEx_PeriphCLKConfig(RCC_PeriphCLKInitTypeDef* PeriphClkInit);

void HAL_GPIO_Init(GPIO_TypeDef* GPIOx, GPIO_InitTypeDef* GPIO_Init);
GPIO_PinState HAL_GPIO_ReadPin(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin);
void HAL_GPIO_WritePin(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin, GPIO_PinState PinState);
void HAL_GPIO_TogglePin(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin);
void HAL_GPIO_EXTI_IRQHandler(uint16_t GPIO_Pin);
void HAL_GPIO_EXTI_Callback(uint16_t GPIO_Pin);  // weak hook

HAL_StatusTypeDef HAL_DMA_Init(DMA_HandleTypeDef* hdma);
HAL_StatusTypeDef HAL_DMA_Start_IT(DMA_HandleTypeDef* hdma, uint32_t SrcAddress, uint32_t DstAddress,
                                   uint32_t DataLength);
HAL_StatusTypeDef HAL_DMA_Abort(DMA_HandleTypeDef* hdma);
void HAL_DMA_IRQHandler(DMA_HandleTypeDef* hdma);

HAL_StatusTypeDef HAL_TIM_Base_Init(TIM_HandleTypeDef* htim);
void HAL_TIM_Base_MspInit(TIM_HandleTypeDef* htim);  // weak hook
HAL_StatusTypeDef HAL_TIM_Base_Start(TIM_HandleTypeDef* htim);
HAL_StatusTypeDef HAL_TIM_Base_Stop(TIM_HandleTypeDef* htim);
HAL_StatusTypeDef HAL_TIM_Base_Start_IT(TIM_HandleTypeDef* htim);
HAL_StatusTypeDef HAL_TIM_Base_Stop_IT(TIM_HandleTypeDef* htim);
HAL_StatusTypeDef HAL_TIM_ConfigClockSource(TIM_HandleTypeDef* htim,
                                            TIM_ClockConfigTypeDef* sClockSourceConfig);
HAL_StatusTypeDef HAL_TIMEx_MasterConfigSynchronization(TIM_HandleTypeDef* htim,
                                                        TIM_MasterConfigTypeDef* sMasterConfig);
HAL_StatusTypeDef HAL_TIM_PWM_Init(TIM_HandleTypeDef* htim);
void HAL_TIM_PWM_MspInit(TIM_HandleTypeDef* htim);  // weak hook
HAL_StatusTypeDef HAL_TIM_PWM_ConfigChannel(TIM_HandleTypeDef* htim, TIM_OC_InitTypeDef* sConfig,
                                            uint32_t Channel);
HAL_StatusTypeDef HAL_TIMEx_ConfigBreakDeadTime(TIM_HandleTypeDef* htim,
                                                TIM_BreakDeadTimeConfigTypeDef* sBreakDeadTimeConfig);
HAL_StatusTypeDef HAL_TIM_PWM_Start_DMA(TIM_HandleTypeDef* htim, uint32_t Channel, const uint32_t* pData,
                                        uint16_t Length);
HAL_StatusTypeDef HAL_TIM_PWM_Stop_DMA(TIM_HandleTypeDef* htim, uint32_t Channel);
void HAL_TIM_IRQHandler(TIM_HandleTypeDef* htim);
void HAL_TIM_PeriodElapsedCallback(TIM_HandleTypeDef* htim);              // weak hook
void HAL_TIM_PWM_PulseFinishedCallback(TIM_HandleTypeDef* htim);          // weak hook
void HAL_TIM_PWM_PulseFinishedHalfCpltCallback(TIM_HandleTypeDef* htim);  // weak hook
void HAL_TIM_ErrorCallback(TIM_HandleTypeDef* htim);                      // weak hook

HAL_StatusTypeDef HAL_UART_Init(UART_HandleTypeDef* huart);
void HAL_UART_MspInit(UART_HandleTypeDef* huart);  // weak hook
HAL_StatusTypeDef HAL_UARTEx_SetTxFifoThreshold(UART_HandleTypeDef* huart, uint32_t TxFifoThreshold);
HAL_StatusTypeDef HAL_UARTEx_SetRxFifoThreshold(UART_HandleTypeDef* huart, uint32_t RxFifoThreshold);
HAL_StatusTypeDef HAL_UARTEx_DisableFifoMode(UART_HandleTypeDef* huart);
void HAL_UART_IRQHandler(UART_HandleTypeDef* huart);

}  // extern "C"
