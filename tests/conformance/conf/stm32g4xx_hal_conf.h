// Platform settings of the conformance suite, the same for both implementations.
#pragma once

#define TICK_INT_PRIORITY 15U
#define HSI_VALUE 16000000U
#define PREFETCH_ENABLE 0U
#define INSTRUCTION_CACHE_ENABLE 1U
#define DATA_CACHE_ENABLE 1U
