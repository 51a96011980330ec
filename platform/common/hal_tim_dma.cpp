// A DMA channel feeding a timer channel's compare register reports back through
// the timer's PWM callbacks, with the handle's Channel naming the timer channel
// while the callback runs. Shared by both implementations.
#include "hal_shared.h"

namespace {

constexpr uint32_t kNoChannel = 4U;

// Timer channel index (0..3) the DMA handle is linked to, or kNoChannel.
uint32_t dma_channel_index(const TIM_HandleTypeDef* htim, const DMA_HandleTypeDef* hdma) {
  for (uint32_t i = 0; i < 4U; ++i) {
    if (htim->hdma[TIM_DMA_ID_CC1 + i] == hdma) {
      return i;
    }
  }
  return kNoChannel;
}

// Runs `callback` for the timer that owns `hdma`, with Channel set; a normal
// (one-pass) transfer that ended, or an error, leaves the channel ready again.
void report(DMA_HandleTypeDef* hdma, void (*callback)(TIM_HandleTypeDef*), bool ends_transfer) {
  auto* htim = static_cast<TIM_HandleTypeDef*>(hdma->Parent);
  const uint32_t index = dma_channel_index(htim, hdma);
  if (index != kNoChannel) {
    htim->Channel = 1U << index;  // HAL_TIM_ACTIVE_CHANNEL_x
    if (ends_transfer) {
      htim->ChannelState[index] = HAL_TIM_CHANNEL_STATE_READY;
    }
  }
  callback(htim);
  htim->Channel = HAL_TIM_ACTIVE_CHANNEL_CLEARED;
}

void dma_pulse_finished(DMA_HandleTypeDef* hdma) {
  report(hdma, HAL_TIM_PWM_PulseFinishedCallback, hdma->Init.Mode == DMA_NORMAL);
}

void dma_pulse_half(DMA_HandleTypeDef* hdma) {
  report(hdma, HAL_TIM_PWM_PulseFinishedHalfCpltCallback, false);
}

void dma_error(DMA_HandleTypeDef* hdma) { report(hdma, HAL_TIM_ErrorCallback, true); }

}  // namespace

namespace platform_shared {

void link_tim_dma_callbacks(DMA_HandleTypeDef* hdma) {
  hdma->XferCpltCallback = dma_pulse_finished;
  hdma->XferHalfCpltCallback = dma_pulse_half;
  hdma->XferErrorCallback = dma_error;
}

}  // namespace platform_shared
