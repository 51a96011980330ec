#include <algorithm>

#include "world/sources.h"
#include "vboard/state.h"

namespace vboard::world {

namespace {
// Deterministic pseudo-random value per pulse number (splitmix64).
uint64_t mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}
}  // namespace

// Computes the next edge of a source after the one just applied.
void SignalSources::step(Source& s) {
  if (s.pulse) {
    const PulseSpec& p = s.p;
    const ns_t rise = p.start + s.index * p.period;
    if (s.high_next) {
      if (rise >= p.stop || (p.period == 0 && s.index > 0)) {
        s.next = kNever;
        return;
      }
      s.next = rise;
      s.next_level = 1;
    } else {
      int64_t w = static_cast<int64_t>(p.width);
      if (p.jitter) {
        const uint64_t span = 2 * p.jitter + 1;
        w += static_cast<int64_t>(mix(s.index) % span) - static_cast<int64_t>(p.jitter);
      }
      const int64_t max_w = p.period > 1 ? static_cast<int64_t>(p.period) - 1 : w;
      w = std::clamp<int64_t>(w, 1, std::max<int64_t>(1, max_w));
      s.next = rise + static_cast<ns_t>(w);
      s.next_level = 0;
    }
    return;
  }
  // Level line: the settle edge at `at`, then each bounce leaves and returns.
  const LevelSpec& l = s.l;
  const uint64_t steps = l.level < 0 ? 0 : 2ull * l.bounces;
  if (s.index > steps) {
    s.next = kNever;
    return;
  }
  s.next = l.at + s.index * l.bounce_ns;
  s.next_level = (l.level < 0) ? -1 : ((s.index & 1u) ? !l.level : l.level);
}

void SignalSources::add_pulse(const PulseSpec& p, periph::Gpio* gpio, unsigned pin) {
  Source s{gpio, pin, true, p, {}, 0, true, kNever, 0};
  // The driver holds the line low between pulses from the moment it is connected.
  gpio->set_external(pin, 0, ctx_.bus.now());
  step(s);
  sources_.push_back(s);
}

void SignalSources::add_level(const LevelSpec& l, periph::Gpio* gpio, unsigned pin) {
  Source s{gpio, pin, false, {}, l, 0, true, kNever, 0};
  step(s);
  sources_.push_back(s);
}

void SignalSources::stop(periph::Gpio* gpio, unsigned pin, ns_t at, bool finish_pulse) {
  advance(at);  // edges due up to `at` still happen
  for (auto it = sources_.begin(); it != sources_.end();) {
    if (it->gpio != gpio || it->pin != pin) {
      ++it;
      continue;
    }
    if (it->pulse && !it->high_next) {
      if (finish_pulse) {  // only its falling edge is left
        it->p.stop = std::min(it->p.stop, at);
        ++it;
        continue;
      }
      gpio->set_external(pin, 0, at);
    }
    it = sources_.erase(it);
  }
}

void SignalSources::advance(ns_t now) {
  ++ctx_.epoch;
  for (;;) {
    Source* first = nullptr;
    for (auto& s : sources_)
      if (s.next <= now && (!first || s.next < first->next)) first = &s;
    if (!first) return;
    first->gpio->set_external(first->pin, first->next_level, first->next);
    if (first->pulse) {
      if (!first->high_next) ++first->index;
      first->high_next = !first->high_next;
    } else {
      ++first->index;
    }
    step(*first);
  }
}

ns_t SignalSources::next_event() const {
  ns_t best = kNever;
  for (const auto& s : sources_) best = std::min(best, s.next);
  return best;
}

}  // namespace vboard::world

// ------------------------------------------------------------------ state

namespace vboard::world {

// Which port and pin each source drives is wiring: the same options add the
// same sources, and a load checks that they are the ones the archive holds.
void SignalSources::state(StateVisitor& v) {
  v.items("sources", sources_, [](StateVisitor& s, Source& src) {
    if (src.gpio == nullptr) return s.fail("a source without its pin (added after the archive was made?)");
    s.expect("port", src.gpio->port());
    s.expect("pin", src.pin);
    s("pulse", src.pulse);
    s("p", src.p);
    s("l", src.l);
    s("index", src.index);
    s("high_next", src.high_next);
    s("next", src.next);
    s("next_level", src.next_level);
  });
}

}  // namespace vboard::world
