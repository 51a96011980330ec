// Coverage of an image's run (outputs/coverage.h): exact hits and misses of known
// lines of the self-test image, and `vboard --coverage` on a lamp image leaving
// the run's report unchanged.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "support/fake_board.h"
#include "support/slurp.h"
#include "outputs/coverage.h"
#include "vboard/machine.h"

namespace vboard::test {
namespace {

// file -> line -> runs, and function -> runs, from an lcov tracefile.
struct Trace {
  std::map<std::string, std::map<int, uint64_t>> lines;
  std::map<std::string, uint64_t> functions;
};

Trace parse(const std::string& text) {
  Trace t;
  std::istringstream in(text);
  std::string l, file;
  while (std::getline(in, l)) {
    if (l.rfind("SF:", 0) == 0) file = l.substr(3);
    int line = 0;
    unsigned long long n = 0;
    char name[256] = {};
    if (std::sscanf(l.c_str(), "DA:%d,%llu", &line, &n) == 2) t.lines[file][line] = n;
    if (std::sscanf(l.c_str(), "FNDA:%llu,%255s", &n, name) == 2) t.functions[name] = n;
  }
  return t;
}

// The line of `file` that holds `text` (exactly once).
int line_of(const std::string& file, const std::string& text) {
  std::ifstream in(file);
  std::string l;
  int no = 0, found = 0;
  for (int i = 1; std::getline(in, l); ++i)
    if (l.find(text) != std::string::npos) no = i, ++found;
  EXPECT_EQ(found, 1) << text;
  return no;
}

// The JSON report without its one wall-clock figure.
nlohmann::json report(const std::string& path) {
  nlohmann::json j = nlohmann::json::parse(slurp(path));
  j.erase("wall_s");
  return j;
}

TEST(Coverage, SelfTestRunHitsItsScenarioLinesOnlyAndCountsThem) {
  std::string err;
  auto img = Image::load(SELFTEST_ELF, kChip, &err);
  ASSERT_TRUE(img) << err;
  MachineOptions o;
  o.run_for = 200 * kMs;
  Machine m(*img, o, [](Bus& b) { return std::make_unique<FakeBoard>(b); });
  static_cast<FakeBoard&>(m.board()).dev.scenario = 3;  // systick_scenario
  m.run();
  std::string text;
  ASSERT_TRUE(coverage::lcov_text(*img, m.block_runs(), &text, &err)) << err;
  const Trace t = parse(text);
  const std::string src = SELFTEST_SRC;
  ASSERT_TRUE(t.lines.count(src)) << text;
  const auto& lines = t.lines.at(src);
  const struct {
    const char* text;
    uint64_t runs;
  } cases[] = {
      {"reg(kSysTick + 4) = 8000 - 1;", 1},  // scenario 3, once
      {"dev.log = g_data_word;", 1},
      {"wait_ticks(50);", 1},
      {"dev.log = g_ram_counter;", 0},  // scenario 12 only
      {"dev.log = 0x5D;", 0},           // scenario 10 only
      {"dev.log = 0xE0D;", 1},          // the end of main
  };
  for (const auto& c : cases) {
    const int line = line_of(SELFTEST_SRC, c.text);
    ASSERT_TRUE(lines.count(line)) << c.text << " (line " << line << ") has no code in the line table";
    EXPECT_EQ(lines.at(line), c.runs) << c.text << " (line " << line << ")";
  }
  EXPECT_EQ(t.functions.at("main"), 1u);
  EXPECT_EQ(t.functions.at("Error_Handler"), 0u);
}

int run_shell(const std::string& cmd) {
  const int st = std::system(cmd.c_str());
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

TEST(Coverage, CommandLineWritesTheTracefileAndLeavesTheRunAsItWas) {
  const std::string dir = testing::TempDir();
  const std::string rear = std::string(FIRMWARE_DIR) + "/rear_lamp.elf";
  const std::string base = std::string(VBOARD_EXE) + " " + rear + " --for 50ms --json";
  ASSERT_EQ(run_shell(base + " > " + dir + "cov_plain.json"), 0);
  ASSERT_EQ(run_shell(base + " --coverage " + dir + "cov_rear.info > " + dir + "cov_cov.json"), 0);
  EXPECT_EQ(report(dir + "cov_plain.json"), report(dir + "cov_cov.json"));
  const Trace t = parse(slurp(dir + "cov_rear.info"));
  const std::string app = std::string(SOURCE_DIR) + "/rear_lamp/app/application.cpp";
  ASSERT_TRUE(t.lines.count(app));
  uint64_t hit = 0;
  for (const auto& [line, runs] : t.lines.at(app)) hit += runs > 0;
  EXPECT_GT(hit, 0u);
  // A file that cannot be created fails before the run, with the write-failure status.
  EXPECT_EQ(run_shell(std::string(VBOARD_EXE) + " " + rear + " --for 1ms --coverage " + dir +
                      "no/such/dir/x.info > /dev/null 2>&1"),
            74);
}

}  // namespace
}  // namespace vboard::test
