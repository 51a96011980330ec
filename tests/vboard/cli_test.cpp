// Command-line syntax and report formats: durations, pulse and level descriptions,
// the JSON document's shape, and the VCD trace.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "fake_board.h"
#include "vboard/cli.h"
#include "vboard/report.h"

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
  auto img = Image::load(SELFTEST_ELF, &err);
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
  r.strip.emplace();
  r.strip->frames.push_back({2000, std::vector<std::array<uint8_t, 3>>(60, {255, 0, 0}), 1440});
  r.strip->violations.push_back({2100, "T1L 460ns above 420", true});
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

TEST(Reports, VcdListsChosenPinsWithTheirChanges) {
  RunResult r;
  r.virtual_ns = 5000;
  r.pins["PA8"] = {{0, 0}, {1500, 1}, {3000, 0}};
  r.pins["PA9"] = {{0, 0}, {1600, 1}};
  std::string path = ::testing::TempDir() + "/vboard_test.vcd", err;
  ASSERT_TRUE(write_vcd(r, path, {"PA8"}, &err)) << err;
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  std::string vcd = ss.str();
  EXPECT_NE(vcd.find("$timescale 1ns $end"), std::string::npos);
  EXPECT_NE(vcd.find("$var wire 1 ! PA8 $end"), std::string::npos);
  EXPECT_EQ(vcd.find("PA9"), std::string::npos);
  EXPECT_NE(vcd.find("#1500\n1!"), std::string::npos);
  EXPECT_NE(vcd.find("#3000\n0!"), std::string::npos);
}

TEST(Reports, TextNamesTheHaltAndCollapsesIdenticalFrames) {
  RunResult r = selftest_run(6);
  r.strip.emplace();
  for (int i = 0; i < 3; ++i)
    r.strip->frames.push_back(
        {static_cast<ns_t>(i) * 2000, std::vector<std::array<uint8_t, 3>>(60, {0, 0, 255}), 1440});
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
