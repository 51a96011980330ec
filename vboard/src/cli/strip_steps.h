// The expect-strip step's side of a strip: which colours a frame shows, in
// words, and whether it shows what the step expects.
#pragma once

#include <string>
#include <vector>

#include "cli/scenario.h"
#include "world/strip.h"

namespace vboard::scenario {

// "frame latched at 10 ms (60 LEDs): 0-23 dark, 24-59 red": runs of equal colour.
std::string describe_frame(const StripFrame& f);
// "LEDs 0-9 red; every LED dark": what the checks expect.
std::string describe_checks(const std::vector<StripCheck>& checks);
// Whether every check holds on the frame.
bool frame_matches(const StripFrame& f, const std::vector<StripCheck>& checks);
// The last frame of a run of equal frames.
StripFrame last_frame(const StripRun& r);

}  // namespace vboard::scenario
