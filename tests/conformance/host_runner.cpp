// The conformance suite against platform/host, in-process: one test per case,
// each in a platform fresh from power-on. The world of the suite is wired
// through the host's test face: writes to PB0 drive PA1, and PB1 is the PLL's
// fault line.
#include <gtest/gtest.h>

#include "conformance.h"
#include "platform_host.h"

namespace conformance {

void rig_wait_us(uint32_t us) { platform_host::advance_us(us); }

namespace {

void wire_the_world() {
  platform_host::set_write_hook([](const platform_host::PinWrite& w) {
    if (w.port != GPIOB) {
      return;
    }
    if ((w.mask & GPIO_PIN_0) != 0U) {
      platform_host::set_input(GPIOA, GPIO_PIN_1, w.level == GPIO_PIN_SET);
    }
    if ((w.mask & GPIO_PIN_1) != 0U) {
      platform_host::set_pll_never_locks(w.level == GPIO_PIN_SET);
    }
  });
}

class PlatformHost : public ::testing::TestWithParam<uint32_t> {};

TEST_P(PlatformHost, Conforms) {
  platform_host::reset();
  wire_the_world();
  Result r;
  baseline(r);
  ASSERT_EQ(r.failures, 0U) << "baseline: first failed check at cases_common.cpp:" << r.first_failure_line;
  const Case& c = kCases[GetParam()];
  c.run(r);
  EXPECT_GT(r.checks, 0U) << c.name << " checked nothing";
  EXPECT_EQ(r.failures, 0U) << c.name << ": " << r.failures << " of " << r.checks
                            << " checks failed, the first at line " << r.first_failure_line
                            << " of its cases_<peripheral>.cpp";
}

INSTANTIATE_TEST_SUITE_P(Cases, PlatformHost, ::testing::Range(0U, kCaseCount),
                         [](const ::testing::TestParamInfo<uint32_t>& param) {
                           return std::string(kCases[param.param].name);
                         });

}  // namespace

}  // namespace conformance
