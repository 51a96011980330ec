// The live session's record and state as the pages get them: a strip mark
// that has nothing to expect, a recording that fills up and still saves a file
// --scenario takes, the pins the board drives, the pace shown steadily, keys
// given twice.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "chip/reg_view.h"
#include "cli/scenario.h"
#include "serve/engine.h"
#include "serve/live.h"
#include "serve/messages.h"
#include "support/firmware.h"
#include "support/line_of.h"
#include "world/values.h"

namespace vboard::test {
namespace {

using serve::Input;
using serve::LiveBoard;

// The rear board with a strip that latches on any gap: every bit ends a frame,
// so the frame showing holds no whole LED.
constexpr const char* kLatchOnAnyGap = R"(board: rear_lamp
version: 1
parts:
  - {name: strip, kind: ws2815-strip, role: strip data, pin: PA7, driver: TIM17, leds: 8, latch: 2ns,
     datasheet: {t0h: 220ns..380ns, t1h: 580ns..1600ns, t0l: 580ns..1600ns, t1l: 220ns..420ns},
     real-parts: {zero-below: 500ns, one-above: 550ns, longest-low: 1ns}}
  - {name: brake, kind: switch, pin: PB5, color: red, pull: up, closed: low}
)";

TEST(ServeSession, AStripFrameWithoutAWholeLedIsNoExpectationAndTheSessionStillSaves) {
  VBOARD_IMAGE(img, kRear);
  std::string err;
  const auto board = parse_board(kLatchOnAnyGap, "latch.yaml", &err);
  ASSERT_TRUE(board) << err;
  LiveBoard live(*img, "rear_lamp.elf", MachineOptions{}, *board, {});
  live.run_until(20 * kMs);
  ASSERT_GT(live.strip_frames(), 0u);
  ASSERT_TRUE(live.strip_leds().empty());
  Input mark;
  mark.kind = Input::Kind::mark_strip;
  EXPECT_EQ(live.apply(mark), "the strip's latched frame holds no whole LED: nothing to expect");
  EXPECT_EQ(live.recording().inputs, 0u);
  const std::string yaml = live.scenario_text("latch");
  EXPECT_TRUE(scenario::parse(yaml, "saved.yaml", &err)) << err << "\n" << yaml;
}

// 150 000 inputs: the recording warns, then stops at what a scenario file
// holds; the inputs still reach the board and the save reaches up to the
// instant the recording stopped, saying so.
TEST(ServeSession, AFloodOfInputsStopsTheRecordingAtWhatAScenarioFileHolds) {
  VBOARD_IMAGE(img, kRear);
  LiveBoard live(*img, "rear_lamp.elf", MachineOptions{}, default_board(*img), {});
  Input set;
  set.pin = "PB5";
  long warned = -1, full = -1;
  ns_t full_at = 0;
  for (long i = 0; i < 150000; ++i) {
    set.level = static_cast<int>(i & 1);
    ASSERT_EQ(live.apply(set), "");
    if (i % 1000 == 999) live.run_until(live.now() + kMs);
    if (i % 100) continue;
    const serve::RecordingState r = live.recording();
    if (r.warn && warned < 0) warned = i;
    if (r.full && full < 0) full = i, full_at = live.now();
    EXPECT_LE(r.bytes, r.limit);
  }
  EXPECT_GT(warned, 0);
  EXPECT_GT(full, warned);
  const serve::RecordingState r = live.recording();
  EXPECT_TRUE(r.full);
  EXPECT_LT(r.inputs, 150000u);
  EXPECT_EQ(r.limit, limits::kMaxScenarioBytes);
  EXPECT_EQ(live.pin_names().size(), live.levels().size());
  EXPECT_NE(r.note.find("a save reaches up to there"), std::string::npos) << r.note;
  const std::string yaml = live.scenario_text(std::string(200, 'n'));
  EXPECT_LE(yaml.size(), limits::kMaxScenarioBytes);
  EXPECT_NE(yaml.find("# The recording stopped at "), std::string::npos);
  std::string err;
  const auto s = scenario::parse(yaml, "flood.yaml", &err);
  ASSERT_TRUE(s) << err;
  ns_t reach = 0;
  for (const auto& step : s->steps) reach += step.longest();
  EXPECT_LE(reach, full_at);
  EXPECT_GT(reach, full_at - kMs);
}

// Past the longest time a scenario may last the recording stops there; below
// it, 80 % of the time warns.
TEST(ServeSession, TheRecordingStopsAtTheLongestTimeAScenarioLasts) {
  const ns_t max = limits::kMaxTime;
  serve::Recording r(100);
  EXPECT_TRUE(r.add(kSec, "  - set: {pin: PB5, level: 0}\n"));
  EXPECT_FALSE(r.state(max / 2).warn);
  EXPECT_TRUE(r.state(max * 4 / 5).warn);
  EXPECT_FALSE(r.state(max).full);
  EXPECT_EQ(r.reach(max), max);
  EXPECT_FALSE(r.add(max + 1, "  - set: {pin: PB5, level: 1}\n"));
  EXPECT_TRUE(r.full(max + 1));
  EXPECT_EQ(r.reach(max + 7 * kSec), max);
  const serve::RecordingState s = r.state(max + 7 * kSec);
  EXPECT_EQ(s.inputs, 1u);
  EXPECT_EQ(s.seconds, 3600.0);
  EXPECT_NE(s.note.find("recording stopped at 3600"), std::string::npos) << s.note;
  EXPECT_EQ(r.steps(), "  - delay: 1000ms\n  - set: {pin: PB5, level: 0}\n");
}

// What the pages show as driven is what the inputs applied left on the board;
// a refused input changes nothing and a reset clears it.
TEST(ServeSession, DrivenIsWhatTheSessionAppliedToTheBoard) {
  VBOARD_IMAGE(img, kFront);
  LiveBoard live(*img, "front_lamp.elf", MachineOptions{}, default_board(*img), {});
  const std::pair<const char*, const char*> steps[] = {
      {R"("op":"set","pin":"PB5","level":"0")", R"({"PB5":{"level":0}})"},
      {R"("op":"pulse","pin":"PA0","width":"1500us","period":"20ms")",
       R"({"PA0":{"pulse":{"high_ns":1500000,"period_ns":20000000}},"PB5":{"level":0}})"},
      {R"("op":"mark","pin":"PA9")",
       R"({"PA0":{"pulse":{"high_ns":1500000,"period_ns":20000000}},"PB5":{"level":0}})"},
      {R"("op":"mark","strip":true)",
       R"({"PA0":{"pulse":{"high_ns":1500000,"period_ns":20000000}},"PB5":{"level":0}})"},
      {R"("op":"pulse-stop","pin":"PA0")", R"({"PA0":{"level":0},"PB5":{"level":0}})"},
      {R"("op":"pulse-stop","pin":"PB5")", R"({"PA0":{"level":0},"PB5":{"level":0}})"},
      {R"("op":"set","pin":"PB5","level":"z")", R"({"PA0":{"level":0}})"},
      {R"("op":"set","pin":"PA0","level":"1","bounce":"3x100us")", R"({"PA0":{"level":1}})"},
  };
  int64_t seq = 0;
  for (const auto& [op, driven] : steps) {
    const serve::Parsed p =
        serve::parse_message("{\"seq\":" + std::to_string(seq + 1) + "," + op + "}", &seq);
    ASSERT_TRUE(p.command) << p.error;
    live.apply(std::get<serve::command::Apply>(*p.command).input);  // the strip mark is refused
    live.run_until(live.now() + 3 * kMs);
    const auto hello = nlohmann::json::parse(serve::hello_json(live, "front_lamp.elf", serve::Update{}, {}));
    EXPECT_EQ(hello["driven"], nlohmann::json::parse(driven)) << op;
  }
  EXPECT_EQ(
      live.levels()[static_cast<size_t>(std::find(live.pin_names().begin(), live.pin_names().end(), "PA0") -
                                        live.pin_names().begin())],
      1);
  live.reset();
  EXPECT_TRUE(live.driven().empty());
}

// The pages' messages until `done` holds for one (false after 10 s); `driven`
// keeps the last map the page was sent.
template <class Done>
bool read_until(serve::Client& c, nlohmann::json* driven, Done done) {
  std::string out;
  for (int i = 0; i < 200; ++i)
    while (c.next(&out, std::chrono::milliseconds(50))) {
      const auto m = nlohmann::json::parse(out);
      if (m.contains("driven")) *driven = m["driven"];
      if (done(m)) return true;
    }
  return false;
}

// Two tabs see the same driven pins; an input refused (the image halted)
// leaves them as the board has them; a tab that comes later gets them too.
TEST(ServeSession, EveryPageGetsTheDrivenPinsOfTheBoard) {
  VBOARD_IMAGE(img, kFront);
  MachineOptions o;
  o.faults.insert("pll_never_locks");
  serve::Engine engine(*img, "front_lamp.elf", o, default_board(*img), {});
  auto a = std::make_shared<serve::Client>(), b = std::make_shared<serve::Client>();
  engine.attach(a);
  engine.attach(b);
  engine.submit(a, serve::command::Pause{});
  engine.start();
  Input set;
  set.pin = "PB5";
  engine.submit(a, serve::command::Apply{set});
  const auto low = nlohmann::json::parse(R"({"PB5":{"level":0}})");
  nlohmann::json seen_a, seen_b;
  EXPECT_TRUE(read_until(*a, &seen_a, [&](const auto&) { return seen_a == low; }));
  EXPECT_TRUE(read_until(*b, &seen_b, [&](const auto&) { return seen_b == low; }));
  engine.submit(a, serve::command::Step{10 * kMs});
  EXPECT_TRUE(read_until(*a, &seen_a, [](const auto& m) { return m.value("state", "") == "halted"; }));
  set.level = 1;
  engine.submit(a, serve::command::Apply{set});
  EXPECT_TRUE(read_until(*a, &seen_a, [](const auto& m) { return m.value("t", "") == "error"; }));
  auto c = std::make_shared<serve::Client>();
  engine.attach(c);
  nlohmann::json seen_c;
  EXPECT_TRUE(read_until(*c, &seen_c, [](const auto& m) { return m.value("t", "") == "hello"; }));
  EXPECT_EQ(seen_c, low);
  read_until(*b, &seen_b, [](const auto& m) { return m.value("state", "") == "halted"; });
  EXPECT_EQ(seen_b, low);
  engine.stop();
}

// A page that sends faster than the machine thread takes its requests (here
// the thread is not yet running) gets the ones past the bound refused, one
// error each, instead of a queue that grows with the flood.
TEST(ServeSession, RequestsWaitingForTheMachineAreBounded) {
  VBOARD_IMAGE(img, kFront);
  serve::Engine engine(*img, "front_lamp.elf", MachineOptions{}, default_board(*img), {});
  auto a = std::make_shared<serve::Client>();
  engine.attach(a);
  for (size_t i = 0; i < serve::Engine::kMaxWaitingRequests + 3; ++i)
    engine.submit(a, serve::command::Ping{});
  EXPECT_EQ(engine.waiting_requests(), serve::Engine::kMaxWaitingRequests);
  int refused = 0;
  std::string m;
  while (a->next(&m, std::chrono::milliseconds(0)))
    if (nlohmann::json::parse(m).value("t", "") == "error") ++refused;
  EXPECT_EQ(refused, 3);
  engine.start();
  nlohmann::json seen;
  EXPECT_TRUE(read_until(*a, &seen, [](const auto& j) { return j.value("t", "") == "hello"; }));
  engine.stop();
}

// Asked x100 and reaching x35.7, the machine falls a quarter second behind
// every 0.39 s: lagging stays set through every update, and clears two
// seconds after the last time it fell behind.
TEST(ServeSession, LaggingIsSteadyAndAchievedIsThePaceReached) {
  serve::PaceWatch pace;
  double next_behind = 0.39, last_behind = 0;
  size_t flagged = 0, updates = 0;
  for (double w = 0; w < 6.0; w += 0.02) {
    pace.sample(w, static_cast<ns_t>(w * 35.7e9));
    if (w >= next_behind) pace.fell_behind(w), next_behind += 0.39, last_behind = w;
    if (w < 0.39) continue;
    ++updates;
    flagged += pace.lagging();
  }
  EXPECT_EQ(flagged, updates);
  EXPECT_NEAR(pace.achieved(), 35.7, 0.05);
  // Now it keeps the pace: still lagging for two seconds, then not.
  for (double w = 6.0; w < last_behind + 1.99; w += 0.02) {
    pace.sample(w, static_cast<ns_t>(w * 35.7e9));
    EXPECT_TRUE(pace.lagging()) << w;
  }
  pace.sample(last_behind + 2.01, static_cast<ns_t>((last_behind + 2.01) * 35.7e9));
  EXPECT_FALSE(pace.lagging());
  pace.restart();
  EXPECT_EQ(pace.achieved(), 0);
}

TEST(ServeSession, AKeyGivenTwiceIsRefusedInOneLine) {
  const std::pair<const char*, const char*> refused[] = {
      {R"({"seq":1,"op":"set","pin":"PB5","level":"0","level":"1"})", "key 'level' given twice"},
      {R"({"seq":1,"seq":2,"op":"ping"})", "key 'seq' given twice"},
      {R"({"seq":1,"op":"trace","pins":["PA0"],"x":{"a":1,"a":2}})", "key 'a' given twice"},
  };
  for (const auto& [text, why] : refused) {
    int64_t seq = 0;
    const serve::Parsed p = serve::parse_message(text, &seq);
    EXPECT_FALSE(p.command) << text;
    EXPECT_EQ(p.error.rfind(why, 0), 0u) << p.error;
    EXPECT_EQ(p.error.find('\n'), std::string::npos);
    EXPECT_EQ(seq, 0);
  }
  int64_t seq = 0;
  EXPECT_TRUE(serve::parse_message(R"({"seq":1,"op":"trace","pins":["PA0"]})", &seq).command);
}

// The saved file's header gives the command that replays it as the session ran.
TEST(ServeSession, TheSavedFileGivesTheCommandThatReplaysIt) {
  VBOARD_IMAGE(img, kRear);
  std::string err;
  const auto latch = parse_board(kLatchOnAnyGap, "boards/latch 2ns.yaml", &err);
  ASSERT_TRUE(latch) << err;
  MachineOptions slow;
  slow.cpi_milli = 2005;
  slow.idle_skip = false;
  slow.faults = {"pll_never_locks", "sysclk_switch_stuck"};
  struct Case {
    std::string path;
    MachineOptions options;
    const BoardDescription& board;
    std::set<std::string> allowed;
    const char* command;
  };
  const Case cases[] = {
      {"rear_lamp.elf", {}, default_board(*img), {}, "vboard rear_lamp.elf --scenario FILE"},
      {"/my images/rear's.elf",
       {},
       default_board(*img),
       {},
       R"(vboard '/my images/rear'\''s.elf' --scenario FILE)"},
      {"r.elf",
       slow,
       *latch,
       {"flash_latency"},
       "vboard r.elf --board 'boards/latch 2ns.yaml' --cpi 2.005 --no-idle-skip --fault pll_never_locks "
       "--fault sysclk_switch_stuck --allow flash_latency --scenario FILE"},
  };
  for (const Case& c : cases) {
    LiveBoard live(*img, c.path, c.options, c.board, c.allowed);
    EXPECT_NE(live.scenario_text("").find("\n#   " + std::string(c.command) + "\n"), std::string::npos)
        << live.scenario_text("");
  }
}

// hello names why the board is in use when the command line said so.
TEST(ServeSession, HelloSaysWhyThisBoard) {
  VBOARD_IMAGE(img, kFront);
  for (const std::string why : {"", "named by --board"}) {
    LiveBoard live(*img, "front_lamp.elf", MachineOptions{}, default_board(*img), {}, why);
    const auto hello = nlohmann::json::parse(serve::hello_json(live, "front_lamp.elf", serve::Update{}, {}));
    EXPECT_EQ(hello.value("board_why", ""), why);
    EXPECT_EQ(hello["recording"]["limit"], limits::kMaxScenarioBytes);
    EXPECT_EQ(hello["driven"], nlohmann::json::object());
  }
}

// A page of an engine: its requests go through parse_message, and it reads
// what comes back until the machine stands paused at `vt`, keeping the last
// registers panel text it got and how many updates carried one.
struct RegsPage {
  explicit RegsPage(serve::Engine& e) : engine(e) {}
  serve::Engine& engine;
  std::shared_ptr<serve::Client> client = std::make_shared<serve::Client>();
  int64_t seq = -1;
  nlohmann::json hello, regs;
  int regs_updates = 0;
  void ask(const std::string& body) {
    const serve::Parsed p =
        serve::parse_message("{\"seq\":" + std::to_string(seq + 1) + "," + body + "}", &seq);
    ASSERT_TRUE(p.command) << body << ": " << p.error;
    engine.submit(client, *p.command);
  }
  bool paused_at(ns_t vt) {
    std::string out;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
         std::chrono::steady_clock::now() < end;) {
      if (!client->next(&out, std::chrono::milliseconds(50))) continue;
      const auto m = nlohmann::json::parse(out);
      if (m["t"] == "hello") hello = m;
      if (m.contains("regs")) regs = m["regs"], ++regs_updates;
      if (m.value("state", "") == "paused" && m.value("vt", ns_t{0}) == vt) return true;
    }
    return false;
  }
};

// The registers panel on the rear board: the page that opened it gets TIM17
// CR1 as the chip is at the instant the run stands at, decoded; closed, nothing
// more is read for it; and the run with the panel open is the run without it.
TEST(ServeSession, TheRegistersPanelShowsTheChipAsItIsAndChangesNothingOfTheRun) {
  VBOARD_IMAGE(img, kRear);
  const auto run = [&](bool panel) {
    serve::Engine engine(*img, "rear_lamp.elf", MachineOptions{}, default_board(*img), {});
    RegsPage page(engine);
    engine.attach(page.client);
    page.ask(R"("op":"pause")");
    page.ask(R"("op":"step","for":"50ms")");
    if (panel) page.ask(R"("op":"regs","periph":"tim17","reg":"CR1")");
    engine.start();
    EXPECT_TRUE(page.paused_at(50 * kMs));
    nlohmann::json regs = page.regs;
    if (panel) {
      page.ask(R"("op":"regs")");  // closed: the next 50 ms carry no registers
      page.regs_updates = 0;
      page.ask(R"("op":"step","for":"50ms")");
      EXPECT_TRUE(page.paused_at(100 * kMs));
      EXPECT_EQ(page.regs_updates, 0);
    } else {
      page.ask(R"("op":"step","for":"50ms")");
      EXPECT_TRUE(page.paused_at(100 * kMs));
    }
    const auto tim17 = std::find_if(page.hello["periphs"].begin(), page.hello["periphs"].end(),
                                    [](const nlohmann::json& p) { return p["name"] == "TIM17"; });
    EXPECT_NE(tim17, page.hello["periphs"].end());
    if (tim17 != page.hello["periphs"].end()) {
      EXPECT_EQ((*tim17)["regs"][0], "CR1");
    }
    nlohmann::json report = nlohmann::json::parse(engine.report_json());
    report.erase("wall_s");
    return std::pair{regs, report};
  };
  const auto [regs, with_panel] = run(true);
  const auto [none, without_panel] = run(false);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(with_panel, without_panel);
  ASSERT_TRUE(regs.is_object());
  EXPECT_EQ(regs["periph"], "tim17");
  EXPECT_EQ(regs["reg"], "CR1");
  LiveBoard live(*img, "rear_lamp.elf", MachineOptions{}, default_board(*img), {});
  live.run_until(50 * kMs);
  std::string want;
  ASSERT_TRUE(live.regs("TIM17", "CR1", &want));
  EXPECT_EQ(regs["text"], want);
  EXPECT_EQ(line_of(want, "TIM17"), "TIM17 CR1 = 0x00000001 at 0x40014800 (read-write, reset 0x00000000)");
  EXPECT_EQ(line_of(want, "CEN"), "CEN [0] 1 Counter enabled");
}

// Every register of every peripheral the panel offers, read after each
// millisecond of a run with inputs: the run is the one nobody looked at.
TEST(ServeSession, ReadingEveryRegisterForThePanelLeavesTheRunAsItWas) {
  VBOARD_IMAGE(img, kRear);
  const auto run = [&](bool look) {
    LiveBoard live(*img, "rear_lamp.elf", MachineOptions{}, default_board(*img), {});
    Input brake;
    brake.pin = "PB5";
    for (ns_t t = kMs; t <= 120 * kMs; t += kMs) {
      if (t % (30 * kMs) == 0) {
        brake.level = static_cast<int>((t / (30 * kMs)) & 1);
        EXPECT_EQ(live.apply(brake), "");
      }
      live.run_until(t);
      std::string text;
      for (const auto& p : periph::regview::table().peripherals) {
        if (look) {
          EXPECT_TRUE(live.regs(p.name, "", &text)) << p.name;
        }
      }
    }
    nlohmann::json report = nlohmann::json::parse(live.report_json());
    report.erase("wall_s");
    return report;
  };
  EXPECT_EQ(run(true), run(false));
}

}  // namespace
}  // namespace vboard::test
