// The VCD trace's default time unit, on its own so that what only sets it (the
// command line's options) does not take in the whole of the reports' header.
#pragma once

#include "vboard/device.h"

namespace vboard {

// The VCD's default time unit: 10 ns keeps the strip's bits (high 300 or
// 900 ns) apart for any decoder, and a decoder has a tenth of the samples of
// a 1 ns trace to go through.
inline constexpr ns_t kVcdTimescale = 10;

}  // namespace vboard
