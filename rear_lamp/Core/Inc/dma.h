// DMA clocks and interrupt lines of the rear light controller. The channels
// themselves are set up by the timer and UART hardware hooks.
#pragma once

#include "main.h"

extern "C" void MX_DMA_Init(void);
