// A WS2815 strip fed more bits than it holds: it keeps its own LEDs' bytes and
// passes the rest on, and a line that never stays low for the latch time is a
// violation, not a frame that grows for ever.
#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "support/fake_board.h"
#include "vboard/state.h"
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

// A line of PWM periods as a timer streams it: runs of one compare value.
struct Stretch {
  uint32_t c, periods;
};

std::vector<uint8_t> values(const std::vector<Stretch>& runs, unsigned times) {
  std::vector<uint8_t> out;
  for (unsigned k = 0; k < times; ++k)
    for (const Stretch& r : runs) out.insert(out.end(), r.periods, static_cast<uint8_t>(r.c));
  return out;
}

std::vector<Stretch> join(std::initializer_list<std::vector<Stretch>> parts) {
  std::vector<Stretch> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

BoardState state_of(world::Ws2815Strip& s) {
  BoardState out;
  StateVisitor v(out);
  s.state(v);
  return out;
}

// The same periods handed to one strip as trains of several lengths and to
// another as the trains' edges one by one: the strips end in the same state
// (frames, colours, every count, first and last time, the timing summary).
TEST(Strip, TrainsDecodeAsTheirEdges) {
  const Stretch gap{0, 260}, zeros{49, 60 * 24}, ones{142, 60 * 24};
  const std::vector<Stretch> mixed{{142, 8}, {49, 16}, {142, 40}, {49, 1}, {142, 1}, {49, 300}, {136, 1074}};
  const struct {
    const char* what;
    std::vector<uint8_t> line;
    uint64_t den;  // the timer clock: 1 s / den ticks
  } rows[] = {
      {"dark frames", values({zeros, gap}, 4), 170'000'000},
      {"lit frames", values({ones, gap}, 3), 170'000'000},
      {"colours", values(join({mixed, {{0, 50}}, mixed, {gap}}), 3),
       170'000'000},  // a 62 us low inside a frame
      {"high of 176 ns (T0H)", values({{30, 1440}, gap}, 3), 170'000'000},
      {"high between 0 and 1", values({{90, 700}, {49, 740}, gap}, 2), 170'000'000},
      {"low of 188 ns (T1L)", values({{180, 1440}, gap}, 2), 170'000'000},
      {"no latch", values({zeros, {0, 40}}, 140), 170'000'000},
      {"80 MHz", values({{23, 1000}, {64, 440}, gap}, 3), 80'000'000},
      {"168 MHz", values(join({{zeros}, mixed, {gap}}), 3), 168'000'000},
  };
  const uint32_t chunks[] = {720, 1, 33, 2048, 5, 719};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    test::FakeBus bus;
    periph::Context ctx(bus);
    world::Ws2815Strip whole(ctx, 60), edges(ctx, 60);
    periph::PwmTrain t;
    t.base = 5000;
    t.num = 1'000'000'000;
    t.den = row.den;
    t.pq = 212 * t.num / t.den;
    t.pr = 212 * t.num % t.den;
    t.c = 49;
    whole.pin_changed(1, t.base);
    edges.pin_changed(1, t.base);
    std::vector<PinChange> line;
    size_t at = 0;
    for (unsigned k = 0; at < row.line.size(); ++k) {
      t.first_fall = t.c != 0;
      t.n = std::min<uint32_t>(chunks[k % std::size(chunks)], static_cast<uint32_t>(row.line.size() - at));
      t.data = row.line.data() + at;
      t.stride = 1;
      whole.pin_train(t);
      // The train's edges: the pending match, then per period a rise and (but the last) a fall.
      line.clear();
      uint64_t q = t.q, r = t.r;
      if (t.first_fall) line.push_back({t.match(t.c, q, r), 0});
      for (uint32_t i = 1; i <= t.n; ++i) {
        const uint32_t c = t.compare(i - 1);
        t.step(1, &q, &r);
        if (c != 0) line.push_back({t.base + q, 1});
        if (c != 0 && i < t.n) line.push_back({t.match(c, q, r), 0});
      }
      edges.pin_changes(line.data(), line.size());
      t.c = t.compare(t.n - 1);
      t.q = q;
      t.r = r;
      at += t.n;
    }
    whole.advance(t.base + t.q + 1'000'000);
    edges.advance(t.base + t.q + 1'000'000);
    EXPECT_GT(edges.bits_total(), 2000u);
    EXPECT_EQ(whole.describe(), edges.describe());
    const BoardState of_edges = state_of(edges);
    StateVisitor v(StateVisitor::Mode::compare, of_edges);
    whole.state(v);
    EXPECT_TRUE(v.equal()) << "differs in " << v.difference();
  }
}

// A firmware repaints one picture for thousands of frames: the strip's archive
// holds those colours once, not once per frame, and a strip loaded from it
// goes on as the one saved (the next equal frame archives the same way).
TEST(Strip, EqualFramesAreArchivedOnceAndComeBackAsTheyWere) {
  test::FakeBus bus;
  periph::Context ctx(bus);
  StripTiming tm;
  tm.latch = 80'000;
  world::Ws2815Strip saved(ctx, 60, tm), loaded(ctx, 60, tm);
  ns_t t = 1000;
  feed(saved, 400, t);
  ASSERT_EQ(saved.report().frames.size(), 399u);  // the last one's latch gap is still running
  const BoardState archive = state_of(saved);
  // Each frame's time and bit count, the picture a few times (frame, run, the one showing).
  EXPECT_LT(archive.size(), 400 * (sizeof(ns_t) + 8) + size_t{60} * 3 * 10) << "400 frames of one picture";
  StateVisitor load(StateVisitor::Mode::load, archive);
  loaded.state(load);
  ASSERT_TRUE(load.ok() && load.position() == archive.size()) << load.error();
  ns_t t2 = t;
  feed(saved, 1, t);
  feed(loaded, 1, t2);
  const BoardState after = state_of(saved);
  StateVisitor same(StateVisitor::Mode::compare, after);
  loaded.state(same);
  EXPECT_TRUE(same.equal()) << "differs in " << same.difference();
}

}  // namespace
}  // namespace vboard
