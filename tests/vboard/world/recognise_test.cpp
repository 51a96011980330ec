// Which lamp board an image is for (world/recognise.h).
#include <gtest/gtest.h>

#include "support/firmware.h"
#include "world/recognise.h"

namespace vboard::test {
namespace {

// The board an image is for comes from its symbols, whatever the file is called:
// the mutant is a rear image, the test images are neither board's.
TEST(Recognise, TheBoardOfAnImageComesFromItsSymbols) {
  const std::pair<const char*, const char*> cases[] = {{"front_lamp.elf", "front_lamp"},
                                                       {"rear_lamp.elf", "rear_lamp"},
                                                       {"rear_lamp_clock_mutant.elf", "rear_lamp"},
                                                       {"board_runtime_probe.elf", ""},
                                                       {"platform_conformance.elf", ""}};
  for (const auto& [file, board] : cases) {
    VBOARD_IMAGE(img, file);
    EXPECT_EQ(board_of(*img), board) << file;
  }
  Image bare;
  EXPECT_EQ(board_of(bare), "");
}

}  // namespace
}  // namespace vboard::test
