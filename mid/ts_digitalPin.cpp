#include "ts_digitalPin.h"

#if TESSEL_TIME_BASE
#include "applib.h"
#endif

namespace tessel {

namespace {

constexpr uint16_t kAllPins = 0xFFFFU;
constexpr uint16_t kU16Max = 0xFFFFU;
// Low-to-high transitions per frequency window: the first opens it, the
// eleventh closes it, so a window spans ten periods.
constexpr uint16_t kWindowTransitions = 11U;

// Time stamp of a sample. A build without a time base stamps every sample with
// 0: level tracking and the counters still work, the widths read 0.
uint64_t sample_time() {
#if TESSEL_TIME_BASE
  return micros();
#else
  return 0U;
#endif
}

uint16_t saturate_u16(uint64_t value) { return value > kU16Max ? kU16Max : static_cast<uint16_t>(value); }

// periods / length_us in hertz, rounded to the nearest integer and saturated to
// 16 bits. A zero-length window (no time base, or stamps on one microsecond)
// saturates; a window longer than 2^32 us is below 1 Hz and rounds to 0.
uint16_t window_hz(uint32_t periods, uint64_t length_us) {
  if (length_us == 0U) {
    return kU16Max;
  }
  if (length_us > 0xFFFFFFFFU) {
    return 0U;
  }
  const uint32_t len = static_cast<uint32_t>(length_us);
  // periods * 10^6 <= 6.6e10 would not fit; the window has exactly ten periods,
  // so the numerator is 10^7 and the sum below stays under 2^32.
  const uint32_t hz = (periods * 1000000U + len / 2U) / len;
  return saturate_u16(hz);
}

}  // namespace

std::vector<ts_digitalPin*>* ts_digitalPin::__instances = nullptr;

ts_digitalPin::ts_digitalPin() : _pin{nullptr, 0U} {
  clear_record();
  if (__instances == nullptr) {
    __instances = new std::vector<ts_digitalPin*>();
  }
  __instances->push_back(this);
}

ts_digitalPin::~ts_digitalPin() {
  // Removes every entry equal to this (adjacent duplicates too), keeping the
  // order of the rest. The array is neither shrunk nor freed.
  std::erase(*__instances, this);
}

void ts_digitalPin::clear_record() {
  _m.lastRising = 0U;
  _m.lastPulse = 0U;
  _m.pwm_count = 0U;
  _m.pwm_hz = 0U;
  _m.pwm_time = 0U;
  _m.up_counter = 0U;
  _m.dn_counter = 0U;
  _m.state = 0U;
  _m.interrupt_mode = 0U;
}

void ts_digitalPin::setup(TS_PIN pin, uint8_t interrupt_mode) {
  _pin = pin;
  clear_record();
  _m.interrupt_mode = interrupt_mode;
}

void ts_digitalPin::Write(uint8_t val) {
  _m.state = val != 0U ? 1U : 0U;
  if (configured()) {
    HAL_GPIO_WritePin(_pin.Port, _pin.Pin, val != 0U ? GPIO_PIN_SET : GPIO_PIN_RESET);
  }
}

void ts_digitalPin::Reverse() { Write(_m.state != 0U ? 0U : 1U); }

uint8_t ts_digitalPin::Read(uint8_t update) {
  if ((update == 0U && _m.interrupt_mode != 0U) || !configured()) {
    return _m.state;
  }
  const uint8_t level = HAL_GPIO_ReadPin(_pin.Port, _pin.Pin) == GPIO_PIN_SET ? 1U : 0U;
  _m.state = level;
  return level;
}

TS_PIN ts_digitalPin::GetPin() const { return _pin; }

uint16_t ts_digitalPin::GetLastPulse() const { return _m.lastPulse; }

uint16_t ts_digitalPin::GetHZ() const { return _m.pwm_hz; }

uint32_t ts_digitalPin::GetUpCounter() const { return _m.up_counter; }

uint32_t ts_digitalPin::GetDownCounter() const { return _m.dn_counter; }

void ts_digitalPin::on_changed() {
  const uint64_t now = sample_time();
  const bool high = HAL_GPIO_ReadPin(_pin.Port, _pin.Pin) == GPIO_PIN_SET;
  if (high) {
    if (_m.state == 0U) {
      _m.lastRising = now;
      _m.state = 1U;
      const uint16_t before = _m.pwm_count;
      _m.pwm_count = static_cast<uint16_t>(before + 1U);
      if (before == 0U) {
        _m.pwm_time = now;  // the window opens
      } else if (_m.pwm_count >= kWindowTransitions) {
        _m.pwm_hz = window_hz(kWindowTransitions - 1U, now - _m.pwm_time);
        _m.pwm_count = 0U;  // the next transition opens a new window
      }
    } else {
      // High again without a low sample between: the line fell and rose again
      // while this handler was not looking (edges faster than the handler, or
      // a stretch with interrupts held off). The high phase that began at
      // lastRising has ended, so the one in progress is timed from here. Were
      // the first rising time kept, a storm sampled at the same phase every
      // time would read as one long pulse and switch the lights on.
      _m.lastRising = now;
    }
    ++_m.up_counter;
  } else {
    if (_m.state != 0U) {
      // Saturates instead of wrapping: a 70 ms high phase reads 65535, not 4464.
      _m.lastPulse = saturate_u16(now - _m.lastRising);
    }
    _m.state = 0U;
    ++_m.dn_counter;
  }
}

void ts_digitalPin::INT_INIT_ALL() { INT_changed(kAllPins); }

void ts_digitalPin::INT_changed(uint16_t pin) {
  const std::vector<ts_digitalPin*>* const instances = __instances;
  if (instances == nullptr) {
    return;
  }
  // An object never set up has no line to sample; it is skipped in both walks.
  if (pin == kAllPins) {
    for (ts_digitalPin* object : *instances) {
      if (object->configured()) {
        object->on_changed();
      }
    }
    return;
  }
  // The edge path: the mask is compared first, which turns away the objects of
  // other lines (and those never set up, whose mask is 0) in a load and a
  // compare each.
  for (ts_digitalPin* object : *instances) {
    if (object->_pin.Pin == pin && object->configured()) {
      object->on_changed();
    }
  }
}

std::vector<ts_digitalPin*>* ts_digitalPin::get_instances() { return __instances; }

}  // namespace tessel
