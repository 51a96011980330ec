// Platform settings for the host unit tests (the boards have their own copies in
// Core/Inc). Front-board values: tick interrupt at priority 0.
#pragma once

#define TICK_INT_PRIORITY 0U
#define HSI_VALUE 16000000U
#define PREFETCH_ENABLE 0U
#define INSTRUCTION_CACHE_ENABLE 1U
#define DATA_CACHE_ENABLE 1U
