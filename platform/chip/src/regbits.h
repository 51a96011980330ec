// Named register fields of the STM32G431 and the Cortex-M4 core, as far as the
// chip implementation of the platform API uses them. Positions and widths come
// from the register fact sheet; every register access in platform/chip goes
// through one of these names.
#pragma once

#include <cstdint>

#include "core_cm4.h"

namespace chip {

// A register field: `width` bits starting at bit `pos`.
struct Field {
  uint32_t pos;
  uint32_t width;

  // Always inlined: with the field a constant these fold into one or two
  // instructions, where a call would also need the field's address.
  [[gnu::always_inline]] constexpr uint32_t mask() const {
    return (width >= 32U ? 0xFFFFFFFFU : ((1U << width) - 1U)) << pos;
  }
  // The field holding `value` (excess high bits dropped), ready to OR into a register.
  [[gnu::always_inline]] constexpr uint32_t val(uint32_t value) const { return (value << pos) & mask(); }
  // The field's value read out of a register value.
  [[gnu::always_inline]] constexpr uint32_t get(uint32_t reg) const { return (reg & mask()) >> pos; }
};

constexpr uint32_t bit(uint32_t n) { return 1U << n; }

// One read-modify-write: the bits in `clear` go to 0, then the bits in `set` to 1.
inline void modify(volatile uint32_t& reg, uint32_t clear, uint32_t set) { reg = (reg & ~clear) | set; }
inline void set_bits(volatile uint32_t& reg, uint32_t bits) { reg = reg | bits; }
inline void clear_bits(volatile uint32_t& reg, uint32_t bits) { reg = reg & ~bits; }
inline void write_field(volatile uint32_t& reg, Field f, uint32_t value) {
  modify(reg, f.mask(), f.val(value));
}

// ---- SysTick, SCB, NVIC --------------------------------------------------------
namespace systick {
constexpr uint32_t CTRL_ENABLE = bit(0);
constexpr uint32_t CTRL_TICKINT = bit(1);
constexpr uint32_t CTRL_CLKSOURCE = bit(2);  // 1: processor clock (HCLK)
constexpr uint32_t LOAD_MAX = 0x00FFFFFFU;   // RELOAD is 24 bits
}  // namespace systick

namespace scb {
constexpr Field AIRCR_PRIGROUP{8, 3};
constexpr Field AIRCR_VECTKEY{16, 16};
constexpr uint32_t AIRCR_KEY = 0x05FAU;  // must accompany every AIRCR write
}  // namespace scb

namespace nvic {
constexpr uint32_t PRIO_SHIFT = 8U - __NVIC_PRIO_BITS;  // implemented bits sit at [7:4]
constexpr uint32_t PRIO_LEVELS = 1U << __NVIC_PRIO_BITS;
}  // namespace nvic

// ---- FLASH -------------------------------------------------------------------------
namespace flash {
constexpr Field ACR_LATENCY{0, 4};
constexpr uint32_t ACR_PRFTEN = bit(8);
constexpr uint32_t ACR_ICEN = bit(9);
constexpr uint32_t ACR_DCEN = bit(10);
}  // namespace flash

// ---- PWR ---------------------------------------------------------------------------
namespace pwr {
constexpr Field CR1_VOS{9, 2};
constexpr uint32_t VOS_RANGE1 = 0x1U;
constexpr uint32_t VOS_RANGE2 = 0x2U;
constexpr uint32_t CR3_UCPD1_DBDIS = bit(14);
constexpr uint32_t SR2_VOSF = bit(10);
constexpr uint32_t CR5_R1MODE = bit(8);  // 1: range 1 normal mode, 0: boost
}  // namespace pwr

// ---- RCC ---------------------------------------------------------------------------
namespace rcc {
constexpr uint32_t CR_HSION = bit(8);
constexpr uint32_t CR_HSIRDY = bit(10);
constexpr uint32_t CR_HSERDY = bit(17);
constexpr uint32_t CR_PLLON = bit(24);
constexpr uint32_t CR_PLLRDY = bit(25);

constexpr Field ICSCR_HSITRIM{24, 7};

constexpr Field CFGR_SW{0, 2};
constexpr Field CFGR_SWS{2, 2};
constexpr Field CFGR_HPRE{4, 4};
constexpr Field CFGR_PPRE1{8, 3};
constexpr Field CFGR_PPRE2{11, 3};
constexpr uint32_t SW_HSI = 0x1U;
constexpr uint32_t SW_HSE = 0x2U;
constexpr uint32_t SW_PLL = 0x3U;
constexpr uint32_t HPRE_DIV2 = 0x8U;

constexpr Field PLLCFGR_PLLSRC{0, 2};
constexpr Field PLLCFGR_PLLM{4, 4};
constexpr Field PLLCFGR_PLLN{8, 7};
constexpr uint32_t PLLCFGR_PLLPEN = bit(16);
constexpr uint32_t PLLCFGR_PLLP = bit(17);  // legacy P divider select, unused when PLLPDIV != 0
constexpr uint32_t PLLCFGR_PLLQEN = bit(20);
constexpr Field PLLCFGR_PLLQ{21, 2};
constexpr uint32_t PLLCFGR_PLLREN = bit(24);
constexpr Field PLLCFGR_PLLR{25, 2};
constexpr Field PLLCFGR_PLLPDIV{27, 5};
constexpr uint32_t PLLSRC_HSI = 0x2U;
constexpr uint32_t PLLSRC_HSE = 0x3U;

constexpr Field CCIPR_USART1SEL{0, 2};
constexpr Field CCIPR_USART2SEL{2, 2};
constexpr Field CCIPR_USART3SEL{4, 2};
constexpr uint32_t UARTSEL_PCLK = 0x0U;
constexpr uint32_t UARTSEL_SYSCLK = 0x1U;
constexpr uint32_t UARTSEL_HSI16 = 0x2U;
constexpr uint32_t UARTSEL_LSE = 0x3U;
}  // namespace rcc

// ---- GPIO, SYSCFG, EXTI -------------------------------------------------------------
namespace gpio {
constexpr uint32_t PINS = 16U;
constexpr Field moder(uint32_t pin) { return Field{2U * pin, 2}; }
constexpr Field ospeedr(uint32_t pin) { return Field{2U * pin, 2}; }
constexpr Field pupdr(uint32_t pin) { return Field{2U * pin, 2}; }
constexpr Field afr(uint32_t pin) { return Field{4U * (pin & 7U), 4}; }  // in AFR[pin / 8]
constexpr uint32_t MODE_INPUT = 0x0U;
constexpr uint32_t MODE_OUTPUT = 0x1U;
constexpr uint32_t MODE_AF = 0x2U;
constexpr uint32_t MODE_ANALOG = 0x3U;
constexpr uint32_t PORT_STRIDE = 0x400U;  // GPIOA, GPIOB, ... are this far apart
constexpr uint32_t PORTS = 7U;            // A .. G
}  // namespace gpio

namespace syscfg {
constexpr Field exticr(uint32_t line) { return Field{4U * (line & 3U), 4}; }  // in EXTICR[line / 4]
}  // namespace syscfg

// ---- TIM ---------------------------------------------------------------------------
namespace tim {
constexpr uint32_t CR1_CEN = bit(0);
constexpr uint32_t CR1_DIR = bit(4);
constexpr Field CR1_CMS{5, 2};
constexpr uint32_t CR1_ARPE = bit(7);
constexpr Field CR1_CKD{8, 2};

constexpr uint32_t CR2_MMS = (0x7U << 4) | bit(25);  // MMS[2:0] at 4, MMS[3] at 25
constexpr Field CR2_MMS2{20, 4};
constexpr uint32_t cr2_ois(uint32_t ch) { return bit(8U + 2U * ch); }   // OISx, ch from 0
constexpr uint32_t cr2_oisn(uint32_t ch) { return bit(9U + 2U * ch); }  // OISxN

constexpr uint32_t SMCR_SMS = 0x7U | bit(16);             // SMS[2:0] at 0, SMS[3] at 16
constexpr uint32_t SMCR_TS = (0x7U << 4) | (0x3U << 20);  // TS[2:0] at 4, TS[4:3] at 20
constexpr uint32_t SMCR_MSM = bit(7);
constexpr uint32_t SMCR_ETF = 0xFU << 8;
constexpr uint32_t SMCR_ETPS = 0x3U << 12;
constexpr uint32_t SMCR_ECE = bit(14);
constexpr uint32_t SMCR_ETP = bit(15);

constexpr uint32_t DIER_UIE = bit(0);
constexpr uint32_t dier_ccie(uint32_t ch) { return bit(1U + ch); }
constexpr uint32_t DIER_COMIE = bit(5);
constexpr uint32_t DIER_TIE = bit(6);
constexpr uint32_t DIER_BIE = bit(7);
constexpr uint32_t dier_ccde(uint32_t ch) { return bit(9U + ch); }

// SR flags are cleared by writing 0; writing 1 leaves a flag as it is.
constexpr uint32_t SR_UIF = bit(0);
constexpr uint32_t sr_ccif(uint32_t ch) { return bit(1U + ch); }
constexpr uint32_t SR_COMIF = bit(5);
constexpr uint32_t SR_TIF = bit(6);
constexpr uint32_t SR_BIF = bit(7);
constexpr uint32_t SR_B2IF = bit(8);
constexpr uint32_t SR_SBIF = bit(13);

constexpr uint32_t EGR_UG = bit(0);

// Output-compare view of CCMR1/CCMR2: channel ch (from 0) lives in CCMR[ch / 2],
// at offset 8 * (ch % 2); OCxM[3] sits 16 bits above the low mode bits' block.
constexpr uint32_t ccmr_shift(uint32_t ch) { return 8U * (ch & 1U); }
constexpr uint32_t CCMR_CCS = 0x3U;  // CCxS: 00 = output
constexpr uint32_t CCMR_OCFE = bit(2);
constexpr uint32_t CCMR_OCPE = bit(3);
constexpr uint32_t CCMR_OCM = (0x7U << 4) | bit(16);  // OCxM[2:0] at 4, OCxM[3] at 16

constexpr uint32_t ccer_cce(uint32_t ch) { return bit(4U * ch); }
constexpr uint32_t ccer_ccp(uint32_t ch) { return bit(4U * ch + 1U); }
constexpr uint32_t ccer_ccne(uint32_t ch) { return bit(4U * ch + 2U); }
constexpr uint32_t ccer_ccnp(uint32_t ch) { return bit(4U * ch + 3U); }
constexpr uint32_t CCER_ALL_OUTPUTS = 0x5555U;  // every CCxE and CCxNE of channels 1..4

constexpr Field BDTR_DTG{0, 8};
constexpr Field BDTR_LOCK{8, 2};
constexpr uint32_t BDTR_OSSI = bit(10);
constexpr uint32_t BDTR_OSSR = bit(11);
constexpr uint32_t BDTR_BKE = bit(12);
constexpr uint32_t BDTR_BKP = bit(13);
constexpr uint32_t BDTR_AOE = bit(14);
constexpr uint32_t BDTR_MOE = bit(15);
constexpr Field BDTR_BKF{16, 4};
constexpr Field BDTR_BK2F{20, 4};
constexpr uint32_t BDTR_BK2E = bit(24);
constexpr uint32_t BDTR_BK2P = bit(25);
constexpr uint32_t BDTR_BKBID = bit(28);
constexpr uint32_t BDTR_BK2BID = bit(29);

// Timers the public register map has no macro for; needed to recognise their kind.
constexpr uintptr_t TIM3_BASE = 0x40000400U;
constexpr uintptr_t TIM6_BASE = 0x40001000U;
constexpr uintptr_t TIM15_BASE = 0x40014000U;
constexpr uintptr_t TIM16_BASE = 0x40014400U;
}  // namespace tim

// ---- DMA, DMAMUX ------------------------------------------------------------------
namespace dma {
constexpr uint32_t CHANNELS = 6U;           // DMA1 channels 1..6 on the G431
constexpr uint32_t CHANNEL_STRIDE = 0x14U;  // CCRx spacing
constexpr uint32_t CCR_EN = bit(0);
constexpr uint32_t CCR_TCIE = bit(1);
constexpr uint32_t CCR_HTIE = bit(2);
constexpr uint32_t CCR_TEIE = bit(3);
constexpr uint32_t CCR_DIR = bit(4);  // 1: memory to peripheral
constexpr uint32_t CCR_CIRC = bit(5);
constexpr uint32_t CCR_IRQS = CCR_TCIE | CCR_HTIE | CCR_TEIE;
// Everything Init configures: DIR, CIRC, PINC, MINC, PSIZE, MSIZE, PL, MEM2MEM.
constexpr uint32_t CCR_CONFIG = 0x7FF0U;

// ISR/IFCR: four flags per channel, channel index i (from 0) at 4 * i.
constexpr uint32_t isr_all(uint32_t i) { return 0xFU << (4U * i); }
}  // namespace dma

namespace dmamux {
constexpr Field CCR_DMAREQ_ID{0, 7};
}  // namespace dmamux

// ---- USART ---------------------------------------------------------------------------
namespace usart {
constexpr uint32_t CR1_UE = bit(0);
constexpr uint32_t CR1_RE = bit(2);
constexpr uint32_t CR1_TE = bit(3);
constexpr uint32_t CR1_PS = bit(9);
constexpr uint32_t CR1_PCE = bit(10);
constexpr uint32_t CR1_M0 = bit(12);
constexpr uint32_t CR1_OVER8 = bit(15);
constexpr uint32_t CR1_M1 = bit(28);
constexpr uint32_t CR1_FIFOEN = bit(29);

constexpr uint32_t CR2_CLKEN = bit(11);
constexpr Field CR2_STOP{12, 2};
constexpr uint32_t CR2_LINEN = bit(14);

constexpr uint32_t CR3_IREN = bit(1);
constexpr uint32_t CR3_HDSEL = bit(3);
constexpr uint32_t CR3_SCEN = bit(5);
constexpr uint32_t CR3_RTSE = bit(8);
constexpr uint32_t CR3_CTSE = bit(9);
constexpr uint32_t CR3_ONEBIT = bit(11);
constexpr Field CR3_RXFTCFG{25, 3};
constexpr Field CR3_TXFTCFG{29, 3};

constexpr Field PRESC_PRESCALER{0, 4};

constexpr uint32_t ISR_PE = bit(0);
constexpr uint32_t ISR_FE = bit(1);
constexpr uint32_t ISR_NF = bit(2);
constexpr uint32_t ISR_ORE = bit(3);
// ICR clear bits sit at the same positions as the ISR flags they clear.
constexpr uint32_t ICR_ERRORS = ISR_PE | ISR_FE | ISR_NF | ISR_ORE;

constexpr uintptr_t USART1_BASE = 0x40013800U;
constexpr uintptr_t USART2_BASE = 0x40004400U;
}  // namespace usart

}  // namespace chip
