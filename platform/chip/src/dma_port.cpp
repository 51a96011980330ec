// DMA1 channels 1..6 with their DMAMUX request routing on the chip's registers:
// the register side of the platform API's DMA functions (dma_port.h; the
// handle-state rules are shared).
#include "chip_internal.h"
#include "dma_port.h"

using namespace chip;

static_assert(dma_port::kChannels == dma::CHANNELS);

namespace {

// DMA1 channel n takes its request from DMAMUX channel n - 1.
volatile uint32_t& dmamux_ccr(uint32_t index) { return (DMAMUX1_Channel0 + index)->CCR; }

}  // namespace

namespace dma_port {

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

void configure(DMA_HandleTypeDef* hdma) {
  const DMA_InitTypeDef& init = hdma->Init;
  const uint32_t config = init.Direction | init.PeriphInc | init.MemInc | init.PeriphDataAlignment |
                          init.MemDataAlignment | init.Mode | init.Priority;
  // The channel is configured disabled (its other CCR bits may not be written
  // while it is enabled) and with its interrupts off; a start chooses the
  // interrupts and enables it.
  clear_bits(hdma->Instance->CCR, dma::CCR_EN);
  modify(hdma->Instance->CCR, dma::CCR_IRQS | dma::CCR_CONFIG, config & dma::CCR_CONFIG);

  // Memory-to-memory transfers need no request; every other one is paced by it.
  const uint32_t request = init.Direction == DMA_MEMORY_TO_MEMORY ? DMA_REQUEST_MEM2MEM : init.Request;
  dmamux_ccr(hdma->ChannelIndex) = dmamux::CCR_DMAREQ_ID.val(request);
  DMA1->IFCR = dma::isr_all(hdma->ChannelIndex);
}

void start(DMA_HandleTypeDef* hdma, uint32_t src, uint32_t dst, uint32_t length, bool half_interrupt) {
  DMA_Channel_TypeDef* ch = hdma->Instance;
  // Addresses and count can only be written while the channel is disabled.
  clear_bits(ch->CCR, dma::CCR_EN);
  DMA1->IFCR = dma::isr_all(hdma->ChannelIndex);
  ch->CNDTR = length;
  if ((ch->CCR & dma::CCR_DIR) != 0U) {
    ch->CPAR = dst;
    ch->CMAR = src;
  } else {
    ch->CPAR = src;
    ch->CMAR = dst;
  }
  modify(ch->CCR, dma::CCR_IRQS, dma::CCR_TCIE | dma::CCR_TEIE | (half_interrupt ? dma::CCR_HTIE : 0U));
  set_bits(ch->CCR, dma::CCR_EN);
}

void stop(DMA_HandleTypeDef* hdma) {
  // CCR bits other than EN must not be written while the channel is enabled.
  clear_bits(hdma->Instance->CCR, dma::CCR_EN);
  clear_bits(hdma->Instance->CCR, dma::CCR_IRQS);
}

uint32_t flags(const DMA_HandleTypeDef* hdma) { return (DMA1->ISR >> (4U * hdma->ChannelIndex)) & kFlagsAll; }

void clear_flags(DMA_HandleTypeDef* hdma, uint32_t group) { DMA1->IFCR = group << (4U * hdma->ChannelIndex); }

}  // namespace dma_port
