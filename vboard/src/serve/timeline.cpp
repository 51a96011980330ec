// The live board's timeline: back to an instant already reached, and what an
// input given there drops (live.h, LiveBoard::go_to).
#include "serve/live.h"

namespace vboard::serve {

bool LiveBoard::go_to(ns_t t) {
  t = std::clamp(t, history_start(), reached());
  edges_->mute(true);  // the stretch rebuilt was kept as it ran
  const bool ok = hist_->goto_time(t);
  edges_->mute(false);
  // What the outside drives, as the inputs up to the instant left it.
  driven_.clear();
  last_.reset();
  for (const Applied& a : inputs_)
    if (a.t <= m_->now()) {
      drive(driven_, a.input);
      last_ = a;
    }
  return ok;
}

void LiveBoard::cut_future() {
  const ns_t now = m_->now();
  std::erase_if(steps_, [&](const Applied& a) { return a.t > now; });
  std::erase_if(inputs_, [&](const Applied& a) { return a.t > now; });
  rerecord();
  edges_->kept().cut(now);
  cut_ = now;
}

std::optional<ns_t> LiveBoard::take_cut() { return std::exchange(cut_, std::nullopt); }

Recording LiveBoard::record_to_now() const {
  Recording r(header("").size());
  for (const Applied& a : steps_)
    if (a.t <= m_->now()) r.add(a.t, step_lines(a));
  return r;
}

}  // namespace vboard::serve
