// The pin registry in a process where no pin object was ever built.
#include <gtest/gtest.h>

#include "front_fixture.h"
#include "ts_digitalPin.h"

namespace {

TEST(RegistryFresh, AbsentUntilTheFirstPinIsBuiltThenKeptForGood) {
  platform_host::reset();
  EXPECT_EQ(tessel::ts_digitalPin::get_instances(), nullptr);
  tessel::ts_digitalPin::INT_changed(0xFFFF);  // nothing to walk yet
  tessel::ts_digitalPin::INT_INIT_ALL();
  EXPECT_EQ(platform_host::calls().gpio_read, 0U);
  {
    tessel::ts_digitalPin pin;
    ASSERT_NE(tessel::ts_digitalPin::get_instances(), nullptr);
    EXPECT_EQ(tessel::ts_digitalPin::get_instances()->size(), 1U);
  }
  ASSERT_NE(tessel::ts_digitalPin::get_instances(), nullptr);
  EXPECT_TRUE(tessel::ts_digitalPin::get_instances()->empty());
}

}  // namespace
