#include "ts_middle.h"

#include "application.h"
#include "appbase.h"
#include "stm32g4xx_hal.h"
#include "ts_digitalPin.h"

#if TESSEL_TIME_BASE
#include "applib.h"
#endif

extern "C" {

void* _app = nullptr;
volatile uint8_t ___skip = 1U;  // closed from reset: board initialisation runs first

void cpp_setup(void) {
  // Constructing the application constructs its pin objects, which register
  // themselves while no interrupt can walk the registry (the gate is closed).
  tessel::appbase* app = new aurelis::application();
  _app = app;
  app->setup();
  ___skip = 0U;
#if TESSEL_TIME_BASE
  // The time base reads 0 until here, through the whole of construction and setup().
  HAL_TIM_Base_Start_IT(&htim7);
#endif
}

void cpp_loop(void) { static_cast<tessel::appbase*>(_app)->loop(); }

void HAL_GPIO_EXTI_Callback(uint16_t GPIO_Pin) {
  if (___skip == 0U) {
    tessel::ts_digitalPin::INT_changed(GPIO_Pin);
  }
}

void HAL_TIM_PeriodElapsedCallback(TIM_HandleTypeDef* htim) {
  (void)htim;
#if TESSEL_TIME_BASE
  // Every update that reaches here is a TIM7 overflow: no other timer of the
  // front firmware has its update interrupt enabled.
  ___tim_count = ___tim_count + 1U;
  // After an edge storm that kept this interrupt waiting over more than one
  // wrap, the flag brought one wrap of several: looking at the time now, with
  // the last time stamped by the storm still less than a wrap ago, lets
  // micros() count the others exactly.
  (void)micros();
#endif
}

}  // extern "C"
