#include "world/promises.h"

#include <algorithm>
#include <set>

#include "vboard/state.h"

namespace vboard::world {

Promises::Promises(const std::vector<BoardPromise>& list, unsigned strip_leds, ns_t latch)
    : list_(list), watch_(list.size()), leds_(strip_leds), latch_(latch) {
  for (size_t i = 0; i < list_.size(); ++i) watch_[i].switched.assign(list_[i].to.size(), false);
}

std::vector<std::string> Promises::pins() const {
  std::set<std::string> all;
  for (const BoardPromise& p : list_) {
    all.insert(p.from.begin(), p.from.end());
    all.insert(p.to.begin(), p.to.end());
  }
  return {all.begin(), all.end()};
}

void Promises::pin_changed(const std::string& pin, int level, ns_t t) {
  for (size_t i = 0; i < list_.size(); ++i) {
    const BoardPromise& p = list_[i];
    Watch& w = watch_[i];
    const auto to = std::find(p.to.begin(), p.to.end(), pin);
    if (to != p.to.end() && w.armed) {
      w.switched[static_cast<size_t>(to - p.to.begin())] = true;
      if (std::all_of(w.switched.begin(), w.switched.end(), [](bool b) { return b; })) {
        ++w.samples[t - w.t0];
        w.armed = false;
      }
    }
    const bool edge = p.edge == "any" || (p.edge == "falling") == (level == 0);
    if (!edge || std::find(p.from.begin(), p.from.end(), pin) == p.from.end()) continue;
    if (p.to.empty() && !shown_) continue;  // the strip has shown no colour yet: nothing to change from
    if (!w.armed) w.before = shown_;
    w.armed = true;
    w.t0 = t;
    std::fill(w.switched.begin(), w.switched.end(), false);
  }
}

void Promises::frame_latched(const StripFrame& f) {
  if (f.colors.size() < leds_ || leds_ == 0) return;  // not the whole strip
  const Rgb c = f.colors[0];
  for (size_t k = 1; k < leds_; ++k)
    if (f.colors[k] != c) return;  // not one colour
  shown_ = c;
  const ns_t t = f.t + latch_;  // the LEDs take the frame once the line has been low this long
  for (size_t i = 0; i < list_.size(); ++i) {
    Watch& w = watch_[i];
    if (!list_[i].to.empty() || !w.armed || w.before == shown_) continue;
    ++w.samples[t - w.t0];
    w.armed = false;
  }
}

void Promises::report(RunResult& r) const {
  for (size_t i = 0; i < list_.size(); ++i) {
    const BoardPromise& p = list_[i];
    PromiseTiming out;
    out.name = p.name;
    out.from = p.edge + " edge of " + (p.from.size() > 1 ? "any of " : "");
    for (size_t k = 0; k < p.from.size(); ++k) out.from += (k ? ", " : "") + p.from[k];
    out.to = p.to.empty() ? "the whole strip latched in a new colour" : "switched: ";
    for (size_t k = 0; k < p.to.size(); ++k) out.to += (k ? ", " : "") + p.to[k];
    const auto& s = watch_[i].samples;
    for (const auto& [t, n] : s) out.samples += n;
    if (out.samples) {
      out.min = s.begin()->first;
      out.max = s.rbegin()->first;
      uint64_t seen = 0;  // the lower median of an even count
      for (const auto& [t, n] : s)
        if ((seen += n) * 2 >= out.samples) {
          out.median = t;
          break;
        }
    }
    r.margins.promises.push_back(out);
  }
}

void Promises::state(StateVisitor& v) {
  v.items("watch", watch_, [](StateVisitor& s, Watch& w) {
    s("armed", w.armed);
    s("t0", w.t0);
    s("switched", w.switched);
    s("before", w.before);
    s("samples", w.samples);
  });
  v("shown", shown_);
}

}  // namespace vboard::world
