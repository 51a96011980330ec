// Which board a run is on (cli/board_choice.h): every rung of the order and
// every refusal, on the real images and a folder of board files made here, so
// that a board file added to it is found without a rebuild.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "cli/board_choice.h"
#include "support/firmware.h"
#include "support/slurp.h"
#include "world/recognise.h"

namespace vboard::test {
namespace {

namespace fs = std::filesystem;

// A folder of board files: the shipped ones and `extra` (file name, text).
std::string boards_folder(const std::string& name,
                          const std::vector<std::pair<std::string, std::string>>& extra) {
  const fs::path dir = fs::path(::testing::TempDir()) / (name + "." + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  for (const auto& e : fs::directory_iterator(fs::path(SOURCE_DIR) / "boards"))
    if (e.path().extension() == ".yaml") fs::copy_file(e.path(), dir / e.path().filename());
  for (const auto& [file, text] : extra) std::ofstream(dir / file) << text;
  return dir.string();
}

// A board of one output that recognises what `recognise` says.
std::string board_text(const std::string& name, const std::string& recognise) {
  return "board: " + name + "\nversion: 1\nrecognise: " + recognise +
         "\nparts:\n  - {name: lamp, kind: output, pin: PA9}\n";
}

TEST(BoardChoice, EachRungInOrderAndEachRefusalInOneLine) {
  const std::string dir = boards_folder("boards", {});
  const std::string shipped = std::string(SOURCE_DIR) + "/boards";
  const std::string fw = firmware_dir() + "/";
  const NamedBoard strip8{"strip8", "s.yaml", 3}, rear{"rear_lamp", "r.yaml", 5};
  const struct {
    const char* image;
    std::string board;                  // --board
    std::vector<NamedBoard> scenarios;  // their board: lines
    std::string name;                   // the board chosen, or "" when refused
    std::string says;                   // why it was chosen, or the refusal
  } rows[] = {
      // --board: a file or a known name, whatever the image and over the scenarios' board:.
      {"rear_lamp.elf", shipped + "/strip8.yaml", {}, "strip8", "named by --board"},
      {"rear_lamp.elf", "strip8", {strip8}, "strip8", "named by --board"},
      {"rear_lamp.elf",
       "middle",
       {},
       "",
       "vboard: --board: 'middle' is no board file and no board of " + dir +
           "/ (front_lamp, rear_lamp, strip8)"},
      {"rear_lamp.elf",
       "rear_lamp",
       {strip8},
       "",
       "s.yaml:3: board: the scenario is for strip8, but the board in use is rear_lamp (named by --board)"},
      // The scenarios' board:, which the image must not contradict.
      {"test_strip8.elf", "", {strip8}, "strip8", "named by board: in s.yaml:3"},
      {"platform_conformance.elf", "", {strip8}, "strip8", "named by board: in s.yaml:3"},
      {"front_lamp.elf",
       "",
       {rear},
       "",
       "r.yaml:5: board: the scenario is for rear_lamp, but " + fw +
           "front_lamp.elf is a front_lamp image (recognised: image name front_lamp, symbols htim2)"},
      {"test_strip8.elf",
       "",
       {{"middle", "m.yaml", 2}},
       "",
       "m.yaml:2: board: 'middle' is not a board of " + dir + "/ (front_lamp, rear_lamp, strip8)"},
      {"test_strip8.elf",
       "",
       {strip8, rear},
       "",
       "r.yaml:5: board: the scenario is for rear_lamp, but the board in use is strip8 (named by board: in "
       "s.yaml:3)"},
      // Recognition: by name and symbols; the test image by its name alone, not by the rear's symbols.
      {"rear_lamp.elf",
       "",
       {},
       "rear_lamp",
       "recognised: image name rear_lamp, symbols htim17 and hdma_tim17_ch1"},
      {"rear_lamp_clock_mutant.elf",
       "",
       {},
       "rear_lamp",
       "recognised: image name rear_lamp_clock_mutant (rear_lamp_*), symbols htim17 and hdma_tim17_ch1"},
      {"test_strip8.elf", "", {}, "strip8", "recognised: image name test_strip8"},
      {"front_lamp.elf", "", {}, "front_lamp", "recognised: image name front_lamp, symbols htim2"},
      // Nothing recognises it: the chip alone.
      {"platform_conformance.elf",
       "",
       {},
       "the chip alone",
       "no board file of " + dir + "/ recognises the image"},
  };
  // A folder named after a board (as build trees hold) does not hide the board's name.
  fs::create_directories("strip8");
  for (const auto& row : rows) {
    VBOARD_IMAGE(img, row.image);
    std::string error;
    const auto chosen = choose_board({row.board, dir, row.scenarios}, *img, &error);
    const std::string what = std::string(row.image) + " --board '" + row.board + "'";
    if (row.name.empty()) {
      EXPECT_FALSE(chosen) << what;
      EXPECT_EQ(error, row.says) << what;
    } else {
      ASSERT_TRUE(chosen) << what << ": " << error;
      EXPECT_EQ(chosen->board.name, row.name) << what;
      EXPECT_EQ(chosen->why, row.says) << what;
    }
  }
}

// Two board files that take one image: refused, naming both, unless --board or
// a scenario's board: settles it; a broken file in the folder refuses the run.
TEST(BoardChoice, AnImageTwoBoardsRecogniseIsRefusedUnlessNamed) {
  const std::string dir = boards_folder("twins", {{"twin.yaml", board_text("twin", "{symbols: [htim17]}")}});
  VBOARD_IMAGE(img, "rear_lamp.elf");
  std::string error;
  EXPECT_FALSE(choose_board({"", dir, {}}, *img, &error));
  EXPECT_EQ(error,
            "vboard: " + img->path() + ": 2 board files recognise the image (" + dir +
                "/rear_lamp.yaml, recognised: image name rear_lamp, symbols htim17 and hdma_tim17_ch1; " +
                dir + "/twin.yaml, recognised: symbols htim17): name one with --board");
  for (const char* named : {"twin", "rear_lamp"}) {
    const auto by_option = choose_board({named, dir, {}}, *img, &error);
    ASSERT_TRUE(by_option) << error;
    EXPECT_EQ(by_option->board.name, named);
    const auto by_scenario = choose_board({"", dir, {{named, "s.yaml", 1}}}, *img, &error);
    ASSERT_TRUE(by_scenario) << error;
    EXPECT_EQ(by_scenario->board.name, named);
  }
  const std::string broken = boards_folder(
      "broken", {{"a.yaml", board_text("a", "{images: [a]}")}, {"b.yaml", board_text("a", "{images: [b]}")}});
  EXPECT_FALSE(choose_board({"", broken, {}}, *img, &error));
  EXPECT_EQ(error,
            broken + "/b.yaml: board: 'a' is the board of " + broken + "/a.yaml too (one file per board)");
}

// A board file put into the folder is the board of the next run: nothing is
// built in between (the image is a copy of the 8-LED test image under the new
// board's name).
TEST(BoardChoice, ABoardFileAddedToTheFolderIsFoundWithoutARebuild) {
  VBOARD_IMAGE(strip8, "test_strip8.elf");
  const std::string dir = boards_folder("added", {});
  const std::string copy =
      (fs::path(::testing::TempDir()) / ("copy8." + std::to_string(getpid()) + ".elf")).string();
  fs::copy_file(strip8->path(), copy, fs::copy_options::overwrite_existing);
  std::string error;
  auto img = Image::load(copy, periph::desc::kFacts, &error);
  ASSERT_TRUE(img) << error;
  const auto before = choose_board({"", dir, {}}, *img, &error);
  ASSERT_TRUE(before) << error;
  EXPECT_EQ(before->board.name, "the chip alone");
  std::string text = slurp(std::string(SOURCE_DIR) + "/boards/strip8.yaml");
  text.replace(text.find("board: strip8"), 13, "board: copy8");
  text.replace(text.find("[test_strip8]"), 13, "[copy*]");
  std::ofstream(dir + "/copy8.yaml") << text;
  const auto after = choose_board({"", dir, {}}, *img, &error);
  ASSERT_TRUE(after) << error;
  EXPECT_EQ(after->board.name, "copy8");
  EXPECT_EQ(after->why, "recognised: image name copy8." + std::to_string(getpid()) + " (copy*)");
  EXPECT_EQ(after->board.file, dir + "/copy8.yaml");
}

}  // namespace
}  // namespace vboard::test
