// Time travel on both lamp images: a run given inputs as it goes (pin levels
// between slices and at debugger stops inside blocks, a debugger's memory
// write), sent back to random instants of its history and run on again, ends in
// the same JSON document and the same VCD trace after the instant it landed on,
// whatever the checkpoints' density and budget. (Its state may differ in the
// models' cache counters, which count how often a run was cut.)
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "machine/history.h"
#include "outputs/report.h"
#include "support/firmware.h"
#include "support/slurp.h"
#include "support/splitmix.h"
#include "world/described_board.h"

namespace vboard::test {
namespace history_test {

struct Trip {
  const char* image;
  const char* pin;  // the input the run is given levels on
  uint64_t seed;
  History::Options history;
};

const Trip kTrips[] = {
    {kFront, "PA0", 1, {2 * kMs, 4, size_t{64} << 20}},
    {kRear, "PB5", 2, {2 * kMs, 4, size_t{64} << 20}},
    {kFront, "PA0", 3, {1 * kMs, 8, 1}},  // over budget from the start: the density falls to one
    {kRear, "PB5", 4, {3 * kMs, 2, 1}},
};
constexpr ns_t kRunEnd = 120 * kMs;

std::string run_json(const Machine& m) {
  RunResult r = m.result();
  r.wall_s = 0;
  return to_json(r, ReportInfo{});
}

// A VCD's value changes after time `after` (in the file's units), one per line
// with its time: what a trace that begins at `after` has in common with one
// that begins at reset.
std::vector<std::string> changes_after(const std::string& path, ns_t after) {
  std::istringstream in(slurp(path));
  std::vector<std::string> out;
  ns_t t = 0;
  bool body = false, initial = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("$enddefinitions", 0) == 0) body = true;
    if (line == "$dumpvars") initial = true;
    if (line == "$end") initial = false;
    if (!body || initial || line.empty() || line[0] == '$') continue;
    if (line[0] == '#')
      t = std::stoull(line.substr(1));
    else if (t * kVcdTimescale > after + kVcdTimescale)  // past the unit the landing rounds into
      out.push_back(std::to_string(t) + " " + line);
  }
  return out;
}

void set_level(History& h, const std::string& pin, int level) {
  h.input(pin + "=" + std::to_string(level), [pin, level](Machine& m) {
    m.board().stop_sources(pin, m.now(), false);
    m.board().add_level({pin, level, m.now()});
  });
}

TEST(History, RebuiltInstantsRunOnAsTheyRan) {
  const std::string dir = ::testing::TempDir();
  for (const Trip& c : kTrips) {
    SCOPED_TRACE(std::string(c.image) + " seed " + std::to_string(c.seed));
    VBOARD_IMAGE(img, c.image);
    Rng rng{c.seed};
    MachineOptions o;  // the front board's input pulses as a servo signal's would
    if (std::string(c.pin) == "PA0") o.pulses.push_back({"PA0", 1500 * kUs, 20 * kMs, 20 * kMs});
    Machine m(*img, o, board_factory(default_board(*img)));
    History h(m, c.history);
    VcdWriter vcd;
    std::string err;
    ASSERT_TRUE(vcd.open(dir + "/history_first.vcd", m.board(), {}, 0, &err)) << err;
    m.board().watch_pins(&vcd);
    // Inputs: a level between slices, or at a debugger stop some instructions on;
    // now and then a debugger's write to SRAM past the image's data.
    const uint32_t spare = img->find("_end") ? img->find("_end")->addr + 16 : 0x20007000;
    for (ns_t t = (3 + rng.below(15)) * kMs; t < kRunEnd - 10 * kMs; t += (3 + rng.below(15)) * kMs) {
      h.run_until(t);
      // A debugger stop some instructions on, when they come within 3 ms.
      if (rng.one_in(2)) m.run_to_instruction(m.instruction_count() + 1 + rng.below(300), t + 3 * kMs);
      if (rng.one_in(4)) h.checkpoint("at " + format_ns(m.now()));
      if (rng.one_in(3)) {
        const auto value = static_cast<uint8_t>(rng.next());
        h.input("poke", [spare, value](Machine& mm) { mm.debug_write(spare, &value, 1); });
      }
      set_level(h, c.pin, static_cast<int>(rng.below(2)));
    }
    h.run_until(kRunEnd);
    ASSERT_TRUE(vcd.finish(m.now(), &err)) << err;
    m.board().watch_pins(nullptr);
    const std::string first_json = run_json(m);
    const Instant end = h.end();
    EXPECT_GT(h.inputs(), 4u);
    EXPECT_LT(h.kept().size(), kRunEnd / c.history.every / 2);  // thinned
    EXPECT_EQ(h.kept().front().at.time, 0u);

    const std::vector<History::Kept> kept = h.kept();
    for (int trip = 0; trip < 5; ++trip) {
      SCOPED_TRACE("trip " + std::to_string(trip));
      const size_t how = rng.below(3);
      if (how == 0) {
        ASSERT_TRUE(h.goto_time(rng.below(end.time)));
      } else if (how == 1) {
        ASSERT_TRUE(h.goto_instruction(rng.below(end.instructions)));
      } else {
        const History::Kept& k = kept[rng.below(kept.size())];
        if (k.name.empty())
          ASSERT_TRUE(h.goto_instruction(k.at.instructions));
        else
          ASSERT_TRUE(h.goto_checkpoint(k.name));
        EXPECT_EQ(m.instruction_count(), k.at.instructions);
      }
      const ns_t landed = m.now();
      VcdWriter again;
      ASSERT_TRUE(again.open(dir + "/history_again.vcd", m.board(), {}, landed, &err)) << err;
      m.board().watch_pins(&again);
      h.run_until(kRunEnd);
      ASSERT_TRUE(again.finish(m.now(), &err)) << err;
      m.board().watch_pins(nullptr);
      EXPECT_EQ(run_json(m), first_json);
      EXPECT_EQ(changes_after(dir + "/history_again.vcd", landed),
                changes_after(dir + "/history_first.vcd", landed));
    }
    EXPECT_EQ(h.divergence(), "");
    EXPECT_FALSE(h.goto_time(end.time + 1));
    EXPECT_FALSE(h.goto_instruction(end.instructions + 1));
  }
}

// An input given after going back ends the future there: the later
// checkpoints and inputs go, and the run from there on is a new one.
TEST(History, InputInThePastEndsTheFuture) {
  VBOARD_IMAGE(img, kRear);
  Machine m(*img, MachineOptions{}, board_factory(default_board(*img)));
  History h(m, {2 * kMs, 8, size_t{64} << 20});
  h.run_until(20 * kMs);
  set_level(h, "PB5", 0);
  h.run_until(60 * kMs);
  ASSERT_TRUE(h.goto_time(30 * kMs));
  EXPECT_EQ(h.end().time, 60 * kMs);
  set_level(h, "PB5", 1);
  EXPECT_EQ(h.end().time, m.now());
  EXPECT_EQ(h.inputs(), 2u);
  for (const History::Kept& k : h.kept()) EXPECT_LE(k.at.time, m.now());
  EXPECT_FALSE(h.goto_time(40 * kMs));
}

}  // namespace history_test
}  // namespace vboard::test
