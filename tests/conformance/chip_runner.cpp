// The conformance suite against platform/chip: the test image's main runs every
// case in order and leaves the outcomes in `conformance_report`, which the
// virtual-board test reads back. The board's world wires PB0 to PA1 and makes
// the PLL never lock while PB1 is high.
#include "conformance.h"

namespace {

// DWT cycle counter: the rig's clock, apart from every peripheral under test.
volatile uint32_t& dwt_ctrl() { return *reinterpret_cast<volatile uint32_t*>(0xE0001000UL); }
volatile uint32_t& dwt_cyccnt() { return *reinterpret_cast<volatile uint32_t*>(0xE0001004UL); }
volatile uint32_t& demcr() { return *reinterpret_cast<volatile uint32_t*>(0xE000EDFCUL); }

}  // namespace

namespace conformance {

void rig_wait_us(uint32_t us) {
  const uint32_t cycles = us * (SystemCoreClock / 1000000U);
  const uint32_t start = dwt_cyccnt();
  while (dwt_cyccnt() - start < cycles) {
  }
}

}  // namespace conformance

constexpr uint32_t kMaxCases = 16U;

extern "C" {

// Read by the virtual-board test once `done` is set: one Result per case, in
// kCases order, after the baseline's own.
struct ConformanceReport {
  volatile uint32_t done;
  volatile uint32_t cases;
  conformance::Result baseline;
  conformance::Result results[kMaxCases];
};
ConformanceReport conformance_report;

void SysTick_Handler(void) { HAL_IncTick(); }
void EXTI1_IRQHandler(void) { HAL_GPIO_EXTI_IRQHandler(GPIO_PIN_1); }
void TIM7_IRQHandler(void) { HAL_TIM_IRQHandler(&conformance::tim7); }
void DMA1_Channel2_IRQHandler(void) { HAL_DMA_IRQHandler(&conformance::dma_tim17_ch1); }

}  // extern "C"

int main() {
  demcr() = demcr() | (1U << 24);  // TRCENA
  dwt_cyccnt() = 0U;
  dwt_ctrl() = dwt_ctrl() | 1U;
  conformance_report.cases = conformance::kCaseCount;
  conformance::baseline(conformance_report.baseline);
  for (uint32_t i = 0; i < conformance::kCaseCount && i < kMaxCases; ++i) {
    conformance::Result r;
    conformance::baseline(r);
    conformance::kCases[i].run(r);
    conformance_report.results[i] = r;
  }
  conformance_report.done = 1U;
  for (;;) {
  }
}
