// The WS2815 LED strip as a part of the board's world: it watches its data pin
// and decodes what the pin carries.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "chip/models.h"
#include "world/board.h"
#include "world/strip.h"

namespace vboard::world {

// Decodes the pad waveform of a WS2815 data line: bit timing against the
// datasheet windows and against what real parts accept (both from the board
// file), frames latched by the reset gap, GRB colours per LED.
class Ws2815Strip : public Device, public periph::PinListener, public StripView {
 public:
  // `who`: the part's name, pin and role on its board.
  Ws2815Strip(periph::Context& ctx, unsigned leds, const StripTiming& timing = {},
              PartIdentity who = {"strip", kStripKind, "", ""});
  std::string name() const override { return "WS2815"; }
  void pin_changed(int level, ns_t t) override;
  void pin_changes(const PinChange* c, size_t n) override;
  bool takes_trains() const override { return true; }
  void pin_train(const periph::PwmTrain& t) override;
  // Latches a frame whose reset gap is still running (the line stayed low).
  void advance(ns_t now) override;
  // Brings the driving peripheral up to `t` before the strip judges a quiet line.
  void set_sync(std::function<void(ns_t)> f) { sync_ = std::move(f); }
  StripReport report() const;
  unsigned leds() const override { return leds_; }
  uint64_t frames_total() const override { return frames_total_; }
  const StripRun* current() const override { return frames_total_ ? &current_ : nullptr; }
  uint64_t violation_count(bool datasheet) const override;
  std::vector<StripViolationKind> violation_kinds() const override;
  void watch_frames(std::function<void(const StripFrame&)> f) override { watch_ = std::move(f); }
  // The board's own look at each latched frame (its promises), beside the one above.
  void board_watch_frames(std::function<void(const StripFrame&)> f) { board_watch_ = std::move(f); }
  // PartView
  const PartIdentity& identity() const override { return who_; }
  std::vector<PartViolations> violations() const override;
  std::shared_ptr<const PartRecord> record() const override;
  std::string describe() const override;

  static constexpr size_t kViolationCap = 1000, kPerKindCap = 100, kFrameCap = 100'000, kRunCap = 10'000;

  enum Kind : unsigned { kT0H, kT1H, kT0L, kT1L, kAmbiguous, kLongLow, kFrameBits, kNoLatch, kKinds };
  // Bits past which a frame that has not latched is a violation (kNoLatch): the
  // line never stayed low for the latch time, e.g. a latch longer than the
  // firmware's gap between frames.
  static constexpr unsigned kNoLatchBits = 2 * 4096 * 24;
  uint64_t count(Kind k) const { return counts_[k]; }
  uint64_t bits_total() const { return bits_total_; }
  // Bytes kept of the frame not latched yet: at most the strip's length (3 per
  // LED); the bits past it are passed on down the strip and not kept.
  size_t bytes_kept() const { return bytes_.size(); }
  // Its mutable state, for saving, loading and comparing (vboard/state.h).
  void state(StateVisitor& v) override;

 private:
  void edge(int level, ns_t t);
  size_t known_bits(const PinChange* c, size_t i, size_t n);
  void finish_bit(ns_t high, ns_t low, bool last, ns_t t_rise);
  // `no_latch_at`: the time a kNoLatch violation the bit raises is given.
  bool repeat_bit(ns_t high, ns_t low, ns_t no_latch_at);
  void push_bit(int bit, ns_t no_latch_at);
  void push_bits(int bit, uint64_t m);
  uint32_t rise_in_frame(ns_t t);
  void latch(ns_t t);
  void violation(Kind k, ns_t t, ns_t value);
  // One finding in words: which timing, the value measured and the window it left.
  std::string describe(Kind k, ns_t value) const;

  periph::Context& ctx_;
  PartIdentity who_;
  unsigned leds_;
  StripTiming tm_;
  std::function<void(ns_t)> sync_;
  int level_ = 0;
  ns_t last_rise_ = 0, last_fall_ = 0;
  bool pending_ = false;  // a high phase ended; its low time is still running
  ns_t pending_high_ = 0;
  bool gap_open_ = false;  // a frame was latched and its reset gap is still running
  unsigned bits_ = 0;
  uint8_t cur_ = 0;
  std::vector<uint8_t> bytes_;
  uint64_t bits_total_ = 0, frames_total_ = 0;
  std::array<uint64_t, kKinds> counts_{};
  std::array<ns_t, kKinds> first_{}, last_{};  // times of the first and last violation of each kind
  std::array<ns_t, kKinds> last_value_{};      // what the last one of each kind measured (ns, or bits)
  std::array<size_t, kKinds> stored_{};
  StripReport rep_;
  std::vector<StripRun> runs_;  // the first finished runs of equal frames (kRunCap)
  uint64_t runs_total_ = 0;
  StripRun current_;  // the run the last frame belongs to
  std::function<void(const StripFrame&)> watch_, board_watch_;
  bool have_stats_[2] = {false, false};
  bool have_low_[2] = {false, false};
  // Bits inside a frame come in a few (high, low) shapes; a shape judged once
  // gives the same bit and the same violations again, and leaves the timing
  // summary as it is. Only while the violations it raises are no longer listed.
  struct Shape {
    ns_t high = kNever, low = kNever;
    int bit = 0;
    uint32_t kinds = 0;  // violations it raises, one bit per Kind
  };
  std::array<Shape, 16> shapes_{};
  uint32_t raised_ = 0;    // kinds raised by the bit being judged
  uint32_t unlisted_ = 0;  // kinds whose list is full (counted only)
};

}  // namespace vboard::world
