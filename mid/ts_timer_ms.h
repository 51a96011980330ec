// A polled interval timer for the foreground loop: IsTime() answers true at most
// once per call and once per span on average, keeping its phase when a caller is
// a little late and restarting one span after "now" when it fell behind by more
// than a span. Reads millis() only; front firmware only.
#pragma once

#include <cstdint>

namespace tessel {

class ts_timer_ms {
 public:
  ts_timer_ms();                     // span 0: never due until SetSpan gives it a positive span
  explicit ts_timer_ms(float span);  // span in seconds
  virtual ~ts_timer_ms();

  bool IsTime();

  // Restart the schedule from now: the next due call is one span from now.
  void Reset();
  // Span in seconds, like the constructor's argument; kept in milliseconds.
  void SetSpan(float span);
  float GetSpan() const;  // seconds

 protected:
  void update_next_time(uint32_t time);

  struct {
    uint32_t last;        // millis() at construction (or Reset)
    uint32_t now;         // millis() of the latest IsTime() call
    uint32_t targetTime;  // the next IsTime() at or after this time is due
    float span;           // interval in milliseconds; <= 0 means never due
  } _m;
};

}  // namespace tessel
