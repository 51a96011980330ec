// Conformance case of the DMA channels: the refused requests, a start that
// waits and its abort, a stray interrupt.
#include "cases_common.h"

namespace conformance {

void DmaErrors(Result& r) {
  CONFORMANCE_CHECK(r, HAL_DMA_Init(nullptr) == HAL_ERROR);
  DMA_HandleTypeDef d{};
  d.Instance = reinterpret_cast<DMA_Channel_TypeDef*>(GPIOC);  // no channel there
  CONFORMANCE_CHECK(r, HAL_DMA_Init(&d) == HAL_ERROR);
  d.Instance = reinterpret_cast<DMA_Channel_TypeDef*>(reinterpret_cast<uintptr_t>(DMA1_Channel1) + 4U);
  CONFORMANCE_CHECK(r, HAL_DMA_Init(&d) == HAL_ERROR);  // inside a channel's registers, not at its start
  d.Instance = DMA1_Channel2;
  d.Init.Request = 0x80U;  // request ids are 7 bits: 0x7F is the last
  CONFORMANCE_CHECK(r, HAL_DMA_Init(&d) == HAL_ERROR);
  d.Init.Request = 0x7FU;
  d.ErrorCode = HAL_DMA_ERROR_TE;  // an error of an earlier life, cleared by Init
  CONFORMANCE_CHECK(r, HAL_DMA_Init(&d) == HAL_OK && d.ErrorCode == HAL_DMA_ERROR_NONE);
  d.Init.Request = DMA_REQUEST_USART3_RX;
  d.Init.Direction = DMA_PERIPH_TO_MEMORY;
  d.Init.MemInc = DMA_MINC_ENABLE;
  CONFORMANCE_CHECK(r, HAL_DMA_Init(&d) == HAL_OK);
  CONFORMANCE_CHECK(r, d.State == HAL_DMA_STATE_READY);
  CONFORMANCE_CHECK(r, HAL_DMA_Abort(&d) == HAL_ERROR);  // nothing to abort
  CONFORMANCE_CHECK(r, (d.ErrorCode & HAL_DMA_ERROR_NO_XFER) != 0U);
  CONFORMANCE_CHECK(r, HAL_DMA_Start_IT(&d, 0U, 0U, 0x10000U) == HAL_ERROR);  // CNDTR holds 16 bits
  CONFORMANCE_CHECK(r, HAL_DMA_Start_IT(&d, 0U, 0U, 0U) == HAL_ERROR);        // zero items
  CONFORMANCE_CHECK(r, d.State == HAL_DMA_STATE_READY && d.ErrorCode == HAL_DMA_ERROR_PARAM);
  CONFORMANCE_CHECK(r, (DMA1_Channel2->CCR & 1U) == 0U);
  // A start that is taken clears the earlier error; it waits for the receiver
  // (nothing arrives, so even the longest count writes nothing) until aborted.
  static uint8_t rx[4];
  const auto address = [](const volatile void* p) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
  };
  CONFORMANCE_CHECK(r, HAL_DMA_Start_IT(&d, address(&USART3->RDR), address(rx), 0xFFFFU) == HAL_OK);
  CONFORMANCE_CHECK(r, d.ErrorCode == HAL_DMA_ERROR_NONE && (DMA1_Channel2->CCR & 1U) != 0U);
  CONFORMANCE_CHECK(r, DMA1_Channel2->CNDTR == 0xFFFFU);
  CONFORMANCE_CHECK(r, DMA1_Channel2->CPAR == address(&USART3->RDR) && DMA1_Channel2->CMAR == address(rx));
  CONFORMANCE_CHECK(r, HAL_DMA_Abort(&d) == HAL_OK && (DMA1_Channel2->CCR & 1U) == 0U);
  // The interrupt of a handle without a channel is ignored.
  DMA_HandleTypeDef stray{};
  stray.ChannelIndex = 6U;  // one past DMA1's sixth channel
  HAL_DMA_IRQHandler(&stray);
  CONFORMANCE_CHECK(r, stray.State == HAL_DMA_STATE_RESET && stray.ErrorCode == HAL_DMA_ERROR_NONE);
}

}  // namespace conformance
