// Scenario files: playing the steps against a machine, and the JUnit report.
// Time moves only in delay and in the waiting steps; every other step acts at the
// current virtual time. A failed expectation is recorded and the scenario goes
// on, so one run names every step that fails; only a halted image ends it early.
#include <memory>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <variant>

#include "cli/strip_steps.h"
#include "cli/scenario.h"
#include "world/strip.h"
#include "outputs/svg.h"
#include "world/values.h"

namespace vboard::scenario {

namespace {

// Waiting steps look at the board this often (virtual time). A wait ends at the
// first look after the edge, so at most 100 us late; finer looks would keep the
// machine from skipping idle time and cost far more wall time than they tell.
constexpr ns_t kPinPoll = 100 * kUs;
constexpr ns_t kStripPoll = 50 * kUs;

std::string level_text(int level) { return level ? "1 (high)" : "0 (low)"; }

// A value in a given unit, without trailing zeros: "51.2".
std::string in_unit(ns_t v, ns_t unit) {
  const unsigned long long whole = v / unit, nines = (v % unit) * (kSec / unit);  // fraction in 1e-9
  char b[48];
  std::snprintf(b, sizeof b, "%llu.%09llu", whole, nines);
  std::string t = b;
  t.erase(t.find_last_not_of('0') + 1);
  if (t.back() == '.') t.pop_back();
  return t;
}

ns_t unit_for(ns_t v) { return v >= kSec ? kSec : v >= kMs ? kMs : v >= kUs ? kUs : 1; }
const char* unit_name(ns_t unit) {
  return unit == kSec ? "s" : unit == kMs ? "ms" : unit == kUs ? "us" : "ns";
}

// A window "45-55 ms", in the unit of its upper end.
std::string window(ns_t lo, ns_t hi) {
  const ns_t u = unit_for(hi);
  return in_unit(lo, u) + "-" + in_unit(hi, u) + " " + unit_name(u);
}
// A measured value in the unit of the window it is held against: "51.2 ms".
std::string measured(ns_t v, ns_t hi) {
  const ns_t u = unit_for(hi);
  return in_unit(v, u) + " " + unit_name(u);
}

std::string high_low(int level) { return level ? "high" : "low"; }

// The edges of one pin while a step runs, taken from the board's pin watch as
// they happen; every change still reaches the watcher that was there before (a
// VCD trace), which gets its place back when the tap ends.
class EdgeTap : public PinWatcher {
 public:
  EdgeTap(Board& b, unsigned pin, std::function<void(int, ns_t)> edge)
      : b_(b), pin_(pin), edge_(std::move(edge)), next_(b.pin_watcher()) {
    b_.watch_pins(this);
  }
  ~EdgeTap() override { b_.watch_pins(next_); }
  EdgeTap(const EdgeTap&) = delete;
  EdgeTap& operator=(const EdgeTap&) = delete;
  void pin_changed(unsigned pin, ns_t t, int level) override {
    if (pin == pin_) edge_(level, t);
    if (next_) next_->pin_changed(pin, t, level);
  }
  void settled() override {
    if (next_) next_->settled();
  }

 private:
  Board& b_;
  unsigned pin_;
  std::function<void(int, ns_t)> edge_;
  PinWatcher* next_;
};

class Player {
 public:
  Player(Machine& m, const Scenario& s, const std::set<std::string>& allowed, History* history)
      : m_(m), s_(s), allowed_(allowed), history_(history) {
    out_.file = s.file;
    out_.name = s.name;
    out_.steps = s.steps.size();
  }

  Outcome play() {
    // The windows the violation checks open: at a time (counted when time gets
    // there) or at the start of a labelled step.
    std::set<size_t> marked;
    for (const Step& st : s_.steps) {
      const auto* check = std::get_if<ExpectNoViolations>(&st.what);
      if (!check) continue;
      if (check->since.from == Since::From::time) at_time_.emplace(check->since.t, std::nullopt);
      if (check->since.from == Since::From::step) marked.insert(check->since.step);
    }
    snapshot_times();
    for (size_t i = 0; i < s_.steps.size(); ++i) {
      const Step& st = s_.steps[i];
      if (marked.count(i)) at_step_[i] = {m_.now(), counts()};
      if (!std::visit([&](const auto& what) { return act(i, what, m_.now()); }, st.what)) {
        // The image stopped: time cannot move on, so the rest cannot be judged.
        if (i + 1 < s_.steps.size())
          fail(i, "the remaining steps to run", std::to_string(s_.steps.size() - i - 1) + " steps not run");
        ++out_.steps_run;
        break;
      }
      ++out_.steps_run;
      if (history_ && !out_.failures.empty()) break;  // a debugger takes over at the failing step
    }
    out_.end = m_.now();
    return out_;
  }

 private:
  // Exact counts of everything a violation check judges, taken where a check's
  // window opens: the check looks at what they grew by since.
  struct Counts {
    RunTally tally;
    std::map<std::pair<std::string, std::string>, uint64_t> parts;  // (part, kind of violation) -> count
    std::map<std::pair<std::string, std::string>, uint64_t> rules;  // (finding kind, where) -> count
  };

  Counts counts() {
    Counts c;
    c.tally = m_.tally();
    for (const PartView* p : m_.board().parts())
      for (const PartViolations& v : p->violations()) c.parts[{p->identity().name, v.kind}] = v.total;
    for (const Diagnostic& d : m_.board().diagnostics()) c.rules[{d.kind, d.where}] = d.count;
    return c;
  }

  std::string halt_text() const {
    const Halt& h = *m_.halt();
    return "the image stopped (" + h.reason + " in " + h.symbol + ") at " + format_ns(h.t);
  }

  void fail(size_t i, const std::string& expected, const std::string& seen) {
    Failure f;
    f.step = i;
    f.where = s_.file + ":" + std::to_string(s_.steps[i].line);
    f.kind = step_name(s_.steps[i].kind());
    f.t = m_.now();
    f.expected = expected;
    f.seen = seen;
    out_.failures.push_back(f);
  }

  // Counts at every window time reached so far.
  void snapshot_times() {
    for (auto& [t, c] : at_time_)
      if (!c && t <= m_.now()) c = counts();
  }

  // Runs to `t`, stopping at the window times on the way; false (with the
  // failure recorded) if time cannot get there because the image halted (and
  // the machine stops on a halt).
  bool advance(size_t i, ns_t t, const std::string& expected) {
    for (auto it = at_time_.upper_bound(m_.now()); it != at_time_.end() && it->first < t; ++it) {
      run_until(it->first);
      if (m_.now() < it->first) break;
      snapshot_times();
    }
    run_until(t);
    snapshot_times();
    if (m_.now() < t && m_.halt()) {
      fail(i, expected, halt_text());
      return false;
    }
    return true;
  }

  // One step, at virtual time `now`: false when the image halted on the way.
  bool act(size_t i, const Delay& d, ns_t now) {
    return advance(i, now + d.duration, "time to pass to " + format_ns(now + d.duration));
  }
  bool act(size_t, const Set& st, ns_t) {
    give("set " + st.pin, [st](Machine& m) {
      m.board().stop_sources(st.pin, m.now(), false);
      m.board().add_level({st.pin, st.level, m.now(), st.bounces, st.bounce_ns});
    });
    return true;
  }
  bool act(size_t i, const Pulse& st, ns_t) {
    auto known = std::make_shared<bool>(true);  // what the first giving found (replays find the same)
    give("pulse " + st.pin, [st, known](Machine& m) {
      *known = m.board().stop_sources(st.pin, m.now(), true);
      if (!st.stop) m.board().add_pulse({st.pin, st.width, st.period, m.now(), kNever, st.jitter});
    });
    if (!*known) fail(i, "a pulse source on " + st.pin, "the board has no such pin");
    return true;
  }
  bool act(size_t, const InjectIrq& st, ns_t) {
    give("IRQ " + std::to_string(st.irq), [irq = st.irq](Machine& m) { m.inject_irq({irq, m.now()}); });
    return true;
  }

  // An input the step gives the board now: through the history, when there is
  // one, which gives it again when it rebuilds a later instant.
  void give(const std::string& what, const History::Replay& input) {
    if (history_)
      history_->input(what, input);
    else
      input(m_);
  }
  void run_until(ns_t t) {
    if (history_)
      history_->run_until(t);
    else
      m_.run_until(t);
  }
  bool act(size_t i, const ExpectPin& st, ns_t) {
    if (m_.board().pin_level(st.pin) != st.level)
      fail(i, st.pin + " = " + level_text(st.level), pin_seen(st.pin));
    return true;
  }
  bool act(size_t i, const ExpectNoViolations& st, ns_t) {
    check_violations(i, st);
    return true;
  }

  // Runs to `deadline` in slices, with every edge of `pin` going to `edge` as it
  // happens, until `done(now)` says the verdict is in. False if the image halted.
  bool watch_edges(size_t i, const std::string& pin, ns_t deadline, ns_t slice, const std::string& expected,
                   const std::function<void(int, ns_t)>& edge, const std::function<bool(ns_t)>& done) {
    Board& b = m_.board();
    const std::vector<std::string> names = b.pin_names();
    const auto at = std::find(names.begin(), names.end(), pin);
    if (at == names.end()) {
      fail(i, expected, "the board has no pin " + pin);
      return true;
    }
    EdgeTap tap(b, static_cast<unsigned>(at - names.begin()), edge);
    while (!done(m_.now()) && m_.now() < deadline)
      if (!advance(i, std::min(deadline, m_.now() + std::max(slice, kPinPoll)), expected)) return false;
    return true;
  }

  bool act(size_t i, const ExpectStable& st, ns_t now) {
    const ns_t end = now + st.hold;
    const std::string expected = st.pin + " = " + level_text(st.level) + " for " + values::exact_ns(st.hold) +
                                 " (to " + format_ns(end) + ")";
    if (m_.board().pin_level(st.pin) != st.level) {
      fail(i, expected, pin_seen(st.pin));
      return true;
    }
    std::optional<std::pair<int, ns_t>> change;
    const bool running = watch_edges(
        i, st.pin, end, st.hold / 1000, expected,
        [&](int level, ns_t t) {
          if (!change && t >= now) change = {level, t};
        },
        [&](ns_t) { return change.has_value(); });
    if (running && change)
      fail(i, expected,
           st.pin + " changed to " + level_text(change->first) + " at " + format_ns(change->second) + ", " +
               values::exact_ns(change->second - now) + " into the " + values::exact_ns(st.hold));
    return running;
  }

  bool act(size_t i, const ExpectBlink& st, ns_t now) {
    const ns_t tol = st.tolerance;
    const std::string expected = st.pin + " blinking for " + std::to_string(st.count) + " periods: period " +
                                 window(st.period - tol, st.period + tol) + ", high " +
                                 window(st.high - tol, st.high + tol);
    enum class Phase { first_rise, high, low } phase = Phase::first_rise;
    ns_t rise = 0;
    unsigned periods = 0;
    std::string wrong;
    const auto edge = [&](int level, ns_t t) {
      if (!wrong.empty() || periods == st.count || t < now) return;
      const std::string nth = " in period " + std::to_string(periods + 1) + " (from " + format_ns(rise) + ")";
      if (phase == Phase::first_rise) {
        if (level) {
          rise = t;
          phase = Phase::high;
        }
      } else if (phase == Phase::high && !level) {
        const ns_t high = t - rise;
        if (high + tol < st.high || high > st.high + tol)
          wrong = st.pin + " high " + measured(high, st.high + tol) + nth + ", outside " +
                  window(st.high - tol, st.high + tol);
        phase = Phase::low;
      } else if (phase == Phase::low && level) {
        const ns_t period = t - rise;
        if (period + tol < st.period || period > st.period + tol)
          wrong = st.pin + " period " + measured(period, st.period + tol) + nth + ", outside " +
                  window(st.period - tol, st.period + tol);
        ++periods;
        rise = t;
        phase = Phase::high;
      }
    };
    // A phase that has lasted past its window fails without waiting for its edge.
    const auto done = [&](ns_t t) {
      if (!wrong.empty() || periods == st.count) return true;
      if (phase == Phase::first_rise && t - now > st.period + tol)
        wrong = "no rising edge on " + st.pin + " within " + values::exact_ns(st.period + tol) + " (" +
                pin_seen(st.pin) + ")";
      else if (phase == Phase::high && t - rise > st.high + tol)
        wrong = st.pin + " high from " + format_ns(rise) + " for longer than " +
                values::exact_ns(st.high + tol) + " (" + pin_seen(st.pin) + ")";
      else if (phase == Phase::low && t - rise > st.period + tol)
        wrong = st.pin + " period from " + format_ns(rise) + " longer than " +
                values::exact_ns(st.period + tol) + " (" + pin_seen(st.pin) + ")";
      return !wrong.empty();
    };
    const bool running = watch_edges(i, st.pin, now + st.longest(), st.period / 4, expected, edge, done);
    if (running && (!wrong.empty() || periods < st.count))
      fail(i, expected, wrong.empty() ? std::to_string(periods) + " periods in time" : wrong);
    return running;
  }

  bool act(size_t i, const ExpectPulses& st, ns_t now) {
    const ns_t deadline = now + st.within;
    const std::string what = high_low(st.level);
    const std::string expected = std::to_string(st.count) + (st.count == 1 ? " pulse" : " pulses") + " of " +
                                 st.pin + " " + what + ", each " + window(st.width_min, st.width_max) +
                                 ", by " + format_ns(deadline) + " (within " + values::exact_ns(st.within) +
                                 ")";
    // A pulse under way when the step starts has no start the step saw: it is skipped.
    bool skipping = m_.board().pin_level(st.pin) == st.level, in = false;
    ns_t start = 0;
    unsigned seen = 0;
    std::string wrong;
    const auto edge = [&](int level, ns_t t) {
      if (!wrong.empty() || seen == st.count || t < now) return;
      if (level == st.level) {
        in = true;
        start = t;
        return;
      }
      if (skipping || !in) {
        skipping = false;
        return;
      }
      in = false;
      const ns_t w = t - start;
      ++seen;
      if (w < st.width_min || w > st.width_max)
        wrong = st.pin + " " + what + " pulse " + std::to_string(seen) + " (from " + format_ns(start) + ") " +
                measured(w, st.width_max) + ", outside " + window(st.width_min, st.width_max);
    };
    const auto done = [&](ns_t t) {
      if (!wrong.empty() || seen == st.count) return true;
      if (in && t - start > st.width_max)
        wrong = st.pin + " " + what + " pulse " + std::to_string(seen + 1) + " (from " + format_ns(start) +
                ") longer than " + values::exact_ns(st.width_max) + " (" + pin_seen(st.pin) + ")";
      return !wrong.empty();
    };
    const bool running = watch_edges(i, st.pin, deadline, st.within / 1000, expected, edge, done);
    if (running && (!wrong.empty() || seen < st.count))
      fail(i, expected,
           wrong.empty()
               ? std::to_string(seen) + " whole " + what + " pulses by then (" + pin_seen(st.pin) + ")"
               : wrong);
    return running;
  }

  std::string pin_seen(const std::string& pin) const {
    const auto s = m_.board().pin_state(pin);
    if (!s) return "the board has no pin " + pin;
    return pin + " = " + level_text(s->level) +
           (s->changes ? " since " + format_ns(s->since) : std::string(" since reset"));
  }

  bool act(size_t i, const WaitPin& st, ns_t now) {
    const ns_t deadline = now + st.timeout;
    const std::string expected = st.pin + " = " + level_text(st.level) + " by " + format_ns(deadline) +
                                 " (within " + format_ns(st.timeout) + ")";
    for (;;) {
      const int seen = m_.board().pin_level(st.pin);
      if (seen == st.level) return true;
      if (seen < 0 || m_.now() >= deadline) {
        fail(i, expected, pin_seen(st.pin));
        return true;
      }
      if (!advance(i, std::min(deadline, m_.now() + kPinPoll), expected)) return false;
    }
  }

  bool act(size_t i, const ExpectStrip& st, ns_t now) {
    const std::vector<StripView*> all = strips(m_.board());
    if (all.size() != 1) {
      fail(i, describe_checks(st.checks),
           all.empty()
               ? "the board has no LED strip"
               : "the board has " + std::to_string(all.size()) + " LED strips, and the step names none");
      return true;
    }
    StripView* strip = all.front();
    const ns_t deadline = now + st.within;
    std::string expected = describe_checks(st.checks);
    if (st.within) expected += " in a frame latched by " + format_ns(deadline);
    // The frame showing now, then (when waiting) every frame as it latches.
    const StripRun* cur = strip->current();
    const unsigned leds = strip->leds();
    if (cur && frame_matches(last_frame(*cur), st.checks, leds)) return true;
    bool matched = false;
    strip->watch_frames([&](const StripFrame& f) { matched = matched || frame_matches(f, st.checks, leds); });
    bool running = true;
    while (!matched && m_.now() < deadline) {
      if (!advance(i, std::min(deadline, m_.now() + kStripPoll), expected)) {
        running = false;
        break;
      }
    }
    strip->watch_frames(nullptr);
    if (matched || !running) return running;
    cur = strip->current();
    fail(i, expected, cur ? describe_frame(last_frame(*cur), leds) : "no frame latched yet");
    return true;
  }

  // The counts where a check's window opens and the time it opens; nullopt for
  // a window that opens later than now.
  std::optional<std::pair<ns_t, Counts>> window_open(const ExpectNoViolations& st) {
    switch (st.since.from) {
      case Since::From::run_start:
        return std::pair<ns_t, Counts>{0, Counts{}};
      case Since::From::time: {
        const auto it = at_time_.find(st.since.t);
        if (it == at_time_.end() || !it->second) return std::nullopt;
        return std::pair<ns_t, Counts>{st.since.t, *it->second};
      }
      case Since::From::step:
        if (!at_step_.count(st.since.step)) return std::nullopt;
        return at_step_[st.since.step];
    }
    return std::nullopt;
  }

  std::string window_text(const ExpectNoViolations& st, ns_t from) const {
    switch (st.since.from) {
      case Since::From::run_start:
        return "in the whole run";
      case Since::From::time:
        return "since " + st.since.text;
      case Since::From::step:
        return "since step '" + st.since.text + "' (" + s_.file + ":" +
               std::to_string(s_.steps[st.since.step].line) + ", at " + format_ns(from) + ")";
    }
    return "";
  }

  void check_violations(size_t i, const ExpectNoViolations& st) {
    const auto has = [&](ViolationKind k) {
      return st.violations.count(ViolationKind::any) || st.violations.count(k);
    };
    std::string what;
    for (ViolationKind k : st.violations) what += std::string(what.empty() ? "" : ", ") + violation_name(k);
    for (const std::string& f : st.findings) what += (what.empty() ? "" : ", ") + f;
    const auto opened = window_open(st);
    if (!opened) {
      fail(i, "no " + what + " violations since " + st.since.text,
           "that window opens after this step (now " + format_ns(m_.now()) + ")");
      return;
    }
    const auto& [from, before] = *opened;
    const Counts now = counts();
    std::vector<std::string> seen;
    const auto times = [](uint64_t n) { return n == 1 ? std::string("once") : std::to_string(n) + " times"; };
    // The parts' violations, per kind: how often since the window opened, and
    // the last one in words. A step names them by their group.
    const auto has_group = [&](const std::string& group) {
      return std::any_of(st.violations.begin(), st.violations.end(), [&](ViolationKind k) {
        return k == ViolationKind::any || violation_name(k) == group;
      });
    };
    for (const PartView* p : m_.board().parts())
      for (const PartViolations& v : p->violations()) {
        const auto b = before.parts.find({p->identity().name, v.kind});
        const uint64_t n = v.total - (b == before.parts.end() ? 0 : b->second);
        if (!has_group(v.group) || n == 0) continue;
        seen.push_back(v.group + ": " + v.last_what + ", " + times(n) + " (the last at " + format_ns(v.last) +
                       ")");
      }
    if (has(ViolationKind::unmodelled)) {
      const uint64_t n = now.tally.unmodelled - before.tally.unmodelled;
      if (n) {
        const Unmodelled& u = *now.tally.last_unmodelled;
        char b[32];
        std::snprintf(b, sizeof b, "0x%08x", u.addr);
        seen.push_back("unmodelled: " + times(n) + ", the last a " + (u.is_write ? "write to " : "read of ") +
                       b + " from " + u.where + " at " + format_ns(u.t));
      }
    }
    if (has(ViolationKind::fault)) {
      const uint64_t n = now.tally.faults - before.tally.faults;
      if (n) seen.push_back("fault: " + times(n) + ", the last: " + now.tally.last_fault);
    }
    // Rule findings: `finding` and `any` take every kind but those --allow
    // allows; a kind named in the step is checked whatever --allow says.
    for (const Diagnostic& d : m_.board().diagnostics()) {
      const bool wanted =
          st.findings.count(d.kind) || (has(ViolationKind::finding) && !allowed_.count(d.kind));
      const auto b = before.rules.find({d.kind, d.where});
      const uint64_t n = d.count - (b == before.rules.end() ? 0 : b->second);
      if (!wanted || n == 0) continue;
      seen.push_back(d.kind + " on " + d.where + ": " + d.message + ", " + times(n));
    }
    if (has(ViolationKind::halt) && m_.halt() && m_.halt()->t >= from) seen.push_back(halt_text());
    if (seen.empty()) return;
    std::string text;
    for (const std::string& one : seen) text += (text.empty() ? "" : "; ") + one;
    fail(i, "no " + what + " violations " + window_text(st, from), text);
  }

  Machine& m_;
  const Scenario& s_;
  const std::set<std::string>& allowed_;
  History* history_;
  Outcome out_;
  std::map<ns_t, std::optional<Counts>> at_time_;      // window times -> counts there, once reached
  std::map<size_t, std::pair<ns_t, Counts>> at_step_;  // labelled step -> its start and counts there
};

std::string seconds(ns_t t) {
  char b[32];
  std::snprintf(b, sizeof b, "%.9f", static_cast<double>(t) / 1e9);
  return b;
}

}  // namespace

std::string Failure::message() const {
  return where + ": " + kind + " at " + format_ns(t) + ": expected " + expected + "; saw " + seen;
}

Outcome run(Machine& m, const Scenario& s, const std::set<std::string>& allowed, History* history) {
  return Player(m, s, allowed, history).play();
}

std::string to_junit(const std::vector<Outcome>& outcomes, const std::string& image) {
  size_t failed = 0;
  ns_t total = 0;
  for (const auto& o : outcomes) {
    failed += o.passed() ? 0 : 1;
    total += o.end;
  }
  std::ostringstream x;
  x << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  x << "<testsuites name=\"vboard scenarios\" tests=\"" << outcomes.size() << "\" failures=\"" << failed
    << "\" time=\"" << seconds(total) << "\">\n";
  x << "  <testsuite name=\"" << xml_escape(image) << "\" tests=\"" << outcomes.size() << "\" failures=\""
    << failed << "\" errors=\"0\" skipped=\"0\" time=\"" << seconds(total) << "\">\n";
  x << "    <properties><property name=\"time\" value=\"virtual seconds of the image's "
       "run\"/></properties>\n";
  for (const auto& o : outcomes) {
    x << "    <testcase classname=\"" << xml_escape(image) << "\" name=\"" << xml_escape(o.name)
      << "\" file=\"" << xml_escape(o.file) << "\" time=\"" << seconds(o.end) << "\"";
    if (o.passed()) {
      x << "/>\n";
      continue;
    }
    x << ">\n";
    for (const auto& f : o.failures)
      x << "      <failure type=\"" << xml_escape(f.kind) << "\" message=\"" << xml_escape(f.message())
        << "\">" << xml_escape(f.message()) << "</failure>\n";
    x << "      <system-out>" << o.steps_run << " of " << o.steps << " steps run; " << o.failures.size()
      << " failed</system-out>\n";
    x << "    </testcase>\n";
  }
  x << "  </testsuite>\n</testsuites>\n";
  return x.str();
}

bool write_junit(const std::vector<Outcome>& outcomes, const std::string& image, const std::string& path,
                 std::string* error) {
  return write_text_file(path, to_junit(outcomes, image), "JUnit report", error);
}

}  // namespace vboard::scenario
