// Command-line syntax and report formats: durations, pulse and level descriptions,
// the JSON document's shape, and the VCD trace.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "support/fake_board.h"
#include "support/slurp.h"
#include "cli/cli.h"
#include "outputs/report.h"
#include "world/strip.h"
#include "outputs/svg.h"

namespace vboard::test {
namespace {

TEST(CommandLine, TimesTakeUnitsAndStayWhole) {
  std::string err;
  EXPECT_EQ(parse_time("300ms", &err), 300 * kMs);
  EXPECT_EQ(parse_time("1500us", &err), 1500 * kUs);
  EXPECT_EQ(parse_time("1.5s", &err), 1500 * kMs);
  EXPECT_EQ(parse_time("0.000000001s", &err), 1u);
  EXPECT_EQ(parse_time("250ns", &err), 250u);
  EXPECT_EQ(parse_time("0", &err), 0u);
  EXPECT_EQ(parse_time("3600s", &err), limits::kMaxTime);
  for (const char* bad : {"42", "ms", "3 weeks", "1..5ms", "1.5ns", "-5ms", "5 ms", ".5ms", "5.ms",
                          "3600.000000001s", "99999999999999999999s", "1e3ms", "0x10ms", ""})
    EXPECT_FALSE(parse_time(bad, &err)) << bad;
}

TEST(CommandLine, PulseSpecWithOptions) {
  std::string err;
  auto p = parse_pulse("PA0=1500us@20ms,period=25ms,stop=200ms,jitter=5us", &err);
  ASSERT_TRUE(p) << err;
  EXPECT_EQ(p->pin, "PA0");
  EXPECT_EQ(p->width, 1500 * kUs);
  EXPECT_EQ(p->start, 20 * kMs);
  EXPECT_EQ(p->period, 25 * kMs);
  EXPECT_EQ(p->stop, 200 * kMs);
  EXPECT_EQ(p->jitter, 5 * kUs);
  auto d = parse_pulse("PA0=1ms@0", &err);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->period, 20 * kMs) << "50 Hz by default";
  EXPECT_EQ(d->stop, kNever);
  EXPECT_FALSE(parse_pulse("PA0=30ms@0", &err)) << "wider than its period";
  EXPECT_FALSE(parse_pulse("PA0=1ms@0,colour=red", &err));
}

TEST(CommandLine, LevelSpecWithBounceAndRelease) {
  std::string err;
  auto l = parse_level("PB5=0@10ms,bounce=5x200us", &err);
  ASSERT_TRUE(l) << err;
  EXPECT_EQ(l->pin, "PB5");
  EXPECT_EQ(l->level, 0);
  EXPECT_EQ(l->at, 10 * kMs);
  EXPECT_EQ(l->bounces, 5u);
  EXPECT_EQ(l->bounce_ns, 200 * kUs);
  auto z = parse_level("PB5=z@30ms", &err);
  ASSERT_TRUE(z);
  EXPECT_EQ(z->level, -1);
  EXPECT_FALSE(parse_level("PB5=2@1ms", &err));
  EXPECT_FALSE(parse_level("PB5=0@1ms,bounce=5", &err));
}

RunResult selftest_run(uint32_t scenario) {
  std::string err;
  auto img = Image::load(SELFTEST_ELF, kChip, &err);
  EXPECT_TRUE(img) << err;
  MachineOptions o;
  o.run_for = 50 * kMs;
  Machine m(*img, o, [](Bus& b) { return std::make_unique<FakeBoard>(b); });
  static_cast<FakeBoard&>(m.board()).dev.scenario = scenario;
  return m.run();
}

TEST(Reports, JsonHasTheTopLevelKeysScriptsRelyOn) {
  RunResult r = selftest_run(6);
  r.pins["PA8"] = {{0, 0}, {1500, 1}};
  StripReport& rec = add_strip_record(r);
  rec.frames.push_back({2000, std::vector<std::array<uint8_t, 3>>(60, {255, 0, 0}), 1440});
  rec.violations.push_back({2100, "T1L 460ns above 420", true});
  rec.violations_total = 1;
  ReportInfo info;
  info.image = "self\"test";
  r.diagnostics.push_back(
      {"flash_latency", "FLASH", 1200, 3, "LATENCY 1 too low for HCLK 150 MHz (needs 4)"});
  info.allowed = {"flash_latency"};
  const auto j = nlohmann::json::parse(to_json(r, info));
  for (const char* key : {"pins", "strip", "halt", "registers", "instructions", "virtual_ns", "unmodelled",
                          "diagnostics", "image_notes"})
    EXPECT_TRUE(j.contains(key)) << key;
  EXPECT_EQ(j["image"], "self\"test");
  EXPECT_EQ(j["pins"]["PA8"], nlohmann::json::parse("[[0, 0], [1500, 1]]"));
  EXPECT_EQ(j["halt"]["reason"], "error_handler");
  EXPECT_TRUE(j["registers"]["SysTick"].contains("LOAD"));
  EXPECT_EQ(j["strip"]["frames"][0]["colors"][59], nlohmann::json::parse("[255, 0, 0]"));
  EXPECT_EQ(j["strip"]["violation_count"], 1);
  const auto& d = j["diagnostics"][0];
  EXPECT_EQ(d["kind"], "flash_latency");
  EXPECT_EQ(d["where"], "FLASH");
  EXPECT_EQ(d["first_ns"], 1200);
  EXPECT_EQ(d["count"], 3);
  EXPECT_EQ(d["allowed"], true);
}

// The reports know parts only by their records: a board with two strips (or
// none) is told whole, each strip under its own name, beside the report's own
// members and never over one of them.
TEST(Reports, EachPartsRecordIsItsOwnMemberSectionAndRows) {
  RunResult r = selftest_run(6);
  for (const auto& [name, pin] : {std::pair<const char*, const char*>{"strip", "PA7"}, {"tail", "PB9"}}) {
    StripReport& rec = add_strip_record(r, pin);
    rec.id.name = name;
    rec.frames_total = name == std::string("tail") ? 2 : 1;
    rec.frames.push_back({2000, std::vector<std::array<uint8_t, 3>>(8, {0, 0, 255}), 192});
    r.pin_roles[pin] = std::string(name) + " data";
  }
  ReportInfo info;
  const auto j = nlohmann::json::parse(to_json(r, info));
  for (auto it = j.begin(); it != j.end(); ++it)
    EXPECT_TRUE(it.key() == "strip" || it.key() == "tail" ||
                std::find(std::begin(kReportMembers), std::end(kReportMembers), it.key()) !=
                    std::end(kReportMembers))
        << it.key() << " is neither a part nor in kReportMembers";
  EXPECT_EQ(j["strip"]["frames_total"], 1);
  EXPECT_EQ(j["tail"]["frames_total"], 2);
  EXPECT_EQ(j["lists"]["tail.frames"], nlohmann::json::parse(R"({"kept": 1, "total": 2})"));
  const std::string text = to_text(r, info, false);
  EXPECT_NE(text.find("\nStrip: 1 frames"), std::string::npos) << text;
  EXPECT_NE(text.find("\nStrip tail: 2 frames (the JSON lists the first 1)"), std::string::npos) << text;
  const std::string svg = to_svg(r, {});
  for (const char* row : {">strip data PA7<", ">tail data PB9<", ">2 frames<"})
    EXPECT_NE(svg.find(row), std::string::npos) << row;

  r.parts.clear();  // a board without parts: nothing of theirs anywhere
  EXPECT_FALSE(nlohmann::json::parse(to_json(r, info)).contains("strip"));
  EXPECT_EQ(to_text(r, info, false).find("Strip"), std::string::npos);

  // A kind the reports cannot show is named, never dropped without a word.
  r.parts.push_back(std::make_shared<PartRecord>(PartIdentity{"gauge", "servo", "PB3", ""}));
  EXPECT_EQ(nlohmann::json::parse(to_json(r, info))["gauge"]["kind"], "servo");
  EXPECT_NE(to_text(r, info, false).find("\nPart gauge (servo on PB3): what it saw is not shown"),
            std::string::npos);
}

TEST(Reports, VcdStreamsChosenPinsInTimeOrder) {
  NullBus bus;
  FakeBoard board(bus);
  board.pins = {"PA8", "PA9", ""};
  board.levels = {0, 1, 0};
  // Exact in 1 ns units; in 10 ns units each change at the nearest multiple
  // (a half rounds up), and a phase that rounds to nothing is counted.
  const struct {
    ns_t scale;
    const char* timescale;
    const char* changes;
    uint64_t collapsed;
  } scales[] = {{1, "$timescale 1ns $end", "#1195\n0\"\n#1500\n1!\n#3000\n0!\n#3004\n1!\n#5000\n", 0},
                {10, "$timescale 10ns $end", "#120\n0\"\n#150\n1!\n#300\n0!\n1!\n#500\n", 1}};
  for (const auto& sc : scales) {
    std::string path = ::testing::TempDir() + "/vboard_test.vcd", err;
    VcdWriter w;
    ASSERT_TRUE(w.open(path, board, {"PA8", "PA9"}, 0, &err, sc.scale)) << err;
    // Between two settled() calls changes of different pins may come out of order.
    w.pin_changed(0, 1500, 1);
    w.pin_changed(1, 1195, 0);
    w.pin_changed(2, 1300, 1);  // not traced
    w.settled();
    w.pin_changed(0, 3000, 0);
    w.pin_changed(0, 3004, 1);
    ASSERT_TRUE(w.finish(5000, &err)) << err;
    const std::string vcd = slurp(path);
    EXPECT_NE(vcd.find(sc.timescale), std::string::npos) << vcd;
    EXPECT_NE(vcd.find("$var wire 1 ! PA8 $end"), std::string::npos);
    EXPECT_NE(vcd.find("$var wire 1 \" PA9 $end"), std::string::npos);
    EXPECT_NE(vcd.find("#0\n$dumpvars\n0!\n1\"\n$end\n"), std::string::npos);
    EXPECT_NE(vcd.find(sc.changes), std::string::npos) << vcd;
    EXPECT_EQ(w.collapsed(), sc.collapsed);
  }
}

TEST(Reports, VcdRefusesUnknownPinsAndReportsFailedWrites) {
  NullBus bus;
  FakeBoard board(bus);
  board.pins = {"PA8", ""};
  std::string err;
  {
    VcdWriter w;
    EXPECT_FALSE(w.open(::testing::TempDir() + "/x.vcd", board, {"PA9"}, 0, &err));
    EXPECT_NE(err.find("PA9"), std::string::npos) << err;
    EXPECT_FALSE(w.open(::testing::TempDir() + "/x.vcd", board, {""}, 0, &err)) << "an empty name";
  }
  {
    VcdWriter w;
    EXPECT_FALSE(w.open("/nonexistent-dir/x.vcd", board, {}, 0, &err));
    EXPECT_NE(err.find("/nonexistent-dir/x.vcd"), std::string::npos) << err;
  }
  {
    // A full disk: the data cannot be written and finish() says so.
    VcdWriter w;
    ASSERT_TRUE(w.open("/dev/full", board, {}, 0, &err)) << err;
    for (ns_t t = 1; t < 1000; ++t) w.pin_changed(0, t, static_cast<int>(t & 1));
    w.settled();
    err.clear();
    EXPECT_FALSE(w.finish(1000, &err));
    EXPECT_NE(err.find("/dev/full"), std::string::npos) << err;
  }
}

TEST(Reports, CappedListsSayHowManyWereKeptAndHowManyThereWere) {
  RunResult r;
  r.pins["PA7"] = {{0, 0}, {100, 1}, {200, 0}};
  r.pins_total["PA7"] = 1'374'694;
  r.pins["PA8"] = {{0, 0}};
  StripReport& rec = add_strip_record(r);
  rec.frames.push_back({2000, std::vector<std::array<uint8_t, 3>>(60, {0, 0, 0}), 1440});
  rec.frames_total = 477;
  rec.violations.push_back({2100, "T1L 460 ns outside 220-420 ns", true});
  rec.violation_kinds.push_back({"T1L", 24'045, 1, true, 2100, 998'000'000, "T1L 460 ns outside 220-420 ns"});
  rec.violations_total = 24'045;
  ReportInfo info;
  const auto j = nlohmann::json::parse(to_json(r, info));
  EXPECT_EQ(j["pins_truncated"], nlohmann::json::parse(R"({"PA7": {"kept": 3, "total": 1374694}})"))
      << "only PA7 was cut: a whole history is not reported as cut";
  EXPECT_EQ(j["strip"]["frames_total"], 477);
  EXPECT_EQ(j["strip"]["violation_count"], 24045) << "the real count, not the list's length";
  EXPECT_EQ(j["strip"]["violation_kinds"][0],
            nlohmann::json::parse(R"({"kind": "T1L", "total": 24045, "listed": 1, "datasheet": true,
                                      "first_ns": 2100, "last_ns": 998000000})"));
  // Every list carries how much of it was kept.
  EXPECT_EQ(j["lists"]["pins.PA7"], nlohmann::json::parse(R"({"kept": 3, "total": 1374694})"));
  EXPECT_EQ(j["lists"]["pins.PA8"], nlohmann::json::parse(R"({"kept": 1, "total": 1})"));
  EXPECT_EQ(j["lists"]["strip.frames"], nlohmann::json::parse(R"({"kept": 1, "total": 477})"));
  info.max_changes_per_pin = 2;  // the JSON's own cap is reported the same way
  EXPECT_EQ(nlohmann::json::parse(to_json(r, info))["pins_truncated"]["PA7"],
            nlohmann::json::parse(R"({"kept": 2, "total": 1374694})"));

  const std::string text = to_text(r, ReportInfo{}, false);
  EXPECT_NE(text.find("(1374694 entries in all, the first 3 kept)"), std::string::npos) << text;
  EXPECT_NE(text.find("Strip: 477 frames (the JSON lists the first 1)"), std::string::npos) << text;
  // Timing real parts read is a datasheet-window finding, told once with its
  // exact count; "violation" is kept for timing a WS2815 would misread.
  EXPECT_NE(text.find("no timing violations"), std::string::npos) << text;
  EXPECT_EQ(text.find("timing violations:"), std::string::npos) << text;
  EXPECT_NE(text.find("datasheet-window finding, T1L (low time after a 1 bit) measured "), std::string::npos)
      << text;
  EXPECT_NE(text.find(": 24045 times from 2.100 us to 998.000000 ms"), std::string::npos) << text;
}

TEST(Reports, TextNamesTheHaltAndCollapsesIdenticalFrames) {
  RunResult r = selftest_run(6);
  StripReport& rec = add_strip_record(r);
  rec.frames_total = rec.runs_total = 3;
  rec.runs.push_back({1, 3, 0, 4000, 1440, std::vector<std::array<uint8_t, 3>>(60, {0, 0, 255})});
  ReportInfo info;
  std::string text = to_text(r, info, false);
  EXPECT_NE(text.find("Error_Handler"), std::string::npos);
  EXPECT_NE(text.find("frames 1..3"), std::string::npos);
  EXPECT_NE(text.find("all (0,0,255)"), std::string::npos);
  std::string coloured = to_text(r, info, true);
  EXPECT_NE(coloured.find("\x1b[48;2;0;0;255m"), std::string::npos);
}

}  // namespace
}  // namespace vboard::test
