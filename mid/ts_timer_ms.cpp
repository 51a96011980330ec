#include "ts_timer_ms.h"

#include "applib.h"

namespace tessel {

namespace {

// time + span in single precision (time rounded to the nearest float), the sum
// truncated back to milliseconds and clamped to the uint32_t range.
uint32_t add_span(uint32_t time, float span) {
  const float sum = static_cast<float>(time) + span;
  if (!(sum > 0.0F)) {
    return 0U;
  }
  if (sum >= 4294967296.0F) {
    return 0xFFFFFFFFU;
  }
  return static_cast<uint32_t>(sum);
}

}  // namespace

ts_timer_ms::ts_timer_ms() : ts_timer_ms(0.0F) {}

ts_timer_ms::ts_timer_ms(float span) {
  _m.last = millis();
  _m.now = _m.last;
  _m.span = span * 1000.0F;
  _m.targetTime = 0U;  // the first IsTime() is due at once
}

ts_timer_ms::~ts_timer_ms() = default;

bool ts_timer_ms::IsTime() {
  if (!(_m.span > 0.0F)) {
    return false;
  }
  _m.now = millis();
  if (_m.now >= _m.targetTime) {
    update_next_time(_m.targetTime);
    return true;
  }
  // Far ahead (the clock went backwards relative to us, or the span shrank):
  // start the schedule again from now.
  if (static_cast<float>(_m.targetTime - _m.now) > _m.span * 10.0F) {
    update_next_time(_m.now);
  }
  return false;
}

void ts_timer_ms::update_next_time(uint32_t time) {
  _m.targetTime = add_span(time == 0U ? _m.targetTime : time, _m.span);
  const uint32_t current = millis();
  if (current > _m.targetTime) {
    // More than one span late: drop the missed intervals instead of bursting.
    _m.targetTime = add_span(current, _m.span);
  }
}

void ts_timer_ms::Reset() {
  _m.last = millis();
  _m.now = _m.last;
  _m.targetTime = add_span(_m.now, _m.span);
}

void ts_timer_ms::SetSpan(float span) { _m.span = span * 1000.0F; }

float ts_timer_ms::GetSpan() const { return _m.span / 1000.0F; }

}  // namespace tessel
