// What the live page's logic analyser looks back over: every edge of the
// traced pins since they were chosen (up to a bound per pin, the oldest
// going first), and the strip's latched frames with the span of their bits,
// so that a window of the past can be drawn, decoded and written as a VCD
// file long after the page saw it stream by.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "serve/recording.h"

namespace vboard::serve {

// One latched strip frame: its bits ran from `start` to `latch`.
struct KeptFrame {
  ns_t start = 0, latch = 0;
  unsigned bits = 0;
  std::vector<Rgb> leds;
};

class KeptTrace {
 public:
  // 1 MiB a pin at most (a pin pulsed at 50 Hz keeps 10 minutes; a strip's data line its last 40 ms, its
  // frames much longer).
  static constexpr size_t kMaxEdgesPerPin = 1 << 16;
  static constexpr size_t kMaxFrames = 20000;
  // A strip bit as the firmwares send it, for a frame whose first edge is not kept.
  static constexpr ns_t kBitNs = 1250;

  // Starts keeping `pin` from `t`, where its level is `level` (a pin kept
  // already keeps its past); pins not in the new choice are dropped.
  void keep(const std::vector<unsigned>& pins, ns_t t, const std::vector<int>& levels);
  void edge(unsigned pin, ns_t t, int level);
  // A frame latched at `latch` after `bits` bits on `pin` (its first edge after the last latch starts it).
  void frame(unsigned pin, ns_t latch, unsigned bits, std::vector<Rgb> leds);
  // Forgets everything after t (the run goes on from an earlier instant).
  void cut(ns_t t);

  struct Window {
    int level = 0;                            // at `from`
    std::vector<std::pair<ns_t, int>> edges;  // in (from, to], at most `most`
    bool more = false;                        // edges past `most` were left out
    ns_t kept_from = 0;                       // the first instant kept of this pin
  };
  bool kept(unsigned pin) const;
  Window window(unsigned pin, ns_t from, ns_t to, size_t most) const;
  // Frames whose bits overlap [from, to].
  std::vector<KeptFrame> frames(ns_t from, ns_t to, size_t most) const;
  // The earliest instant any pin is kept from (0 when none is kept).
  ns_t earliest() const;

 private:
  struct Pin {
    unsigned index = 0;
    ns_t from = 0;
    int level = 0;  // at `from`
    std::deque<std::pair<ns_t, int>> edges;
  };
  const Pin* find(unsigned pin) const;
  std::vector<Pin> pins_;
  std::deque<KeptFrame> frames_;
};

// The kept edges of [from, to] as a VCD file of `vboard --vcd`'s format
// (10 ns units, each change at the nearest unit): `names` are the pins' names
// in the file, in the order given. "" with *why when the window holds none of them.
std::string window_vcd(const KeptTrace& kept, const std::vector<std::pair<unsigned, std::string>>& pins,
                       ns_t from, ns_t to, size_t most_bytes, std::string* why);

}  // namespace vboard::serve
