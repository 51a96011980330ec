// The lamp boards told apart by the firmware's symbol names (world/recognise.h).
#include "world/recognise.h"

namespace vboard {

std::string board_of(const Image& img) {
  const bool strip = img.find("htim17") && img.find("hdma_tim17_ch1");
  if (strip) return "rear_lamp";
  if (img.find("htim2") && !img.find("htim17")) return "front_lamp";
  return "";
}

}  // namespace vboard
