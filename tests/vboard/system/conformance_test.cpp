// The platform conformance suite on platform/chip: platform_conformance.elf runs
// every case on the virtual board and leaves its outcomes in
// `conformance_report`; each case is one test here. The board's world is the
// suite's: PB0 wired to PA1, and PB1 as the PLL's fault line.
#include <gtest/gtest.h>

#include <cstring>

#include "../conformance/case_list.h"
#include "chip/chip.h"
#include "world/described_board.h"
#include "support/firmware.h"

namespace vboard {
namespace {

// Mirrors the image's report: done, cases, the baseline's result, 16 results.
struct Report {
  uint32_t done = 0;
  uint32_t cases = 0;
  uint32_t results[17][3] = {};
};

struct SuiteRun {
  bool loaded = false;
  bool wired = false;
  // Switches of SYSCLK to a slower clock, and those that found HCLK below SYSCLK.
  uint64_t sysclk_hz = 0;
  unsigned switches_down = 0;
  unsigned halved_switches_down = 0;
  Report report;
  RunResult r;
};

const SuiteRun& suite_run() {
  static SuiteRun run = [] {
    SuiteRun s;
    const Image* img = test::firmware("platform_conformance.elf");
    if (img == nullptr) return s;
    s.loaded = true;
    MachineOptions o;
    o.run_for = 2 * kSec;
    o.stop_on_halt = true;
    BoardFactory factory = [&s, img](Bus& bus) {
      auto board = std::make_unique<world::DescribedBoard>(bus, default_board(*img));
      world::DescribedBoard* b = board.get();
      s.wired = b->add_wire("PB0", "PA1") &&
                b->watch_pin("PB1", [b](int level, ns_t) { b->chip().set_pll_never_locks(level != 0); });
      periph::Rcc& rcc = b->chip().rcc();
      s.sysclk_hz = rcc.sysclk_hz();
      rcc.on_clock_change([&s, &rcc](ns_t) {
        if (rcc.sysclk_hz() < s.sysclk_hz) {
          ++s.switches_down;
          s.halved_switches_down += rcc.hclk_hz() < rcc.sysclk_hz() ? 1U : 0U;
        }
        s.sysclk_hz = rcc.sysclk_hz();
      });
      return board;
    };
    Machine m(*img, o, factory);
    const Symbol* sym = img->find("conformance_report");
    for (ns_t t = 10 * kMs; t <= o.run_for && sym != nullptr; t += 10 * kMs) {
      if (!m.run_until(t)) break;
      m.peek(sym->addr, &s.report, sizeof(s.report));
      if (s.report.done) break;
    }
    s.r = m.result();
    return s;
  }();
  return run;
}

#define CONFORMANCE_CASE_NAME(name) #name,
constexpr const char* kCaseNames[] = {CONFORMANCE_CASES(CONFORMANCE_CASE_NAME)};
#undef CONFORMANCE_CASE_NAME
constexpr uint32_t kCaseCount = sizeof(kCaseNames) / sizeof(kCaseNames[0]);

class PlatformChip : public ::testing::TestWithParam<uint32_t> {};

TEST_P(PlatformChip, Conforms) {
  if (!test::firmware("platform_conformance.elf")) {
    VBOARD_IMAGE(img, "platform_conformance.elf");
  }
  const SuiteRun& s = suite_run();
  ASSERT_TRUE(s.wired) << "the world's wiring could not be made";
  ASSERT_EQ(s.report.done, 1U) << "the suite did not finish"
                               << (s.r.halt ? ": halted in " + s.r.halt->symbol : std::string());
  ASSERT_EQ(s.report.cases, kCaseCount);
  const char* const name = kCaseNames[GetParam()];
  const uint32_t* res = s.report.results[GetParam() + 1];
  EXPECT_GT(res[0], 0U) << name << " checked nothing";
  EXPECT_EQ(res[1], 0U) << name << ": " << res[1] << " of " << res[0] << " checks failed, the first at line "
                        << res[2] << " of its cases_<peripheral>.cpp";
  EXPECT_TRUE(s.r.unmodelled.empty()) << s.r.unmodelled.size() << " unmodelled accesses, first at "
                                      << (s.r.unmodelled.empty() ? "" : s.r.unmodelled.front().where);
  // The platform breaks no rule of the chip, even in its error paths; the one
  // finding is the PLL fault the suite injects.
  for (const Diagnostic& d : s.r.diagnostics)
    EXPECT_EQ(d.kind, chip::diag::kPllLockSuppressed)
        << d.where << ": " << d.message << " (first at " << d.first << " ns)";
}

// The pass through HCLK = SYSCLK / 2 belongs to a rise above 80 MHz. The
// suite's switches from 150 MHz down to HSI16 go straight, or the core would
// spend at 8 MHz a wait sized for 170 MHz: over twenty times the microsecond
// it is for.
TEST(PlatformChipClocks, ASwitchDownDoesNotHalveHclk) {
  VBOARD_IMAGE(img, "platform_conformance.elf");
  const SuiteRun& s = suite_run();
  ASSERT_EQ(s.report.done, 1U) << "the suite did not finish";
  EXPECT_GE(s.switches_down, 2U);
  EXPECT_EQ(s.halved_switches_down, 0U) << "of " << s.switches_down << " switches down";
}

INSTANTIATE_TEST_SUITE_P(Cases, PlatformChip, ::testing::Range(0U, kCaseCount),
                         [](const ::testing::TestParamInfo<uint32_t>& param) {
                           return std::string(kCaseNames[param.param]);
                         });

}  // namespace
}  // namespace vboard
