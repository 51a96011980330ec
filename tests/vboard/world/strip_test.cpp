// A WS2815 strip fed more bits than it holds: it keeps its own LEDs' bytes and
// passes the rest on, and a line that never stays low for the latch time is a
// violation, not a frame that grows for ever.
#include <gtest/gtest.h>

#include "support/fake_board.h"
#include "world/strip_ws2815.h"

namespace vboard {
namespace {

// 0 bits (300 ns high, 900 ns low) with a 100 us low after every 60 LEDs: the
// gap of the rear firmware, shorter than the latch time of each row.
void feed(world::Ws2815Strip& s, unsigned frames, ns_t& t) {
  for (unsigned f = 0; f < frames; ++f) {
    for (unsigned b = 0; b < 60 * 24; ++b) {
      s.pin_changed(1, t);
      s.pin_changed(0, t + 300);
      t += 1200;
    }
    t += 100'000;
  }
}

TEST(Strip, BytesKeptStayWithinTheStripAndALineWithoutLatchIsAViolation) {
  const struct {
    unsigned leds;
    ns_t latch;
    bool latches;
  } rows[] = {
      {30, 80'000, true},      // 60 LEDs of data on 30: the surplus is passed on
      {30, 1'000'000, false},  // latch longer than the gap: never a frame
      {4096, 1'000'000, false},
  };
  for (const auto& row : rows) {
    test::FakeBus bus;
    periph::Context ctx(bus);
    StripTiming tm;
    tm.latch = row.latch;
    world::Ws2815Strip strip(ctx, row.leds, tm);
    ns_t t = 1000;
    size_t most = 0;
    for (unsigned k = 0; k < 200; ++k) {
      feed(strip, 1, t);
      most = std::max(most, strip.bytes_kept());
    }
    EXPECT_LE(most, size_t{row.leds} * 3) << row.leds << " LEDs, latch " << row.latch;
    EXPECT_EQ(strip.frames_total() > 0, row.latches) << row.leds;
    const bool no_latch = strip.count(world::Ws2815Strip::kNoLatch) > 0;
    EXPECT_EQ(no_latch, !row.latches) << row.leds;
    if (row.latches) {
      const StripReport r = strip.report();
      ASSERT_FALSE(r.frames.empty());
      EXPECT_EQ(r.frames.back().colors.size(), 30u) << "the strip shows its own 30 LEDs";
    } else {
      bool said = false;
      for (const auto& v : strip.report().violations) said = said || v.what.rfind("no latch within", 0) == 0;
      EXPECT_TRUE(said);
    }
  }
}

}  // namespace
}  // namespace vboard
