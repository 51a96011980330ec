// The rear lamp image on the virtual board: strip colour from PB4/PB5/PB6,
// WS2815 bit timing on PA7, start-up order, configuration and stops.
#include <algorithm>
#include <array>
#include <fstream>

#include "world/described_board.h"
#include "world/strip_ws2815.h"
#include "outputs/report.h"

#include "support/fake_board.h"
#include "support/firmware.h"
#include "cli/cli.h"
#include "world/strip.h"

namespace vboard::test {
namespace {

using Rgb = LedColors::Rgb;

// Last complete frame latched at or before t (nullptr if none).
const StripFrame* frame_at(const RunResult& r, ns_t t) {
  const StripFrame* out = nullptr;
  for (const StripFrame& f : strip_record(r)->frames)
    if (f.t <= t) out = &f;
  return out;
}

void expect_solid(const StripFrame* f, Rgb c, const std::string& what) {
  ASSERT_NE(f, nullptr) << what << ": no frame";
  ASSERT_EQ(f->colors.size(), 60u) << what;
  for (size_t i = 0; i < f->colors.size(); ++i)
    ASSERT_EQ(f->colors[i], c) << what << ": LED " << i << " is (" << int{f->colors[i][0]} << ","
                               << int{f->colors[i][1]} << "," << int{f->colors[i][2]} << ")";
}

LevelSpec line(const char* pin, bool low, ns_t at) { return {pin, low ? 0 : -1, at, 0, 0}; }

TEST(RearLamp, StripStaysDarkWithNothingConnected) {
  VBOARD_IMAGE(img, kRear);
  MachineOptions o;
  o.run_for = 40 * kMs;
  auto f = run_fw(*img, o);
  ASSERT_TRUE(f.r.ok()) << f.r.unmodelled.size() << " unmodelled, " << f.r.faults.size() << " faults";
  EXPECT_FALSE(f.r.halt);
  ASSERT_GE(strip_record(f.r)->frames.size(), 5u);
  expect_solid(frame_at(f.r, 40 * kMs), {0, 0, 0}, "nothing connected");
}

// The DMA starts before Clear has filled the frame: the first slot goes out
// empty, so the very first frame is one bit short (and dark), every later one whole.
TEST(RearLamp, TheFirstFrameIsOneBitShortAndEveryLaterOneWhole) {
  VBOARD_IMAGE(img, kRear);
  MachineOptions o;
  o.run_for = 40 * kMs;
  o.levels.push_back(line("PB5", true, 10 * kMs));
  auto f = run_fw(*img, o);
  ASSERT_TRUE(f.r.ok());
  const auto& frames = strip_record(f.r)->frames;
  ASSERT_GE(frames.size(), 5u);
  EXPECT_EQ(frames[0].bits, 60u * 24u - 1u) << "the first frame";
  for (size_t i = 1; i < frames.size(); ++i) EXPECT_EQ(frames[i].bits, 60u * 24u) << "frame " << i;
  expect_solid(frame_at(f.r, 40 * kMs), {255, 0, 0}, "red after the first frames");
}

TEST(RearLamp, AllEightCombinationsPaintAllSixtyLeds) {
  VBOARD_IMAGE(img, kRear);
  // low = channel on: PB5 red, PB6 green, PB4 blue.
  struct Combo {
    bool pb4, pb5, pb6;
    Rgb rgb;
    const char* name;
  };
  const Combo combos[] = {
      {false, false, false, {0, 0, 0}, "dark"},     {false, true, false, {255, 0, 0}, "red"},
      {false, false, true, {0, 255, 0}, "green"},   {true, false, false, {0, 0, 255}, "blue"},
      {false, true, true, {255, 255, 0}, "yellow"}, {true, true, false, {255, 0, 255}, "magenta"},
      {true, false, true, {0, 255, 255}, "cyan"},   {true, true, true, {255, 255, 255}, "white"}};
  MachineOptions o;
  constexpr ns_t kStep = 15 * kMs, kFirst = 20 * kMs;
  o.run_for = kFirst + 8 * kStep;
  for (size_t i = 0; i < 8; ++i) {
    ns_t t = kFirst + i * kStep;
    o.levels.push_back(line("PB4", combos[i].pb4, t));
    o.levels.push_back(line("PB5", combos[i].pb5, t));
    o.levels.push_back(line("PB6", combos[i].pb6, t));
  }
  auto f = run_fw(*img, o);
  ASSERT_TRUE(f.r.ok());
  expect_no_diagnostics(f.r);
  for (size_t i = 0; i < 8; ++i)
    expect_solid(frame_at(f.r, kFirst + (i + 1) * kStep - 1), combos[i].rgb, combos[i].name);
}

TEST(RearLamp, AllLinesLowFromTheStartPaintWhite) {
  VBOARD_IMAGE(img, kRear);
  MachineOptions o;
  o.run_for = 40 * kMs;
  o.levels = {line("PB4", true, 0), line("PB5", true, 0), line("PB6", true, 0)};
  auto f = run_fw(*img, o);
  ASSERT_TRUE(f.r.ok());
  expect_solid(frame_at(f.r, 40 * kMs), {255, 255, 255}, "all low from reset");
}

// The rear image built with flash wait states raised only after the switch to
// the PLL and without the AHB /2 step (tests/image/clock_mutant.cmake) paints
// the strip just as well; only the rule findings tell it apart.
TEST(RearLamp, ClockSetUpThatBreaksTheFlashAndAhbRulesIsCaught) {
  VBOARD_IMAGE(img, "rear_lamp_clock_mutant.elf");
  MachineOptions o;
  o.run_for = 30 * kMs;
  auto f = run_fw(*img, o);
  ASSERT_TRUE(f.r.ok());
  EXPECT_FALSE(f.r.halt);
  std::map<std::string, const Diagnostic*> by_kind;
  for (const Diagnostic& d : f.r.diagnostics) by_kind.emplace(d.kind, &d);
  ASSERT_TRUE(by_kind.count("flash_latency")) << "wait states raised after the clock";
  ASSERT_TRUE(by_kind.count("ahb_step")) << "no AHB /2 step";
  EXPECT_EQ(by_kind["flash_latency"]->where, "FLASH");
  EXPECT_NE(by_kind["flash_latency"]->message.find("HCLK 150 MHz"), std::string::npos)
      << by_kind["flash_latency"]->message;
  EXPECT_EQ(by_kind["ahb_step"]->where, "RCC");
  EXPECT_LT(by_kind["ahb_step"]->first, kMs);
  EXPECT_EQ(run_exit_status(f.r, {}), exit_code::kDiagnostics);
  EXPECT_EQ(run_exit_status(f.r, {"flash_latency"}), exit_code::kDiagnostics);
  EXPECT_EQ(run_exit_status(f.r, {"flash_latency", "ahb_step"}), exit_code::kOk);
}

TEST(RearLamp, ABouncingLineEndsOnTheRightColour) {
  VBOARD_IMAGE(img, kRear);
  MachineOptions o;
  o.run_for = 60 * kMs;
  o.levels = {{"PB5", 0, 20 * kMs, 7, 150 * kUs}};
  auto f = run_fw(*img, o);
  ASSERT_TRUE(f.r.ok());
  expect_solid(frame_at(f.r, 60 * kMs), {255, 0, 0}, "after the bounce");
}

TEST(RearLamp, RunsRepeatToTheNanosecond) {
  VBOARD_IMAGE(img, kRear);
  MachineOptions o;
  o.run_for = 30 * kMs;
  o.levels = {{"PB6", 0, 7 * kMs, 4, 90 * kUs}, line("PB4", true, 15 * kMs)};
  auto a = run_fw(*img, o);
  auto b = run_fw(*img, o);
  EXPECT_EQ(a.r.instructions, b.r.instructions);
  EXPECT_EQ(a.r.virtual_ns, b.r.virtual_ns);
  ASSERT_EQ(strip_record(a.r)->frames.size(), strip_record(b.r)->frames.size());
  for (size_t i = 0; i < strip_record(a.r)->frames.size(); ++i) {
    EXPECT_EQ(strip_record(a.r)->frames[i].t, strip_record(b.r)->frames[i].t);
    EXPECT_EQ(strip_record(a.r)->frames[i].colors, strip_record(b.r)->frames[i].colors);
  }
  for (const auto& [pin, hist] : a.r.pins) {
    ASSERT_EQ(hist.size(), b.r.pins[pin].size()) << pin;
    for (size_t i = 0; i < hist.size(); ++i) EXPECT_EQ(hist[i].t, b.r.pins[pin][i].t) << pin;
  }
}

TEST(RearLamp, BitTimingFollowsTheSystemClock) {
  VBOARD_IMAGE(img, kRear);
  MachineOptions o;
  o.run_for = 40 * kMs;
  o.levels = {line("PB5", true, 5 * kMs)};  // some 1 bits and some 0 bits
  auto f = run_fw(*img, o);
  const StripReport& s = *strip_record(f.r);
  ASSERT_GE(s.frames.size(), 10u);
  // 187 ticks per bit at 150 MHz: 1 = 118 high + 69 low, 0 = 43 high + 144 low.
  EXPECT_NEAR(static_cast<double>(s.t1h_min), 786.7, 2);
  EXPECT_NEAR(static_cast<double>(s.t1h_max), 786.7, 2);
  EXPECT_NEAR(static_cast<double>(s.t0h_min), 286.7, 2);
  EXPECT_NEAR(static_cast<double>(s.t0h_max), 286.7, 2);
  EXPECT_NEAR(static_cast<double>(s.t1l_min), 460, 2);
  EXPECT_NEAR(static_cast<double>(s.t0l_max), 960, 2);
  // Latch gap of 240 all-low slots (299.2 us) after the low phase of the last
  // bit (960 ns for a 0); 1680 slots per pass.
  EXPECT_NEAR(static_cast<double>(s.latch_min), 299200 + 960, 50);
  for (size_t i = s.frames.size() - 5; i + 1 < s.frames.size(); ++i) {
    EXPECT_EQ(s.frames[i].bits, 1440u);
    EXPECT_NEAR(static_cast<double>(s.frames[i + 1].t - s.frames[i].t), 2094400, 20);
  }
  EXPECT_EQ(reg(f.r, "TIM17", "ARR"), 186u);
  EXPECT_EQ(reg(f.r, "TIM17", "PSC"), 0u);
  // The channel's remaining count is where the circular pass stands: the items
  // moved so far are whole passes of 1680 plus this pass's share, and every
  // whole pass is one latched frame.
  auto& board = static_cast<world::DescribedBoard&>(f.m->board());
  const uint64_t moved = board.chip().dma1().transfers(0);
  const uint32_t left = reg(f.r, "DMA1", "CNDTR1");
  ASSERT_GE(left, 1u);
  EXPECT_EQ(moved % 1680u, (1680u - left) % 1680u);
  EXPECT_NEAR(static_cast<double>(moved / 1680u), static_cast<double>(s.frames.size()), 1.0);
}

TEST(RearLamp, OnlyTheViolationsTheBitTimingImplies) {
  VBOARD_IMAGE(img, kRear);
  MachineOptions o;
  o.run_for = 30 * kMs;
  o.levels = {line("PB6", true, 3 * kMs)};
  auto f = run_fw(*img, o);
  const StripReport& s = *strip_record(f.r);
  ASSERT_FALSE(s.frames.empty());
  size_t t1l = 0;
  for (const StripViolation& v : s.violations) {
    // A 1 bit's low phase is 69 ticks = 460 ns, beyond the datasheet's 420 ns.
    if (v.what.rfind("T1L", 0) == 0 && v.datasheet) {
      ++t1l;
      continue;
    }
    // The first pass goes out while Clear() is still filling the frame.
    if (v.t <= s.frames.front().t) continue;
    ADD_FAILURE() << "unexpected violation at " << format_ns(v.t) << ": " << v.what;
  }
  EXPECT_GT(t1l, 0u) << "the 460 ns T1L should be named";
}

TEST(RearLamp, ConfigurationRegistersInTheFinalDump) {
  VBOARD_IMAGE(img, kRear);
  MachineOptions o;
  o.run_for = 30 * kMs;
  auto f = run_fw(*img, o);
  const RunResult& r = f.r;
  expect_clock_tree(r);
  uint32_t ma = reg(r, "GPIOA", "MODER"), pa = reg(r, "GPIOA", "PUPDR");
  EXPECT_EQ(field(ma, 0, 4), 0u) << "PA0, PA1 inputs";
  EXPECT_EQ(field(pa, 0, 4), 5u) << "PA0, PA1 pull-up";
  EXPECT_EQ(field(ma, 14, 2), 2u) << "PA7 alternate function";
  EXPECT_EQ(field(reg(r, "GPIOA", "AFRL"), 28, 4), 1u) << "PA7 AF1 TIM17_CH1";
  EXPECT_EQ(field(reg(r, "GPIOA", "OSPEEDR"), 14, 2), 3u) << "PA7 very high speed";
  uint32_t mb = reg(r, "GPIOB", "MODER"), pb = reg(r, "GPIOB", "PUPDR");
  EXPECT_EQ(field(mb, 6, 8), 0u) << "PB3..PB6 inputs";
  EXPECT_EQ(field(pb, 6, 8), 0x55u) << "PB3..PB6 pull-up";
  EXPECT_EQ(field(mb, 16, 2), 2u) << "PB8 AF";
  EXPECT_EQ(field(pb, 16, 2), 2u) << "PB8 pull-down";
  EXPECT_EQ(field(reg(r, "GPIOB", "AFRH"), 0, 4), 2u) << "PB8 AF2";
  EXPECT_EQ(field(mb, 20, 4), 0xAu) << "PB10, PB11 AF";
  EXPECT_EQ(field(reg(r, "GPIOB", "AFRH"), 8, 8), 0x77u) << "PB10, PB11 AF7";
  const uint32_t lines = 0x7B;  // 0, 1, 3, 4, 5, 6
  EXPECT_EQ(reg(r, "EXTI", "IMR1") & 0xFFFF, lines);
  EXPECT_EQ(reg(r, "EXTI", "RTSR1") & 0xFFFF, lines);
  EXPECT_EQ(reg(r, "EXTI", "FTSR1") & 0xFFFF, lines);
  EXPECT_EQ(reg(r, "EXTI", "EMR1"), 0u) << "no line raises events";
  EXPECT_EQ(field(reg(r, "RCC", "ICSCR"), 24, 7), 64u) << "HSI trimmed to its default";
  EXPECT_EQ(reg(r, "SYSCFG", "EXTICR1") & 0xFFFF, 0x1000u) << "lines 0, 1 on A, 3 on B";
  EXPECT_EQ(reg(r, "SYSCFG", "EXTICR2") & 0xFFF, 0x111u) << "lines 4, 5, 6 on B";
  uint32_t ccr1 = reg(r, "DMA1", "CCR1");
  EXPECT_EQ(field(ccr1, 0, 1), 1u) << "EN";
  EXPECT_EQ(field(ccr1, 4, 1), 1u) << "DIR memory to peripheral";
  EXPECT_EQ(field(ccr1, 5, 1), 1u) << "CIRC";
  EXPECT_EQ(field(ccr1, 1, 3), 7u) << "TCIE, HTIE (the timer's half-transfer callback listens), TEIE";
  EXPECT_EQ(field(ccr1, 6, 2), 2u) << "MINC, no PINC";
  EXPECT_EQ(field(ccr1, 8, 4), 2u) << "PSIZE word, MSIZE byte";
  EXPECT_EQ(field(reg(r, "DMAMUX", "C0CR"), 0, 7), 84u) << "TIM17_CH1 request";
  EXPECT_EQ(field(reg(r, "DMAMUX", "C1CR"), 0, 7), 28u) << "USART3_RX request";
  uint32_t ccr2 = reg(r, "DMA1", "CCR2");
  EXPECT_EQ(field(ccr2, 0, 1), 0u) << "receive DMA never started";
  EXPECT_EQ(field(ccr2, 4, 4), 0xAu) << "DIR peripheral to memory, CIRC, MINC";
  EXPECT_EQ(reg(r, "USART3", "BRR"), 163u);
  EXPECT_EQ(field(reg(r, "USART3", "CR1"), 0, 1), 1u) << "UE";
  EXPECT_EQ(field(reg(r, "USART3", "CR1"), 2, 2), 3u) << "RE and TE";
  EXPECT_EQ(field(reg(r, "USART3", "CR1"), 29, 1), 0u) << "FIFO off";
  EXPECT_EQ(reg(r, "USART3", "CR1") & ((1u << 28) | (1u << 15) | (1u << 12) | (1u << 10)), 0u)
      << "M1, OVER8, M0, PCE: 8 data bits, 16x oversampling, no parity";
  EXPECT_EQ(reg(r, "USART3", "CR2"), 0u) << "1 stop bit, asynchronous";
  EXPECT_EQ(reg(r, "USART3", "CR3"), 0u) << "no flow control, three-sample bits, FIFO thresholds 1/8";
  uint32_t t17 = reg(r, "TIM17", "CR1");
  EXPECT_EQ(field(t17, 0, 1), 1u) << "TIM17 running";
  EXPECT_EQ(field(t17, 7, 1), 0u) << "TIM17 ARPE off after the strip driver";
  EXPECT_EQ(field(reg(r, "TIM17", "CCMR1"), 4, 3), 6u) << "PWM mode 1";
  EXPECT_EQ(field(reg(r, "TIM17", "CCER"), 0, 1), 1u) << "CC1E";
  EXPECT_EQ(reg(r, "TIM17", "BDTR"), 0xA000u) << "MOE and break polarity high; break, dead time, lock off";
  EXPECT_EQ(field(reg(r, "TIM17", "DIER"), 9, 1), 1u) << "CC1DE";
  EXPECT_EQ(reg(r, "TIM4", "PSC"), 5999u);
  EXPECT_EQ(reg(r, "TIM4", "ARR"), 999u);
  EXPECT_EQ(field(reg(r, "TIM4", "CCMR2"), 4, 3), 6u) << "TIM4 channel 3 (PB8) in PWM mode 1";
  EXPECT_EQ(reg(r, "TIM4", "CCR3"), 0u) << "TIM4 channel 3 at 0 %";
  EXPECT_EQ(reg(r, "TIM7", "PSC"), 149u);
  EXPECT_EQ(reg(r, "TIM7", "ARR"), 65535u) << "the time base wraps every 65.536 ms, as on the front board";
  EXPECT_EQ(field(reg(r, "TIM7", "CR1"), 7, 1), 1u) << "TIM7 ARPE";
  for (const char* t : {"TIM1", "TIM4", "TIM7", "TIM8"}) EXPECT_EQ(field(reg(r, t, "CR1"), 0, 1), 0u) << t;
  // TIM1 and TIM4 buffer their reload (ARPE), TIM8 does not.
  const std::pair<const char*, uint32_t> kArpe[] = {{"TIM1", 1u}, {"TIM4", 1u}, {"TIM8", 0u}};
  for (const auto& [t, arpe] : kArpe) EXPECT_EQ(field(reg(r, t, "CR1"), 7, 1), arpe) << t << " ARPE";
  for (const char* t : {"TIM1", "TIM8"}) {
    EXPECT_EQ(reg(r, t, "ARR"), 65535u) << t << ": the full 16-bit period";
    EXPECT_EQ(reg(r, t, "PSC"), 0u) << t << ": counting the 150 MHz timer clock";
    EXPECT_EQ(reg(r, t, "RCR"), 0u) << t << ": an update on every overflow";
  }
  for (unsigned irq : {6u, 7u, 9u, 10u, 23u, 11u, 12u, 26u, 39u, 55u}) {
    EXPECT_TRUE(irq_enabled(r, irq)) << "IRQ " << irq;
    EXPECT_EQ(irq_priority(r, irq), 0u) << "IRQ " << irq;
  }
  EXPECT_EQ(field(reg(r, "SCB", "SHPR3"), 24, 8), 0xF0u) << "SysTick priority 15 on the rear board";
}

TEST(RearLamp, OneSecondTraceHoldsEveryEdgeAndEveryFrame) {
  VBOARD_IMAGE(img, kRear);
  MachineOptions o;
  o.run_for = 1 * kSec;
  for (int k = 1; k < 20; ++k)  // a colour change every 50 ms, most of them inside a frame
    o.levels.push_back({k % 2 ? "PB5" : "PB6", (k / 2) % 2 ? -1 : 0, static_cast<ns_t>(k) * 50 * kMs, 0, 0});
  Machine m(*img, o, board_factory(default_board(*img)));
  const std::string path = ::testing::TempDir() + "/rear_1s.vcd";
  std::string err;
  VcdWriter vcd;
  ASSERT_TRUE(vcd.open(path, m.board(), {"PA7", "PB5", "PB6"}, 0, &err, 1)) << err;  // 1 ns: every edge exact
  m.board().watch_pins(&vcd);
  const RunResult r = m.run();
  m.board().watch_pins(nullptr);
  ASSERT_TRUE(vcd.finish(r.virtual_ns, &err)) << err;
  ASSERT_TRUE(r.ok());
  ASSERT_TRUE(strip_record(r));
  ASSERT_EQ(strip_record(r)->frames.size(), strip_record(r)->frames_total)
      << "no frame list cap in one second";
  ASSERT_GT(r.pins_total.at("PA7"), r.pins.at("PA7").size())
      << "the in-memory history is capped, the file is not";

  // Read PA7 back and decode it again.
  std::ifstream in(path);
  std::string line, pa7;
  NullBus bus;
  periph::Context ctx(bus);
  world::Ws2815Strip strip(ctx, 60);
  ns_t t = 0;
  uint64_t edges = 0;
  while (std::getline(in, line)) {
    if (line.rfind("$var wire 1 ", 0) == 0 && line.find(" PA7 $end") != std::string::npos)
      pa7 = line.substr(12, line.find(' ', 12) - 12);
    else if (!line.empty() && line[0] == '#')
      t = std::stoull(line.substr(1));
    else if (!pa7.empty() && line.size() == pa7.size() + 1 && line.compare(1, std::string::npos, pa7) == 0 &&
             t > 0) {
      strip.pin_changed(line[0] == '1', t);
      ++edges;
    }
  }
  ASSERT_FALSE(pa7.empty()) << "PA7 not declared";
  EXPECT_EQ(edges + 1, r.pins_total.at("PA7")) << "every change after the initial level";
  strip.advance(r.virtual_ns);
  const StripReport back = strip.report();
  ASSERT_EQ(back.frames.size(), strip_record(r)->frames.size());
  ASSERT_GT(back.frames.size(), 400u);
  for (size_t i = 0; i < back.frames.size(); ++i) {
    ASSERT_EQ(back.frames[i].t, strip_record(r)->frames[i].t) << "frame " << i;
    ASSERT_EQ(back.frames[i].bits, strip_record(r)->frames[i].bits) << "frame " << i;
    ASSERT_EQ(back.frames[i].colors, strip_record(r)->frames[i].colors) << "frame " << i;
  }
  EXPECT_EQ(back.violations_total, strip_record(r)->violations_total);
  std::remove(path.c_str());
}

TEST(RearLamp, WholePeriodWaveformRunsExactlyAsEventByEvent) {
  VBOARD_IMAGE(img, kRear);
  MachineOptions o;
  o.run_for = 120 * kMs;
  // Colour changes inside frames (torn frames) and a bouncing line.
  o.levels = {{"PB5", 0, 10'300 * kUs, 0, 0},
              {"PB6", 0, 23'457 * kUs, 5, 37 * kUs},
              {"PB4", 0, 61'777 * kUs, 0, 0},
              {"PB5", -1, 90'100 * kUs, 0, 0}};
  const auto play = [&](bool whole) {
    Machine m(*img, o, board_factory(default_board(*img)));
    static_cast<world::DescribedBoard&>(m.board()).chip().timer("TIM17").set_whole_periods(whole);
    return m.run();
  };
  const RunResult a = play(false), b = play(true);
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_EQ(a.instructions, b.instructions);
  EXPECT_EQ(a.virtual_ns, b.virtual_ns);
  EXPECT_EQ(a.idle_ns, b.idle_ns);
  EXPECT_EQ(a.pins, b.pins);
  EXPECT_EQ(a.pins_total, b.pins_total);
  EXPECT_EQ(a.registers, b.registers);
  ASSERT_TRUE(strip_record(a) && strip_record(b));
  ASSERT_EQ(strip_record(a)->frames.size(), strip_record(b)->frames.size());
  ASSERT_GT(strip_record(a)->frames.size(), 50u);
  for (size_t i = 0; i < strip_record(a)->frames.size(); ++i) {
    EXPECT_EQ(strip_record(a)->frames[i].t, strip_record(b)->frames[i].t);
    EXPECT_EQ(strip_record(a)->frames[i].colors, strip_record(b)->frames[i].colors);
  }
  EXPECT_EQ(strip_record(a)->violations_total, strip_record(b)->violations_total);
  for (const auto& [exc, st] : a.exceptions) EXPECT_EQ(st.count, b.exceptions.at(exc).count) << exc;
}

// Counts the changes of every pin: a watcher, so every edge is made one by one.
struct EdgeCount : PinWatcher {
  uint64_t n = 0;
  void pin_changed(unsigned, ns_t, int) override { ++n; }
  void settled() override {}
};

// With nothing watching PA7 past its kept history the strip is handed the
// timer's periods whole; with a watcher it sees each edge. The two runs end
// in the same report, the same JSON and the same state, model by model.
TEST(RearLamp, StripFedWholePeriodsEndsAsOneFedEdgeByEdge) {
  VBOARD_IMAGE(img, kRear);
  MachineOptions o;
  o.levels = {{"PB5", 0, 10'300 * kUs, 0, 0},
              {"PB6", 0, 23'457 * kUs, 5, 37 * kUs},
              {"PB4", 0, 61'777 * kUs, 0, 0},
              {"PB5", -1, 90'100 * kUs, 0, 0}};
  Machine watched(*img, o, board_factory(default_board(*img))),
      plain(*img, o, board_factory(default_board(*img)));
  EdgeCount count;
  watched.board().watch_pins(&count);
  watched.run_until(130 * kMs);
  plain.run_until(130 * kMs);
  watched.board().watch_pins(nullptr);
  RunResult a = watched.result(), b = plain.result();
  a.wall_s = b.wall_s = 0;
  EXPECT_GT(count.n, 150'000u);
  EXPECT_EQ(b.pins_total.at("PA7"), a.pins_total.at("PA7"));
  EXPECT_EQ(to_text(b, ReportInfo{}, false), to_text(a, ReportInfo{}, false));
  EXPECT_EQ(to_json(b, ReportInfo{}), to_json(a, ReportInfo{}));
  EXPECT_EQ(plain.compare_state(watched.save_state()), "");
}

}  // namespace
}  // namespace vboard::test
