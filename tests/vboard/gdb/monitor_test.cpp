// `monitor` on the real rear image with its strip renamed to a name with
// spaces or to a monitor command: `part NAME` reaches the part whatever its
// name; `NAME` alone when the name is no command.
#include <gtest/gtest.h>

#include "gdb/machine_target.h"
#include "support/firmware.h"
#include "support/slurp.h"
#include "world/board.h"

namespace vboard::test {
namespace {

TEST(Monitor, PartsAreReachedByTheirWholeNameEvenWhenItIsACommand) {
  VBOARD_IMAGE(img, "rear_lamp.elf");
  std::string text = slurp(std::string(SOURCE_DIR) + "/boards/rear_lamp.yaml");
  const auto at = text.find("name: strip\n");
  ASSERT_NE(at, std::string::npos);
  const struct {
    std::string name, command;
    bool part;  // the answer is the part's (else the command's)
  } rows[] = {
      {"time", "part time", true},       {"time", "time", false},    {"the strip", "part the strip", true},
      {"the strip", "the strip ", true}, {"lights", "lights", true},
  };
  for (const auto& row : rows) {
    std::string err, renamed = text;
    renamed.replace(at, 11, "name: " + row.name);
    const auto board = parse_board(renamed, "rear.yaml", &err);
    ASSERT_TRUE(board) << err;
    Machine m(*img, MachineOptions{}, board_factory(*board));
    m.run_until(20 * kMs);
    gdb::MachineTarget target(m, kSec);
    std::string out;
    ASSERT_TRUE(target.monitor(row.command, out)) << row.command;
    ASSERT_NE(m.board().part(row.name), nullptr);
    if (row.part)
      EXPECT_EQ(out, m.board().part(row.name)->describe()) << row.command;
    else
      EXPECT_EQ(out.rfind("virtual time ", 0), 0u) << "the command wins over the part: " << out;
    if (row.command == "part time") {
      ASSERT_TRUE(target.monitor("part nothing", out));
      EXPECT_EQ(out, "monitor part: no part named 'nothing' (parts: 'time')\n");
    }
  }
}

}  // namespace
}  // namespace vboard::test
