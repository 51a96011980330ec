// Which of the lamp boards an image is built for, told from its symbol table.
#pragma once

#include <string>

#include "vboard/image.h"

namespace vboard {

// The lamp board an image is built for, told from its symbol table, so that it
// holds for release and debug builds and whatever the file is called: the rear
// board's code defines the strip timer's handles (htim17, hdma_tim17_ch1), the
// front board's the handle of TIM2 (htim2) and neither of those. "front_lamp",
// "rear_lamp", or "" for any other image (or one without a symbol table).
std::string board_of(const Image& img);

}  // namespace vboard
