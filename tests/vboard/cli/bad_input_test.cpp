// The vboard program against bad input, run as a user would run it: every row
// gives the arguments, the exit status it must end with and a word the one
// line on stderr must contain. No row may crash, hang, guess or lose output.
#include <fcntl.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "support/slurp.h"
#include "cli/cli.h"
#include "support/words.h"

extern char** environ;

namespace vboard::test {
namespace {

struct Outcome {
  int status = -1;  // exit status, or 128 + signal
  std::string out, err;
};

// Runs vboard with `args`; stdout goes to `stdout_path` (a temporary file unless given).
Outcome run_vboard(const std::vector<std::string>& args, std::string stdout_path = "") {
  // ctest runs tests side by side: one pair of files per process.
  const std::string base = ::testing::TempDir() + "/vboard_bad_input." + std::to_string(getpid());
  const std::string err_path = base + ".err";
  const bool capture = stdout_path.empty();
  if (capture) stdout_path = base + ".out";
  // "--timeout-s N" first: run under timeout(1), killed after N seconds (status 137).
  std::vector<std::string> argv_s = {VBOARD_EXE};
  auto from = args.begin();
  if (args.size() > 2 && args[0] == "--timeout-s") {
    argv_s = {"/usr/bin/timeout", "-s", "KILL", args[1], VBOARD_EXE};
    from += 2;
  }
  argv_s.insert(argv_s.end(), from, args.end());
  std::vector<char*> argv;
  for (auto& a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  Outcome o;
  const int rc = posix_spawn(&pid, argv_s[0].c_str(), &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return o;
  int ws = 0;
  waitpid(pid, &ws, 0);
  o.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  if (capture) o.out = slurp(stdout_path);
  o.err = slurp(err_path);
  return o;
}

const std::string kFrontPath = std::string(FIRMWARE_DIR) + "/front_lamp.elf";

struct Row {
  std::vector<std::string> args;  // after the image (no image when the first is "-")
  int status;
  std::string names;  // must appear in the one line on stderr; the whole line when it starts "vboard: "
};

TEST(BadInput, EveryRowEndsWithItsStatusAndOneLineNamingTheArgument) {
  if (access(kFrontPath.c_str(), R_OK) != 0) GTEST_SKIP() << kFrontPath << " not built";
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
      {{"--timing", "m3"}, exit_code::kUsage, "no such timing (flat, m4)"},
      {{"--timing", "m4", "--cpi", "2"}, exit_code::kUsage, "--cpi and --timing m4"},
      {{"--set", "PB5=0@1ms,bounce=abcx1us"}, exit_code::kUsage, "--set"},
      {{"--set", "PB5=0@1ms,bounce=4000000000x0ns"}, exit_code::kUsage, "bounce"},
      {{"--set", "PB5=0@1ms,bounce=5x0ns"}, exit_code::kUsage, "spacing"},
      {{"--set", "PB5=z@1ms,bounce=5x1us"}, exit_code::kUsage, "--set"},
      {{"--set", "PB5=2@1ms"}, exit_code::kUsage, "--set"},
      {{"--set", "PC0=1@1ms"}, exit_code::kUsage, "vboard: --set: 'PC0=1@1ms': pin: 'PC0'" + kNotAPin},
      {{"--set", "PD3=1@1ms"}, exit_code::kUsage, "vboard: --set: 'PD3=1@1ms': pin: 'PD3'" + kNotAPin},
      {{"--pulse", "PE1=1ms@0"}, exit_code::kUsage, "vboard: --pulse: 'PE1=1ms@0': pin: 'PE1'" + kNotAPin},
      {{"--vcd", "x.vcd", "--vcd-pins", "PA0,PG0"},
       exit_code::kUsage,
       "vboard: --vcd-pins: 'PA0,PG0': 'PG0'" + kNotAPin},
      {{"--set", "PB5=0@1ms,bounce=0x200us"},
       exit_code::kUsage,
       "vboard: --set: 'PB5=0@1ms,bounce=0x200us': bounce: '0x200us': the count must be a number from 1 to "
       "1000"},
      {{"--set", "PB5=0@1ms,bounce=2x3000s"},
       exit_code::kUsage,
       "vboard: --set: 'PB5=0@1ms,bounce=2x3000s': bounce: '2x3000s': the spacing '3000s' is above the limit "
       "of "
       "1 s"},
      {{"--set", "PB5=low@1ms", "--set", "PB5=released@2ms", "--inject-irq", "x"},
       exit_code::kUsage,
       "vboard: --inject-irq: irq: 'x' is not an IRQ number 0..101"},
      {{"--for", "1\x1b[2Jms"},
       exit_code::kUsage,
       "vboard: --for: '1\\x1b[2Jms' is not a time (a number with ns, us, ms or s, e.g. 20ms)"},
      {{"--fault", "a\nb"},
       exit_code::kUsage,
       "vboard: --fault: 'a\\x0ab': no such fault (pll_never_locks, sysclk_switch_stuck)"},
      {{"--for", "99999999999999999999s"}, exit_code::kUsage, "limit"},
      {{"--for", "3601s"}, exit_code::kUsage, "vboard: --for: '3601s' is above the limit of 3600 s"},
      {{"--for", "1..5ms"}, exit_code::kUsage, "--for"},
      {{"--serve", "--for", "1s"},
       exit_code::kUsage,
       "vboard: --serve and --for: the page drives the live board (its inputs, its time; save it as a "
       "scenario "
       "to replay)"},
      {{"--serve", "--serve-address", "localhost"},
       exit_code::kUsage,
       "vboard: --serve-address: 'localhost': not an IPv4 address like 127.0.0.1"},
      {{"--serve", "--serve-address", "1.2.3.256"}, exit_code::kUsage, "not an IPv4 address"},
      {{"--serve-port", "80"}, exit_code::kUsage, "--serve"},
      {{"--serve", "--serve-for", "3601s"},
       exit_code::kUsage,
       "vboard: --serve-for: '3601s' is above the limit of 3600 s"},
      {{"--for", "1.5ns"}, exit_code::kUsage, "whole"},
      {{"--for", "300"}, exit_code::kUsage, "--for"},
      {{"--for", "1ms", "--for", "2ms"}, exit_code::kUsage, "--for"},
      {{"--for"}, exit_code::kUsage, "--for"},
      {{"--fault", "pll_never_lock"}, exit_code::kUsage, "pll_never_lock"},
      {{"--allow", "flash"}, exit_code::kUsage, "--allow"},
      {{"--pulse", "PD0=1ms@0"}, exit_code::kUsage, "48-pin"},
      {{"--pulse", "PA0=30ms@0"},
       exit_code::kUsage,
       "vboard: --pulse: 'PA0=30ms@0': width: 30 ms must be below the period, 20 ms"},
      {{"--pulse", "PA0=1ns@0,period=2ns"},
       exit_code::kUsage,
       "vboard: --pulse: 'PA0=1ns@0,period=2ns': period: '2ns' is below the minimum of 100 ns"},
      {{"--pulse", "PA0=1ms@0,jitter=1ms"},
       exit_code::kUsage,
       "vboard: --pulse: 'PA0=1ms@0,jitter=1ms': jitter: 1 ms must be below the width, 1 ms, and below the "
       "low "
       "time, 19 ms"},
      {{"--pulse", "PA0=15ms@0,jitter=6ms"},
       exit_code::kUsage,
       "vboard: --pulse: 'PA0=15ms@0,jitter=6ms': jitter: 6 ms must be below the width, 15 ms, and below the "
       "low time, 5 ms"},
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
      {{"--vcd", "x.vcd", "--vcd-timescale", "3ns"},
       exit_code::kUsage,
       "vboard: --vcd-timescale: '3ns': not a VCD timescale (1, 10 or 100 of ns, us, ms or s, e.g. 10ns)"},
      {{"--vcd-timescale", "10ns"}, exit_code::kUsage, "--vcd"},
      {{"--stack-bound", "--vcd", "x.vcd"},
       exit_code::kUsage,
       "vboard: --stack-bound and --vcd: the bound is printed instead of a run's outputs"},
      {{"--png", missing_dir, "--for", "1ms"},
       exit_code::kWriteFailed,
       "vboard: cannot write the PNG picture " + missing_dir + ": No such file or directory"},
      {{"--png", "/dev/full", "--for", "1ms"}, exit_code::kWriteFailed, "No space left on device"},
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
      args.insert(args.begin(), kFrontPath);
    else
      args.erase(args.begin());
    std::string shown;
    for (const auto& a : args) shown += " " + a;
    const Outcome o = run_vboard(args);
    std::printf("vboard%s\n    -> %d: %s", values::printable(shown).c_str(), o.status, o.err.c_str());
    EXPECT_EQ(o.status, row.status) << shown << "\n" << o.err;
    ASSERT_FALSE(o.err.empty()) << shown;
    EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << shown << ": not one line:\n" << o.err;
    EXPECT_EQ(o.err.rfind("vboard: ", 0), 0u) << shown << ": " << o.err;
    if (row.names.rfind("vboard: ", 0) == 0)
      EXPECT_EQ(o.err, row.names + "\n") << shown;
    else
      EXPECT_NE(o.err.find(row.names), std::string::npos) << shown << ": " << o.err;
    if (row.status != exit_code::kWriteFailed) {
      EXPECT_TRUE(o.out.empty()) << shown << ": wrote a report";
    }
  }
}

std::string scenario_dir() {
  const std::string dir = ::testing::TempDir() + "/vboard_scenarios." + std::to_string(getpid());
  mkdir(dir.c_str(), 0755);
  return dir;
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Files the loader cannot take: exit 65 before anything runs, one line that ends
// with the file (and line) and what is wrong; control characters never reach the terminal.
TEST(BadInput, ScenarioFilesRefusedWithExit65AndOneLine) {
  if (access(kFrontPath.c_str(), R_OK) != 0) GTEST_SKIP() << kFrontPath << " not built";
  const std::string dir = scenario_dir();
  const std::string kNoScenario =
      ": no scenario in the file (it is empty or only comments): expected a map with name, version, steps";
  struct FileRow {
    std::string path;
    std::optional<std::string> text;  // written to path first
    std::string says;                 // the line ends with this
  };
  const FileRow rows[] = {
      {"/dev/zero", std::nullopt, "/dev/zero: a device, not a scenario file (only a regular file is read)"},
      {dir + "/big.yaml", "name: t\nversion: 1\nsteps:\n  - delay: 1ms\n" + std::string(1 << 20, '#'),
       dir + "/big.yaml: larger than 1 MiB, the limit of a scenario file"},
      {"/dev/null", std::nullopt, "/dev/null: a device, not a scenario file (only a regular file is read)"},
      {dir + "/empty.yaml", "", dir + "/empty.yaml" + kNoScenario},
      {dir, std::nullopt, dir + ": a directory, not a scenario file"},
      {dir + "/none.yaml", std::nullopt,
       dir + "/none.yaml: cannot open the scenario file: No such file or directory"},
      {dir + "/esc.yaml", "name: t\nversion: 1\nsteps:\n  - set: {pin: \"\\e]0;owned\\a\", level: 1}\n",
       dir + "/esc.yaml:4: pin: '\\x1b]0;owned\\x07'" + kNotAPin},
      {dir + "/long.yaml",
       "name: t\nversion: 1\nsteps:\n  - delay: 3600s\n  - wait-pin: {pin: PA8, level: 1, timeout: 1ms}\n",
       dir + "/long.yaml:5: wait-pin: the steps up to here may take 3600.001 s of virtual time, above the "
             "limit of "
             "3600 s (delays, wait-pin timeouts, expect-strip within and the waiting steps' longest times "
             "add up)"},
  };
  for (const FileRow& row : rows) {
    if (row.text) write_file(row.path, *row.text);
    const Outcome o = run_vboard({kFrontPath, "--scenario", row.path});
    std::printf("--scenario %s\n    -> %d: %s", row.path.c_str(), o.status, o.err.c_str());
    EXPECT_EQ(o.status, 65) << row.path;
    EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << row.path << ": not one line:\n" << o.err;
    EXPECT_TRUE(o.err.size() > row.says.size() &&
                o.err.compare(o.err.size() - row.says.size() - 1, row.says.size() + 1, row.says + "\n") == 0)
        << o.err;
    EXPECT_TRUE(o.out.empty()) << row.path << ": ran";
  }
  std::remove((dir + "/big.yaml").c_str());
}

// A FIFO nobody writes, or a device, given as a scenario or board file: refused
// at once (not read, not waited on), exit 65. Run under `timeout` so a hang
// fails the row instead of the suite.
TEST(BadInput, FifosAndDevicesAreRefusedAtOnceAsFiles) {
  if (access(kFrontPath.c_str(), R_OK) != 0) GTEST_SKIP() << kFrontPath << " not built";
  const std::string fifo = scenario_dir() + "/fifo.yaml";
  std::remove(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const struct {
    std::string option, path, says;
  } rows[] = {
      {"--scenario", fifo, fifo + ": a FIFO, not a scenario file (only a regular file is read)"},
      {"--board", fifo, fifo + ": a FIFO, not a board file (only a regular file is read)"},
      {"--board", "/dev/zero", "/dev/zero: a device, not a board file (only a regular file is read)"},
  };
  for (const auto& row : rows) {
    std::vector<std::string> args = {"--timeout-s", "20", kFrontPath, row.option, row.path};
    if (row.option == "--board") args.insert(args.end(), {"--for", "1ms"});
    const Outcome o = run_vboard(args);
    EXPECT_EQ(o.status, 65) << row.option << " " << row.path << ": " << o.err;
    EXPECT_NE(o.err.find(row.says + "\n"), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << o.err;
  }
  std::remove(fifo.c_str());
}

// Bytes that are not UTF-8 in a board file's names reach the text report
// escaped; a NUL byte in a board or scenario file is refused at its line.
TEST(BadInput, BoardFileBytesAreEscapedInTheReportAndANulIsRefusedAtItsLine) {
  const std::string rear = std::string(FIRMWARE_DIR) + "/rear_lamp.elf";
  if (access(rear.c_str(), R_OK) != 0) GTEST_SKIP() << rear << " not built";
  const std::string dir = scenario_dir();
  const std::string board = slurp(std::string(SOURCE_DIR) + "/boards/rear_lamp.yaml");
  const auto renamed = [&](const std::string& from, const std::string& to) {
    std::string t = board;
    return t.replace(t.find(from), from.size(), to);
  };
  write_file(dir + "/b9b.yaml", renamed("name: red switch", "name: red \x9bswitch"));
  const Outcome o = run_vboard({rear, "--board", dir + "/b9b.yaml", "--for", "30ms"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out.find('\x9b'), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("PB5 (red \\x9bswitch)"), std::string::npos) << o.out;
  const std::string nul_line = std::to_string(
      std::count(board.begin(), board.begin() + static_cast<long>(board.find("name: red switch")), '\n') + 1);
  write_file(dir + "/nul.yaml", renamed("name: red switch", std::string("name: red \0switch", 17)));
  write_file(dir + "/nul_s.yaml", std::string("name: t\nversion: 1\nsteps:\n  - delay: 1\0ms\n", 42));
  const struct {
    std::vector<std::string> args;
    std::string says;
  } rows[] = {
      {{rear, "--board", dir + "/nul.yaml", "--for", "1ms"},
       dir + "/nul.yaml:" + nul_line + ": a NUL byte (\\x00): a board file is text\n"},
      {{rear, "--scenario", dir + "/nul_s.yaml"},
       dir + "/nul_s.yaml:4: a NUL byte (\\x00): a scenario file is text\n"},
  };
  for (const auto& row : rows) {
    const Outcome n = run_vboard(row.args);
    EXPECT_EQ(n.status, 65) << n.err;
    EXPECT_EQ(n.err, row.says);
  }
}

// The strip's length is the board's, whatever length of data the firmware
// sends: the rear image writes 60 LEDs; on a 30-LED board the rest is passed on
// and LEDs 45-59 are refused at load; on a 64-LED board the last 4 are not
// written, so "every LED dark" fails and says so.
TEST(BadInput, ExpectStripJudgesTheBoardsStripNotTheFrame) {
  const std::string rear = std::string(FIRMWARE_DIR) + "/rear_lamp.elf";
  if (access(rear.c_str(), R_OK) != 0) GTEST_SKIP() << rear << " not built";
  const std::string dir = scenario_dir();
  const std::string board = slurp(std::string(SOURCE_DIR) + "/boards/rear_lamp.yaml");
  for (const char* n : {"30", "64"}) {
    std::string t = board;
    write_file(dir + "/b" + n + ".yaml", t.replace(t.find("leds: 60"), 8, std::string("leds: ") + n));
  }
  write_file(dir + "/past.yaml",
             "name: t\nversion: 1\nsteps:\n  - delay: 20ms\n"
             "  - expect-strip: {color: dark, leds: 45-59}\n");
  write_file(dir + "/all.yaml",
             "name: t\nversion: 1\nsteps:\n  - delay: 20ms\n  - expect-strip: {color: dark}\n");
  const struct {
    std::vector<std::string> args;
    int status;
    std::string says;  // in stdout, or stderr for 65
  } rows[] = {
      {{"--board", dir + "/b30.yaml", "--scenario", dir + "/past.yaml"},
       65,
       dir + "/past.yaml:5: leds: LED 45 is past the end of the board's strip of 30 LEDs (0-29)\n"},
      {{"--board", dir + "/b64.yaml", "--scenario", dir + "/all.yaml", "--no-color"},
       4,
       "60-63 not written by this frame (the strip has 64 LEDs: they keep their colours)"},
      {{"--board", dir + "/b64.yaml", "--for", "20ms"},
       0,
       "60 of the strip's 64 LEDs (60-63 keep their colours)"},
      {{"--board", dir + "/b30.yaml", "--for", "20ms"},
       0,
       "30 LEDs (the strip's; 720 bits more passed on down the line)"},
  };
  for (const auto& row : rows) {
    std::vector<std::string> args = {rear};
    args.insert(args.end(), row.args.begin(), row.args.end());
    const Outcome o = run_vboard(args);
    EXPECT_EQ(o.status, row.status) << o.err;
    if (row.status == 65)
      EXPECT_EQ(o.err, row.says);
    else
      EXPECT_NE(o.out.find(row.says), std::string::npos) << o.out;
  }
}

// Latin-1 bytes in a scenario's name (and markup, and a failed step) still give
// well-formed JUnit and SVG files, read back by a real XML parser.
TEST(BadInput, JunitAndSvgStayWellFormedWhateverTheNameHolds) {
  if (access(kFrontPath.c_str(), R_OK) != 0) GTEST_SKIP() << kFrontPath << " not built";
  const std::string dir = scenario_dir(), yaml = dir + "/latin1.yaml", junit = dir + "/r.xml",
                    svg = dir + "/r.svg";
  write_file(yaml,
             "name: caf\xe9 <&> \xff\nversion: 1\nsteps:\n  - delay: 5ms\n"
             "  - expect-pin: {pin: PA8, level: 1}\n");
  const Outcome o = run_vboard({kFrontPath, "--scenario", yaml, "--junit", junit, "--svg", svg});
  EXPECT_EQ(o.status, 4) << o.err;
  const std::string check =
      "python3 -c 'import sys, xml.etree.ElementTree as E\n"
      "for f in sys.argv[1:]: E.parse(f)' " +
      junit + " " + svg;
  EXPECT_EQ(std::system(check.c_str()), 0) << check;
  const std::string x = slurp(junit);
  EXPECT_NE(x.find("name=\"caf\xEF\xBF\xBD &lt;&amp;&gt; \xEF\xBF\xBD\""), std::string::npos) << x;
}

TEST(BadInput, SourcesOneAfterTheOtherOnAPinAreAllowed) {
  if (access(kFrontPath.c_str(), R_OK) != 0) GTEST_SKIP() << kFrontPath << " not built";
  const Outcome o =
      run_vboard({kFrontPath, "--for", "20ms", "--pulse", "PA0=1ms@0,period=2ms,stop=6ms", "--set",
                  "PA0=1@8ms,bounce=2x1ms", "--set", "PA0=0@13ms", "--set", "PA0=z@15ms", "--json"});
  EXPECT_EQ(o.status, exit_code::kOk) << o.err;
  EXPECT_TRUE(o.err.empty()) << o.err;
  EXPECT_NE(o.out.find("\"PA0\""), std::string::npos);
}

// Driving an output from outside is contention whatever drives it: the front's
// PA8 (a GPIO output) and the rear's PA7 (the strip's data line, a timer's
// alternate function) alike, by --set and by --pulse.
TEST(BadInput, DrivingAnOutputFromOutsideIsContentionForTimerOutputsToo) {
  const std::string rear = std::string(FIRMWARE_DIR) + "/rear_lamp.elf";
  if (access(rear.c_str(), R_OK) != 0) GTEST_SKIP() << rear << " not built";
  const struct {
    std::string image, option, value;
  } rows[] = {
      {kFrontPath, "--set", "PA8=1@50ms"},
      {rear, "--set", "PA7=1@5ms"},
      {rear, "--pulse", "PA7=1ms@1ms,period=2ms"},
  };
  for (const auto& row : rows) {
    const Outcome o = run_vboard({row.image, "--for", "100ms", row.option, row.value});
    EXPECT_EQ(o.status, exit_code::kDiagnostics) << row.option << " " << row.value << ": " << o.err;
    EXPECT_NE(o.out.find("pin_contention"), std::string::npos) << row.value << ":\n" << o.out;
  }
}

TEST(BadInput, HelpGoesToStdoutAndExitsZero) {
  const Outcome o = run_vboard({"--help"});
  EXPECT_EQ(o.status, 0);
  EXPECT_TRUE(o.err.empty()) << o.err;
  for (const char* word : {"--pulse", "--allow", "flash_latency", "pll_never_locks", "Exit status", "3600 s"})
    EXPECT_NE(o.out.find(word), std::string::npos) << word;
}

TEST(BadInput, HelpSaysWhichPinsTheTraceHoldsByDefault) {
  if (access(kFrontPath.c_str(), R_OK) != 0) GTEST_SKIP() << kFrontPath << " not built";
  const std::string vcd = ::testing::TempDir() + "/default_pins.vcd";
  ASSERT_EQ(run_vboard({kFrontPath, "--for", "1ms", "--vcd", vcd}).status, exit_code::kOk);
  std::ifstream in(vcd);
  size_t vars = 0;
  for (std::string line; std::getline(in, line);) vars += line.rfind("$var ", 0) == 0;
  const std::string help = run_vboard({"--help"}).out;
  EXPECT_NE(help.find("(default: all " + std::to_string(vars) + " package pins)"), std::string::npos) << help;
}

TEST(BadInput, AReportToAFullDiskIsAnError) {
  if (access(kFrontPath.c_str(), R_OK) != 0) GTEST_SKIP() << kFrontPath << " not built";
  for (const char* format : {"--no-color", "--json"}) {
    const Outcome o = run_vboard({kFrontPath, "--for", "10ms", format}, "/dev/full");
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

namespace vboard::test {
namespace {

// Scenario mode keeps every status a plain run has, and the precedence between
// them: a lost report is never hidden by a verdict, a verdict never by a finding.
TEST(ExitContract, ScenarioModeKeepsThePlainRunsStatusesInTheirPrecedence) {
  if (access(kFrontPath.c_str(), R_OK) != 0) GTEST_SKIP() << kFrontPath << " not built";
  const std::string dir = ::testing::TempDir() + "/vboard_exit." + std::to_string(getpid());
  mkdir(dir.c_str(), 0755);
  const auto file = [&](const std::string& name, const std::string& steps) {
    std::ofstream(dir + "/" + name) << "name: \"n\xe9\"\nversion: 1\nsteps:\n" << steps;
    return dir + "/" + name;
  };
  // PA8 is a push-pull output once the lights are set up: driving it is a finding.
  const std::string contention =
      file("c.yaml", "  - delay: 5ms\n  - set: {pin: PA8, level: 1}\n  - delay: 1ms\n");
  const std::string checked = file("k.yaml",
                                   "  - delay: 5ms\n  - set: {pin: PA8, level: 1}\n  - delay: 1ms\n"
                                   "  - expect-no-violations:\n");
  const std::string named = file("n.yaml",
                                 "  - delay: 5ms\n  - set: {pin: PA8, level: 1}\n  - delay: 1ms\n"
                                 "  - expect-no-violations: {kind: pin_contention}\n");
  const std::string fails = file("f.yaml", "  - delay: 1ms\n  - expect-pin: {pin: PA8, level: 1}\n");
  const std::string mutant = std::string(FIRMWARE_DIR) + "/rear_lamp_clock_mutant.elf";
  const std::string colours = std::string(SOURCE_DIR) + "/scenarios/rear_lamp/colours.yaml";
  const struct {
    std::string image;
    std::vector<std::string> args;
    const char* stdout_to;  // nullptr: captured
    int status;
    std::string says;  // on stderr ("" : stderr must be empty); or, with '|', in the report
  } rows[] = {
      {kFrontPath, {"--scenario", contention}, nullptr, exit_code::kDiagnostics, ""},
      {kFrontPath,
       {"--scenario", contention, "--allow", "pin_contention"},
       nullptr,
       exit_code::kOk,
       "|(allowed)"},
      {kFrontPath,
       {"--scenario", checked},
       nullptr,
       exit_code::kExpectationFailed,
       "|pin_contention on PA8: "},
      {kFrontPath, {"--scenario", checked, "--allow", "pin_contention"}, nullptr, exit_code::kOk, ""},
      {kFrontPath,
       {"--scenario", named, "--allow", "pin_contention"},
       nullptr,
       exit_code::kExpectationFailed,
       ""},
      // The mutant's clock findings come at start-up: the whole-run check sees them.
      {mutant, {"--scenario", colours}, nullptr, exit_code::kExpectationFailed, "|flash_latency on "},
      {kFrontPath,
       {"--scenario", fails, "--junit", dir + "/no/such/r.xml"},
       nullptr,
       exit_code::kWriteFailed,
       "vboard: cannot write the JUnit report " + dir + "/no/such/r.xml: No such file or directory"},
      {kFrontPath, {"--scenario", fails, "--junit", dir}, nullptr, exit_code::kWriteFailed, "Is a directory"},
      {kFrontPath,
       {"--scenario", fails, "--svg", "/dev/full"},
       nullptr,
       exit_code::kWriteFailed,
       "No space left"},
      {kFrontPath,
       {"--scenario", fails, "--vcd", dir + "/no/t.vcd"},
       nullptr,
       exit_code::kWriteFailed,
       "t.vcd"},
      {kFrontPath,
       {"--scenario", fails},
       "/dev/full",
       exit_code::kWriteFailed,
       "vboard: cannot write the verdicts to standard output: No space left on device"},
      {kFrontPath,
       {"--scenario", fails, "--scenario", fails, "--json"},
       nullptr,
       exit_code::kUsage,
       "--json"},
  };
  for (const auto& row : rows) {
    if (access(row.image.c_str(), R_OK) != 0) continue;  // the mutant is built with the firmware preset
    std::vector<std::string> args = {row.image};
    args.insert(args.end(), row.args.begin(), row.args.end());
    const Outcome o = run_vboard(args, row.stdout_to ? row.stdout_to : "");
    std::string shown;
    for (const auto& a : row.args) shown += a + " ";
    EXPECT_EQ(o.status, row.status) << shown << "\n" << o.err << o.out;
    if (row.says.empty()) continue;
    if (row.says[0] == '|')
      EXPECT_NE(o.out.find(row.says.substr(1)), std::string::npos) << shown << "\n" << o.out;
    else
      EXPECT_NE(o.err.find(row.says), std::string::npos) << shown << "\n" << o.err;
  }
}

}  // namespace
}  // namespace vboard::test

namespace vboard::test {
namespace {

// A system that refuses memory ends the run with one line and its own status,
// never an abort (the sanitizers' shadow memory needs more than the limit).
TEST(ExitContract, RefusedMemoryIsOneLineAndItsOwnStatus) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "an address-space limit leaves AddressSanitizer no room";
#endif
  if (access(kFrontPath.c_str(), R_OK) != 0) GTEST_SKIP() << kFrontPath << " not built";
  rlimit before{};
  ASSERT_EQ(getrlimit(RLIMIT_AS, &before), 0);
  rlimit tight = before;
  tight.rlim_cur = 800u << 20;
  ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
  const Outcome o = run_vboard({kFrontPath, "--for", "10ms"});
  setrlimit(RLIMIT_AS, &before);
  EXPECT_EQ(o.status, exit_code::kNoMemory) << o.err;
  EXPECT_EQ(o.err,
            "vboard: out of memory: the system refused the emulator's 1 GiB code translation buffer\n");
}

}  // namespace
}  // namespace vboard::test
