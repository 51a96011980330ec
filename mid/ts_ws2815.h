// WS2815 strip driver: the whole frame lives in RAM as one ready-made PWM
// compare value per bit, and a circular DMA channel streams it into a timer
// channel's compare register for ever, one value per PWM period. Changing a
// colour rewrites 24 bytes; the strip shows it from the next pass on.
//
// Use: Setup (timing from the system clock), Start (stream begins, all black),
// then SetColor/Clear from the foreground as often as wanted.
#pragma once

#include <cstdint>

#include "stm32g4xx_hal.h"

namespace tessel {

// Capacity of the frame in LEDs.
constexpr uint8_t ___max_len = 64U;

// The strip's bit timing for a timer clock: compare values of a 1 and a 0 bit,
// and the timer's prescaler and period (auto-reload) for one bit per period.
struct ws2815_timing {
  uint32_t prescaler;
  uint32_t period;
  uint8_t high;
  uint8_t low;
};

// Timing for a timer clock of `hz`, in integer and single-precision steps only.
// The tick counts are those of the classic derivation in double precision
// (clock in MHz rounded to a float, one tick 1/clock as a float, ticks per
// microsecond t = 1 / tick; high = t * 0.8 - 1, low = t * 0.3 - 1, period =
// t * 1.25 - 1, truncated; prescaler ceil(1.25 / (clock * 255)) - 1), which
// rounds 150 MHz to t = 149.99999637 and so gives high 118, not 119.
ws2815_timing ws2815_timing_for(uint32_t hz);

class ts_ws2815 {
 public:
  // One LED position: one compare value per bit, green, red, blue, bit 7 first.
  struct __attribute__((packed)) s_rgb {
    uint8_t g[8];
    uint8_t r[8];
    uint8_t b[8];
  };

  static constexpr uint16_t kResetSlots = 500U;  // all-low slots after the last position
  static constexpr uint16_t kLatchSlots = 240U;  // all-low periods sent after the strip
  static constexpr uint16_t kFrameBytes = ___max_len * sizeof(s_rgb) + kResetSlots;  // 2036

  ts_ws2815();
  // Stops a running stream first: the DMA must not read a frame that is gone.
  virtual ~ts_ws2815();

  // The DMA reads this object's own frame: copies would not be streamed.
  ts_ws2815(const ts_ws2815&) = delete;
  ts_ws2815& operator=(const ts_ws2815&) = delete;
  ts_ws2815(ts_ws2815&&) = delete;
  ts_ws2815& operator=(ts_ws2815&&) = delete;

  void Setup(TIM_HandleTypeDef* htim, uint32_t channel, uint8_t ledCount);
  // Starts streaming with the current settings; on a running driver the stream
  // is stopped and started afresh.
  void Start();
  // Positions at or beyond the strip length (or the capacity) are ignored, so
  // the streamed latch gap always stays low.
  void SetColor(uint8_t idx, uint8_t r, uint8_t g, uint8_t b);
  void Clear();  // every LED of the strip black

 private:
  bool streaming() const { return _m.size != 0U; }

  // Field order and packing are the frame driver's record layout.
  struct __attribute__((packed)) {
    TIM_HandleTypeDef* htim;  // not owned
    uint32_t channel;         // TIM_CHANNEL_x
    uint8_t ledCount;
    uint16_t size;  // slots per DMA pass; nonzero once Start has run
    struct __attribute__((packed)) {
      s_rgb leds[___max_len];
      uint8_t reset[kResetSlots];
    } buffer;  // written by the foreground, read by the DMA byte by byte
    struct __attribute__((packed)) {
      uint8_t low;   // compare value of a 0 bit
      uint8_t high;  // compare value of a 1 bit
      uint16_t rst;  // latch gap in slots
    } io;
    struct __attribute__((packed)) {
      uint32_t last;
      uint8_t idx;
      uint8_t brigthness;
    } test;  // reserved; zero
  } _m;
};

}  // namespace tessel
