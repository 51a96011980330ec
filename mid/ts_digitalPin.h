// One object per GPIO line an application uses. It knows its port and pin,
// remembers the last level it wrote or saw, and measures the line from the
// pin-change interrupt: width of the last high phase, frequency over windows of
// ten periods, high/low sample counts. All live objects are listed, in order of
// construction, in a class-wide registry that the pin-change interrupt walks.
//
// Objects are created only during start-up, before the start-up gate opens
// (see ts_middle), because the interrupt walks the registry without a lock.
#pragma once

#include <cstdint>
#include <vector>

#include "stm32g4xx_hal.h"
#include "ts_define.h"

namespace tessel {

class ts_digitalPin {
 public:
  ts_digitalPin();
  virtual ~ts_digitalPin();

  // A copy would not be registered (or would be registered twice); forbidden.
  ts_digitalPin(const ts_digitalPin&) = delete;
  ts_digitalPin& operator=(const ts_digitalPin&) = delete;
  ts_digitalPin(ts_digitalPin&&) = delete;
  ts_digitalPin& operator=(ts_digitalPin&&) = delete;

  // Binds the object to a line and starts its measurements from zero. Touches no
  // hardware: direction, pulls and triggers belong to the board initialisation.
  void setup(TS_PIN pin, uint8_t interrupt_mode);
  void Write(uint8_t val);       // zero: low, anything else: high
  void Reverse();                // writes the inverse of the last known level
  uint8_t Read(uint8_t update);  // nonzero update forces a fresh sample
  TS_PIN GetPin() const;

  uint16_t GetLastPulse() const;  // microseconds, saturated at 65535
  uint16_t GetHZ() const;         // hertz, rounded, saturated at 65535
  uint32_t GetUpCounter() const;
  uint32_t GetDownCounter() const;

  void on_changed();  // samples the line; called by INT_changed

  static void INT_INIT_ALL();
  static void INT_changed(uint16_t pin);
  static std::vector<ts_digitalPin*>* get_instances();

  // The registry: non-owning, heap-allocated on first construction, never freed.
  static std::vector<ts_digitalPin*>* __instances;

 protected:
  TS_PIN _pin;

  struct {
    uint64_t lastRising;  // time of the last low-to-high transition
    // Writer: on_changed (pin-change interrupt); reader: GetLastPulse (foreground).
    // One 16-bit access each way; volatile so every foreground call really reads it.
    volatile uint16_t lastPulse;
    uint16_t pwm_count;  // low-to-high transitions in the current frequency window
    uint16_t pwm_hz;
    uint64_t pwm_time;  // time of the transition that opened the window
    uint32_t up_counter;
    uint32_t dn_counter;
    // Writers: on_changed (interrupt), Write and sampling Read (foreground);
    // reader: Read(0) (foreground). Single-byte accesses, volatile so a polling
    // loop sees every interrupt-side update. Always 0 or 1.
    volatile uint8_t state;
    uint8_t interrupt_mode;  // nonzero: state follows pin-change interrupts
  } _m;

 private:
  void clear_record();
  bool configured() const { return _pin.Port != nullptr; }
};

}  // namespace tessel
