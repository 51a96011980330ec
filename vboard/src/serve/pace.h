// The pace the live board keeps, as its pages are told it (see PaceWatch).
#pragma once

#include <deque>
#include <utility>

#include "vboard/device.h"

namespace vboard::serve {

// The pace as the pages see it, from wall times in seconds and virtual times:
// `achieved` is the virtual seconds per wall second over about the last
// second; `lagging` is set when the machine falls a quarter second behind the
// pace asked and cleared only after two seconds without falling behind again,
// so that a machine short of the pace shows so steadily.
class PaceWatch {
 public:
  static constexpr double kWindow = 1.0, kSteady = 2.0;
  // After each slice (and when idle): the machine's virtual time at `wall`.
  void sample(double wall, ns_t vt);
  // The machine was a quarter second behind at `wall` (its debt dropped).
  void fell_behind(double wall);
  // A new pace or a new power-on: nothing measured yet, nothing owed.
  void restart();
  double achieved() const;
  bool lagging() const { return lagging_; }

 private:
  std::deque<std::pair<double, ns_t>> samples_;
  bool lagging_ = false;
  double behind_at_ = 0;
};

}  // namespace vboard::serve
