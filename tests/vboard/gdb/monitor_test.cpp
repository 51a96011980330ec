// `monitor` on the real rear image with its strip renamed to a name with
// spaces or to a monitor command: `part NAME` reaches the part whatever its
// name; `NAME` alone when the name is no command. `monitor regs` on the rear
// image as it drives its strip: the chip's registers decoded by name, and
// reading them changes nothing the run does afterwards.
#include <gtest/gtest.h>

#include "gdb/machine_target.h"
#include "support/firmware.h"
#include "support/line_of.h"
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

TEST(Monitor, RegsDecodesTheRearImagesRegistersByName) {
  VBOARD_IMAGE(img, "rear_lamp.elf");
  Machine m(*img, MachineOptions{}, board_factory(default_board(*img)));
  m.run_until(100 * kMs);
  gdb::MachineTarget target(m, kSec);
  // The rear image's set-up (rear_lamp/Core/Src, mid/ts_ws2815.cpp): PLL at 150 MHz;
  // TIM17 channel 1 in PWM mode 1 on PA7 (alternate function 1), auto-reload
  // unbuffered, period 1.25 us (ARR 186), its compare value fed by DMA1
  // channel 1 in circular mode.
  const struct {
    const char *command, *name, *line;
  } rows[] = {
      {"regs RCC CFGR", "SWS", "SWS [3:2] 3 PLL used as system clock"},
      {"regs TIM17 CR1", "CEN", "CEN [0] 1 Counter enabled"},
      {"regs TIM17 CR1", "ARPE", "ARPE [7] 0 TIMx_ARR register is not buffered"},
      {"regs TIM17 ARR", "ARR", "ARR [19:0] 186 (0x000BA)"},
      {"regs TIM17 CCMR1", "OC1M", "OC1M [6:4] 6 PWM mode 1 - Channel 1 is active as long as..."},
      {"regs TIM17 CCER", "CC1E", "CC1E [0] 1 Capture mode enabled / OC1 signal is output on the..."},
      {"regs TIM17 DIER", "CC1DE", "CC1DE [9] 1 CC1 DMA request enabled"},
      {"regs gpioa moder", "MODER7", "MODER7 [15:14] 2"},
      {"regs GPIOA AFRL", "AFRL7", "AFRL7 [31:28] 1"},
      {"regs DMA1 CCR1", "CIRC", "CIRC [5] 1"},
  };
  for (const auto& row : rows) {
    std::string out;
    ASSERT_TRUE(target.monitor(row.command, out)) << out;
    EXPECT_EQ(line_of(out, row.name), row.line) << row.command;
  }
  std::string out;
  EXPECT_FALSE(target.monitor("regs TIM3", out));
  EXPECT_EQ(out.rfind("monitor regs: no peripheral 'TIM3' (peripherals: RCC, PWR, FLASH, ", 0), 0u) << out;
  EXPECT_FALSE(target.monitor("regs TIM17 CCR2", out));
  EXPECT_EQ(out.rfind("monitor regs: TIM17 has no register 'CCR2' (registers: CR1, ", 0), 0u) << out;
}

TEST(Monitor, RegsReadsWithoutChangingTheRun) {
  // Every register of every peripheral read (flags, counters, DMA and USART
  // status) at instants of the strip's frames: pins and parts then go on as in
  // the run nobody looked at.
  VBOARD_IMAGE(img, "rear_lamp.elf");
  Machine looked(*img, MachineOptions{}, board_factory(default_board(*img)));
  Machine plain(*img, MachineOptions{}, board_factory(default_board(*img)));
  gdb::MachineTarget target(looked, kSec);
  std::string sr_before, sr_after;
  for (ns_t t = 20 * kMs; t <= 200 * kMs; t += 15 * kMs + 333) {
    looked.run_until(t);
    ASSERT_TRUE(target.monitor("regs TIM17 SR", sr_before));
    for (const char* p : {"RCC", "PWR", "FLASH", "SYSCFG", "EXTI", "GPIOA", "GPIOB", "TIM1", "TIM17",
                          "DMAMUX", "DMA1", "USART3"}) {
      std::string out;
      ASSERT_TRUE(target.monitor(std::string("regs ") + p, out)) << out;
    }
    ASSERT_TRUE(target.monitor("regs TIM17 SR", sr_after));
    EXPECT_EQ(sr_after, sr_before) << "a read for display clears no flag";
  }
  looked.run_until(300 * kMs);
  plain.run_until(300 * kMs);
  EXPECT_EQ(looked.board().pin_states(), plain.board().pin_states());
  for (const PartView* part : plain.board().parts())
    EXPECT_EQ(looked.board().part(part->identity().name)->describe(), part->describe())
        << part->identity().name;
}

}  // namespace
}  // namespace vboard::test
