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

// One function per callback, each calling its hook directly: this runs in the
// DMA interrupt of every pass.
void dma_pulse_finished(DMA_HandleTypeDef* hdma) {
  auto* htim = static_cast<TIM_HandleTypeDef*>(hdma->Parent);
  const uint32_t index = dma_channel_index(htim, hdma);
  if (index != kNoChannel) {
    htim->Channel = 1U << index;  // HAL_TIM_ACTIVE_CHANNEL_x
    if (hdma->Init.Mode == DMA_NORMAL) {
      htim->ChannelState[index] = HAL_TIM_CHANNEL_STATE_READY;
    }
  }
  HAL_TIM_PWM_PulseFinishedCallback(htim);
  htim->Channel = HAL_TIM_ACTIVE_CHANNEL_CLEARED;
}

void dma_pulse_half(DMA_HandleTypeDef* hdma) {
  auto* htim = static_cast<TIM_HandleTypeDef*>(hdma->Parent);
  const uint32_t index = dma_channel_index(htim, hdma);
  if (index != kNoChannel) {
    htim->Channel = 1U << index;
  }
  HAL_TIM_PWM_PulseFinishedHalfCpltCallback(htim);
  htim->Channel = HAL_TIM_ACTIVE_CHANNEL_CLEARED;
}

// An error ends the transfer: the channel is ready again.
void dma_error(DMA_HandleTypeDef* hdma) {
  auto* htim = static_cast<TIM_HandleTypeDef*>(hdma->Parent);
  const uint32_t index = dma_channel_index(htim, hdma);
  if (index != kNoChannel) {
    htim->Channel = 1U << index;
    htim->ChannelState[index] = HAL_TIM_CHANNEL_STATE_READY;
  }
  HAL_TIM_ErrorCallback(htim);
  htim->Channel = HAL_TIM_ACTIVE_CHANNEL_CLEARED;
}

}  // namespace

namespace platform_shared {

void link_tim_dma_callbacks(DMA_HandleTypeDef* hdma) {
  hdma->XferCpltCallback = dma_pulse_finished;
  hdma->XferHalfCpltCallback = dma_pulse_half;
  hdma->XferErrorCallback = dma_error;
}

}  // namespace platform_shared
