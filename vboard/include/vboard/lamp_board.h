// The lamp board: the STM32G431 with what the two light controllers carry
// around it (the WS2815 strip on PA7, the light outputs on PA8 and PA9) and the
// signal sources a scenario drives its inputs with.
#pragma once

#include "vboard/machine.h"

namespace vboard {

// Builds the lamp board for a Machine.
BoardFactory lamp_board_factory();

}  // namespace vboard
