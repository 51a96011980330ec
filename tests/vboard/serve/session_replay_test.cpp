// Random live sessions played through the page's own messages (parse_message,
// then the engine on its thread), saved, and replayed with the vboard command
// line the saved file's header gives: the replay's whole JSON report is the
// live session's, halts included. Seeded: the seed is printed, and
// VBOARD_SESSION_SEED replays one.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <thread>

#include "serve/engine.h"
#include "serve/messages.h"
#include "support/firmware.h"
#include "support/splitmix.h"

namespace vboard::test {
namespace {

using nlohmann::json;

struct SessionSetup {
  const char* image;
  const char* board_file;  // under the source tree; nullptr: the image's own board
  const char* fault;       // nullptr: none
  uint32_t cpi_milli;
};
const SessionSetup kSetups[] = {
    {kFront, nullptr, nullptr, 1000},
    {kRear, nullptr, nullptr, 1000},
    {"test_strip8.elf", "tests/boards/strip8.yaml", nullptr, 1000},
    {kFront, nullptr, "pll_never_locks", 1000},
    {kRear, nullptr, nullptr, 1500},
};

// One page: its messages go through parse_message to the engine; it reads
// what the engine sends back.
class Page {
 public:
  explicit Page(serve::Engine& e) : e_(e), c_(std::make_shared<serve::Client>()) { e_.attach(c_); }
  void send(const std::string& body) {
    const std::string text = "{\"seq\":" + std::to_string(seq_ + 1) + "," + body + "}";
    const serve::Parsed p = serve::parse_message(text, &seq_);
    ASSERT_TRUE(p.command) << text << ": " << p.error;
    e_.submit(c_, *p.command);
  }
  // Reads messages until `done` holds for one (false after 20 s of nothing).
  template <class Done>
  bool until(Done done) {
    std::string out;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
         std::chrono::steady_clock::now() < end;) {
      if (!c_->next(&out, std::chrono::milliseconds(50))) continue;
      const json m = json::parse(out);
      if (m.contains("vt")) vt_ = m["vt"].get<ns_t>();
      if (m.contains("state")) state_ = m["state"].get<std::string>();
      if (done(m)) return true;
    }
    return false;
  }
  // Until the machine stands still (paused at `vt` or later, or halted).
  bool settled(ns_t vt) {
    return until([&](const json& m) {
      return m.value("t", "") != "error" && (state_ == "halted" || (state_ == "paused" && vt_ >= vt));
    });
  }
  ns_t vt() const { return vt_; }
  const std::string& state() const { return state_; }

 private:
  serve::Engine& e_;
  std::shared_ptr<serve::Client> c_;
  int64_t seq_ = 0;
  ns_t vt_ = 0;
  std::string state_;
};

// A random input of the board's parts: levels on switches and unused pins,
// trains on pulse inputs, marks of outputs and of the strip.
std::string random_input(Rng& rng, const BoardDescription& b) {
  std::vector<const BoardPart*> parts;
  for (const BoardPart& p : b.parts) parts.push_back(&p);
  const BoardPart& p = *parts[rng.below(parts.size())];
  const std::string pin = p.pins[rng.below(p.pins.size())];
  if (p.is<BoardPart::Strip>()) return R"("op":"mark","strip":true)";
  if (p.is<BoardPart::Output>()) return R"("op":"mark","pin":")" + pin + "\"";
  if (p.is<BoardPart::PulseInput>()) {
    if (rng.below(4) == 0) return R"("op":"pulse-stop","pin":")" + pin + "\"";
    return R"("op":"pulse","pin":")" + pin + R"(","width":")" + std::to_string(900 + rng.below(1200)) +
           R"(us","period":"20ms")";
  }
  static const char* kLevels[] = {"0", "1", "z"};
  const size_t level = rng.below(3);
  std::string set = R"("op":"set","pin":")" + pin + R"(","level":")" + kLevels[level] + "\"";
  if (level < 2 && rng.below(3) == 0) set += R"(,"bounce":"3x150us")";
  return set;
}

struct Replay {
  std::string yaml, report;
  int status = -1;
};

// The saved file replayed by the command its header gives.
Replay replay(const std::string& yaml, const std::string& file) {
  Replay r;
  r.yaml = yaml;
  std::ofstream(file) << yaml;
  const std::string head = "Replay (FILE: this file):\n#   vboard ";
  const size_t at = yaml.find(head);
  EXPECT_NE(at, std::string::npos) << yaml;
  if (at == std::string::npos) return r;
  std::string command = yaml.substr(at + head.size(), yaml.find('\n', at + head.size()) - at - head.size());
  EXPECT_EQ(command.substr(command.size() - 15), "--scenario FILE") << command;
  command = std::string(VBOARD_EXE) + " " + command.substr(0, command.size() - 4) + file + " --json 2>" +
            file + ".err";
  FILE* p = popen(command.c_str(), "r");
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) r.report.append(buf, n);
  const int status = pclose(p);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

json without_wall_time(const std::string& text) {
  json j = json::parse(text);
  j.erase("wall_s");
  return j;
}

std::string file_text(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// One session: some of inputs, marks, steps, runs then pauses, resets; then saved.
void play(Rng& rng, const SessionSetup& setup, const Image& img, const std::string& file) {
  MachineOptions o;
  o.cpi_milli = setup.cpi_milli;
  if (setup.fault) o.faults.insert(setup.fault);
  std::string err;
  std::optional<BoardDescription> board;
  if (setup.board_file) {
    board = load_board(std::string(SOURCE_DIR) + "/" + setup.board_file, &err);
    ASSERT_TRUE(board) << err;
  }
  const BoardDescription& b = board ? *board : default_board(img);
  const std::string path = firmware_dir() + "/" + setup.image;
  serve::Engine engine(img, path, o, b, {});
  Page page(engine);
  page.send(R"("op":"pause")");
  engine.start();
  ASSERT_TRUE(page.settled(0));
  const size_t actions = 4 + rng.below(12);
  for (size_t i = 0; i < actions; ++i) {
    switch (rng.below(8)) {
      case 0:
      case 1:
      case 2:
        page.send(random_input(rng, b));
        break;
      case 3:
      case 4: {
        const ns_t span = (1 + rng.below(40)) * kMs / 2 + rng.below(1000);
        page.send(R"("op":"step","for":")" + std::to_string(span) + "ns\"");
        ASSERT_TRUE(page.settled(page.vt() + span));
        break;
      }
      case 5:  // at the wall clock's pace for a moment
        page.send(R"("op":"run")");
        std::this_thread::sleep_for(std::chrono::milliseconds(1 + rng.below(15)));
        page.send(R"("op":"pause")");
        ASSERT_TRUE(page.settled(0));
        break;
      case 6:
        if (rng.below(3) == 0) {
          page.send(R"("op":"reset")");
          ASSERT_TRUE(page.until([](const json& m) { return m.value("t", "") == "hello"; }));
        }
        break;
      default:
        page.send(R"("op":"mark","strip":true)");
    }
  }
  ASSERT_TRUE(page.settled(0));
  page.send(R"("op":"save","name":"random session")");
  std::string yaml;
  ASSERT_TRUE(page.until([&](const json& m) {
    if (m.value("t", "") == "scenario") yaml = m["yaml"];
    return !yaml.empty();
  }));
  const std::string live = engine.report_json();
  const bool halted = page.state() == "halted";
  engine.stop();

  Replay r = replay(yaml, file);
  const std::string why = file_text(file + ".err");
  if (why.find("board: 'strip8' is not a board") != std::string::npos) {
    // The scenario files know the lamp boards alone by name: this one runs
    // on its board file's board by --board, its name left out.
    const size_t at = yaml.find("board: strip8\n");
    r = replay(yaml.substr(0, at) + yaml.substr(at + 14), file);
  }
  // The status the replay ends with is the live run's: a halt, else a rule
  // finding (none is allowed here), else none; every expectation holds.
  const json report = json::parse(live);
  const int status = halted ? 2 : report["diagnostics"].empty() ? 0 : 3;
  EXPECT_EQ(r.status, status) << file_text(file + ".err") << yaml;
  ASSERT_FALSE(r.report.empty()) << file_text(file + ".err") << yaml;
  // Where they differ, as a JSON patch from the live report to the replay's.
  const json diff = json::diff(without_wall_time(live), without_wall_time(r.report));
  EXPECT_TRUE(diff.empty()) << diff.dump().substr(0, 3000) << "\n" << yaml;
  if (!diff.empty()) std::ofstream(file + ".live.json") << live;
  EXPECT_EQ(yaml.find("# The image halted at ") != std::string::npos, halted) << yaml;
}

// A session saved after the image halted replays the halt: exit status 2,
// the same report, and the replay command carries the fault and the speed.
TEST(ServeSessions, AHaltedSessionReplaysItsHalt) {
  VBOARD_IMAGE(img, kFront);
  MachineOptions o;
  o.faults.insert("pll_never_locks");
  o.cpi_milli = 1250;
  const std::string path = firmware_dir() + "/" + kFront;
  serve::LiveBoard live(*img, path, o, default_board(*img), {});
  live.run_until(40 * kMs);
  ASSERT_TRUE(live.halted());
  const std::string yaml = live.scenario_text("halted");
  EXPECT_NE(yaml.find(" --cpi 1.25 --fault pll_never_locks --scenario FILE\n"), std::string::npos) << yaml;
  const Replay r = replay(yaml, testing::TempDir() + "halted.yaml");
  EXPECT_EQ(r.status, 2) << yaml;
  ASSERT_FALSE(r.report.empty());
  EXPECT_EQ(without_wall_time(r.report), without_wall_time(live.report_json()));
}

TEST(ServeSessions, RandomLiveSessionsReplayWithTheCommandLineToTheSameReport) {
  uint64_t seed = std::random_device{}();
  if (const char* s = std::getenv("VBOARD_SESSION_SEED")) seed = std::strtoull(s, nullptr, 0);
  std::printf("session seed: %llu (VBOARD_SESSION_SEED=%llu replays it)\n",
              static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed));
  Rng rng{seed};
#if defined(__SANITIZE_ADDRESS__)
  constexpr size_t kSessions = std::size(kSetups);
#else
  constexpr size_t kSessions = 2 * std::size(kSetups);
#endif
  for (size_t i = 0; i < kSessions; ++i) {
    const SessionSetup& setup = kSetups[i % std::size(kSetups)];
    VBOARD_IMAGE(img, setup.image);
    SCOPED_TRACE(std::string(setup.image) + " session " + std::to_string(i) + " of seed " +
                 std::to_string(seed));
    play(rng, setup, *img, testing::TempDir() + "session_" + std::to_string(i) + ".yaml");
    if (HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace vboard::test
