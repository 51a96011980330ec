// DMA1 channels 1..6 with their DMAMUX request routing: configuration, start
// with interrupts, abort and the interrupt dispatcher that calls the callbacks
// installed by the peripheral layer (timer, UART).
#include "chip_internal.h"

using namespace chip;

namespace {

// Channel index (channel number - 1) from the instance address; CHANNELS if the
// address is no DMA1 channel of this chip.
uint32_t channel_index(const DMA_Channel_TypeDef* ch) {
  const uintptr_t addr = reinterpret_cast<uintptr_t>(ch);
  if (addr < DMA1_Channel1_BASE) {
    return dma::CHANNELS;
  }
  const uintptr_t offset = addr - DMA1_Channel1_BASE;
  if (offset % dma::CHANNEL_STRIDE != 0U || offset / dma::CHANNEL_STRIDE >= dma::CHANNELS) {
    return dma::CHANNELS;
  }
  return static_cast<uint32_t>(offset / dma::CHANNEL_STRIDE);
}

// DMA1 channel n takes its request from DMAMUX channel n - 1.
volatile uint32_t& dmamux_ccr(uint32_t index) { return (DMAMUX1_Channel0 + index)->CCR; }

}  // namespace

extern "C" {

HAL_StatusTypeDef HAL_DMA_Init(DMA_HandleTypeDef* hdma) {
  if (hdma == nullptr) {
    return HAL_ERROR;
  }
  const uint32_t index = channel_index(hdma->Instance);
  if (index >= dma::CHANNELS || hdma->Init.Request > dmamux::CCR_DMAREQ_ID.mask()) {
    return HAL_ERROR;
  }
  if (hdma->State == HAL_DMA_STATE_RESET) {
    hdma->Lock = HAL_UNLOCKED;
  }
  hdma->State = HAL_DMA_STATE_BUSY;
  hdma->ChannelIndex = index;

  const DMA_InitTypeDef& init = hdma->Init;
  const uint32_t config = init.Direction | init.PeriphInc | init.MemInc | init.PeriphDataAlignment |
                          init.MemDataAlignment | init.Mode | init.Priority;
  // The channel is configured disabled (its other CCR bits may not be written
  // while it is enabled) and with its interrupts off; Start_IT chooses the
  // interrupts and enables it.
  clear_bits(hdma->Instance->CCR, dma::CCR_EN);
  modify(hdma->Instance->CCR, dma::CCR_IRQS | dma::CCR_CONFIG, config & dma::CCR_CONFIG);

  // Memory-to-memory transfers need no request; every other one is paced by it.
  const uint32_t request = init.Direction == DMA_MEMORY_TO_MEMORY ? DMA_REQUEST_MEM2MEM : init.Request;
  dmamux_ccr(index) = dmamux::CCR_DMAREQ_ID.val(request);

  DMA1->IFCR = dma::isr_all(index);
  hdma->ErrorCode = HAL_DMA_ERROR_NONE;
  hdma->State = HAL_DMA_STATE_READY;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_DMA_Start_IT(DMA_HandleTypeDef* hdma, uint32_t SrcAddress, uint32_t DstAddress,
                                   uint32_t DataLength) {
  if (hdma == nullptr) {
    return HAL_ERROR;
  }
  if (DataLength == 0U || DataLength > dma::CNDTR_MAX) {
    hdma->ErrorCode = HAL_DMA_ERROR_PARAM;
    return HAL_ERROR;
  }
  if (hdma->State != HAL_DMA_STATE_READY) {
    return HAL_BUSY;
  }
  hdma->State = HAL_DMA_STATE_BUSY;
  hdma->ErrorCode = HAL_DMA_ERROR_NONE;

  DMA_Channel_TypeDef* ch = hdma->Instance;
  const uint32_t index = hdma->ChannelIndex;
  // Addresses and count can only be written while the channel is disabled.
  clear_bits(ch->CCR, dma::CCR_EN);
  DMA1->IFCR = dma::isr_all(index);
  ch->CNDTR = DataLength;
  if ((ch->CCR & dma::CCR_DIR) != 0U) {
    ch->CPAR = DstAddress;
    ch->CMAR = SrcAddress;
  } else {
    ch->CPAR = SrcAddress;
    ch->CMAR = DstAddress;
  }
  // Half-transfer interrupts only when someone listens for them.
  const uint32_t irqs =
      dma::CCR_TCIE | dma::CCR_TEIE | (hdma->XferHalfCpltCallback != nullptr ? dma::CCR_HTIE : 0U);
  modify(ch->CCR, dma::CCR_IRQS, irqs);
  set_bits(ch->CCR, dma::CCR_EN);
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
  // CCR bits other than EN must not be written while the channel is enabled:
  // stop it, then switch its interrupts off and drop whatever it had flagged, so
  // no callback follows the abort.
  clear_bits(hdma->Instance->CCR, dma::CCR_EN);
  clear_bits(hdma->Instance->CCR, dma::CCR_IRQS);
  DMA1->IFCR = dma::isr_all(hdma->ChannelIndex);
  hdma->State = HAL_DMA_STATE_READY;
  hdma->Lock = HAL_UNLOCKED;
  return HAL_OK;
}

void HAL_DMA_IRQHandler(DMA_HandleTypeDef* hdma) {
  if (hdma == nullptr || hdma->ChannelIndex >= dma::CHANNELS) {
    return;
  }
  DMA_Channel_TypeDef* ch = hdma->Instance;
  const uint32_t index = hdma->ChannelIndex;
  const uint32_t isr = DMA1->ISR;
  const uint32_t ccr = ch->CCR;
  const bool circular = (ccr & dma::CCR_CIRC) != 0U;

  // HTIE stays as it is: a single pass has only one half, and the interrupt
  // enables may not be written while the channel runs.
  if ((isr & dma::isr_htif(index)) != 0U && (ccr & dma::CCR_HTIE) != 0U) {
    DMA1->IFCR = dma::isr_htif(index);
    if (hdma->XferHalfCpltCallback != nullptr) {
      hdma->XferHalfCpltCallback(hdma);
    }
  }

  if ((isr & dma::isr_tcif(index)) != 0U && (ccr & dma::CCR_TCIE) != 0U) {
    if (!circular) {
      // The transfer is over (a circular one keeps running and stays busy): the
      // channel is released, then its interrupts are switched off.
      clear_bits(ch->CCR, dma::CCR_EN);
      clear_bits(ch->CCR, dma::CCR_IRQS);
      hdma->State = HAL_DMA_STATE_READY;
    }
    DMA1->IFCR = dma::isr_tcif(index);
    if (hdma->XferCpltCallback != nullptr) {
      hdma->XferCpltCallback(hdma);
    }
  }

  if ((isr & dma::isr_teif(index)) != 0U && (ccr & dma::CCR_TEIE) != 0U) {
    // The hardware disables the channel on an error; make sure of it before its
    // interrupts are switched off, then report.
    clear_bits(ch->CCR, dma::CCR_EN);
    clear_bits(ch->CCR, dma::CCR_IRQS);
    DMA1->IFCR = dma::isr_all(index);
    hdma->ErrorCode = hdma->ErrorCode | HAL_DMA_ERROR_TE;
    hdma->State = HAL_DMA_STATE_READY;
    hdma->Lock = HAL_UNLOCKED;
    if (hdma->XferErrorCallback != nullptr) {
      hdma->XferErrorCallback(hdma);
    }
  }
}

}  // extern "C"
