// DMA channels: the handle-state rules of the platform API, shared by both
// implementations: argument checks, the handle's state and error code, and
// which callback each interrupt flag calls. The registers are reached through
// dma_port.
#include "dma_port.h"

namespace {

constexpr uint32_t kRequestIdMax = 0x7FU;  // DMAMUX request ids are 7 bits
constexpr uint32_t kLengthMax = 0xFFFFU;   // CNDTR is 16 bits
// CCR bits the rules read.
constexpr uint32_t kCcrCompleteIrq = 1U << 1U;
constexpr uint32_t kCcrHalfIrq = 1U << 2U;
constexpr uint32_t kCcrErrorIrq = 1U << 3U;

}  // namespace

extern "C" {

HAL_StatusTypeDef HAL_DMA_Init(DMA_HandleTypeDef* hdma) {
  if (hdma == nullptr) {
    return HAL_ERROR;
  }
  const uint32_t index = dma_port::channel_index(hdma->Instance);
  if (index >= dma_port::kChannels || hdma->Init.Request > kRequestIdMax) {
    return HAL_ERROR;
  }
  if (hdma->State == HAL_DMA_STATE_RESET) {
    hdma->Lock = HAL_UNLOCKED;
  }
  hdma->State = HAL_DMA_STATE_BUSY;
  hdma->ChannelIndex = index;
  dma_port::configure(hdma);
  hdma->ErrorCode = HAL_DMA_ERROR_NONE;
  hdma->State = HAL_DMA_STATE_READY;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_DMA_Start_IT(DMA_HandleTypeDef* hdma, uint32_t SrcAddress, uint32_t DstAddress,
                                   uint32_t DataLength) {
  if (hdma == nullptr) {
    return HAL_ERROR;
  }
  if (DataLength == 0U || DataLength > kLengthMax) {
    hdma->ErrorCode = HAL_DMA_ERROR_PARAM;
    return HAL_ERROR;
  }
  if (hdma->State != HAL_DMA_STATE_READY) {
    return HAL_BUSY;
  }
  hdma->State = HAL_DMA_STATE_BUSY;
  hdma->ErrorCode = HAL_DMA_ERROR_NONE;
  // Half-transfer interrupts only when someone listens for them.
  dma_port::start(hdma, SrcAddress, DstAddress, DataLength, hdma->XferHalfCpltCallback != nullptr);
  return HAL_OK;
}

HAL_StatusTypeDef HAL_DMA_Abort(DMA_HandleTypeDef* hdma) {
  if (hdma == nullptr) {
    return HAL_ERROR;
  }
  if (hdma->State != HAL_DMA_STATE_BUSY) {
    hdma->ErrorCode = HAL_DMA_ERROR_NO_XFER;
    return HAL_ERROR;
  }
  // Stopped, its interrupts off and whatever it had flagged dropped, so no
  // callback follows the abort.
  dma_port::stop(hdma);
  dma_port::clear_flags(hdma, dma_port::kFlagsAll);
  hdma->State = HAL_DMA_STATE_READY;
  hdma->Lock = HAL_UNLOCKED;
  return HAL_OK;
}

void HAL_DMA_IRQHandler(DMA_HandleTypeDef* hdma) {
  if (hdma == nullptr || hdma->ChannelIndex >= dma_port::kChannels) {
    return;
  }
  const uint32_t flags = dma_port::flags(hdma);
  const uint32_t ccr = hdma->Instance->CCR;

  // HTIE stays as it is: a single pass has only one half, and the interrupt
  // enables may not be written while the channel runs.
  if ((flags & dma_port::kFlagHalf) != 0U && (ccr & kCcrHalfIrq) != 0U) {
    dma_port::clear_flags(hdma, dma_port::kFlagHalf);
    if (hdma->XferHalfCpltCallback != nullptr) {
      hdma->XferHalfCpltCallback(hdma);
    }
  }

  if ((flags & dma_port::kFlagComplete) != 0U && (ccr & kCcrCompleteIrq) != 0U) {
    if ((ccr & DMA_CIRCULAR) == 0U) {
      // The transfer is over (a circular one keeps running and stays busy): the
      // channel is released, then its interrupts are switched off.
      dma_port::stop(hdma);
      hdma->State = HAL_DMA_STATE_READY;
    }
    dma_port::clear_flags(hdma, dma_port::kFlagComplete);
    if (hdma->XferCpltCallback != nullptr) {
      hdma->XferCpltCallback(hdma);
    }
  }

  if ((flags & dma_port::kFlagError) != 0U && (ccr & kCcrErrorIrq) != 0U) {
    // The hardware disables the channel on an error; make sure of it before its
    // interrupts are switched off, then report.
    dma_port::stop(hdma);
    dma_port::clear_flags(hdma, dma_port::kFlagsAll);
    hdma->ErrorCode = hdma->ErrorCode | HAL_DMA_ERROR_TE;
    hdma->State = HAL_DMA_STATE_READY;
    hdma->Lock = HAL_UNLOCKED;
    if (hdma->XferErrorCallback != nullptr) {
      hdma->XferErrorCallback(hdma);
    }
  }
}

}  // extern "C"
