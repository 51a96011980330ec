// Scenario files: the loader rejects every malformed file with its line before
// anything runs; the player drives the real images and names each failed step
// with file:line, virtual time, what was expected and what was seen; the JUnit
// report has one test case per scenario and one failure per failed step.
#include "vboard/scenario.h"

#include <fstream>

#include "firmware.h"
#include "vboard/lamp_board.h"

namespace vboard::test {
namespace {

using scenario::StepKind;

std::string head(const std::string& steps) { return "name: t\nversion: 1\nsteps:\n" + steps; }

struct BadCase {
  std::string text;
  unsigned line;
  std::string says;
};

TEST(ScenarioLoad, RejectsMalformedFilesWithTheirLine) {
  const BadCase cases[] = {
      {"name: t\nversion: 1\nsteps:\n  - delay: 1ms\ncolour: red\n", 5, "unknown key 'colour'"},
      {"name: t\nversion: 2\nsteps:\n  - delay: 1ms\n", 2, "only version 1"},
      {"name: t\nsteps:\n  - delay: 1ms\n", 1, "'version' is missing"},
      {head("  - delay: 1ms\n  - sleep: 2ms\n"), 5, "unknown step 'sleep'"},
      {head("  - delay: 100\n"), 4, "'100' is not a duration"},
      {head("  - delay: 1.2.3ms\n"), 4, "is not a duration"},
      {head("  - delay: 99999999999s\n"), 4, "is not a duration"},
      {head("  - set: {pin: PB5, level: 0, bouce: 5x200us}\n"), 4, "unknown key 'bouce'"},
      {head("  - set: {pin: PB5, level: 0, bounce: 5*200us}\n"), 4, "COUNTxSPACING"},
      {head("  - set: {pin: PB5, level: 2}\n"), 4, "'2' is not 0, 1 or z"},
      {head("  - set: {pin: PH5, level: 0}\n"), 4, "not a pin name"},
      {head("  - set: {pin: PA16, level: 0}\n"), 4, "not a pin name"},
      {head("  - set: {pin: PB5}\n"), 4, "'level' is missing"},
      {head("  - delay: 1ms\n  - pulse:\n      pin: PA0\n      width: 25ms\n"), 7, "below the period"},
      {head("  - pulse: {pin: PA0, width: 1ms, stop: true}\n"), 4, "no other settings"},
      {head("  - expect-pin: {pin: PA8, level: z}\n"), 4, "not 0 or 1"},
      {head("  - wait-pin: {pin: PA8, level: 1}\n"), 4, "'timeout' is missing"},
      {head("  - expect-strip: {color: orange}\n"), 4, "'orange' is not a colour"},
      {head("  - expect-strip: {color: [255, 0]}\n"), 4, "three values"},
      {head("  - expect-strip: {color: [256, 0, 0]}\n"), 4, "above 255"},
      {head("  - expect-strip: {color: red, leds: 9-3}\n"), 4, "not a range"},
      {head("  - expect-strip: {color: red, leds: [1, x]}\n"), 4, "'x' is not a whole number"},
      {head("  - expect-no-violations: {kind: timing}\n"), 4, "'timing' is not one of"},
      {head("  - inject-irq: 102\n"), 4, "above 101"},
      {head("  - set: {pin: PB5, level: 0, level: 1}\n"), 4, "given twice"},
      {head("  - delay: 1ms\n    extra: 2\n"), 4, "a step is one key"},
      {head("  - delay: 1ms\n  - set: {pin: PB5, level: 0\n  - delay: 1ms\n"), 6, "YAML"},
      {"name: t\nversion: 1\nsteps: []\n", 3, "expected a list of steps"},
  };
  for (const auto& c : cases) {
    std::string err;
    EXPECT_FALSE(scenario::parse(c.text, "f.yaml", &err)) << c.text;
    EXPECT_EQ(err.rfind("f.yaml:" + std::to_string(c.line) + ": ", 0), 0u) << c.text << "\n -> " << err;
    EXPECT_NE(err.find(c.says), std::string::npos) << c.text << "\n -> " << err;
  }
}

TEST(ScenarioLoad, ReadsEveryStepKind) {
  const std::string text = head(R"(  - pulse: {pin: PA0, width: 1500us, period: 20ms, jitter: 5us}
  - set: {pin: PB5, level: low, bounce: 5x200us}
  - set: {pin: PB6, level: z}
  - delay: 1.5s
  - wait-pin: {pin: PA8, level: high, timeout: 150ms}
  - expect-pin: {pin: PA9, level: 0}
  - expect-strip: {color: "#102030", leds: [0, 5-9], within: 3ms}
  - expect-strip:
      segments:
        - {leds: 0-9, color: dark}
        - {leds: 50-59, color: [255, 0, 0]}
  - expect-no-violations: {kind: strip}
  - expect-no-violations:
  - inject-irq: {irq: 6}
  - pulse: {pin: PA0, stop: true}
)");
  std::string err;
  auto s = scenario::parse(text, "f.yaml", &err);
  ASSERT_TRUE(s) << err;
  ASSERT_EQ(s->steps.size(), 12u);
  const auto& st = s->steps;
  EXPECT_EQ(st[0].kind, StepKind::pulse);
  EXPECT_EQ(st[0].width, 1500 * kUs);
  EXPECT_EQ(st[0].period, 20 * kMs);
  EXPECT_EQ(st[0].jitter, 5 * kUs);
  EXPECT_EQ(st[1].level, 0);
  EXPECT_EQ(st[1].bounces, 5u);
  EXPECT_EQ(st[1].bounce_ns, 200 * kUs);
  EXPECT_EQ(st[2].level, -1);
  EXPECT_EQ(st[3].duration, 1500 * kMs);
  EXPECT_EQ(st[4].line, 8u);
  EXPECT_EQ(st[4].duration, 150 * kMs);
  EXPECT_EQ(st[6].strip.front().color, (scenario::Rgb{0x10, 0x20, 0x30}));
  EXPECT_EQ(st[6].strip.front().leds, (decltype(scenario::StripCheck::leds){{0, 0}, {5, 9}}));
  ASSERT_EQ(st[7].strip.size(), 2u);
  EXPECT_EQ(st[7].strip[1].leds.front(), (std::pair<unsigned, unsigned>{50, 59}));
  EXPECT_EQ(st[8].violations, scenario::ViolationKind::strip);
  EXPECT_EQ(st[9].violations, scenario::ViolationKind::any);
  EXPECT_EQ(st[10].irq, 6u);
  EXPECT_TRUE(st[11].stop);
}

TEST(ScenarioLoad, MissingFileIsAnError) {
  std::string err;
  EXPECT_FALSE(scenario::load("/nonexistent/x.yaml", &err));
  EXPECT_NE(err.find("cannot open"), std::string::npos) << err;
}

scenario::Outcome play(const Image& img, const std::string& text, MachineOptions o = {}) {
  std::string err;
  auto s = scenario::parse(text, "s.yaml", &err);
  EXPECT_TRUE(s) << err;
  if (!s) return {};
  Machine m(img, std::move(o), lamp_board_factory());
  return scenario::run(m, *s);
}

std::string all_messages(const scenario::Outcome& o) {
  std::string s;
  for (const auto& f : o.failures) s += f.message() + "\n";
  return s;
}

TEST(ScenarioRun, FrontFollowsThePulseAndReportsAFailedExpectation) {
  VBOARD_IMAGE(img, "front_lamp.elf");
  // setup() switches both lights on for a moment before the first pass: start
  // looking once that is over.
  auto o = play(*img, head(R"(  - delay: 20ms
  - pulse: {pin: PA0, width: 1500us}
  - wait-pin: {pin: PA8, level: 1, timeout: 250ms}
  - expect-pin: {pin: PA9, level: 1}
  - pulse: {pin: PA0, width: 1200us}
  - delay: 250ms
  - expect-pin: {pin: PA8, level: 1}
  - expect-pin: {pin: PA9, level: 0}
)"));
  EXPECT_EQ(o.steps_run, 8u);
  ASSERT_EQ(o.failures.size(), 1u) << all_messages(o);
  const auto& f = o.failures.front();
  EXPECT_EQ(f.where, "s.yaml:10");
  EXPECT_EQ(f.kind, "expect-pin");
  EXPECT_EQ(f.expected, "PA8 = 1 (high)");
  EXPECT_EQ(f.seen.rfind("PA8 = 0 (low) since ", 0), 0u) << f.seen;
  // Switched off by the first pass after a 1200 us pulse: between the step's start and its end.
  EXPECT_GT(f.t, 250 * kMs);
  EXPECT_NE(f.message().find("s.yaml:10: expect-pin at "), std::string::npos) << f.message();
}

TEST(ScenarioRun, WaitPinTimesOutAtItsDeadline) {
  VBOARD_IMAGE(img, "front_lamp.elf");
  auto o = play(*img, head("  - delay: 50ms\n  - wait-pin: {pin: PA8, level: 1, timeout: 120ms}\n"));
  ASSERT_EQ(o.failures.size(), 1u);
  EXPECT_EQ(o.failures[0].t, 170 * kMs);
  EXPECT_NE(o.failures[0].expected.find("within 120"), std::string::npos) << o.failures[0].expected;
  EXPECT_EQ(o.end, 170 * kMs);
}

TEST(ScenarioRun, RearStripColoursAndAFailedStripExpectation) {
  VBOARD_IMAGE(img, "rear_lamp.elf");
  auto o = play(*img, head(R"(  - delay: 20ms
  - expect-strip: {color: dark}
  - set: {pin: PB5, level: 0}
  - expect-strip: {color: red, within: 5ms}
  - set: {pin: PB4, level: 0}
  - expect-strip: {color: magenta, leds: 0-59, within: 5ms}
  - expect-strip: {color: blue, within: 3ms}
  - expect-no-violations: {kind: strip}
)"));
  ASSERT_EQ(o.failures.size(), 1u) << all_messages(o);
  const auto& f = o.failures.front();
  EXPECT_EQ(f.where, "s.yaml:10");
  EXPECT_EQ(f.expected.rfind("every LED blue in a frame latched by", 0), 0u) << f.expected;
  EXPECT_NE(f.seen.find("(60 LEDs): 0-59 magenta"), std::string::npos) << f.seen;
}

TEST(ScenarioRun, StripViolationsAreCountedBeyondTheListedOnes) {
  VBOARD_IMAGE(img, "rear_lamp.elf");
  // The image's 1 bits stay low 460 ns, above the datasheet's 420 but well inside
  // what real parts read: a datasheet finding on every frame, never a misread bit.
  // The report lists only the first 100, all in the first red frame.
  auto o = play(*img, head(R"(  - set: {pin: PB5, level: 0}
  - delay: 20ms
  - delay: 5ms
  - expect-no-violations: {kind: strip}
  - expect-no-violations:
  - delay: 5ms
  - expect-no-violations: {kind: strip-datasheet}
)"));
  ASSERT_EQ(o.failures.size(), 1u) << all_messages(o);
  EXPECT_EQ(o.failures[0].where, "s.yaml:10");
  EXPECT_NE(o.failures[0].seen.find(" strip-datasheet timing violations of kind T1L (the last at 29.99"),
            std::string::npos)
      << o.failures[0].seen;
}

TEST(ScenarioRun, HaltedImageEndsTheScenarioAndSaysWhere) {
  VBOARD_IMAGE(img, "front_lamp.elf");
  MachineOptions opt;
  opt.faults.insert("pll_never_locks");
  auto o = play(*img, head("  - delay: 10ms\n  - expect-pin: {pin: PA8, level: 0}\n  - delay: 1ms\n"), opt);
  ASSERT_EQ(o.failures.size(), 2u) << all_messages(o);
  EXPECT_EQ(o.failures[0].where, "s.yaml:4");
  EXPECT_NE(o.failures[0].seen.find("the image stopped (error_handler in Error_Handler)"), std::string::npos)
      << o.failures[0].seen;
  EXPECT_EQ(o.failures[1].seen, "2 steps not run");
  EXPECT_EQ(o.steps_run, 1u);
}

TEST(ScenarioRun, InjectedInterruptWithoutHandlerIsAHaltViolation) {
  VBOARD_IMAGE(img, "front_lamp.elf");
  // IRQ 25 (TIM1 update) has no handler of its own on this board: Default_Handler, a halt loop.
  MachineOptions opt;
  opt.stop_on_halt = false;
  auto o =
      play(*img,
           head("  - delay: 5ms\n  - inject-irq: 25\n  - delay: 1ms\n  - expect-no-violations: {kind: halt}\n"
                "  - expect-no-violations: {kind: strip}\n"),
           opt);
  ASSERT_EQ(o.failures.size(), 1u) << all_messages(o);
  EXPECT_EQ(o.failures[0].where, "s.yaml:7");
  EXPECT_NE(o.failures[0].seen.find("default_handler"), std::string::npos) << o.failures[0].seen;
}

TEST(ScenarioJunit, OneCasePerScenarioOneFailurePerStep) {
  scenario::Outcome pass, fail;
  pass.file = "a.yaml";
  pass.name = "passes";
  pass.end = 1500 * kMs;
  fail.file = "b.yaml";
  fail.name = "fails <badly> & \"loud\"";
  fail.end = 2 * kSec;
  for (unsigned i = 0; i < 2; ++i)
    fail.failures.push_back({i, "b.yaml:" + std::to_string(4 + i), "expect-pin", kMs, "PA8 = 1", "PA8 = 0"});
  const std::string x = scenario::to_junit({pass, fail}, "front_lamp.elf");
  EXPECT_NE(x.find("<testsuites name=\"vboard scenarios\" tests=\"2\" failures=\"1\" time=\"3.500000000\">"),
            std::string::npos)
      << x;
  EXPECT_NE(
      x.find("<testcase classname=\"front_lamp.elf\" name=\"passes\" file=\"a.yaml\" time=\"1.500000000\"/>"),
      std::string::npos)
      << x;
  EXPECT_NE(x.find("name=\"fails &lt;badly&gt; &amp; &quot;loud&quot;\""), std::string::npos) << x;
  size_t failures = 0;
  for (size_t p = x.find("<failure "); p != std::string::npos; p = x.find("<failure ", p + 1)) ++failures;
  EXPECT_EQ(failures, 2u);
  EXPECT_NE(x.find("b.yaml:5: expect-pin at 1.000000 ms: expected PA8 = 1; saw PA8 = 0"), std::string::npos)
      << x;
  std::string err;
  EXPECT_FALSE(scenario::write_junit({pass}, "x", "/nonexistent/dir/r.xml", &err));
  EXPECT_NE(err.find("cannot write"), std::string::npos);
}

}  // namespace
}  // namespace vboard::test
