// Both lamp images under the Cortex-M4 timing (--timing m4): they do what they
// do under the flat timing, only with their code taking longer.
#include "support/firmware.h"
#include "world/strip.h"

namespace vboard::test {
namespace {

MachineOptions timed(Timing t, ns_t run_for) {
  MachineOptions o;
  o.run_for = run_for;
  o.timing = t;
  return o;
}

TEST(M4TimingImages, FrontLampDecidesOnThePulseAsUnderFlatTiming) {
  VBOARD_IMAGE(img, kFront);
  struct Case {
    ns_t width;
    int lights;
  };
  for (const Case c : {Case{1299 * kUs, 0}, Case{1300 * kUs, 1}}) {
    MachineOptions o = timed(Timing::m4, 400 * kMs);
    o.pulses = {{"PA0", c.width, 20 * kMs, 20 * kMs, kNever, 0}};
    auto f = run_fw(*img, o);
    ASSERT_TRUE(f.r.ok());
    EXPECT_FALSE(f.r.halt);
    EXPECT_EQ(f.r.timing, Timing::m4);
    for (const char* pin : {"PA8", "PA9"}) EXPECT_EQ(level_at(f.r, pin, 400 * kMs), c.lights) << c.width;
    // Loads, stores, taken branches and the first fetches from flash cost more than one cycle.
    EXPECT_GT(f.r.cycles, f.r.instructions * 3 / 2);
    EXPECT_LT(f.r.cycles, f.r.instructions * 4);
  }
}

TEST(M4TimingImages, RearLampPaintsWholeFramesLaterThanUnderFlatTiming) {
  VBOARD_IMAGE(img, kRear);
  ns_t first_frame[2] = {0, 0};
  for (const Timing t : {Timing::flat, Timing::m4}) {
    MachineOptions o = timed(t, 40 * kMs);
    o.levels.push_back({"PB5", 0, 10 * kMs, 0, 0});
    auto f = run_fw(*img, o);
    ASSERT_TRUE(f.r.ok());
    const auto& frames = strip_record(f.r)->frames;
    ASSERT_GE(frames.size(), 5u);
    for (size_t i = 1; i < frames.size(); ++i) EXPECT_EQ(frames[i].bits, 60u * 24u) << "frame " << i;
    const StripFrame& last = frames.back();
    for (const auto& led : last.colors) EXPECT_EQ(led, (LedColors::Rgb{255, 0, 0}));
    first_frame[t == Timing::m4] = frames[0].t;
  }
  // Start-up (clock set-up, the frame filled) runs the same code in more cycles.
  EXPECT_GT(first_frame[1], first_frame[0] + 100 * kUs);
}

}  // namespace
}  // namespace vboard::test
