// The vboard program against bad input, run as a user would run it: every row
// gives the arguments, the exit status it must end with and a word the one
// line on stderr must contain. No row may crash, hang, guess or lose output.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "vboard/cli.h"

extern char** environ;

namespace vboard::test {
namespace {

struct Outcome {
  int status = -1;  // exit status, or 128 + signal
  std::string out, err;
};

std::string slurp(const std::string& path) {
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// Runs vboard with `args`; stdout goes to `stdout_path` (a temporary file unless given).
Outcome run_vboard(const std::vector<std::string>& args, std::string stdout_path = "") {
  // ctest runs tests side by side: one pair of files per process.
  const std::string base = ::testing::TempDir() + "/vboard_bad_input." + std::to_string(getpid());
  const std::string err_path = base + ".err";
  const bool capture = stdout_path.empty();
  if (capture) stdout_path = base + ".out";
  std::vector<std::string> argv_s = {VBOARD_EXE};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  Outcome o;
  const int rc = posix_spawn(&pid, VBOARD_EXE, &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return o;
  int ws = 0;
  waitpid(pid, &ws, 0);
  o.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  if (capture) o.out = slurp(stdout_path);
  o.err = slurp(err_path);
  return o;
}

const std::string kFront = std::string(FIRMWARE_DIR) + "/front_lamp.elf";

struct Row {
  std::vector<std::string> args;  // after the image (no image when the first is "-")
  int status;
  std::string names;  // must appear in the one line on stderr
};

TEST(BadInput, EveryRowEndsWithItsStatusAndOneLineNamingTheArgument) {
  if (access(kFront.c_str(), R_OK) != 0) GTEST_SKIP() << kFront << " not built";
  const std::string missing_dir = ::testing::TempDir() + "/no/such/dir/trace.vcd";
  const Row rows[] = {
      {{"--inject-irq", "abc"}, exit_code::kUsage, "--inject-irq"},
      {{"--inject-irq", "102"}, exit_code::kUsage, "0..101"},
      {{"--inject-irq", "99999999999999999999@1ms"}, exit_code::kUsage, "--inject-irq"},
      {{"--inject-irq", "-1"}, exit_code::kUsage, "--inject-irq"},
      {{"--inject-irq", "5@"}, exit_code::kUsage, "--inject-irq"},
      {{"--cpi", "abc"}, exit_code::kUsage, "--cpi"},
      {{"--cpi", "-1"}, exit_code::kUsage, "--cpi"},
      {{"--cpi", "0"}, exit_code::kUsage, "--cpi"},
      {{"--cpi", "1.2345"}, exit_code::kUsage, "--cpi"},
      {{"--cpi", "1e9"}, exit_code::kUsage, "--cpi"},
      {{"--set", "PB5=0@1ms,bounce=abcx1us"}, exit_code::kUsage, "--set"},
      {{"--set", "PB5=0@1ms,bounce=4000000000x0ns"}, exit_code::kUsage, "bounce"},
      {{"--set", "PB5=0@1ms,bounce=5x0ns"}, exit_code::kUsage, "spacing"},
      {{"--set", "PB5=z@1ms,bounce=5x1us"}, exit_code::kUsage, "--set"},
      {{"--set", "PB5=2@1ms"}, exit_code::kUsage, "--set"},
      {{"--set", "PC0=1@1ms"}, exit_code::kUsage, "48-pin"},
      {{"--for", "99999999999999999999s"}, exit_code::kUsage, "limit"},
      {{"--for", "3601s"}, exit_code::kUsage, "limit"},
      {{"--for", "1..5ms"}, exit_code::kUsage, "--for"},
      {{"--for", "1.5ns"}, exit_code::kUsage, "whole"},
      {{"--for", "300"}, exit_code::kUsage, "--for"},
      {{"--for", "1ms", "--for", "2ms"}, exit_code::kUsage, "--for"},
      {{"--for"}, exit_code::kUsage, "--for"},
      {{"--fault", "pll_never_lock"}, exit_code::kUsage, "pll_never_lock"},
      {{"--allow", "flash"}, exit_code::kUsage, "--allow"},
      {{"--pulse", "PD0=1ms@0"}, exit_code::kUsage, "48-pin"},
      {{"--pulse", "PA0=30ms@0"}, exit_code::kUsage, "shorter than its period"},
      {{"--pulse", "PA0=20ns@0,period=50ns"}, exit_code::kUsage, "period"},
      {{"--pulse", "PA0=1ms@0,jitter=1ms"}, exit_code::kUsage, "jitter"},
      {{"--pulse", "PA0=1ms@0,period=20ms,period=30ms"}, exit_code::kUsage, "twice"},
      {{"--pulse", "PA0=1ms@5ms,stop=5ms"}, exit_code::kUsage, "stop"},
      {{"--pulse", "PA0=1500us@20ms", "--set", "PA0=1@100ms"}, exit_code::kUsage, "--pulse PA0"},
      {{"--set", "PB5=0@10ms,bounce=5x1ms", "--set", "PB5=1@12ms"}, exit_code::kUsage, "--set PB5"},
      {{"--set", "PB5=0@10ms", "--set", "PB5=1@10ms"}, exit_code::kUsage, "--set PB5"},
      {{"--vcd", "x.vcd", "--vcd-pins", ",,,"}, exit_code::kUsage, "--vcd-pins"},
      {{"--vcd", "x.vcd", "--vcd-pins", "PA0,PA0"}, exit_code::kUsage, "twice"},
      {{"--vcd-pins", "PA0"}, exit_code::kUsage, "--vcd"},
      {{"--vcd", missing_dir}, exit_code::kWriteFailed, "No such file or directory"},
      {{"--vcd", "/dev/full", "--for", "10ms"}, exit_code::kWriteFailed, "No space left on device"},
      {{"--profile", "no_such_function"}, exit_code::kUsage, "--profile"},
      {{"--bogus"}, exit_code::kUsage, "--bogus"},
      {{"extra.elf"}, exit_code::kUsage, "extra.elf"},
      {{"-"}, exit_code::kUsage, "no image"},
      {{"-", "--figures", "a.elf"}, exit_code::kUsage, "--figures"},
      {{"-", "--figures", "a.elf", "b.elf", "--json"}, exit_code::kUsage, "--figures"},
      {{"-", "/no/such/image.elf"}, exit_code::kNoImage, "/no/such/image.elf"},
      {{"-", VBOARD_EXE}, exit_code::kBadImage, "not a 32-bit little-endian ARM ELF"},
  };
  for (const Row& row : rows) {
    std::vector<std::string> args = row.args;
    if (args.empty() || args[0] != "-")
      args.insert(args.begin(), kFront);
    else
      args.erase(args.begin());
    std::string shown;
    for (const auto& a : args) shown += " " + a;
    const Outcome o = run_vboard(args);
    std::printf("vboard%s\n    -> %d: %s", shown.c_str(), o.status, o.err.c_str());
    EXPECT_EQ(o.status, row.status) << shown << "\n" << o.err;
    ASSERT_FALSE(o.err.empty()) << shown;
    EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << shown << ": not one line:\n" << o.err;
    EXPECT_EQ(o.err.rfind("vboard: ", 0), 0u) << shown << ": " << o.err;
    EXPECT_NE(o.err.find(row.names), std::string::npos) << shown << ": " << o.err;
    if (row.status != exit_code::kWriteFailed) {
      EXPECT_TRUE(o.out.empty()) << shown << ": wrote a report";
    }
  }
}

TEST(BadInput, SourcesOneAfterTheOtherOnAPinAreAllowed) {
  if (access(kFront.c_str(), R_OK) != 0) GTEST_SKIP() << kFront << " not built";
  const Outcome o =
      run_vboard({kFront, "--for", "20ms", "--pulse", "PA0=1ms@0,period=2ms,stop=6ms", "--set",
                  "PA0=1@8ms,bounce=2x1ms", "--set", "PA0=0@13ms", "--set", "PA0=z@15ms", "--json"});
  EXPECT_EQ(o.status, exit_code::kOk) << o.err;
  EXPECT_TRUE(o.err.empty()) << o.err;
  EXPECT_NE(o.out.find("\"PA0\""), std::string::npos);
}

TEST(BadInput, HelpGoesToStdoutAndExitsZero) {
  const Outcome o = run_vboard({"--help"});
  EXPECT_EQ(o.status, 0);
  EXPECT_TRUE(o.err.empty()) << o.err;
  for (const char* word : {"--pulse", "--allow", "flash_latency", "pll_never_locks", "Exit status", "3600 s"})
    EXPECT_NE(o.out.find(word), std::string::npos) << word;
}

TEST(BadInput, HelpSaysWhichPinsTheTraceHoldsByDefault) {
  if (access(kFront.c_str(), R_OK) != 0) GTEST_SKIP() << kFront << " not built";
  const std::string vcd = ::testing::TempDir() + "/default_pins.vcd";
  ASSERT_EQ(run_vboard({kFront, "--for", "1ms", "--vcd", vcd}).status, exit_code::kOk);
  std::ifstream in(vcd);
  size_t vars = 0;
  for (std::string line; std::getline(in, line);) vars += line.rfind("$var ", 0) == 0;
  const std::string help = run_vboard({"--help"}).out;
  EXPECT_NE(help.find("(default: all " + std::to_string(vars) + " package pins)"), std::string::npos) << help;
}

TEST(BadInput, AReportToAFullDiskIsAnError) {
  if (access(kFront.c_str(), R_OK) != 0) GTEST_SKIP() << kFront << " not built";
  for (const char* format : {"--no-color", "--json"}) {
    const Outcome o = run_vboard({kFront, "--for", "10ms", format}, "/dev/full");
    EXPECT_EQ(o.status, exit_code::kWriteFailed) << format;
    EXPECT_NE(o.err.find("cannot write the report to standard output: No space left on device"),
              std::string::npos)
        << o.err;
  }
  const Outcome help = run_vboard({"--help"}, "/dev/full");
  EXPECT_EQ(help.status, exit_code::kWriteFailed);
}

}  // namespace
}  // namespace vboard::test
