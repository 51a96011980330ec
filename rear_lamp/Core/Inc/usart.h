// USART3 of the rear light controller (PB10/PB11, 921600 baud, circular receive
// DMA): configured at start-up, never used afterwards.
#pragma once

#include "main.h"

extern UART_HandleTypeDef huart3;
extern DMA_HandleTypeDef hdma_usart3_rx;

extern "C" void MX_USART3_UART_Init(void);
