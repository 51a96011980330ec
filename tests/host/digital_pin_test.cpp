// Pin objects: the registry (order, removal, lifetime), writing and reading
// lines, pins never set up, and which objects a pin-change event reaches.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "applib.h"
#include "front_fixture.h"
#include "probe_pin.h"
#include "ts_middle.h"

using front_test::FrontBoard;
using tessel::ts_digitalPin;

namespace {

std::vector<ts_digitalPin*> registry() { return *ts_digitalPin::get_instances(); }

class DigitalPin : public FrontBoard {
 protected:
  void SetUp() override {
    FrontBoard::SetUp();
    ___skip = 0U;  // let pin-change events through
  }
};

TEST_F(DigitalPin, RegistryListsLiveObjectsInConstructionOrder) {
  auto p1 = std::make_unique<ProbePin>();
  auto p2 = std::make_unique<ProbePin>();
  auto p3 = std::make_unique<ProbePin>();
  EXPECT_EQ(registry(), (std::vector<ts_digitalPin*>{p1.get(), p2.get(), p3.get()}));
  p2.reset();
  EXPECT_EQ(registry(), (std::vector<ts_digitalPin*>{p1.get(), p3.get()}));
  auto* const array = ts_digitalPin::get_instances();
  p1.reset();
  p3.reset();
  EXPECT_EQ(ts_digitalPin::get_instances(), array) << "the registry is never freed";
  EXPECT_TRUE(registry().empty());
  ProbePin p4;
  EXPECT_EQ(ts_digitalPin::get_instances(), array);
  EXPECT_EQ(registry(), (std::vector<ts_digitalPin*>{&p4}));
}

TEST_F(DigitalPin, DestroyingAnObjectRemovesEveryEntryOfItIncludingAdjacentDuplicates) {
  ProbePin p1;
  auto p2 = std::make_unique<ProbePin>();
  ProbePin p3;
  auto* const list = ts_digitalPin::get_instances();
  // p1, p2, p3, p2, p2, p1
  list->push_back(p2.get());
  list->push_back(p2.get());
  list->push_back(&p1);
  p2.reset();
  EXPECT_EQ(registry(), (std::vector<ts_digitalPin*>{&p1, &p3, &p1}));
  list->pop_back();
}

TEST_F(DigitalPin, FreshObjectIsUnboundAndAllZero) {
  ProbePin pin;
  EXPECT_EQ(pin.GetPin().Port, nullptr);
  EXPECT_EQ(pin.GetPin().Pin, 0U);
  EXPECT_EQ(pin.state(), 0U);
  EXPECT_EQ(pin.GetLastPulse(), 0U);
  EXPECT_EQ(pin.GetHZ(), 0U);
  EXPECT_EQ(pin.GetUpCounter(), 0U);
  EXPECT_EQ(pin.GetDownCounter(), 0U);
  EXPECT_EQ(pin.pwm_count(), 0U);
  EXPECT_EQ(pin.interrupt_mode(), 0U);
}

TEST_F(DigitalPin, WriteDrivesLowForZeroAndHighForAnyOtherValueEveryTime) {
  ProbePin pin;
  pin.setup(tessel::PA9, 1);
  const std::pair<uint8_t, GPIO_PinState> cases[] = {
      {0, GPIO_PIN_RESET}, {1, GPIO_PIN_SET}, {2, GPIO_PIN_SET}, {255, GPIO_PIN_SET}, {255, GPIO_PIN_SET}};
  for (const auto& [value, level] : cases) {
    platform_host::clear_write_log();
    pin.Write(value);
    ASSERT_EQ(platform_host::write_log().size(), 1U) << "written on every call";
    EXPECT_EQ(platform_host::write_log()[0].port, GPIOA);
    EXPECT_EQ(platform_host::write_log()[0].mask, GPIO_PIN_9);
    EXPECT_EQ(platform_host::write_log()[0].level, level);
    EXPECT_EQ(pin.state(), level == GPIO_PIN_SET ? 1U : 0U);
    EXPECT_EQ(platform_host::output_level(GPIOA, GPIO_PIN_9), level == GPIO_PIN_SET);
  }
}

TEST_F(DigitalPin, ReverseWritesTheInverseOfTheLastKnownLevel) {
  ProbePin pin;
  pin.setup(tessel::PA8, 1);
  pin.Write(1);
  pin.Reverse();
  EXPECT_FALSE(platform_host::output_level(GPIOA, GPIO_PIN_8));
  EXPECT_EQ(pin.state(), 0U);
  pin.Reverse();
  EXPECT_TRUE(platform_host::output_level(GPIOA, GPIO_PIN_8));
}

TEST_F(DigitalPin, PinNeverSetUpTouchesNoHardware) {
  ProbePin pin;
  pin.Write(1);
  EXPECT_EQ(pin.state(), 1U);
  pin.Reverse();
  EXPECT_EQ(pin.state(), 0U);
  EXPECT_EQ(pin.Read(1), 0U);
  EXPECT_TRUE(platform_host::write_log().empty());
  EXPECT_EQ(platform_host::calls().gpio_read, 0U);
}

TEST_F(DigitalPin, ReadSamplesUnlessTheLevelFollowsInterrupts) {
  ___skip = 1U;  // no interrupt-side updates: the test decides what `state` holds
  ProbePin polled;
  polled.setup(tessel::PA0, 0);
  ProbePin tracked;
  tracked.setup(tessel::PA0, 1);
  platform_host::set_input(GPIOA, GPIO_PIN_0, true);
  tracked.on_changed();  // state 1
  platform_host::set_input(GPIOA, GPIO_PIN_0, false);
  const uint32_t reads = platform_host::calls().gpio_read;

  EXPECT_EQ(tracked.Read(0), 1U) << "answers from state";
  EXPECT_EQ(platform_host::calls().gpio_read, reads) << "without sampling the line";
  EXPECT_EQ(polled.Read(0), 0U);
  EXPECT_EQ(tracked.Read(1), 0U) << "update forces a sample";
  EXPECT_EQ(tracked.state(), 0U);
  EXPECT_EQ(platform_host::calls().gpio_read, reads + 2);
  platform_host::set_input(GPIOA, GPIO_PIN_0, true);
  EXPECT_EQ(polled.Read(0), 1U) << "a sample of the line, high now";
}

TEST_F(DigitalPin, SetupStartsMeasurementsAfreshAndKeepsTheRegistryPlace) {
  ProbePin other;
  ProbePin pin;
  pin.setup(tessel::PA0, 0);
  platform_host::set_input(GPIOA, GPIO_PIN_0, false);
  ___micros_latest = 0U;
  platform_host::set_counter(TIM7, 1234U);  // the rise at 1234 us
  platform_host::set_input(GPIOA, GPIO_PIN_0, true);
  ASSERT_EQ(pin.state(), 1U);
  ASSERT_EQ(pin.GetUpCounter(), 1U);
  ASSERT_NE(pin.last_rising(), 0U);
  const auto before = registry();

  pin.setup(tessel::PA0, 1);
  EXPECT_EQ(pin.state(), 0U);
  EXPECT_EQ(pin.GetUpCounter(), 0U);
  EXPECT_EQ(pin.GetDownCounter(), 0U);
  EXPECT_EQ(pin.pwm_count(), 0U);
  EXPECT_EQ(pin.last_rising(), 0U);
  EXPECT_EQ(pin.interrupt_mode(), 1U);
  EXPECT_EQ(registry(), before);
}

TEST_F(DigitalPin, EventReachesOnlyObjectsWhoseMaskEqualsTheLineMask) {
  ProbePin a0, a1, unset;
  a0.setup(tessel::PA0, 1);
  a1.setup(tessel::PA1, 1);
  ts_digitalPin::INT_changed(0x0003);
  EXPECT_EQ(a0.GetUpCounter() + a0.GetDownCounter(), 0U);
  EXPECT_EQ(a1.GetUpCounter() + a1.GetDownCounter(), 0U);
  HAL_GPIO_EXTI_Callback(0x0001);
  EXPECT_EQ(a0.GetUpCounter(), 1U);  // PA0 rests high on its pull-up
  EXPECT_EQ(a0.GetDownCounter(), 0U);
  EXPECT_EQ(a1.GetUpCounter() + a1.GetDownCounter(), 0U);
  EXPECT_EQ(unset.GetUpCounter() + unset.GetDownCounter(), 0U);
}

TEST_F(DigitalPin, SameMaskOnTwoPortsSamplesBothEachOnItsOwnLine) {
  ProbePin a4, b4;
  a4.setup(tessel::PA4, 1);
  b4.setup(tessel::PB4, 1);
  platform_host::set_input(GPIOA, GPIO_PIN_4, true);
  platform_host::set_input(GPIOB, GPIO_PIN_4, false);
  ts_digitalPin::INT_changed(0x0010);
  EXPECT_EQ(a4.state(), 1U);
  EXPECT_EQ(a4.GetUpCounter(), 1U);
  EXPECT_EQ(b4.state(), 0U);
  EXPECT_EQ(b4.GetDownCounter(), 1U);
}

// The mask of all sixteen lines is the one that samples every pin (what
// INT_INIT_ALL sends); any other mask, even one of fifteen lines, reaches only
// the objects whose own mask it equals, and no single pin has such a mask.
TEST_F(DigitalPin, OnlyTheMaskOfAllSixteenLinesSamplesEveryPin) {
  struct Case {
    uint16_t mask;
    bool samples_all;
  };
  for (const Case c : {Case{0xFFFF, true}, Case{0xFFFE, false}, Case{0x7FFF, false}}) {
    SCOPED_TRACE("mask " + std::to_string(c.mask));
    ProbePin a5, a6;
    a5.setup(tessel::PA5, 1);
    a6.setup(tessel::PA6, 1);
    ts_digitalPin::INT_changed(c.mask);
    const uint32_t samples = c.samples_all ? 1U : 0U;
    EXPECT_EQ(a5.GetUpCounter() + a5.GetDownCounter(), samples);
    EXPECT_EQ(a6.GetUpCounter() + a6.GetDownCounter(), samples);
  }
}

TEST_F(DigitalPin, InitAllPrimesEveryPinSetUpAndSkipsPinsNeverSetUp) {
  ProbePin unset;
  ProbePin high, low;
  high.setup(tessel::PA5, 1);
  low.setup(tessel::PA6, 1);
  platform_host::set_input(GPIOA, GPIO_PIN_5, true);
  platform_host::set_input(GPIOA, GPIO_PIN_6, false);
  ts_digitalPin::INT_INIT_ALL();
  EXPECT_EQ(high.state(), 1U);
  EXPECT_EQ(high.pwm_count(), 1U);
  EXPECT_EQ(high.GetUpCounter(), 1U);
  EXPECT_EQ(high.GetDownCounter(), 0U);
  EXPECT_EQ(low.state(), 0U);
  EXPECT_EQ(low.GetDownCounter(), 1U);
  EXPECT_EQ(low.GetUpCounter(), 0U);
  EXPECT_EQ(unset.GetUpCounter() + unset.GetDownCounter(), 0U);
  EXPECT_EQ(platform_host::calls().gpio_read, 2U) << "no sample of a pin without a line";
}

}  // namespace
