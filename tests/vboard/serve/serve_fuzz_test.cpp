// Fixed-seed fuzz runs of the live board's message handler (`vboard --serve`):
// mutations of valid requests, random JSON and random bytes go through
// parse_message, and what it accepts goes on to a running engine on the real
// image, as a page's messages would. Nothing may crash, hang or trip
// AddressSanitizer/UndefinedBehaviorSanitizer (the host-sanitize preset runs
// this file under both); every refusal is one line, and the engine still
// answers afterwards.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cli/scenario.h"
#include "support/firmware.h"
#include "serve/engine.h"
#include "serve/messages.h"
#include "support/splitmix.h"
#include "world/values.h"

namespace vboard::test {
namespace {

const char* const kValid[] = {
    R"({"seq":1,"op":"set","pin":"PB5","level":"0","bounce":"5x200us"})",
    R"({"seq":1,"op":"set","pin":"PB5","level":"z"})",
    R"({"seq":1,"op":"set","pin":"PA1","level":"1"})",
    R"({"seq":1,"op":"pulse","pin":"PA0","width":"1500us","period":"20ms"})",
    R"({"seq":1,"op":"pulse","pin":"PA0","width":"1200us"})",
    R"({"seq":1,"op":"pulse-stop","pin":"PA0"})",
    R"({"seq":1,"op":"mark","pin":"PA9"})",
    R"({"seq":1,"op":"mark","strip":true})",
    R"({"seq":1,"op":"pace","rate":2})",
    R"({"seq":1,"op":"pace","rate":"fast"})",
    R"({"seq":1,"op":"pause"})",
    R"({"seq":1,"op":"run"})",
    R"({"seq":1,"op":"step","for":"3ms"})",
    R"({"seq":1,"op":"reset"})",
    R"({"seq":1,"op":"save","name":"fuzz"})",
    R"({"seq":1,"op":"trace","pins":["PA0","PA9","PB5"]})",
    R"({"seq":1,"op":"ping"})",
};

// Replacement values of every JSON kind, valid and not.
const char* const kValues[] = {
    "0",
    "-1",
    "1e308",
    "-0",
    "18446744073709551616",
    "9223372036854775807",
    "1.5",
    "true",
    "null",
    "\"\"",
    "\"z\"",
    "\"PA0\"",
    "\"PZ9\"",
    "\"1500us\"",
    "\"0ns\"",
    "\"3601s\"",
    "\"1x0ns\"",
    "\"fast\"",
    "[]",
    "{}",
    "[[[[[[[[[[]]]]]]]]]]",
    "\"\\u0000\"",
    "\"\\ud800\"",
    "\"\xff\xfe\"",
    "\"a\\nb\"",
    "{\"op\":\"ping\"}",
};

std::string mutate(Rng& rng, std::string s) {
  static const char kChars[] = "{}[]\":,0123456789.-+eEtrufalsn \\\x01\xff\x80zPAB";
  const size_t edits = 1 + rng.below(4);
  for (size_t e = 0; e < edits; ++e) {
    const size_t at = s.empty() ? 0 : rng.below(s.size() + 1);
    switch (rng.below(6)) {
      case 0:
        if (at < s.size()) s.erase(at, 1 + rng.below(4));
        break;
      case 1:
        if (at < s.size()) s.insert(at, s.substr(at, 1 + rng.below(16)));
        break;
      case 2:
        if (at < s.size()) s[at] = kChars[rng.below(sizeof kChars - 1)];
        break;
      case 3: {
        // A value swapped for one of another kind.
        const size_t colon = s.find(':', at);
        if (colon == std::string::npos) break;
        size_t end = s.find_first_of(",}", colon + 1);
        if (end == std::string::npos) end = s.size();
        s.replace(colon + 1, end - colon - 1, kValues[rng.below(std::size(kValues))]);
        break;
      }
      case 4:
        s.insert(at, std::string(1 + rng.below(64), kChars[rng.below(sizeof kChars - 1)]));
        break;
      default:
        s.insert(s.begin() + static_cast<std::ptrdiff_t>(at), kChars[rng.below(sizeof kChars - 1)]);
    }
  }
  return s;
}

// A message with its seq set to `seq` (when it still has one to set).
std::string with_seq(std::string s, int64_t seq) {
  const auto at = s.find("\"seq\":1");
  if (at != std::string::npos) s.replace(at, 7, "\"seq\":" + std::to_string(seq));
  return s;
}

TEST(ServeFuzz, MessageHandlerRefusesInOneLineAndNeverCrashes) {
  Rng rng{0x5e57e};
  int64_t last = -1;
  size_t accepted = 0, refused = 0;
  for (int i = 0; i < 40000; ++i) {
    // A mutated seq may have been taken (up to INT64_MAX): everything after it
    // is out of order on that connection, so the run goes on as a new page.
    if (last > (int64_t{1} << 40)) last = -1;
    std::string text;
    switch (rng.below(5)) {
      case 0:  // random bytes
        for (size_t n = rng.below(200); n; --n) text += static_cast<char>(rng.next());
        break;
      case 1:  // a valid message, perhaps out of order
        text = with_seq(kValid[rng.below(std::size(kValid))], last + 1 - static_cast<int64_t>(rng.below(3)));
        break;
      default:
        text = mutate(rng, with_seq(kValid[rng.below(std::size(kValid))], last + 1));
    }
    const int64_t before = last;
    const serve::Parsed p = serve::parse_message(text, &last);
    if (p.command) {
      ++accepted;
      EXPECT_GT(last, before);
      EXPECT_TRUE(p.error.empty());
      if (const auto* c = std::get_if<serve::command::Pace>(&*p.command); c && !c->fast) {
        EXPECT_GE(c->rate, serve::kMinRate);
        EXPECT_LE(c->rate, serve::kMaxRate);
      }
      if (const auto* c = std::get_if<serve::command::Apply>(&*p.command);
          c && c->input.kind == serve::Input::Kind::pulse) {
        EXPECT_GT(c->input.width, 0u);
        EXPECT_LT(c->input.width, c->input.period);
      }
    } else {
      ++refused;
      EXPECT_EQ(last, before);
      EXPECT_FALSE(p.error.empty()) << text;
      EXPECT_EQ(p.error.find('\n'), std::string::npos) << p.error;
      // The page shows the error: it goes out as one valid JSON message.
      EXPECT_TRUE(nlohmann::json::accept(serve::error_json(p.error)));
    }
  }
  EXPECT_GT(accepted, 1000u);
  EXPECT_GT(refused, 10000u);
}

TEST(ServeFuzz, EngineTakesWhateverTheHandlerAccepts) {
  for (const char* name : {"front_lamp.elf", "rear_lamp.elf"}) {
    VBOARD_IMAGE(img, name);
    serve::Engine engine(*img, name, MachineOptions{}, default_board(*img), {});
    auto page = std::make_shared<serve::Client>();
    auto slow = std::make_shared<serve::Client>();  // a tab that never reads
    engine.attach(page);
    engine.attach(slow);
    engine.start();
    Rng rng{std::string(name) == "front_lamp.elf" ? 1u : 2u};
    int64_t last = -1;
    size_t taken = 0;
    std::string out;
    for (int i = 0; i < 3000 && taken < 300; ++i) {
      if (last > (int64_t{1} << 40)) last = -1;
      const std::string text = rng.below(3)
                                   ? mutate(rng, with_seq(kValid[rng.below(std::size(kValid))], last + 1))
                                   : with_seq(kValid[rng.below(std::size(kValid))], last + 1);
      serve::Parsed p = serve::parse_message(text, &last);
      if (!p.command) continue;
      // Long steps and slow paces would only make the test wait.
      if (auto* step = std::get_if<serve::command::Step>(&*p.command))
        step->span = std::min<ns_t>(step->span, 20 * kMs);
      engine.submit(page, *p.command);
      ++taken;
      while (page->next(&out, std::chrono::milliseconds(0))) EXPECT_TRUE(nlohmann::json::accept(out)) << out;
      if (i % 7 == 0) engine.detach(slow), engine.attach(slow);
    }
    EXPECT_GT(taken, 100u);
    // Still answering: a report and a scenario after all that.
    EXPECT_NE(engine.report_json().find("\"virtual_ns\""), std::string::npos);
    engine.submit(page, serve::command::Save{});
    bool saved = false;
    for (int i = 0; i < 200 && !saved; ++i)
      while (page->next(&out, std::chrono::milliseconds(10)))
        saved = saved || out.find("\"t\":\"scenario\"") != std::string::npos ||
                out.find("a scenario holds at most") != std::string::npos;
    EXPECT_TRUE(saved);
    engine.stop();
    EXPECT_LE(slow->dropped(), 1000000u);
  }
}

// Strips that latch on short gaps: frames of a few LEDs, of none, of bits
// that make no whole LED.
std::string rear_with_latch(const char* latch, const char* longest_low) {
  return std::string(R"(board: rear_lamp
version: 1
parts:
  - {name: strip, kind: ws2815-strip, role: strip data, pin: PA7, driver: TIM17, leds: 60, latch: )") +
         latch + R"(,
     datasheet: {t0h: 220ns..380ns, t1h: 580ns..1600ns, t0l: 580ns..1600ns, t1l: 220ns..420ns},
     real-parts: {zero-below: 500ns, one-above: 550ns, longest-low: )" +
         longest_low + R"(}}
  - {name: brake, kind: switch, pin: PB5, color: red, pull: up, closed: low}
  - {name: turn, kind: switch, pin: PB6, color: green, pull: up, closed: low}
)";
}

// Random sessions of inputs, marks, runs and resets on boards with and without
// strips, each saved: the save never fails, never crashes, and is always a
// file that --scenario accepts.
TEST(ServeFuzz, EverySavedSessionIsAScenarioFile) {
  struct Case {
    const char* image;
    std::string board;  // board file text; "" for the image's own board
  };
  const Case cases[] = {
      {kRear, ""},
      {kFront, ""},
      {kRear, rear_with_latch("2ns", "1ns")},
      {kRear, rear_with_latch("700ns", "600ns")},
      {"test_strip8.elf", rear_with_latch("280us", "5us")},
  };
  const char* const pins[] = {"PA0", "PA1", "PB5", "PB6", "PA9", "PB8"};
#if defined(__SANITIZE_ADDRESS__)
  constexpr int kSessions = 40;
#else
  constexpr int kSessions = 80;
#endif
  Rng rng{0x5a7e};
  for (int n = 0; n < kSessions; ++n) {
    const Case& c = cases[rng.below(std::size(cases))];
    VBOARD_IMAGE(img, c.image);
    std::string err;
    const auto board = c.board.empty() ? std::optional<BoardDescription>(default_board(*img))
                                       : parse_board(c.board, "fuzz.yaml", &err);
    ASSERT_TRUE(board) << err;
    serve::LiveBoard live(*img, c.image, MachineOptions{}, *board, {});
    for (size_t i = rng.below(40); i > 0; --i) {
      serve::Input in;
      in.kind = static_cast<serve::Input::Kind>(rng.below(5));
      in.pin = pins[rng.below(std::size(pins))];
      in.level = static_cast<int>(rng.below(3)) - 1;
      if (in.level >= 0 && rng.one_in(4))
        in.bounces = 1 + static_cast<unsigned>(rng.below(5)), in.bounce_ns = 1 + rng.below(300000);
      in.period = 1 + rng.below(30 * kMs);
      in.width = rng.below(in.period);
      if (in.width == 0) in.width = 1, in.period = std::max<ns_t>(in.period, 2);
      live.apply(in);
      if (rng.one_in(3)) live.run_until(live.now() + rng.below(3 * kMs));
      if (rng.one_in(60)) live.reset();
    }
    const std::string yaml = live.scenario_text(rng.one_in(2) ? "" : "fuzz \xff \" \\ name");
    EXPECT_LE(yaml.size(), limits::kMaxScenarioBytes);
    EXPECT_TRUE(scenario::parse(yaml, "saved.yaml", &err)) << err << "\n" << yaml;
  }
}

}  // namespace
}  // namespace vboard::test
