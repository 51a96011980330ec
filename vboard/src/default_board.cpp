// The board the command line and the firmware tests use. Kept in its own
// translation unit so that test programs with a board of their own do not need
// the peripheral models linked in.
#include "vboard/machine.h"

namespace vboard {

BoardFactory stm32g431_board_factory() {
  return [](Bus& bus) { return make_stm32g431_board(bus); };
}

}  // namespace vboard
