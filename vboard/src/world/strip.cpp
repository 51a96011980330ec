// Finding the strips among a board's parts and among a run's records by their kind.
#include <memory>
#include <string>
#include <vector>

#include "world/strip.h"

namespace vboard {

std::vector<StripView*> strips(Board& board) {
  std::vector<StripView*> out;
  for (PartView* p : board.parts())
    if (p->identity().kind == kStripKind)
      if (auto* s = dynamic_cast<StripView*>(p)) out.push_back(s);
  return out;
}

const StripReport* strip_record(const RunResult& r) {
  for (const auto& p : r.parts)
    if (p->id.kind == kStripKind)
      if (const auto* s = dynamic_cast<const StripReport*>(p.get())) return s;
  return nullptr;
}

StripReport& add_strip_record(RunResult& r, const std::string& pin) {
  auto s = std::make_shared<StripReport>(PartIdentity{"strip", kStripKind, pin, ""});
  r.parts.push_back(s);
  return *s;
}

}  // namespace vboard
