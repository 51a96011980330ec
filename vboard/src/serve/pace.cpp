// The pace as the pages see it (pace.h).
#include "serve/pace.h"

namespace vboard::serve {

void PaceWatch::sample(double wall, ns_t vt) {
  if (!samples_.empty() && vt < samples_.back().second) samples_.clear();
  // Samples closer than 10 ms replace the newest: a second holds about a hundred.
  if (samples_.size() >= 2 && wall - samples_[samples_.size() - 2].first < 0.01)
    samples_.back() = {wall, vt};
  else
    samples_.emplace_back(wall, vt);
  // Keep one sample a window old or older, to measure across the whole window.
  while (samples_.size() > 2 && samples_[1].first <= wall - kWindow) samples_.pop_front();
  if (lagging_ && wall - behind_at_ >= kSteady) lagging_ = false;
}

void PaceWatch::fell_behind(double wall) {
  lagging_ = true;
  behind_at_ = wall;
}

void PaceWatch::restart() {
  samples_.clear();
  lagging_ = false;
}

double PaceWatch::achieved() const {
  if (samples_.size() < 2) return 0;
  const double span = samples_.back().first - samples_.front().first;
  if (span <= 0) return 0;
  return static_cast<double>(samples_.back().second - samples_.front().second) / 1e9 / span;
}

}  // namespace vboard::serve
