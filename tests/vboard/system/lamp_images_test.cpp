// What both lamp images must do alike on the virtual board: the start-up order,
// the stop when the PLL never locks, the stop in Default_Handler for an enabled
// interrupt without a handler. Each case runs once per image; what only one
// board shows after such a stop is checked by the board's own hook.
#include <nlohmann/json.hpp>

#include "support/firmware.h"
#include "outputs/report.h"
#include "world/strip.h"

namespace vboard::test {
namespace {

struct Lamp {
  const char* name;
  const char* elf;
  ns_t startup_for;  // long enough for the start-up writes
  ns_t irq_at;       // when IRQ 25 (TIM1 update, no handler in either image) is injected
  void (*after_pll_stop)(const FwRun&);
  void (*after_default_handler)(const Image&, const FwRun&);
};

void PrintTo(const Lamp& l, std::ostream* os) { *os << l.name; }

void front_after_pll_stop(const FwRun& f) {
  EXPECT_EQ(field(reg(f.r, "GPIOA", "MODER"), 16, 4), 0xFu) << "light pins left in their reset state";
}
void rear_after_pll_stop(const FwRun& f) {
  EXPECT_EQ(reg(f.r, "GPIOB", "MODER"), 0xFFFFFEBFu) << "switch pins left in their reset state";
  EXPECT_TRUE(strip_record(f.r)->frames.empty());
  const auto pa7 = f.r.pins.find("PA7");
  EXPECT_TRUE(pa7 == f.r.pins.end() || pa7->second.size() <= 1) << "PA7 carries no signal";
}
void front_after_default_handler(const Image& img, const FwRun& f) {
  const Symbol* dh = img.find("Default_Handler");
  ASSERT_NE(dh, nullptr);
  EXPECT_EQ(f.m->peek32(0x08000000 + 4 * (16 + 25)) & ~1u, dh->addr) << "vector of IRQ 25";
  ReportInfo info;
  const std::string text = to_text(f.r, info, false);
  EXPECT_NE(text.find("stuck in Default_Handler (default_handler) from 120."), std::string::npos);
  EXPECT_NE(text.find("entered for TIM1_UP_TIM16 (IRQ 25)"), std::string::npos);
  EXPECT_FALSE(f.r.halt->primask);
}
void rear_after_default_handler(const Image&, const FwRun&) {}

class BothLamps : public ::testing::TestWithParam<Lamp> {};

TEST_P(BothLamps, StartUpWritesClocksBeforePinsBeforeTimers) {
  VBOARD_IMAGE(img, GetParam().elf);
  MachineOptions o;
  o.run_for = GetParam().startup_for;
  auto f = run_fw(*img, o);
  expect_clocks_then_pins_then_timers(*f.m);
  // The USB-C dead-battery pull-downs on PB4 and PB6 are off: those pins are plain GPIO.
  EXPECT_NE(reg(f.r, "PWR", "CR3") & (1u << 14), 0u) << "PWR_CR3 UCPD1_DBDIS";
}

// A PLL that never locks fails the oscillator set-up; a clock switch that never
// completes fails the clock configuration after it: either way the image stops
// in Error_Handler before the application exists.
TEST_P(BothLamps, ClockThatFailsStopsInErrorHandlerBeforeTheApplicationExists) {
  VBOARD_IMAGE(img, GetParam().elf);
  for (const char* fault : {"pll_never_locks", "sysclk_switch_stuck"}) {
    SCOPED_TRACE(fault);
    MachineOptions o;
    o.run_for = 300 * kMs;
    o.faults = {fault};
    auto f = run_fw(*img, o);
    ASSERT_TRUE(f.r.halt);
    EXPECT_EQ(f.r.halt->reason, "error_handler");
    EXPECT_EQ(f.r.halt->symbol, "Error_Handler");
    EXPECT_TRUE(f.r.halt->primask);
    EXPECT_LT(f.r.halt->t, 110 * kMs) << "the waits are bounded (the clock switch's by 100 ms)";
    const Symbol* app = img->find("_app");
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(f.m->peek32(app->addr), 0u) << "the application object was created";
    if (std::string(fault) == "pll_never_locks") {
      EXPECT_LT(field(reg(f.r, "FLASH", "ACR"), 0, 4), 4u) << "the clock configuration (latency 4) never ran";
    }
    GetParam().after_pll_stop(f);
  }
}

TEST_P(BothLamps, EnabledInterruptWithoutHandlerStopsInDefaultHandler) {
  VBOARD_IMAGE(img, GetParam().elf);
  MachineOptions o;
  o.run_for = GetParam().irq_at + 180 * kMs;
  o.inject_irqs = {{25, GetParam().irq_at}};
  auto f = run_fw(*img, o);
  ASSERT_TRUE(f.r.halt);
  EXPECT_EQ(f.r.halt->reason, "default_handler");
  // Named after the handler itself, not after one of the aliases that share its body.
  EXPECT_EQ(f.r.halt->symbol, "Default_Handler");
  EXPECT_EQ(f.r.halt->exception, 16u + 25);
  EXPECT_GE(f.r.halt->t, GetParam().irq_at);
  GetParam().after_default_handler(*img, f);
}

// A run cut into pieces (as the live board and a scenario's steps cut it) is
// the same run, to the instruction count and the idle time: idle jumps go on
// across the cuts, and the strip's DMA reads the frame as it was at each
// transfer's time, not at the cut. The inputs change what the firmware reads
// while it idles; the rear's red switch tears a frame at 31.7 ms.
TEST_P(BothLamps, ARunCutIntoPiecesIsTheSameRunToTheInstruction) {
  VBOARD_IMAGE(img, GetParam().elf);
  MachineOptions o;
  o.run_for = 120 * kMs;
  o.pulses = {{"PA0", 1500 * kUs, 20 * kMs, 10 * kMs, kNever, 0}};
  o.levels = {{"PB5", 0, 31'700 * kUs, 3, 90 * kUs}, {"PB5", -1, 77'000 * kUs, 0, 0}};
  const auto json = [&](ns_t piece) {
    Machine m(*img, o, board_factory(default_board(*img)));
    for (ns_t t = piece; t < o.run_for; t += piece) m.run_until(t);
    nlohmann::json j = nlohmann::json::parse(to_json(m.run(), ReportInfo{}));
    j.erase("wall_s");
    return j;
  };
  const nlohmann::json whole = json(o.run_for);
  ASSERT_GT(whole.at("idle_ns").get<ns_t>(), 10 * kMs) << "no idle jump to cut";
  for (const ns_t piece : {377 * kUs + 13, 7 * kUs}) {
    const nlohmann::json cut = json(piece);
    EXPECT_EQ(cut, whole) << "pieces of " << piece
                          << " ns: " << nlohmann::json::diff(whole, cut).dump().substr(0, 2000);
  }
}

INSTANTIATE_TEST_SUITE_P(, BothLamps,
                         ::testing::Values(Lamp{"Front", "front_lamp.elf", 30 * kMs, 120 * kMs,
                                                front_after_pll_stop, front_after_default_handler},
                                           Lamp{"Rear", "rear_lamp.elf", 20 * kMs, 30 * kMs,
                                                rear_after_pll_stop, rear_after_default_handler}),
                         [](const ::testing::TestParamInfo<Lamp>& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace vboard::test
