// The VCD trace: every change of the chosen pins, written while the run goes.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "outputs/vcd_timescale.h"
#include "vboard/machine.h"

namespace vboard {

// Time lines ("#1234567\n") for numbers that mostly grow by a little: the
// '#' and the digits above the last four are kept as text, made anew only
// when a number leaves their ten thousand; the last four digits come two at a
// time from a table. put() copies a fixed kSlack bytes: the buffer written
// into needs that much room past the line's end.
class TimeLines {
 public:
  static constexpr size_t kSlack = 32;
  // Writes the line of v (any value, in any order) at p; returns its end.
  char* put(char* p, uint64_t v) {
    if (v < base_ || v - base_ >= kLow || base_ == 0) [[unlikely]]
      return put_new(p, v);
    const auto low = static_cast<uint32_t>(v - base_);
    std::memcpy(p, head_.data(), kSlack);
    p += head_len_;
    std::memcpy(p, &kPairs[2 * (low / 100)], 2);
    std::memcpy(p + 2, &kPairs[2 * (low % 100)], 2);
    p[4] = '\n';
    return p + 5;
  }

 private:
  static constexpr uint64_t kLow = 10000;
  char* put_new(char* p, uint64_t v);
  // "00" to "99".
  static constexpr std::array<char, 200> kPairs = [] {
    std::array<char, 200> a{};
    for (size_t i = 0; i < 100; ++i) {
      a[2 * i] = static_cast<char>('0' + i / 10);
      a[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return a;
  }();
  uint64_t base_ = 0;                // v - v % kLow of the last line; 0: below kLow, written whole
  std::array<char, kSlack> head_{};  // '#' and the digits of base_ / kLow
  size_t head_len_ = 0;
};

// A VCD trace written while the run goes, every change of the chosen pins
// (nothing is capped; the file is the only copy). Open it and attach it to the
// board (Board::watch_pins) before the run, finish it after.
class VcdWriter final : public PinWatcher {
 public:
  VcdWriter() = default;
  ~VcdWriter() override;
  VcdWriter(const VcdWriter&) = delete;
  VcdWriter& operator=(const VcdWriter&) = delete;
  // pins empty: every pin of the package. Levels at t0 are the initial values.
  // Times are written in units of `timescale` ns, each change at the nearest
  // multiple (a half rounds up); a high or low phase shorter than half a unit
  // can vanish, and finish() counts those. False, with *error, on an unknown
  // pin name or a file that cannot be created.
  bool open(const std::string& path, const Board& board, const std::vector<std::string>& pins, ns_t t0,
            std::string* error, ns_t timescale = kVcdTimescale);
  // High or low phases that rounding to the timescale made zero long (after finish()).
  uint64_t collapsed() const { return collapsed_; }
  void pin_changed(unsigned pin, ns_t t, int level) override;
  void pin_changes(unsigned pin, const PinChange* c, size_t n) override;
  void settled() override;
  // Writes what is held and the end time; false, with the reason, when any write failed.
  bool finish(ns_t end, std::string* error);

 private:
  struct Held {
    ns_t t;
    uint32_t slot;
    int level;
  };
  template <class Units>
  char* put_held(char* p, Units units);
  void flush();
  void append(const std::string& text);
  ns_t units(ns_t t) const { return (t + scale_ / 2) / scale_; }
  std::FILE* f_ = nullptr;
  std::string path_;
  std::vector<int> slot_;  // pin index -> traced signal, -1 not traced
  std::vector<std::string> ids_;
  // Per traced signal and level: its change line ("0!\n"), made once.
  struct ChangeLine {
    std::array<char, 4> text;
    uint8_t len;
  };
  std::vector<ChangeLine> lines_;  // index 2 * signal + level
  std::vector<Held> held_;         // changes since the last settled()
  bool held_mixed_ = false;        // held_ holds changes of more than one signal
  std::vector<char> out_;          // text not yet written: its first used_ bytes
  size_t used_ = 0;
  TimeLines time_;
  ns_t last_t_ = 0;  // in units of the timescale
  ns_t scale_ = 1;
  std::vector<ns_t> slot_t_;  // per traced signal: its last change, in units
  uint64_t collapsed_ = 0;
  std::string write_error_;
};

}  // namespace vboard
