// The live board of `vboard --serve` without a browser: inputs at virtual times
// give the same run as the scenario file they are saved as (the same JSON as a
// command-line run); pages' outboxes stay bounded; the server's Host and Origin
// rules and its files.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <random>

#include "support/firmware.h"
#include "serve/engine.h"
#include "serve/live.h"
#include "serve/messages.h"
#include "serve/server.h"
#include "outputs/report.h"
#include "outputs/stack_bound.h"
#include "cli/scenario.h"

namespace vboard::test {
namespace {

using serve::Input;
using serve::LiveBoard;

// The JSON of a run without the wall clock: everything else, instruction
// counts and idle time included, must not depend on how the run was sliced.
// The replay here runs on a Machine built in the test, which names no board
// (the command line's replay, which does, is compared in session_replay_test).
nlohmann::json comparable(const std::string& text) {
  nlohmann::json j = nlohmann::json::parse(text);
  j.erase("wall_s");
  j.erase("board");
  return j;
}

// The saved scenario played on a fresh machine: its JSON, and whether every expectation held.
std::pair<std::string, bool> replay(const Image& img, const std::string& yaml, const std::string& path) {
  std::string err;
  auto s = scenario::parse(yaml, "saved.yaml", &err);
  EXPECT_TRUE(s) << err << "\n" << yaml;
  if (!s) return {"", false};
  Machine m(img, MachineOptions{}, board_factory(default_board(img)));
  const scenario::Outcome o = scenario::run(m, *s);
  for (const auto& f : o.failures) ADD_FAILURE() << f.message();
  ReportInfo info;
  info.image = path;
  info.image_notes = img.warnings();
  RunResult r = m.result();
  put_static_bound(m, r);  // as the command line's report has it
  return {to_json(r, info), o.passed()};
}

// Runs the live board to `t` in slices of pseudo-random lengths, as the
// engine's pacing would cut them.
void run_sliced(LiveBoard& live, ns_t t, std::mt19937& rng) {
  std::uniform_int_distribution<ns_t> slice(1, 7 * kMs);
  while (live.now() < t) live.run_until(std::min(t, live.now() + slice(rng)));
}

TEST(ServeLive, FrontInputsSavedAsAScenarioReplayToTheSameJson) {
  VBOARD_IMAGE(img, "front_lamp.elf");
  const std::string path = firmware_dir() + "/front_lamp.elf";
  LiveBoard live(*img, path, MachineOptions{}, default_board(*img), {});
  std::mt19937 rng(17);
  run_sliced(live, 23 * kMs, rng);
  Input pulse;
  pulse.kind = Input::Kind::pulse;
  pulse.pin = "PA0";
  pulse.width = 1500 * kUs;
  pulse.period = 20 * kMs;
  ASSERT_EQ(live.apply(pulse), "");
  run_sliced(live, 190 * kMs, rng);
  Input mark;
  mark.kind = Input::Kind::mark_pin;
  mark.pin = "PA9";
  ASSERT_EQ(live.apply(mark), "");
  EXPECT_EQ(live.last_applied()->seen_level, 1) << "1500 us lights the front lights";
  pulse.width = 1200 * kUs;
  ASSERT_EQ(live.apply(pulse), "");
  run_sliced(live, 341 * kMs + 17, rng);
  mark.pin = "PA8";
  ASSERT_EQ(live.apply(mark), "");
  EXPECT_EQ(live.last_applied()->seen_level, 0) << "1200 us darkens them";
  Input stop;
  stop.kind = Input::Kind::pulse_stop;
  stop.pin = "PA0";
  ASSERT_EQ(live.apply(stop), "");
  run_sliced(live, 400 * kMs, rng);

  const std::string yaml = live.scenario_text("front session");
  EXPECT_NE(yaml.find("board: front_lamp"), std::string::npos) << yaml;
  EXPECT_NE(yaml.find("- pulse: {pin: PA0, width: 1500us, period: 20ms}"), std::string::npos) << yaml;
  EXPECT_NE(yaml.find("- expect-pin: {pin: PA9, level: 1}"), std::string::npos) << yaml;
  const auto [json, passed] = replay(*img, yaml, path);
  EXPECT_TRUE(passed);
  EXPECT_EQ(comparable(json), comparable(live.report_json())) << yaml;
}

TEST(ServeLive, RearSwitchesWithBounceReplayToTheSameFrames) {
  VBOARD_IMAGE(img, "rear_lamp.elf");
  const std::string path = firmware_dir() + "/rear_lamp.elf";
  LiveBoard live(*img, path, MachineOptions{}, default_board(*img), {});
  std::mt19937 rng(5);
  run_sliced(live, 7 * kMs + 333, rng);
  Input set;
  set.kind = Input::Kind::set;
  set.pin = "PB5";
  set.level = 0;
  set.bounces = 5;
  set.bounce_ns = 200 * kUs;
  ASSERT_EQ(live.apply(set), "");
  run_sliced(live, 15 * kMs, rng);
  Input mark;
  mark.kind = Input::Kind::mark_strip;
  ASSERT_EQ(live.apply(mark), "");
  ASSERT_FALSE(live.last_applied()->seen_leds.empty());
  EXPECT_EQ(live.last_applied()->seen_leds[0], (serve::Rgb{255, 0, 0}));
  set.pin = "PB6";
  set.bounces = 0;
  ASSERT_EQ(live.apply(set), "");
  run_sliced(live, 16 * kMs + 1, rng);  // mid-repaint: a frame of two colours may show
  ASSERT_EQ(live.apply(mark), "");
  set.pin = "PB5";
  set.level = -1;
  ASSERT_EQ(live.apply(set), "");
  run_sliced(live, 30 * kMs, rng);
  ASSERT_EQ(live.apply(mark), "");
  EXPECT_EQ(live.last_applied()->seen_leds[0], (serve::Rgb{0, 255, 0}));

  const std::string yaml = live.scenario_text("rear session");
  EXPECT_NE(yaml.find("- set: {pin: PB5, level: 0, bounce: 5x200us}"), std::string::npos) << yaml;
  EXPECT_NE(yaml.find("- expect-strip: {color: green}"), std::string::npos) << yaml;
  const auto [json, passed] = replay(*img, yaml, path);
  EXPECT_TRUE(passed);
  EXPECT_EQ(comparable(json), comparable(live.report_json())) << yaml;
}

TEST(ServeLive, RefusesWhatTheBoardCannotTake) {
  VBOARD_IMAGE(img, "front_lamp.elf");
  LiveBoard live(*img, "front_lamp.elf", MachineOptions{}, default_board(*img), {});
  Input mark;
  mark.kind = Input::Kind::mark_strip;
  EXPECT_EQ(live.apply(mark), "the board has no LED strip");
  Input set;
  set.pin = "PD3";
  EXPECT_EQ(live.apply(set), "the board has no pin PD3");
  EXPECT_FALSE(live.last_applied());
  EXPECT_EQ(live.recording().inputs, 0u);
  EXPECT_NE(live.scenario_text("").find("- delay: 0"), std::string::npos);
}

TEST(ServeLive, AHaltIsShownInTheReportsWordsAndResetStartsAgain) {
  VBOARD_IMAGE(img, "front_lamp.elf");
  MachineOptions o;
  o.faults.insert("pll_never_locks");
  LiveBoard live(*img, "front_lamp.elf", o, default_board(*img), {});
  live.run_until(50 * kMs);
  ASSERT_TRUE(live.halted());
  const serve::Findings f = live.findings();
  EXPECT_EQ(f.halt.rfind("stuck in ", 0), 0u) << f.halt;
  EXPECT_NE(f.halt.find("error_handler"), std::string::npos) << f.halt;
  live.reset();
  EXPECT_FALSE(live.halted());
  EXPECT_EQ(live.now(), 0u);
}

TEST(ServeMessages, UpdatesMergeLatestWinsAndTraceStaysBounded) {
  serve::Client c;
  for (int i = 0; i < 100000; ++i) {
    serve::Update u;
    u.vt = static_cast<ns_t>(i);
    u.pins["PA9"] = i & 1;
    u.strip = std::vector<serve::Rgb>(60, serve::Rgb{static_cast<uint8_t>(i), 0, 0});
    u.trace["PA0"].edges = {{static_cast<ns_t>(i) * 2, 1}, {static_cast<ns_t>(i) * 2 + 1, 0}};
    c.post(u);
    c.post_message("{\"t\":\"error\",\"text\":\"x\"}");
  }
  EXPECT_EQ(c.merged(), 99999u);
  EXPECT_EQ(c.dropped(), 100000u - serve::Client::kMaxMessages);
  std::string out;
  size_t messages = 0;
  while (c.next(&out, std::chrono::milliseconds(0)) && out.find("\"update\"") == std::string::npos)
    ++messages;
  EXPECT_EQ(messages, serve::Client::kMaxMessages);
  const auto j = nlohmann::json::parse(out);
  EXPECT_EQ(j["vt"], 99999);
  EXPECT_EQ(j["pins"]["PA9"], 1);
  EXPECT_EQ(j["strip"].get<std::string>().substr(0, 6), "9f0000");
  EXPECT_EQ(j["trace"]["PA0"]["e"].size(), serve::kMaxTraceEdgesHeld);
  EXPECT_EQ(j["trace"]["PA0"]["busy"][2], 200000 - serve::kMaxTraceEdgesHeld);
  EXPECT_FALSE(c.next(&out, std::chrono::milliseconds(0)));
}

// The page learns each part with the settings of its kind, and none of another kind's.
TEST(ServeMessages, HelloDescribesEachPartWithItsKindsSettings) {
  VBOARD_IMAGE(img, "front_lamp.elf");
  std::string err;
  const auto board = parse_board(R"(board: b
version: 1
parts:
  - {name: strip, kind: ws2815-strip, role: strip data, pin: PA7, driver: TIM17, leds: 8, latch: 280us,
     datasheet: {t0h: 220ns..380ns, t1h: 580ns..1600ns, t0l: 580ns..1600ns, t1l: 220ns..420ns},
     real-parts: {zero-below: 500ns, one-above: 550ns, longest-low: 5us}}
  - {name: lamp, kind: output, pin: PA9, active: low}
  - {name: s, kind: switch, pin: PB5, color: green, pull: up, closed: high}
  - {name: rc, kind: pulse-input, pin: PA0, pull: down}
  - {kind: unused, pins: [PB8, PB10]}
)",
                                 "b.yaml", &err);
  ASSERT_TRUE(board) << err;
  LiveBoard live(*img, "front_lamp.elf", MachineOptions{}, *board, {});
  const auto hello = nlohmann::json::parse(serve::hello_json(live, "front_lamp.elf", serve::Update{}, {}));
  EXPECT_EQ(hello["parts"], nlohmann::json::parse(R"([
    {"kind": "strip", "name": "strip", "role": "strip data", "pins": ["PA7"], "leds": 8},
    {"kind": "output", "name": "lamp", "role": "lamp", "pins": ["PA9"], "active": 0},
    {"kind": "switch", "name": "s", "role": "s", "pins": ["PB5"], "color": "green", "closed": 1, "pull": "up"},
    {"kind": "pulse-input", "name": "rc", "role": "rc", "pins": ["PA0"]},
    {"kind": "unused", "name": "unused", "role": "", "pins": ["PB8", "PB10"], "pull": ""}])"));
}

// Each op reads into its own kind of command, carrying what the message gave.
TEST(ServeMessages, EachOpIsItsKindOfCommand) {
  const std::pair<const char*, size_t> ops[] = {
      {R"("op":"set","pin":"PB5","level":"0")", 0},
      {R"("op":"pace","rate":2)", 1},
      {R"("op":"pause")", 2},
      {R"("op":"run")", 3},
      {R"("op":"step","for":"5ms")", 4},
      {R"("op":"reset")", 5},
      {R"("op":"save","name":"x")", 6},
      {R"("op":"trace","pins":["PA0"])", 7},
      {R"("op":"ping")", 8},
      {R"("op":"regs","periph":"TIM17","reg":"CR1")", 9},
  };
  for (const auto& [op, kind] : ops) {
    int64_t seq = -1;
    const auto p = serve::parse_message(std::string(R"({"seq":1,)") + op + "}", &seq);
    ASSERT_TRUE(p.command) << op << ": " << p.error;
    EXPECT_EQ(p.command->index(), kind) << op;
  }
  int64_t seq = -1;
  const auto step = serve::parse_message(R"({"seq":1,"op":"step","for":"5ms"})", &seq);
  EXPECT_EQ(std::get<serve::command::Step>(*step.command).span, 5 * kMs);
  const auto pace = serve::parse_message(R"({"seq":2,"op":"pace","rate":"fast"})", &seq);
  EXPECT_TRUE(std::get<serve::command::Pace>(*pace.command).fast);
  const auto trace = serve::parse_message(R"({"seq":3,"op":"trace","pins":["PA0","PB5"]})", &seq);
  EXPECT_EQ(std::get<serve::command::Trace>(*trace.command).pins, (std::vector<std::string>{"PA0", "PB5"}));
  const auto close = serve::parse_message(R"({"seq":4,"op":"regs"})", &seq);
  EXPECT_EQ(std::get<serve::command::Regs>(*close.command).periph, "");
}

TEST(ServeMessages, ParsesRequestsAndRefusesTheRestInOneLine) {
  int64_t seq = -1;
  auto p =
      serve::parse_message(R"({"seq":1,"op":"pulse","pin":"PA0","width":"1500us","period":"20ms"})", &seq);
  ASSERT_TRUE(p.command) << p.error;
  const auto* apply = std::get_if<serve::command::Apply>(&*p.command);
  ASSERT_NE(apply, nullptr);
  EXPECT_EQ(apply->input.width, 1500 * kUs);
  EXPECT_EQ(seq, 1);
  const std::pair<const char*, const char*> refused[] = {
      {R"({"seq":1,"op":"ping"})", "out of order: seq 1 after 1"},
      {R"({"seq":2,"op":"pulse","pin":"PA0","width":"30ms"})",
       "width: 30 ms must be below the period, 20 ms"},
      {R"({"seq":2,"op":"set","pin":"PD3","level":"0"})", "pin: 'PD3' is not a pin of the 48-pin package"},
      {R"({"seq":2,"op":"set","pin":"PB5","level":"2"})", "level: '2' is not 0, 1 or z"},
      {R"({"seq":2,"op":"set","pin":"PB5","level":"z","bounce":"5x200us"})", "bounce: a released line"},
      {R"({"seq":2,"op":"pace","rate":1e9})", "rate: must be"},
      {R"({"seq":2,"op":"fly"})", "op: 'fly' is not a request"},
      {R"({"seq":2,"op":"step","for":"0"})", "for: a step must be longer than 0"},
      {R"({"seq":2,"op":"ping","extra":1})", "unknown key 'extra'"},
      {R"({"seq":2,"op":"regs","periph":"TIM18"})", "regs: no peripheral 'TIM18' (peripherals: "},
      {R"({"seq":2,"op":"regs","periph":"TIM17","reg":"CR3"})",
       "regs: TIM17 has no register 'CR3' (registers: "},
      {R"({"seq":2,"op":"regs","reg":"CR1"})", "reg: give the peripheral too"},
      {R"([1,2])", "a message is a JSON object"},
      {R"({"seq":2,"op":)", "not a JSON message"},
  };
  for (const auto& [text, why] : refused) {
    const auto r = serve::parse_message(text, &seq);
    EXPECT_FALSE(r.command) << text;
    EXPECT_NE(r.error.find(why), std::string::npos) << text << " -> " << r.error;
    EXPECT_EQ(r.error.find('\n'), std::string::npos);
  }
  EXPECT_EQ(seq, 1);
  const std::string big(serve::kMaxMessageBytes + 1, ' ');
  EXPECT_NE(serve::parse_message(big, &seq).error.find("refused: the limit is 4096"), std::string::npos);
}

TEST(ServeSecurity, HostAndOriginMustBeTheServersOwn) {
  const auto hosts = serve::allowed_hosts("127.0.0.1", 8765);
  EXPECT_TRUE(serve::host_allowed("127.0.0.1:8765", hosts));
  EXPECT_TRUE(serve::host_allowed("localhost:8765", hosts));
  EXPECT_FALSE(serve::host_allowed("evil.example:8765", hosts));
  EXPECT_FALSE(serve::host_allowed("127.0.0.1:8766", hosts));
  EXPECT_FALSE(serve::host_allowed(nullptr, hosts));
  EXPECT_TRUE(serve::origin_allowed("http://127.0.0.1:8765", hosts));
  EXPECT_TRUE(serve::origin_allowed("http://localhost:8765", hosts));
  EXPECT_FALSE(serve::origin_allowed("http://evil.example", hosts));
  EXPECT_FALSE(serve::origin_allowed("https://127.0.0.1:8765", hosts));
  EXPECT_FALSE(serve::origin_allowed("null", hosts));
  EXPECT_FALSE(serve::origin_allowed(nullptr, hosts));
  const auto lan = serve::allowed_hosts("192.168.1.5", 80);
  EXPECT_TRUE(serve::host_allowed("192.168.1.5:80", lan));
}

TEST(ServeSecurity, OnlyThePagesOwnFiles) {
  ASSERT_NE(serve::find_asset("/"), nullptr);
  EXPECT_STREQ(serve::find_asset("/")->path, "/index.html");
  EXPECT_NE(serve::find_asset("/app.js"), nullptr);
  EXPECT_NE(serve::find_asset("/style.css"), nullptr);
  for (const char* p : {"/../index.html", "/index.html/..", "//etc/passwd", "/../../etc/passwd", "/app.js%00",
                        "/APP.JS", "index.html", ""})
    EXPECT_EQ(serve::find_asset(p), nullptr) << p;
}

}  // namespace
}  // namespace vboard::test
