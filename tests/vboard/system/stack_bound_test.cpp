// The static stack bound of the two lamp images: complete, every handler
// bounded, no smaller than what the known frames on their paths add up to or
// than what a run of the image really used, and inside the 1 KiB the linker
// scripts reserve for the stack (_Min_Stack_Size), with a margin.
#include <nlohmann/json.hpp>

#include <cstdio>

#include "support/firmware.h"
#include "outputs/stack_bound.h"

namespace vboard::test {
namespace {

constexpr uint32_t kReserved = 1024;  // _Min_Stack_Size of both linker scripts
constexpr uint32_t kMargin = 128;     // what the bound must leave of it
constexpr uint32_t kStackTop = 0x20008000;

struct Case {
  const char* elf;
  MachineOptions inputs;
  uint32_t main_frame;  // main's prologue: push + sub sp (front push {lr}, #148; rear push {r7, lr}, #168)
  uint32_t tim7_calls;  // TIM7's handler reaches HAL_TIM_IRQHandler (8 registers pushed), the front's
                        // then micros (7 pushed)
  uint32_t frame;       // exception frame: 104 where the image has VFP instructions
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.elf; }

MachineOptions front_inputs() {
  MachineOptions o;
  o.run_for = 300 * kMs;
  o.pulses.push_back(PulseSpec{"PA0", 1500 * kUs, 20 * kMs, 20 * kMs});
  return o;
}

MachineOptions rear_inputs() {
  MachineOptions o;
  o.run_for = 300 * kMs;
  o.levels.push_back(LevelSpec{"PB5", 0, 10 * kMs});
  return o;
}

// The deepest the stack went in a run: the lowest word below the stack's top
// that is no longer zero (RAM starts cleared; a zero pushed is not seen, so
// this can only be less than the truth).
uint32_t used_by_run(const Machine& m) {
  uint32_t lowest = kStackTop;
  for (uint32_t a = kStackTop - 2 * kReserved; a < kStackTop; a += 4)
    if (m.peek32(a) != 0) {
      lowest = a;
      break;
    }
  return kStackTop - lowest;
}

class StackBoundOfLamp : public ::testing::TestWithParam<Case> {};

TEST_P(StackBoundOfLamp, IsCompleteCoversTheKnownFramesAndTheRunAndFitsTheReservation) {
  const Case& c = GetParam();
  VBOARD_IMAGE(img, c.elf);
  FwRun run = run_fw(*img, c.inputs);
  const StackBound b = bound(*img, nvic_priorities(*run.m));
  std::string notes;
  for (const std::string& n : b.notes) notes += n + "\n";
  EXPECT_TRUE(b.complete) << notes;
  for (const StackHandler& h : b.handlers) EXPECT_TRUE(h.bounded) << h.name;
  EXPECT_EQ(notes.find("no bound"), std::string::npos) << notes;
  EXPECT_EQ(b.exception_frame_bytes, c.frame);

  // Reset_Handler_Body pushes 8 bytes before it calls main.
  EXPECT_GE(b.thread_bytes, 8 + c.main_frame);
  EXPECT_NE(std::find(b.thread_path.begin(), b.thread_path.end(), "main"), b.thread_path.end());
  const auto tim7 = std::find_if(b.handlers.begin(), b.handlers.end(),
                                 [](const StackHandler& h) { return h.exception == 16 + 55; });
  ASSERT_NE(tim7, b.handlers.end());
  EXPECT_GE(tim7->call_bytes, c.tim7_calls);
  EXPECT_EQ(tim7->bytes, tim7->call_bytes + c.frame + 4);

  const uint32_t used = used_by_run(*run.m);
  EXPECT_GT(used, 8 + c.main_frame) << "the run must have reached main";
  EXPECT_LE(used, b.worst_total_bytes);
  EXPECT_LE(b.worst_total_bytes + kMargin, kReserved)
      << "the bound " << b.worst_total_bytes << " leaves less than " << kMargin << " of the " << kReserved
      << " bytes reserved";
  RecordProperty("worst_total_bytes", static_cast<int>(b.worst_total_bytes));
  RecordProperty("used_by_run_bytes", static_cast<int>(used));
}

// The command line's bound is the library's, nested by the priorities a 10 ms
// run leaves in the NVIC, as one JSON document.
TEST(StackBoundCommandLine, JsonIsTheBoundAfterTenMillisecondsOfTheImage) {
  VBOARD_IMAGE(img, kRear);
  MachineOptions o;
  o.run_for = 10 * kMs;
  FwRun run = run_fw(*img, o);
  const StackBound b = bound(*img, nvic_priorities(*run.m));
  const std::string cmd =
      std::string(VBOARD_EXE) + " " + firmware_dir() + "/" + kRear + " --stack-bound --json";
  std::FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  ASSERT_EQ(pclose(p), 0);
  const auto j = nlohmann::json::parse(out);
  EXPECT_EQ(j["complete"], b.complete);
  EXPECT_EQ(j["worst_total_bytes"], b.worst_total_bytes);
  EXPECT_EQ(j["chain"], b.chain);
  EXPECT_EQ(j["handlers"].size(), b.handlers.size());
  EXPECT_NE(j["notes"][0].get<std::string>().find("after 10"), std::string::npos) << j["notes"][0];
}

INSTANTIATE_TEST_SUITE_P(Lamps, StackBoundOfLamp,
                         ::testing::Values(Case{kFront, front_inputs(), 4 + 148, 32 + 28, 32},
                                           Case{kRear, rear_inputs(), 8 + 168, 32, 104}),
                         [](const auto& p) {
                           const std::string elf = p.param.elf;
                           return elf.substr(0, elf.find('_'));
                         });

}  // namespace
}  // namespace vboard::test
