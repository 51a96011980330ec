// Command-line syntax and report formats: durations, pulse and level descriptions,
// the JSON document's shape, and the VCD trace.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <sstream>

#include "fake_board.h"
#include "vboard/cli.h"
#include "vboard/report.h"

namespace vboard::test {
namespace {

TEST(CommandLine, DurationsTakeUnits) {
  EXPECT_EQ(parse_duration("300ms"), 300 * kMs);
  EXPECT_EQ(parse_duration("1500us"), 1500 * kUs);
  EXPECT_EQ(parse_duration("1.5s"), 1500 * kMs);
  EXPECT_EQ(parse_duration("250ns"), 250u);
  EXPECT_EQ(parse_duration("42"), 42u);
  EXPECT_FALSE(parse_duration("ms"));
  EXPECT_FALSE(parse_duration("3 weeks"));
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

// A small JSON reader: enough to check that the document is well formed and
// to list the keys of its top-level object.
struct JsonCheck {
  const std::string& s;
  size_t i = 0;
  std::vector<std::string> top_keys;
  void ws() {
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
  }
  bool str(std::string* out) {
    if (s[i] != '"') return false;
    std::string v;
    for (++i; i < s.size() && s[i] != '"'; ++i) {
      if (s[i] == '\\') ++i;
      v += s[i];
    }
    ++i;
    if (out) *out = v;
    return true;
  }
  bool value(int depth) {
    ws();
    if (i >= s.size()) return false;
    char c = s[i];
    if (c == '{' || c == '[') {
      char close = c == '{' ? '}' : ']';
      ++i;
      ws();
      if (s[i] == close) return ++i, true;
      for (;;) {
        ws();
        if (c == '{') {
          std::string k;
          if (!str(&k)) return false;
          if (depth == 0) top_keys.push_back(k);
          ws();
          if (s[i++] != ':') return false;
        }
        if (!value(depth + 1)) return false;
        ws();
        if (s[i] == ',') {
          ++i;
          continue;
        }
        if (s[i] == close) return ++i, true;
        return false;
      }
    }
    if (c == '"') return str(nullptr);
    size_t j = i;
    while (i < s.size() &&
           (std::isalnum(static_cast<unsigned char>(s[i])) || s[i] == '.' || s[i] == '-' || s[i] == '+'))
      ++i;
    return i > j;
  }
};

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
  std::string json = to_json(r, info);
  JsonCheck c{json, 0, {}};
  ASSERT_TRUE(c.value(0)) << "malformed JSON near offset " << c.i << ": "
                          << json.substr(c.i > 40 ? c.i - 40 : 0, 80);
  c.ws();
  EXPECT_EQ(c.i, json.size());
  for (const char* key : {"pins", "strip", "halt", "registers", "instructions", "virtual_ns", "unmodelled"})
    EXPECT_NE(std::find(c.top_keys.begin(), c.top_keys.end(), key), c.top_keys.end()) << key;
  EXPECT_NE(json.find("\"PA8\": [[0, 0], [1500, 1]]"), std::string::npos);
  EXPECT_NE(json.find("\"reason\": \"error_handler\""), std::string::npos);
  EXPECT_NE(json.find("\"SysTick\": {"), std::string::npos);
  EXPECT_NE(json.find("[255, 0, 0]"), std::string::npos);
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
