// Edge storms on the real images: pin edges faster than, or about as fast as,
// the interrupt handler returns. On the front board TIM7's update interrupt,
// which has the pin interrupt's priority and loses ties to it, is kept waiting
// across several wraps; the lights must still switch on only after a complete
// high phase of 1300 us or more, and valid pulses after a storm must be
// measured exactly. On the rear board the strip must end in the colour of the
// settled lines.
#include <algorithm>
#include <array>

#include "support/firmware.h"
#include "world/strip.h"

namespace vboard::test {
namespace {

constexpr ns_t kWrap = 65536 * kUs;  // one TIM7 wrap

// When cpp_setup starts TIM7 (the runs are repeatable to the nanosecond, so a
// short probe run gives it for every run of the same image).
ns_t tim7_start(const Image& img) {
  MachineOptions probe;
  probe.run_for = 30 * kMs;
  auto p = run_fw(img, probe);
  size_t cen = first_write(*p.m, [](const MmioWrite& w) {
    return w.addr == reg("TIM7", tim::CR1) && tim::cr1::CEN.test(w.value);
  });
  EXPECT_NE(cen, std::string::npos) << "TIM7 never started";
  return cen == std::string::npos ? 0 : p.m->mmio_writes()[cen].t;
}

PulseSpec storm(ns_t width, ns_t period, ns_t start, ns_t stop) {
  return {"PA0", width, period, start, stop, 0};
}
PulseSpec single(ns_t width, ns_t at) { return {"PA0", width, 0, at, kNever, 0}; }
PulseSpec train(ns_t width, ns_t start, int count) {
  return {"PA0", width, 20 * kMs, start, start + static_cast<ns_t>(count - 1) * 20 * kMs + 1, 0};
}

struct FrontRun {
  FwRun f;
  std::vector<uint64_t> edge_stamps;  // micros() returns inside the pin interrupt
};

// Runs the front image with micros profiled, checking what must hold in every
// storm: the run stays healthy and micros() never goes backwards.
FrontRun run_front(const Image& img, MachineOptions o) {
  o.profile_functions = edge_stamp_profile();
  FrontRun out{run_fw(img, o), {}};
  EXPECT_TRUE(out.f.r.ok());
  EXPECT_FALSE(out.f.r.halt.has_value());
  EXPECT_FALSE(out.f.r.functions.at(1).return_ns.empty()) << "TIM7's callback never returned";
  const std::vector<uint64_t>& all = out.f.r.functions.at(0).returns;
  for (size_t i = 1; i < all.size(); ++i) {
    if (all[i] < all[i - 1]) {
      ADD_FAILURE() << "micros went backwards at call " << i << ": " << all[i - 1] << " then " << all[i];
      break;
    }
  }
  out.edge_stamps = edge_stamps(out.f.r);
  return out;
}

// True if the lights went high at any time in [from, to).
bool lights_on_between(const RunResult& r, ns_t from, ns_t to) {
  for (const char* pin : {"PA8", "PA9"}) {
    for (ns_t t : edges_to(r, pin, 1))
      if (t >= from && t < to) return true;
    if (level_at(r, pin, from) == 1) return true;
  }
  return false;
}

// The widths of the last `n` complete pulses as the edge stamps give them.
std::vector<uint64_t> last_widths(const std::vector<uint64_t>& stamps, size_t n) {
  std::vector<uint64_t> widths;
  for (size_t i = stamps.size() >= 2 * n ? stamps.size() - 2 * n : 0; i + 1 < stamps.size(); i += 2)
    widths.push_back(stamps[i + 1] - stamps[i]);
  return widths;
}

TEST(EdgeStorm, TheReportedStormLeavesTheLightsOff) {
  // vboard front_lamp.elf --for 1s --pulse PA0=500ns@20000850ns,period=1us,stop=131384962ns
  VBOARD_IMAGE(img, kFront);
  MachineOptions o;
  o.run_for = 1 * kSec;
  o.pulses = {storm(500, 1 * kUs, 20000850, 131384962)};
  FrontRun run = run_front(*img, o);
  const RunResult& r = run.f.r;
  EXPECT_FALSE(lights_on_between(r, 2 * kMs, o.run_for)) << "no high phase of 1300 us ever occurred";
  const auto tim7 = r.exceptions.find(16 + 55);
  ASSERT_NE(tim7, r.exceptions.end());
  EXPECT_LT(tim7->second.count, 15u)
      << "the storm did not starve TIM7's update interrupt: the case was not met";
}

// Storms whose period is close to the pin interrupt's own length: the handler
// then samples the line at nearly the same phase each time, and may find it
// high on every sample for the whole storm. Those samples must not add up to
// one long pulse. The lock needs a period of whole cycles (20 ns is three at
// 150 MHz), so the sweep steps by 20 ns over the handler's length and half of
// it (an earlier image switched the lights on at 620 ns, half high).
TEST(EdgeStorm, StormsLockedToTheHandlerPeriodLeaveTheLightsOff) {
  VBOARD_IMAGE(img, kFront);
  const ns_t start = 20 * kMs, stop = 24 * kMs;
  for (ns_t period = 300; period <= 800; period += 20) {
    for (ns_t width : {period / 2, period * 3 / 4}) {
      SCOPED_TRACE("storm period " + std::to_string(period) + " ns, high " + std::to_string(width) + " ns");
      MachineOptions o;
      o.pulses = {storm(width, period, start, stop)};
      o.run_for = stop + 110 * kMs;
      FrontRun run = run_front(*img, o);
      EXPECT_FALSE(lights_on_between(run.f.r, 2 * kMs, o.run_for)) << "no high phase of 1300 us occurred";
    }
  }
}

// Storms of several rates and phases over one, two and three wraps, each
// followed by valid pulses that must be measured exactly.
TEST(EdgeStorm, StormsOverOneTwoAndThreeWrapsAreFollowedByExactMeasurements) {
  VBOARD_IMAGE(img, kFront);
  const ns_t t0 = tim7_start(*img);
  struct Case {
    ns_t width, period, phase;  // phase: storm start after a wrap
    int wraps;                  // wraps the storm spans
  };
  for (const Case c :
       {Case{500, 1 * kUs, 3 * kMs, 1}, Case{700, 1700, 41 * kMs, 2}, Case{1100, 3 * kUs, 60 * kMs, 3}}) {
    SCOPED_TRACE("storm period " + std::to_string(c.period) + " ns over " + std::to_string(c.wraps) +
                 " wraps");
    MachineOptions o;
    const ns_t start = t0 + kWrap + c.phase;
    const ns_t stop = start + static_cast<ns_t>(c.wraps) * kWrap + 5 * kMs;
    const ns_t after = stop + 10 * kMs;
    o.pulses = {storm(c.width, c.period, start, stop), train(1500 * kUs, after, 4)};
    o.run_for = after + 4 * 20 * kMs + 110 * kMs;
    FrontRun run = run_front(*img, o);
    EXPECT_FALSE(lights_on_between(run.f.r, 2 * kMs, after)) << "the storm alone switched the lights on";
    EXPECT_EQ(level_at(run.f.r, "PA8", o.run_for), 1);
    EXPECT_EQ(level_at(run.f.r, "PA9", o.run_for), 1);
    for (uint64_t w : last_widths(run.edge_stamps, 4)) EXPECT_NEAR(static_cast<double>(w), 1500, 1);
  }
}

// Lights on before the storm; the storm's short pulses switch them off; it
// ends on a 1500 us pulse whose high phase holds a TIM7 wrap (measured exactly:
// on again), then 1200 us pulses switch them off.
TEST(EdgeStorm, StormEndingOnAPulseThatHoldsAWrapIsMeasuredExactly) {
  VBOARD_IMAGE(img, kFront);
  const ns_t t0 = tim7_start(*img);
  MachineOptions o;
  const ns_t start = t0 + 3 * kWrap + 7 * kMs;
  const ns_t wrap_after = t0 + 5 * kWrap;  // two wraps into the storm, the third under the last pulse
  const ns_t last_rise = wrap_after - 400 * kUs;
  const ns_t short_pulses = wrap_after + 150 * kMs;
  o.pulses = {train(1500 * kUs, 20 * kMs, 5), storm(600, 1300, start, last_rise - 2 * kUs),
              single(1500 * kUs, last_rise), train(1200 * kUs, short_pulses, 4)};
  o.run_for = short_pulses + 4 * 20 * kMs + 110 * kMs;
  FrontRun run = run_front(*img, o);
  const RunResult& r = run.f.r;
  EXPECT_EQ(level_at(r, "PA8", start), 1) << "the 1500 us pulses before the storm switch the lights on";
  EXPECT_EQ(level_at(r, "PA8", last_rise), 0) << "the storm's complete short pulses switch them off";
  EXPECT_EQ(level_at(r, "PA8", short_pulses - 1 * kMs), 1) << "the pulse that holds the wrap is valid";
  EXPECT_EQ(level_at(r, "PA8", o.run_for), 0);
  EXPECT_EQ(level_at(r, "PA9", o.run_for), 0);
  const auto& s = run.edge_stamps;
  for (uint64_t w : last_widths(s, 4)) EXPECT_NEAR(static_cast<double>(w), 1200, 1);
  ASSERT_GE(s.size(), 10u);
  EXPECT_NEAR(static_cast<double>(s[s.size() - 9] - s[s.size() - 10]), 1500, 1)
      << "the pulse across the wrap";
}

// The rear lines: storms on PB5 and PB6 (one interrupt line for both) and PB4,
// then the lines settle; the strip must show the colour of the settled lines.
TEST(EdgeStorm, RearStripEndsInTheColourOfTheSettledLines) {
  VBOARD_IMAGE(img, kRear);
  struct Case {
    const char* what;
    std::vector<PulseSpec> storms;
    std::vector<LevelSpec> settle;
    LedColors::Rgb colour;
  };
  const ns_t a = 10 * kMs, b = 25 * kMs, settle = 30 * kMs;
  const std::vector<Case> cases = {
      {"PB5 storm held low at its end: red", {{"PB5", 500, 1 * kUs, a, b, 0}}, {}, {255, 0, 0}},
      {"PB5 and PB6 storms, PB6 released: red",
       {{"PB5", 400, 1 * kUs, a, b, 0}, {"PB6", 1300, 2700, a, b, 0}},
       {{"PB6", -1, settle, 0, 0}},
       {255, 0, 0}},
      {"PB4 storm, then released; PB6 storm held low: green",
       {{"PB4", 900, 2 * kUs, a, b, 0}, {"PB6", 300, 1100, a + 3 * kMs, b, 0}},
       {{"PB4", -1, settle, 0, 0}},
       {0, 255, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MachineOptions o;
    o.run_for = 45 * kMs;
    o.pulses = c.storms;
    o.levels = c.settle;
    auto f = run_fw(*img, o);
    ASSERT_TRUE(f.r.ok());
    ASSERT_TRUE((strip_record(f.r) != nullptr));
    ASSERT_FALSE(strip_record(f.r)->frames.empty());
    const StripFrame& last = strip_record(f.r)->frames.back();
    ASSERT_GT(last.t, settle + 5 * kMs);
    ASSERT_EQ(last.colors.size(), 60u);
    for (size_t i = 0; i < last.colors.size(); ++i) ASSERT_EQ(last.colors[i], c.colour) << "LED " << i;
  }
}

}  // namespace
}  // namespace vboard::test
