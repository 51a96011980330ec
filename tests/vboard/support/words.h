// What the command line and the scenario loader say about a value, where several
// tests expect the same words.
#pragma once

#include <string>

namespace vboard::test {

// After "pin: 'PD3'": the package's pins, as every refusal of a pin lists them.
inline const std::string kNotAPin =
    " is not a pin of the 48-pin package (PA0..PA15, PB0..PB15, PC4, PC6, PC10, PC11, PC13..PC15, PF0, PF1, "
    "PG10)";

}  // namespace vboard::test
