// Which board an image is for, by the board files of boards/ (world/recognise.h).
#include <gtest/gtest.h>

#include "support/firmware.h"
#include "world/recognise.h"

namespace vboard::test {
namespace {

// The board an image is for comes from its name and symbols, as its board file
// says: the mutant is a rear image by its name; the 8-LED test image, the rear
// firmware built for another board, is that board's by its name alone; the
// other test images are no board's.
TEST(Recognise, TheBoardOfAnImageIsTheOneWhoseFileRecognisesIt) {
  const std::pair<const char*, const char*> cases[] = {{"front_lamp.elf", "front_lamp"},
                                                       {"rear_lamp.elf", "rear_lamp"},
                                                       {"rear_lamp_clock_mutant.elf", "rear_lamp"},
                                                       {"test_strip8.elf", "strip8"},
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
