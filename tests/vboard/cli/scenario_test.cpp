// Scenario files: the loader rejects every malformed file with its line before
// anything runs; the player drives the real images and names each failed step
// with file:line, virtual time, what was expected and what was seen; the JUnit
// report has one test case per scenario and one failure per failed step.
#include "cli/scenario.h"

#include <fstream>

#include "support/firmware.h"
#include "cli/cli.h"
#include "world/board.h"
#include "outputs/svg.h"
#include "support/words.h"

namespace vboard::test {
namespace {

std::string head(const std::string& steps) { return "name: t\nversion: 1\nsteps:\n" + steps; }

struct BadCase {
  std::string text;
  unsigned line;  // 0: the message names no line
  std::string says;
};

const std::string kNotATime = " is not a time (a number with ns, us, ms or s, e.g. 20ms)";
const std::string kSteps =
    "delay, set, pulse, expect-pin, wait-pin, expect-strip, expect-stable, expect-blink, expect-pulses, "
    "expect-no-violations, inject-irq";

const std::string kAddsUp =
    " of virtual time, above the limit of 3600 s (delays, wait-pin timeouts, expect-strip within and the "
    "waiting steps' longest times add up)";

TEST(ScenarioLoad, RejectsMalformedFilesWithTheirLine) {
  const BadCase cases[] = {
      {"name: t\nversion: 1\nsteps:\n  - delay: 1ms\ncolour: red\n", 5,
       "scenario: unknown key 'colour' (known: name, version, description, board, steps)"},
      {"name: t\nversion: 2\nsteps:\n  - delay: 1ms\n", 2, "version: only version 1 is known, not '2'"},
      {"name: t\nsteps:\n  - delay: 1ms\n", 1, "scenario: 'version' is missing"},
      {head("  - delay: 1ms\n  - sleep: 2ms\n"), 5, "unknown step 'sleep' (known: " + kSteps + ")"},
      {head("  - delay: 100\n"), 4, "delay: '100'" + kNotATime},
      {head("  - delay: 1.2.3ms\n"), 4, "delay: '1.2.3ms'" + kNotATime},
      {head("  - delay: 99999999999s\n"), 4, "delay: '99999999999s' is above the limit of 3600 s"},
      {head("  - delay: 3601s\n"), 4, "delay: '3601s' is above the limit of 3600 s"},
      {head("  - delay: 1.5ns\n"), 4, "delay: '1.5ns' is not a whole number of nanoseconds"},
      // The whole scenario's worst case: delays, wait-pin timeouts and expect-strip within add up.
      {head("  - delay: 3600s\n  - delay: 3600s\n"), 5,
       "delay: the steps up to here may take 7200 s of virtual time, above the limit of 3600 s (delays, "
       "wait-pin timeouts, expect-strip within and the waiting steps' longest times add up)"},
      {head("  - delay: 3000s\n  - wait-pin: {pin: PA8, level: 1, timeout: 500s}\n  - expect-pin: {pin: PA8, "
            "level: 1}\n  - expect-strip: {color: red, within: 100000000001ns}\n"),
       7,
       "expect-strip: the steps up to here may take 3600.000000001 s of virtual time, above the limit of "
       "3600 s (delays, wait-pin timeouts, expect-strip within and the waiting steps' longest times add up)"},
      // The waiting steps count with their longest: a hold, the first edge and every period, a window.
      {head("  - delay: 3000s\n  - expect-stable: {pin: PA8, level: 1, for: 600000000001ns}\n"), 5,
       "expect-stable: the steps up to here may take 3600.000000001 s" + kAddsUp},
      {head("  - delay: 3599s\n  - expect-blink: {pin: PA8, period: 200ms, count: 4}\n"), 5,
       "expect-blink: the steps up to here may take 3600.1 s" + kAddsUp},
      {head("  - delay: 3599s\n  - expect-pulses: {pin: PA0, width: {min: 1ms, max: 2ms}, within: 2s}\n"), 5,
       "expect-pulses: the steps up to here may take 3601 s" + kAddsUp},
      {head("  - set: {pin: PB5, level: 0, bouce: 5x200us}\n"), 4,
       "set: unknown key 'bouce' (known: pin, level, bounce)"},
      {head("  - set: {pin: PB5, level: 0, bounce: 5*200us}\n"), 4,
       "bounce: '5*200us' is not COUNTxSPACING (e.g. 5x200us)"},
      {head("  - set: {pin: PB5, level: 0, bounce: 0x200us}\n"), 4,
       "bounce: '0x200us': the count must be a number from 1 to 1000"},
      {head("  - set: {pin: PB5, level: 0, bounce: 1001x1us}\n"), 4,
       "bounce: '1001x1us': the count must be a number from 1 to 1000"},
      {head("  - set: {pin: PB5, level: 0, bounce: 2x3000s}\n"), 4,
       "bounce: '2x3000s': the spacing '3000s' is above the limit of 1 s"},
      {head("  - set: {pin: PB5, level: 0, bounce: 5x0ns}\n"), 4,
       "bounce: '5x0ns': the spacing must be above 0"},
      {head("  - set: {pin: PB5, level: z, bounce: 5x1us}\n"), 4,
       "bounce: a released line (z) does not bounce"},
      {head("  - set: {pin: PB5, level: 2}\n"), 4, "level: '2' is not 0, 1 or z (low, high, released)"},
      {head("  - set: {pin: PH5, level: 0}\n"), 4, "pin: 'PH5'" + kNotAPin},
      {head("  - set: {pin: PA16, level: 0}\n"), 4, "pin: 'PA16'" + kNotAPin},
      {head("  - set: {pin: PD3, level: 0}\n"), 4, "pin: 'PD3'" + kNotAPin},
      {head("  - pulse: {pin: PC0, width: 1ms}\n"), 4, "pin: 'PC0'" + kNotAPin},
      {head("  - wait-pin: {pin: PE1, level: 1, timeout: 1ms}\n"), 4, "pin: 'PE1'" + kNotAPin},
      {head("  - expect-pin: {pin: PG0, level: 1}\n"), 4, "pin: 'PG0'" + kNotAPin},
      {head("  - set: {pin: PB5}\n"), 4, "set: 'level' is missing"},
      {head("  - delay: 1ms\n  - pulse:\n      pin: PA0\n      width: 25ms\n"), 7,
       "width: 25 ms must be below the period, 20 ms"},
      {head("  - pulse: {pin: PA0, width: 1ns, period: 2ns}\n"), 4,
       "period: '2ns' is below the minimum of 100 ns"},
      {head("  - pulse: {pin: PA0, width: 15ms, period: 20ms, jitter: 6ms}\n"), 4,
       "jitter: 6 ms must be below the width, 15 ms, and below the low time, 5 ms"},
      {head("  - pulse: {pin: PA0, width: 1ms, stop: true}\n"), 4,
       "pulse: 'stop' takes no other settings than 'pin'"},
      {head("  - expect-pin: {pin: PA8, level: z}\n"), 4, "level: 'z' is not 0 or 1 (low, high)"},
      {head("  - wait-pin: {pin: PA8, level: 1}\n"), 4, "wait-pin: 'timeout' is missing"},
      {head("  - expect-strip: {color: orange}\n"), 4,
       "color: 'orange' is not a colour (dark, red, green, blue, yellow, magenta, cyan, white, #rrggbb or "
       "[r, g, b])"},
      {head("  - expect-strip: {color: [255, 0]}\n"), 4,
       "color: a list needs three values: [red, green, blue]"},
      {head("  - expect-strip: {color: [256, 0, 0]}\n"), 4, "color: 256 is above 255"},
      {head("  - expect-strip: {color: red, leds: 9-3}\n"), 4,
       "leds: '9-3' is not a range like 0-59 below 4096"},
      {head("  - expect-strip: {color: red, leds: [1, x]}\n"), 4, "leds: 'x' is not a whole number"},
      {head("  - expect-no-violations: {kind: timing}\n"), 4,
       "kind: 'timing' is not one of any, strip, strip-datasheet, unmodelled, fault, halt, finding, "
       "flash_latency, ahb_step, voltage_range, clock_limit, misconfigured, reserved_value, locked_field, "
       "not_modelled, clock_off, pin_contention, pll_lock_suppressed, clock_switch_suppressed"},
      {head("  - inject-irq: 102\n"), 4, "inject-irq: '102' is not an IRQ number 0..101"},
      {head("  - inject-irq: {irq: -1}\n"), 4, "irq: '-1' is not an IRQ number 0..101"},
      {head("  - set: {pin: PB5, level: 0, level: 1}\n"), 4, "set: key 'level' given twice"},
      {head("  - delay: 1ms\n    extra: 2\n"), 4,
       "a step is one key naming it (" + kSteps + ") with its settings, and optionally 'label:'"},
      {head("  - delay: 1ms\n  - set: {pin: PB5, level: 0\n  - delay: 1ms\n"), 6,
       "YAML: end of map flow not found"},
      {"name: t\nversion: 1\nsteps: []\n", 3, "steps: expected a list of steps"},
      // An empty value is charged to its key, not to the line after it (past the end here).
      {head("  - delay:\n"), 4, "delay: no value"},
      {head("  - set:\n      pin: PB5\n      level:\n"), 6, "level: no value"},
      {"name:\nversion: 1\nsteps:\n  - delay: 1ms\n", 1, "name: no value"},
      {"", 0,
       "no scenario in the file (it is empty or only comments): expected a map with name, version, steps"},
      {"# only a comment\n", 0,
       "no scenario in the file (it is empty or only comments): expected a map with name, version, steps"},
      {head("  - delay: 1ms\n---\nname: u\n"), 6,
       "a second YAML document: a scenario file holds one (no '---' after the scenario)"},
      // The board a scenario is for, step labels and the windows of violation checks.
      // A board's name here; whether a board file has it is asked when the board is chosen
      // (board_choice_test.cpp).
      {"name: t\nversion: 1\nboard: middle lamp\nsteps:\n  - delay: 1ms\n", 3,
       "board: 'middle lamp' is not a board name (1 to 64 letters, digits, '_' and '-')"},
      {head("  - label: a b\n    delay: 1ms\n"), 4,
       "label: 'a b' is not a label (letters, digits, '-' and '_', at most 64, the first a letter or '_')"},
      // A label that since: would read as a time is refused; since: "5" is a time, never a label.
      {head("  - label: 1ms\n    delay: 1ms\n"), 4,
       "label: '1ms' is not a label (letters, digits, '-' and '_', at most 64, the first a letter or '_')"},
      {head("  - label: \"5\"\n    delay: 1ms\n"), 4,
       "label: '5' is not a label (letters, digits, '-' and '_', at most 64, the first a letter or '_')"},
      {head("  - delay: 1ms\n  - expect-no-violations: {since: \"5\"}\n"), 5,
       "since: '5' is not a time (a number with ns, us, ms or s, e.g. 20ms)"},
      {head("  - label: x\n    delay: 1ms\n  - label: x\n    delay: 1ms\n"), 6,
       "label: 'x' names an earlier step already"},
      {head("  - label: x\n    delay: 1ms\n    set: {pin: PB5, level: 0}\n"), 4,
       "a step is one key naming it (" + kSteps + ") with its settings, and optionally 'label:'"},
      {head("  - expect-no-violations: {since: later}\n  - label: later\n    delay: 1ms\n"), 4,
       "since: 'later' is neither a time (e.g. 15ms) nor the label of a step before this one"},
      {head("  - expect-no-violations: {since: 15xs}\n"), 4, "since: '15xs'" + kNotATime},
      {head("  - expect-no-violations: {kind: []}\n"), 4, "kind: an empty list"},
      {head("  - expect-no-violations: {kind: [strip, tming]}\n"), 4,
       "kind: 'tming' is not one of any, strip, strip-datasheet, unmodelled, fault, halt, finding, "
       "flash_latency, ahb_step, voltage_range, clock_limit, misconfigured, reserved_value, locked_field, "
       "not_modelled, clock_off, pin_contention, pll_lock_suppressed, clock_switch_suppressed"},
      {head("  - expect-stable: {pin: PA9, level: 1}\n"), 4, "expect-stable: 'for' is missing"},
      {head("  - expect-stable: {pin: PA9, level: 1, for: 0ms}\n"), 4, "for: must be above 0"},
      {head("  - expect-blink: {pin: PA9, period: 100ms, high: 100ms}\n"), 4,
       "high: 100 ms must be below the period, 100 ms"},
      {head("  - expect-blink: {pin: PA9, period: 100ms, high: 20ms, tolerance: 20ms}\n"), 4,
       "tolerance: 20 ms must be below the high time, 20 ms, and below the low time, 80 ms"},
      {head("  - expect-blink: {pin: PA9, period: 100ms, count: 0}\n"), 4, "count: must be at least 1"},
      {head("  - expect-blink: {pin: PA9, period: 1s, count: 5000}\n"), 4,
       "expect-blink: 5000 periods of up to 1.1 s may take longer than the limit of 3600 s"},
      {head("  - expect-pulses: {pin: PA0, width: {min: 2ms, max: 1ms}, within: 1s}\n"), 4,
       "min: 2 ms is above max, 1 ms"},
      {head("  - expect-pulses: {pin: PA0, width: 1ms, within: 1s}\n"), 4,
       "width: expected a map of settings"},
      {head("  - expect-pulses: {pin: PA0, width: {min: 1ms, max: 2ms}}\n"), 4,
       "expect-pulses: 'within' is missing"},
      {head("  - expect-pulses: {pin: PA0, width: {min: 1ms, max: 2ms}, within: 3000s}\n"
            "  - expect-stable: {pin: PA9, level: 0, for: 601s}\n"),
       5,
       "expect-stable: the steps up to here may take 3601 s of virtual time, above the limit of 3600 s "
       "(delays, wait-pin timeouts, expect-strip within and the waiting steps' longest times add up)"},
      // User text is shown with its control characters spelled out, on one line.
      {head("  - delay: \"\\e[2J1ms\"\n"), 4, "delay: '\\x1b[2J1ms'" + kNotATime},
      {head("  - set: {pin: \"PA0\\nPA1\", level: 0}\n"), 4, "pin: 'PA0\\x0aPA1'" + kNotAPin},
      {head("  - \"dela\\ty\": 1ms\n"), 4, "unknown step 'dela\\x09y' (known: " + kSteps + ")"},
      {"name: \"a\\e[31mred\"\nversion: 1\nsteps:\n  - delay: 1ms\n", 1,
       "name: 'a\\x1b[31mred' holds a control character (a name is one line of text)"},
  };
  for (const auto& c : cases) {
    std::string err;
    EXPECT_FALSE(scenario::parse(c.text, "f.yaml", &err)) << c.text;
    EXPECT_EQ(err, (c.line ? "f.yaml:" + std::to_string(c.line) : std::string("f.yaml")) + ": " + c.says)
        << c.text;
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
  - label: last-1
    expect-stable: {pin: PA9, level: 1, for: 2ms}
  - expect-blink: {pin: PA9, period: 100ms}
  - expect-pulses: {pin: PA0, level: 0, width: {min: 1ms, max: 2ms}, count: 2, within: 1s}
  - expect-no-violations: {kind: [strip, pin_contention], since: last-1}
  - expect-no-violations: {since: 15ms}
)");
  std::string err;
  auto s = scenario::parse(text, "f.yaml", &err);
  ASSERT_TRUE(s) << err;
  ASSERT_EQ(s->steps.size(), 17u);
  const auto& st = s->steps;
  // Each step reads as its own kind (the alternative it holds), named as in the file.
  std::string kinds;
  for (const auto& step : st)
    kinds += std::string(kinds.empty() ? "" : " ") + scenario::step_name(step.kind());
  EXPECT_EQ(kinds,
            "pulse set set delay wait-pin expect-pin expect-strip expect-strip expect-no-violations "
            "expect-no-violations inject-irq pulse expect-stable expect-blink expect-pulses "
            "expect-no-violations expect-no-violations");
  const auto& pulse = std::get<scenario::Pulse>(st[0].what);
  EXPECT_EQ(pulse.width, 1500 * kUs);
  EXPECT_EQ(pulse.period, 20 * kMs);
  EXPECT_EQ(pulse.jitter, 5 * kUs);
  const auto& set = std::get<scenario::Set>(st[1].what);
  EXPECT_EQ(set.level, 0);
  EXPECT_EQ(set.bounces, 5u);
  EXPECT_EQ(set.bounce_ns, 200 * kUs);
  EXPECT_EQ(std::get<scenario::Set>(st[2].what).level, -1);
  EXPECT_EQ(std::get<scenario::Delay>(st[3].what).duration, 1500 * kMs);
  EXPECT_EQ(st[4].line, 8u);
  EXPECT_EQ(std::get<scenario::WaitPin>(st[4].what).timeout, 150 * kMs);
  const auto& strip = std::get<scenario::ExpectStrip>(st[6].what);
  EXPECT_EQ(strip.checks.front().color, (scenario::Rgb{0x10, 0x20, 0x30}));
  EXPECT_EQ(strip.checks.front().leds, (decltype(scenario::StripCheck::leds){{0, 0}, {5, 9}}));
  EXPECT_EQ(strip.within, 3 * kMs);
  const auto& segments = std::get<scenario::ExpectStrip>(st[7].what).checks;
  ASSERT_EQ(segments.size(), 2u);
  EXPECT_EQ(segments[1].leds.front(), (std::pair<unsigned, unsigned>{50, 59}));
  EXPECT_EQ(std::get<scenario::ExpectNoViolations>(st[8].what).violations,
            std::set{scenario::ViolationKind::strip});
  EXPECT_EQ(std::get<scenario::ExpectNoViolations>(st[9].what).violations,
            std::set{scenario::ViolationKind::any});
  EXPECT_EQ(std::get<scenario::InjectIrq>(st[10].what).irq, 6u);
  EXPECT_TRUE(std::get<scenario::Pulse>(st[11].what).stop);
  EXPECT_EQ(st[12].label, "last-1");
  EXPECT_EQ(std::get<scenario::ExpectStable>(st[12].what).hold, 2 * kMs);
  // expect-blink's defaults: high half the period, tolerance a tenth of it, 3 periods.
  const auto& blink = std::get<scenario::ExpectBlink>(st[13].what);
  EXPECT_EQ(blink.high, 50 * kMs);
  EXPECT_EQ(blink.tolerance, 10 * kMs);
  EXPECT_EQ(blink.count, 3u);
  // The longest a step may take: the first rising edge and 3 periods, each at most 110 ms.
  EXPECT_EQ(st[13].longest(), 4 * 110 * kMs);
  const auto& pulses = std::get<scenario::ExpectPulses>(st[14].what);
  EXPECT_EQ(pulses.level, 0);
  EXPECT_EQ(pulses.width_max, 2 * kMs);
  EXPECT_EQ(pulses.count, 2u);
  const auto& since_label = std::get<scenario::ExpectNoViolations>(st[15].what);
  EXPECT_EQ(since_label.since.from, scenario::Since::From::step);
  EXPECT_EQ(since_label.since.step, 12u);
  EXPECT_EQ(since_label.findings, std::set<std::string>{"pin_contention"});
  EXPECT_EQ(std::get<scenario::ExpectNoViolations>(st[16].what).since.t, 15 * kMs);
}

// One list of values, each given to the command line and to a scenario step in
// the same place: both accept it, or both refuse it with the same reason.
TEST(SharedValues, CommandLineAndLoaderAcceptAndRefuseTheSame) {
  struct Place {
    const char* key;  // the loader's key; the reason follows "f.yaml:4: KEY: "
    const char* option;
    std::string arg, step;  // '%' stands for the value
  };
  const Place places[] = {
      {"delay", "--for", "%", "delay: %"},
      {"width", "--pulse", "PA0=%@0", "pulse: {pin: PA0, width: %}"},
      {"period", "--pulse", "PA0=50ns@0,period=%", "pulse: {pin: PA0, width: 50ns, period: %}"},
      {"jitter", "--pulse", "PA0=1ms@0,period=2ms,jitter=%",
       "pulse: {pin: PA0, width: 1ms, period: 2ms, jitter: %}"},
      {"pin", "--set", "%=1", "set: {pin: %, level: 1}"},
      {"level", "--set", "PB5=%", "set: {pin: PB5, level: %}"},
      {"bounce", "--set", "PB5=0,bounce=%", "set: {pin: PB5, level: 0, bounce: %}"},
      {"irq", "--inject-irq", "%", "inject-irq: {irq: %}"},
  };
  const std::string values[] = {
      "0",       "1",       "z",        "low",     "high",  "released", "Z",     "2",
      "",        " 1ms",    "1ms\n",    "\x1b[2J", "100ns", "99ns",     "2ns",   "1ms",
      "1.5ms",   "1.5ns",   "1..5ms",   "300",     "-1ms",  "3600s",    "3601s", "99999999999s",
      "PA0",     "PA15",    "PB5",      "PC13",    "PF1",   "PG10",     "PA16",  "PD3",
      "PC0",     "PE1",     "PG0",      "pa0",     "101",   "102",      "-1",    "5x200us",
      "1000x1s", "0x200us", "1001x1us", "2x3000s", "5x0ns", "x1ms",     "5x",    "5*200us"};
  const auto fill = [](std::string form, const std::string& v) { return form.replace(form.find('%'), 1, v); };
  const auto yaml_quoted = [](const std::string& v) {
    std::string q = "\"";
    for (char c : v)
      q += c == '\n' ? std::string("\\n") : c == '\x1b' ? std::string("\\e") : std::string(1, c);
    return q + "\"";
  };
  size_t accepted = 0;
  for (const Place& p : places) {
    for (const std::string& v : values) {
      const std::string arg = fill(p.arg, v), shown = p.option + (" " + arg) + "  /  " + fill(p.step, v);
      std::vector<const char*> argv = {"vboard", "front.elf", p.option, arg.c_str()};
      Invocation inv;
      const ParseOutcome cli = parse_command_line(static_cast<int>(argv.size()), argv.data(), &inv);
      std::string err;
      const bool loaded =
          scenario::parse(head("  - " + fill(p.step, yaml_quoted(v)) + "\n"), "f.yaml", &err).has_value();
      ASSERT_EQ(cli.proceed, loaded) << shown << "\n  command line: " << cli.error << "\n  loader: " << err;
      if (loaded) {
        ++accepted;
        continue;
      }
      const std::string prefix = "f.yaml:4: " + std::string(p.key) + ": ";
      ASSERT_EQ(err.rfind(prefix, 0), 0u) << shown << ": " << err;
      const std::string reason = ": " + err.substr(prefix.size());
      EXPECT_TRUE(cli.error.size() > reason.size() &&
                  cli.error.compare(cli.error.size() - reason.size(), reason.size(), reason) == 0)
          << shown << "\n  command line: " << cli.error << "\n  loader: " << err;
    }
  }
  EXPECT_GT(accepted, 30u);
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
  Machine m(img, std::move(o), board_factory(default_board(img)));
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
  - expect-no-violations: {kind: strip, since: 3ms}
)"));
  ASSERT_EQ(o.failures.size(), 1u) << all_messages(o);
  const auto& f = o.failures.front();
  EXPECT_EQ(f.where, "s.yaml:10");
  EXPECT_EQ(f.expected.rfind("every LED blue in a frame latched by", 0), 0u) << f.expected;
  EXPECT_NE(f.seen.find("(60 LEDs): 0-59 magenta"), std::string::npos) << f.seen;
}

TEST(ScenarioRun, ViolationWindowsCountEveryViolationFromWhereTheyOpen) {
  VBOARD_IMAGE(img, "rear_lamp.elf");
  // The image's 1 bits stay low 460 ns, above the datasheet's 420 but well inside
  // what real parts read: a datasheet finding on every frame, never a misread bit.
  // The report lists only the first 100, all in the first red frame; the checks
  // count all of them, over the window each names. (The first frame goes out
  // before start-up has filled it: a strip violation the windows start after.)
  auto o = play(*img, head(R"(  - set: {pin: PB5, level: 0}
  - delay: 20ms
  - label: late
    delay: 5ms
  - expect-no-violations: {kind: strip, since: 3ms}
  - expect-no-violations: {kind: [strip, unmodelled, fault, halt, finding], since: 3ms}
  - delay: 5ms
  - expect-no-violations: {kind: strip-datasheet, since: late}
  - expect-no-violations:
  - expect-no-violations: {kind: halt, since: 40ms}
)"));
  ASSERT_EQ(o.failures.size(), 3u) << all_messages(o);
  EXPECT_EQ(o.failures[0].where, "s.yaml:11");
  EXPECT_EQ(o.failures[0].expected,
            "no strip-datasheet violations since step 'late' (s.yaml:7, at 20.000000 ms)");
  EXPECT_EQ(o.failures[0].seen.rfind("strip-datasheet: T1L 460 ns outside 220-420 ns, ", 0), 0u)
      << o.failures[0].seen;
  EXPECT_NE(o.failures[0].seen.find(" times (the last at 29.99"), std::string::npos) << o.failures[0].seen;
  // any is every kind, the datasheet windows too; over the whole run by default.
  EXPECT_EQ(o.failures[1].where, "s.yaml:12");
  EXPECT_EQ(o.failures[1].expected, "no any violations in the whole run");
  EXPECT_EQ(o.failures[2].seen, "that window opens after this step (now 30.000000 ms)");
}

TEST(ScenarioRun, PinTimingStepsJudgeTheExactEdges) {
  VBOARD_IMAGE(img, "front_lamp.elf");
  // A 1500 us pulse every 20 ms on PA0 from 20 ms; the lights go on at the first
  // decision after the first whole pulse.
  const std::string start = "  - delay: 20ms\n  - pulse: {pin: PA0, width: 1500us}\n";
  struct Case {
    std::string step;
    std::string seen;  // "" : the step holds
  };
  const Case cases[] = {
      {"expect-pulses: {pin: PA0, width: {min: 1500us, max: 1500us}, count: 5, within: 100ms}", ""},
      {"expect-pulses: {pin: PA0, width: {min: 1400us, max: 1450us}, count: 5, within: 100ms}",
       "PA0 high pulse 1 (from 20.000000 ms) 1.5 ms, outside 1.4-1.45 ms"},
      {"expect-pulses: {pin: PA0, level: 0, width: {min: 18ms, max: 18.4ms}, count: 2, within: 100ms}",
       "PA0 low pulse 1 (from 21.500000 ms) 18.5 ms, outside 18-18.4 ms"},
      {"expect-pulses: {pin: PA0, width: {min: 1ms, max: 2ms}, count: 5, within: 70ms}",
       "4 whole high pulses by then (PA0 = 0 (low) since 81.500000 ms)"},
      {"expect-blink: {pin: PA0, period: 20ms, high: 1500us, tolerance: 1us, count: 4}", ""},
      {"expect-blink: {pin: PA0, period: 20ms, high: 1400us, tolerance: 50us}",
       "PA0 high 1.5 ms in period 1 (from 20.000000 ms), outside 1.35-1.45 ms"},
      {"expect-blink: {pin: PA0, period: 25ms, high: 1500us, tolerance: 1ms}",
       "PA0 period 20 ms in period 1 (from 20.000000 ms), outside 24-26 ms"},
      {"expect-blink: {pin: PA9, period: 20ms}", "no rising edge on PA9 within 22 ms (PA9 = 0 (low) since "},
      {"expect-stable: {pin: PA9, level: 0, for: 80ms}", ""},
      {"expect-stable: {pin: PA9, level: 0, for: 300ms}", "PA9 changed to 1 (high) at "},
      {"expect-stable: {pin: PA9, level: 1, for: 1ms}", "PA9 = 0 (low) since "},
  };
  for (const Case& c : cases) {
    auto o = play(*img, head(start + "  - " + c.step + "\n"));
    if (c.seen.empty()) {
      EXPECT_TRUE(o.passed()) << c.step << "\n" << all_messages(o);
      continue;
    }
    ASSERT_EQ(o.failures.size(), 1u) << c.step << "\n" << all_messages(o);
    EXPECT_EQ(o.failures[0].where, "s.yaml:6") << c.step;
    EXPECT_EQ(o.failures[0].seen.rfind(c.seen, 0), 0u) << c.step << "\n" << o.failures[0].seen;
  }
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

// Whatever bytes a name or message holds, the JUnit and SVG text is UTF-8 XML 1.0.
TEST(ScenarioJunit, XmlTextIsValidUtf8WhateverTheBytes) {
  const std::string kBad = "\xEF\xBF\xBD";  // U+FFFD
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "plain"},
      {"<a & \"b\">", "&lt;a &amp; &quot;b&quot;&gt;"},
      {"tab\tand\nnewline", "tab\tand\nnewline"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x92\xa1", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x92\xa1"},  // é € 💡
      {"caf\xe9!", "caf" + kBad + "!"},            // Latin-1 é
      {"\x1b[31m", kBad + "[31m"},                 // C0 control
      {std::string("a\0b", 3), "a" + kBad + "b"},  // NUL
      {"\r\x7f", kBad + kBad},                     // CR, DEL
      {"\xc2\x85", kBad},                          // C1 control (NEL)
      {"\xc0\xaf", kBad + kBad},                   // overlong '/'
      {"\xed\xa0\x80", kBad},                      // surrogate
      {"\xef\xbf\xbe\xef\xbf\xbf", kBad + kBad},   // U+FFFE, U+FFFF
      {"\xf4\x90\x80\x80", kBad},                  // above U+10FFFF
      {"\xe2\x82", kBad + kBad},                   // truncated at the end
      {"\xe2(x", kBad + "(x"},                     // broken sequence
      {"\x80\xbf", kBad + kBad},                   // stray continuation bytes
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(xml_escape(in), out) << in;
}

}  // namespace
}  // namespace vboard::test
