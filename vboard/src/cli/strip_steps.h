// The expect-strip step's side of a strip: which colours a frame shows, in
// words, and whether it shows what the step expects.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/scenario.h"
#include "world/strip.h"

namespace vboard::scenario {

// "frame latched at 10 ms (60 LEDs): 0-23 dark, 24-59 red": runs of equal colour;
// on a strip of `leds` longer than the frame, which LEDs it did not write.
std::string describe_frame(const StripFrame& f, unsigned leds = 0);
// "LEDs 0-9 red; every LED dark": what the checks expect.
std::string describe_checks(const std::vector<StripCheck>& checks);
// Whether every check holds on the frame; on a strip of `leds` longer than the
// frame, "every LED" includes the LEDs the frame did not write (not judged: a fail).
bool frame_matches(const StripFrame& f, const std::vector<StripCheck>& checks, unsigned leds = 0);
// A check's LED past the end of a strip of `leds`: its step's line and what is
// wrong, "leds: LED 45 is past the end of the board's strip of 30 LEDs (0-29)".
std::optional<std::pair<unsigned, std::string>> past_the_strip(const Scenario& s, unsigned leds);
// The last frame of a run of equal frames.
StripFrame last_frame(const StripRun& r);

}  // namespace vboard::scenario
