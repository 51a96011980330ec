// The register side of the DMA channels. Each implementation of the platform
// API provides these (platform/chip on the chip's registers, platform/host in
// host memory); the handle-state rules on top of them are shared (hal_dma.cpp).
// Flags are given as one channel's group of four: global, transfer complete,
// half transfer, transfer error.
#pragma once

#include "stm32g4xx_hal.h"

namespace dma_port {

constexpr uint32_t kChannels = 6U;  // DMA1 channels 1..6
constexpr uint32_t kFlagComplete = 1U << 1U;
constexpr uint32_t kFlagHalf = 1U << 2U;
constexpr uint32_t kFlagError = 1U << 3U;
constexpr uint32_t kFlagsAll = 0xFU;

// Channel index (channel number - 1) of an instance, or kChannels if it is no
// DMA1 channel.
uint32_t channel_index(const DMA_Channel_TypeDef* channel);

// Configures the channel from the handle's Init (disabled, interrupts off), routes
// its request and clears its flags.
void configure(DMA_HandleTypeDef* hdma);
// Sets addresses and count, enables the interrupts (half transfer only when
// asked) and the channel.
void start(DMA_HandleTypeDef* hdma, uint32_t src, uint32_t dst, uint32_t length, bool half_interrupt);
// The channel off, then its interrupts off.
void stop(DMA_HandleTypeDef* hdma);
uint32_t flags(const DMA_HandleTypeDef* hdma);
void clear_flags(DMA_HandleTypeDef* hdma, uint32_t flags);

}  // namespace dma_port
