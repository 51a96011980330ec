#include "front_fixture.h"

#include "applib.h"
#include "application.h"
#include "gpio.h"
#include "main.h"
#include "ts_middle.h"

namespace front_test {

void reset_board() {
  drop_application();
  platform_host::reset();
  ___skip = 1U;
  ___tim_count = 0U;
  ___micros_latest = 0U;
  // Handles are zero at power-on, so each first initialisation runs its MSP hook.
  for (TIM_HandleTypeDef* h : {&htim1, &htim2, &htim4, &htim7, &htim8}) {
    *h = TIM_HandleTypeDef{};
  }
  (void)HAL_Init();
  MX_Peripherals_Init();  // the board's own set-up, in its order
  platform_host::clear_write_log();
}

void set_time(uint64_t us) {
  ___micros_latest = 0U;
  ___tim_count = us / kWrap;
  platform_host::set_counter(TIM7, static_cast<uint32_t>(us % kWrap));
}

void drive_pa0(bool high) { platform_host::set_input(GPIOA, GPIO_PIN_0, high); }

}  // namespace front_test
