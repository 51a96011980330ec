// Pin set-up of the rear light controller.
#pragma once

#include "main.h"

extern "C" void MX_GPIO_Init(void);
