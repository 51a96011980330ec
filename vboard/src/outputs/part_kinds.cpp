// The kinds of part whose records the outputs show, each with its writers.
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
