// The kinds of part whose records the outputs show, each with its writers.
//
// A kind of part is a plug-in that touches several layers; its files carry its
// prefix in each. The WS2815 strip ("ws2815-strip"):
//   world/strip.h, world/strip.cpp        its view while a run goes on and its record
//   world/strip_ws2815.h, .cpp            the decoder on the data pin
//   outputs/strip_outputs.h               its JSON member and "Strip:" section (listed below)
//   outputs/strip_report.cpp, strip_svg.cpp  its text, frames as rows of LEDs, finding lanes
//   cli/strip_steps.h, .cpp               the expect-strip step's frame matching and words
#include <string>
#include <vector>

#include "outputs/part_outputs.h"
#include "outputs/strip_outputs.h"

namespace vboard {

const std::vector<const PartOutputs*>& part_outputs() {
  static const StripOutputs strip;
  static const std::vector<const PartOutputs*> all{&strip};
  return all;
}

const PartOutputs* part_outputs(const std::string& kind) {
  for (const PartOutputs* o : part_outputs())
    if (o->kind() == kind) return o;
  return nullptr;
}

}  // namespace vboard
