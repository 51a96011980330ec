// The live session's record as a list the page edits (a step dropped, an
// expectation added), the scenario steps a page sends to play a file, and
// the firmware panel's watched variables.
#include <gtest/gtest.h>

#include "serve/live.h"
#include "serve/messages.h"
#include "support/firmware.h"

namespace vboard::test {
namespace {

using serve::Input;
using serve::LiveBoard;

// The steps of the saved file, without its header.
std::string steps_of(const LiveBoard& live) {
  const std::string text = live.scenario_text("x");
  return text.substr(text.find("steps:\n") + 7);
}

TEST(ServeSessionEdit, ADroppedStepLeavesTheRecordAndItsDelaysJoin) {
  VBOARD_IMAGE(img, kFront);
  LiveBoard live(*img, "front_lamp.elf", MachineOptions{}, default_board(*img), {});
  live.apply(Input{Input::Kind::set, "PB5", 0});
  live.run_until(20 * kMs);
  live.apply(Input{Input::Kind::pulse, "PA0", 0, 0, 0, 1500 * kUs, 20 * kMs});
  live.run_until(40 * kMs);
  live.apply(Input{Input::Kind::mark_pin, "PA9"});
  ASSERT_EQ(live.steps().size(), 3u);
  const ns_t end = live.now();
  EXPECT_EQ(live.drop_step(1), "");
  EXPECT_EQ(steps_of(live),
            "  - set: {pin: PB5, level: 0}\n  - delay: 40ms\n  - expect-pin: {pin: PA9, level: 0}\n" +
                (end > 40 * kMs ? serve::delay_line(end - 40 * kMs) : ""));
  EXPECT_EQ(live.expect_after(0, "PA8", 1), "");
  EXPECT_EQ(live.steps()[1].t, 0u);
  EXPECT_EQ(steps_of(live).rfind(
                "  - set: {pin: PB5, level: 0}\n  - expect-pin: {pin: PA8, level: 1}\n  - delay", 0),
            0u)
      << steps_of(live);
  const std::pair<std::string, std::string> refused[] = {
      {live.drop_step(3), "no step 4 in the record"},
      {live.expect_after(9, "PA8", 1), "no step 10 in the record"},
      {live.expect_after(0, "PZ9", 1), "the board has no pin PZ9"},
  };
  for (const auto& [said, want] : refused) EXPECT_EQ(said, want);
  EXPECT_EQ(live.steps().size(), 3u);
}

TEST(ServeSessionEdit, AScenarioToPlayIsCheckedStepByStep) {
  const std::pair<const char*, const char*> cases[] = {
      {R"("end":5,"steps":[[0,"set","PB5","0",""],[2,"pulse","PA0",1500000,20000000],[3,"pulse-stop","PA0"],)"
       R"([4,"expect-pin","PA9","1"],[5,"expect-strip"]])",
       ""},
      {R"("end":5,"steps":[[0,"fly","PB5"]])", "steps: 'fly' is not a step the page plays"},
      {R"("end":5,"steps":[[0,"pulse","PA0",20000000,20000000]])", "steps: width"},
      {R"("end":5,"steps":[["1ms","set","PB5","0"]])", "steps: a time: a virtual time in whole ns"},
      {R"("end":5,"steps":[[0,"set","PB5"]])", "steps: set lacks its values"},
      {R"("steps":[])", "'end' is missing"},
  };
  for (const auto& [body, error] : cases) {
    int64_t seq = 0;
    const serve::Parsed p =
        serve::parse_message(std::string(R"({"seq":1,"op":"script",)") + body + "}", &seq);
    EXPECT_EQ(p.error.substr(0, std::string(error).size()), error) << body;
    if (!*error) {
      ASSERT_TRUE(p.command);
      const auto& s = std::get<serve::command::Script>(*p.command);
      ASSERT_EQ(s.steps.size(), 5u);
      EXPECT_EQ(s.steps[1].second.width, 1500 * kUs);
      EXPECT_EQ(s.steps[3].second.kind, Input::Kind::mark_pin);
      EXPECT_EQ(s.steps[3].second.level, 1);
    }
  }
}

// The firmware panel: where the core is, and watched variables read as a debugger reads them.
TEST(ServeSessionEdit, WatchedVariablesAreReadByTheirSymbols) {
  VBOARD_IMAGE(img, kFront);
  LiveBoard live(*img, "front_lamp.elf", MachineOptions{}, default_board(*img), {});
  live.run_until(50 * kMs);
  EXPECT_NE(live.where().find('+'), std::string::npos) << live.where();
  const std::pair<const char*, const char*> cases[] = {
      {"uwTick", "49 (0x00000031)"},  // the HAL tick, a millisecond each from its first
      {"uwTick:2", "49 (0x0031)"},    // fewer bytes
      {"uwTick+1:1", "0 (0x00)"},     // an offset
      {"nope", "no symbol nope in the image"},
      {"uwTick:3", "bytes: 1, 2, 4 or 8"},
      {"uwTick+zz", "write [*]symbol[+offset][:bytes]"},
  };
  for (const auto& [expr, want] : cases) {
    std::string got;
    live.watch_value(expr, &got);
    EXPECT_EQ(got, want) << expr;
  }
  std::string ptr;
  EXPECT_TRUE(live.watch_value("*_app", &ptr)) << ptr;  // the pointer the application object sits behind
}

}  // namespace
}  // namespace vboard::test
