// Board files: the shipped ones load and say what the lamp boards carry, and a
// malformed file is refused with one line naming file, line and what is wrong.
#include <gtest/gtest.h>

#include <filesystem>

#include "world/board.h"
#include "world/recognise.h"

namespace vboard {
namespace {

// A strip part's required settings, for the cases that break one thing in it.
const char* const kStrip = R"(board: b
version: 1
parts:
  - name: strip
    kind: ws2815-strip
    pin: PA7
    driver: TIM17
    leds: 60
    latch: 280us
    datasheet: {t0h: 220ns..380ns, t1h: 580ns..1600ns, t0l: 580ns..1600ns, t1l: 220ns..420ns}
    real-parts: {zero-below: 500ns, one-above: 550ns, longest-low: 5us}
)";

std::string with(std::string text, const std::string& from, const std::string& to) {
  const auto p = text.find(from);
  return p == std::string::npos ? "(no '" + from + "' in the base text)" : text.replace(p, from.size(), to);
}

TEST(BoardFiles, MalformedFilesAreRefusedWithFileLineAndWhat) {
  const std::string part =
      "board: b\nversion: 1\nparts:\n  - name: left light\n    kind: output\n    pin: PA9\n";
  const struct {
    std::string text, message;
  } cases[] = {
      {"",
       "b.yaml: no board in the file (it is empty or only comments): expected a map with board, version, "
       "parts"},
      {"board: b\nversion: 1\nparts: []\n---\nboard: c\n",
       "b.yaml:5: a second YAML document: a board file holds one (no '---' after the board)"},
      {"board: b\nversion: 2\nparts: []\n", "b.yaml:2: version: only version 1 is known, not '2'"},
      {"board: b\nversion: 1\n", "b.yaml:1: board file: 'parts' is missing"},
      {"board: b\nversion: 1\nparts: [\n", "b.yaml:3: YAML: end of sequence flow not found"},
      // The board's name and how it recognises its images.
      {with(part, "board: b", "board: b/c"),
       "b.yaml:1: board: 'b/c' is not a board name (1 to 64 letters, digits, '_' and '-': it names a folder "
       "of scenarios and a value of --board)"},
      {with(part, "version: 1\n", "version: 1\nrecognise: {}\n"),
       "b.yaml:3: recognise: give images, symbols or both"},
      {with(part, "version: 1\n", "version: 1\nrecognise: {names: [b]}\n"),
       "b.yaml:3: recognise: unknown key 'names' (known: images, symbols)"},
      {with(part, "version: 1\n", "version: 1\nrecognise: {images: [../b]}\n"),
       "b.yaml:3: images: '../b' is not an image name (letters, digits, '_', '-', '.', and * or ?)"},
      {with(part, "version: 1\n", "version: 1\nrecognise: {symbols: []}\n"),
       "b.yaml:3: symbols: expected a list of one or more, e.g. [my_handle, my_table]"},
      {with(part, "kind: output", "kind: lamp"),
       "b.yaml:5: kind: 'lamp' is not one of ws2815-strip, output, switch, pulse-input, unused"},
      {with(part, "pin: PA9", "pin: PD3"),
       "b.yaml:6: pin: 'PD3' is not a pin of the 48-pin package (PA0..PA15, PB0..PB15, PC4, PC6, PC10, PC11, "
       "PC13..PC15, PF0, PF1, PG10)"},
      {with(part, "pin: PA9", "pni: PA9"),
       "b.yaml:6: output: unknown key 'pni' (known: name, kind, role, pin, active)"},
      {part + "  - name: right light\n    kind: output\n    pin: PA9\n",
       "b.yaml:7: pin: PA9 is already taken by 'left light' (line 4)"},
      {part + "  - name: left light\n    kind: output\n    pin: PA8\n",
       "b.yaml:7: name: 'left light' is already the name of the part at line 4"},
      {with(kStrip, "name: strip", "name: pins"),
       "b.yaml:4: name: 'pins' is a member of the JSON report, beside which each part's record is the member "
       "of its name"},
      {part + "  - kind: unused\n    pins: [PA0, PA9]\n",
       "b.yaml:7: pin: PA9 is already taken by 'left light' (line 4)"},
      {part + "  - name: s\n    kind: switch\n    pin: PB5\n    color: red\n    pull: up\n",
       "b.yaml:7: switch: 'closed' is missing"},
      {part +
           "  - name: s\n    kind: switch\n    pin: PB5\n    color: amber\n    pull: up\n    closed: low\n",
       "b.yaml:10: color: 'amber' is not one of red, green, blue"},
      {with(kStrip, "leds: 60", "leds: 0"), "b.yaml:8: leds: '0' is not a number of LEDs from 1 to 4096"},
      {with(kStrip, "leds: 60", "leds:"), "b.yaml:8: leds: no value"},
      {with(kStrip, "TIM17", "TIM5"), "b.yaml:7: driver: 'TIM5' is not a timer of the chip"},
      // A merge key that would supply a required key is refused by name.
      {"board: b\nversion: 1\nparts:\n  - &l {name: left light, kind: output, pin: PA9}\n  - <<: *l\n    "
       "pin: "
       "PA8\n",
       "b.yaml:5: part: a merge key ('<<') is not read: write each key in the map itself"},
      {std::string("board: b\nversion: 1\nparts:\n  - kind: output\n    na\0me: x\n", 57),
       "b.yaml:5: a NUL byte (\\x00): a board file is text"},
      // The driver must be a modelled timer with a channel on the strip's pin.
      {with(kStrip, "TIM17", "TIM7"), "b.yaml:7: driver: 'TIM7' has no output channel"},
      {with(kStrip, "TIM17", "TIM16"),
       "b.yaml:7: driver: 'TIM16' is a timer of the chip that is not modelled"},
      {with(kStrip, "TIM17", "TIM3"), "b.yaml:7: driver: 'TIM3' is a timer of the chip that is not modelled"},
      {with(kStrip, "TIM17", "TIM4"),
       "b.yaml:7: driver: 'TIM4' has no channel that reaches PA7 (its timer channels: TIM17_CH1)"},
      {with(kStrip, "PA7", "PC13"),
       "b.yaml:7: driver: 'TIM17' has no channel that reaches PC13 (no timer channel does)"},
      {with(kStrip, "t0h: 220ns..380ns", "t0h: 380ns..220ns"),
       "b.yaml:10: t0h: '380ns..220ns': the lower end is above the upper"},
      {with(kStrip, "t1h: 580ns..1600ns", "t1h: 580ns"),
       "b.yaml:10: t1h: '580ns' is not a window like 220ns..380ns"},
      {with(kStrip, "latch: 280us", "latch: 280"),
       "b.yaml:9: latch: '280' is not a time (a number with ns, us, ms or s, e.g. 20ms)"},
      {with(kStrip, ", t1l: 220ns..420ns", ""), "b.yaml:10: datasheet: 't1l' is missing"},
      {with(kStrip, "longest-low: 5us", "longest-low: 300us"),
       "b.yaml:11: longest-low: 300 us must be below the latch time, 280 us"},
      {with(kStrip, "one-above: 550ns", "one-above: 450ns"),
       "b.yaml:11: one-above: 450 ns is below zero-below, 500 ns"},
      {std::string(kStrip) +
           with(with(std::string(kStrip).substr(27), "name: strip", "name: strip2"), "PA7", "PB9"),
       "b.yaml:12: a second strip: a board has at most one (line 4)"},
      // The margins: the heap's break and the promises.
      {part + "margins: {heap-break: 'a b'}\n", "b.yaml:7: heap-break: 'a b' is not a symbol name"},
      {part + "margins:\n  promises:\n    - {name: p, from: [PA0], edge: down, to: [PA9]}\n",
       "b.yaml:9: edge: 'down' is not one of falling, rising, any"},
      {part + "margins:\n  promises:\n    - {name: p, from: [PA0], edge: any, to: strip}\n",
       "b.yaml:9: to: strip, on a board without a strip"},
      {part + "margins:\n  promises:\n    - {name: p, from: [], edge: any, to: [PA9]}\n",
       "b.yaml:9: from: expected a list of one or more pins, e.g. [PA0]"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(parse_board(c.text, "b.yaml", &error)) << c.text;
    EXPECT_EQ(error, c.message) << c.text;
  }
}

// Every board file in the tree loads; those of boards/ are named after their
// file (CTest finds a board's image by it) and built into vboard as the fallback copy.
TEST(BoardFiles, ShippedFilesLoadAndAreBuiltIn) {
  const std::string fixtures = std::string(SOURCE_DIR) + "/tests/vboard/support/fixtures/";
  for (const std::string& file : {fixtures + "rear_picky_strip.yaml", fixtures + "strip8_picky_strip.yaml"}) {
    std::string error;
    EXPECT_TRUE(load_board(file, &error)) << error;
  }
  size_t shipped = 0;
  for (const auto& e : std::filesystem::directory_iterator(std::string(SOURCE_DIR) + "/boards")) {
    if (e.path().extension() != ".yaml") continue;
    ++shipped;
    std::string error;
    const auto d = load_board(e.path().string(), &error);
    ASSERT_TRUE(d) << error;
    EXPECT_EQ(d->name, e.path().stem().string()) << "a board file is named after its board";
    EXPECT_TRUE(d->recognise.given()) << e.path() << " recognises no image";
    const BoardDescription* built_in = builtin_catalogue().find(d->name);
    ASSERT_NE(built_in, nullptr) << e.path() << " is not built into vboard";
    EXPECT_EQ(built_in->parts.size(), d->parts.size());
    EXPECT_EQ(built_in->recognise.images, d->recognise.images);
  }
  EXPECT_EQ(builtin_catalogue().boards.size(), shipped);
  const BoardDescription* rear = builtin_board("rear_lamp");
  ASSERT_NE(rear, nullptr);
  ASSERT_NE(rear->strip(), nullptr);
  EXPECT_EQ(rear->strip()->pins, std::vector<std::string>{"PA7"});
  EXPECT_EQ(std::get<BoardPart::Strip>(rear->strip()->kind).leds, 60u);
  const BoardDescription* front = builtin_board("front_lamp");
  ASSERT_NE(front, nullptr);
  EXPECT_EQ(front->strip(), nullptr) << "the front board carries no strip";
}

}  // namespace
}  // namespace vboard
