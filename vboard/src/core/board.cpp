// What every Board can tell from its pin history alone (vboard/device.h): the
// defaults a board keeps unless it knows its pins' state exactly.
#include <map>
#include <optional>
#include <string>

#include "vboard/device.h"
#include "vboard/part.h"

namespace vboard {

int Board::pin_level(const std::string& pin) const {
  const auto s = pin_state(pin);
  return s ? s->level : -1;
}

std::map<std::string, PinState> Board::pin_states() const {
  std::map<std::string, PinState> out;
  for (const auto& [name, h] : pin_history()) {
    if (h.empty()) continue;
    out[name] = {h.back().level, h.size() > 1 ? h.back().t : 0, h.size() - 1};
  }
  return out;
}

std::optional<PinState> Board::pin_state(const std::string& pin) const {
  const auto all = pin_states();
  const auto it = all.find(pin);
  if (it == all.end()) return std::nullopt;
  return it->second;
}

PartView* Board::part(const std::string& name) {
  for (PartView* p : parts())
    if (p->identity().name == name) return p;
  return nullptr;
}

}  // namespace vboard
