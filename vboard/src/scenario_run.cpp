// Scenario files: playing the steps against a machine, and the JUnit report.
// Time moves only in delay and in the waiting steps; every other step acts at the
// current virtual time. A failed expectation is recorded and the scenario goes
// on, so one run names every step that fails; only a halted image ends it early.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "vboard/scenario.h"
#include "vboard/strip.h"
#include "vboard/svg.h"

namespace vboard::scenario {

namespace {

// Waiting steps look at the board this often (virtual time). A wait ends at the
// first look after the edge, so at most 100 us late; finer looks would keep the
// machine from skipping idle time and cost far more wall time than they tell.
constexpr ns_t kPinPoll = 100 * kUs;
constexpr ns_t kStripPoll = 50 * kUs;

std::string level_text(int level) { return level ? "1 (high)" : "0 (low)"; }

// "dark" or "LEDs 0-23 dark, 24-59 red": runs of equal colour.
std::string describe_frame(const StripFrame& f) {
  if (f.colors.empty()) return "an empty frame at " + format_ns(f.t);
  std::string out;
  size_t i = 0;
  while (i < f.colors.size()) {
    size_t j = i;
    while (j + 1 < f.colors.size() && f.colors[j + 1] == f.colors[i]) ++j;
    if (!out.empty()) out += ", ";
    out += (i == j ? std::to_string(i) : std::to_string(i) + "-" + std::to_string(j)) + " " +
           color_name(f.colors[i]);
    i = j + 1;
  }
  return "frame latched at " + format_ns(f.t) + " (" + std::to_string(f.colors.size()) + " LEDs): " + out;
}

std::string describe_checks(const std::vector<StripCheck>& checks) {
  std::string out;
  for (const auto& c : checks) {
    if (!out.empty()) out += "; ";
    if (c.leds.empty()) {
      out += "every LED";
    } else {
      out += "LEDs ";
      for (size_t k = 0; k < c.leds.size(); ++k) {
        const auto& [lo, hi] = c.leds[k];
        out +=
            (k ? "," : "") + (lo == hi ? std::to_string(lo) : std::to_string(lo) + "-" + std::to_string(hi));
      }
    }
    out += " " + color_name(c.color);
  }
  return out;
}

bool frame_matches(const StripFrame& f, const std::vector<StripCheck>& checks) {
  if (f.colors.empty()) return false;
  for (const auto& c : checks) {
    if (c.leds.empty()) {
      if (!std::all_of(f.colors.begin(), f.colors.end(), [&](const Rgb& rgb) { return rgb == c.color; }))
        return false;
      continue;
    }
    for (const auto& [lo, hi] : c.leds) {
      if (hi >= f.colors.size()) return false;
      for (unsigned i = lo; i <= hi; ++i)
        if (f.colors[i] != c.color) return false;
    }
  }
  return true;
}

// The last frame of a run of equal frames.
StripFrame last_frame(const StripRun& r) { return {r.last_t, r.colors, r.bits}; }

class Player {
 public:
  Player(Machine& m, const Scenario& s, const std::set<std::string>& allowed)
      : m_(m), s_(s), allowed_(allowed) {
    out_.file = s.file;
    out_.name = s.name;
    out_.steps = s.steps.size();
  }

  Outcome play() {
    for (size_t i = 0; i < s_.steps.size(); ++i) {
      const Step& st = s_.steps[i];
      const ns_t start = m_.now();
      if (i + 1 < s_.steps.size() && s_.steps[i + 1].kind == StepKind::expect_no_violations)
        counts_before_ = counts();
      window_start_ = prev_start_;
      prev_start_ = start;
      if (!step(i, st)) {
        // The image stopped: time cannot move on, so the rest cannot be judged.
        if (i + 1 < s_.steps.size())
          fail(i, "the remaining steps to run", std::to_string(s_.steps.size() - i - 1) + " steps not run");
        ++out_.steps_run;
        break;
      }
      ++out_.steps_run;
    }
    out_.end = m_.now();
    return out_;
  }

 private:
  // Exact counts of everything a violation check judges, taken before the step
  // that a check follows: the check looks at what they grew by.
  struct Counts {
    RunTally tally;
    std::map<std::string, uint64_t> strip;                          // timing kind -> count
    std::map<std::pair<std::string, std::string>, uint64_t> rules;  // (finding kind, where) -> count
  };

  Counts counts() {
    Counts c;
    c.tally = m_.tally();
    if (const StripView* s = m_.board().strip_view())
      for (const StripViolationKind& k : s->violation_kinds()) c.strip[k.kind] = k.total;
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
    f.kind = step_name(s_.steps[i].kind);
    f.t = m_.now();
    f.expected = expected;
    f.seen = seen;
    out_.failures.push_back(f);
  }

  // Runs to `t`; false (with the failure recorded) if time cannot get there
  // because the image halted (and the machine stops on a halt).
  bool advance(size_t i, ns_t t, const std::string& expected) {
    m_.run_until(t);
    if (m_.now() < t && m_.halt()) {
      fail(i, expected, halt_text());
      return false;
    }
    return true;
  }

  bool step(size_t i, const Step& st) {
    const ns_t now = m_.now();
    Board& b = m_.board();
    switch (st.kind) {
      case StepKind::delay:
        return advance(i, now + st.duration, "time to pass to " + format_ns(now + st.duration));
      case StepKind::set:
        b.stop_sources(st.pin, now, false);
        b.add_level({st.pin, st.level, now, st.bounces, st.bounce_ns});
        return true;
      case StepKind::pulse:
        if (!b.stop_sources(st.pin, now, true))
          fail(i, "a pulse source on " + st.pin, "the board has no such pin");
        if (!st.stop) b.add_pulse({st.pin, st.width, st.period, now, kNever, st.jitter});
        return true;
      case StepKind::inject_irq:
        m_.inject_irq({st.irq, now});
        return true;
      case StepKind::expect_pin: {
        const int seen = b.pin_level(st.pin);
        if (seen != st.level) fail(i, st.pin + " = " + level_text(st.level), pin_seen(st.pin));
        return true;
      }
      case StepKind::wait_pin:
        return wait_pin(i, st, now);
      case StepKind::expect_strip:
        return expect_strip(i, st, now);
      case StepKind::expect_no_violations:
        check_violations(i, st);
        return true;
    }
    return true;
  }

  std::string pin_seen(const std::string& pin) const {
    const auto s = m_.board().pin_state(pin);
    if (!s) return "the board has no pin " + pin;
    return pin + " = " + level_text(s->level) +
           (s->changes ? " since " + format_ns(s->since) : std::string(" since reset"));
  }

  bool wait_pin(size_t i, const Step& st, ns_t now) {
    const ns_t deadline = now + st.duration;
    const std::string expected = st.pin + " = " + level_text(st.level) + " by " + format_ns(deadline) +
                                 " (within " + format_ns(st.duration) + ")";
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

  bool expect_strip(size_t i, const Step& st, ns_t now) {
    StripView* strip = m_.board().strip_view();
    if (!strip) {
      fail(i, describe_checks(st.strip), "the board has no LED strip");
      return true;
    }
    const ns_t deadline = now + st.duration;
    std::string expected = describe_checks(st.strip);
    if (st.duration) expected += " in a frame latched by " + format_ns(deadline);
    // The frame showing now, then (when waiting) every frame as it latches.
    const StripRun* cur = strip->current();
    if (cur && frame_matches(last_frame(*cur), st.strip)) return true;
    bool matched = false;
    strip->watch_frames([&](const StripFrame& f) { matched = matched || frame_matches(f, st.strip); });
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
    fail(i, expected, cur ? describe_frame(last_frame(*cur)) : "no frame latched yet");
    return true;
  }

  void check_violations(size_t i, const Step& st) {
    const ViolationKind kind = st.violations;
    const ns_t from = window_start_;
    const Counts now = counts();
    std::vector<std::string> seen;
    const bool any = kind == ViolationKind::any;
    // Strip timing, per kind: how many since the window opened, and the last one.
    if (StripView* strip = m_.board().strip_view())
      for (const StripViolationKind& k : strip->violation_kinds()) {
        const bool wanted =
            k.datasheet ? kind == ViolationKind::strip_datasheet : (any || kind == ViolationKind::strip);
        const auto before = counts_before_.strip.find(k.kind);
        const uint64_t n = k.total - (before == counts_before_.strip.end() ? 0 : before->second);
        if (!wanted || n == 0) continue;
        seen.push_back(std::to_string(n) + (k.datasheet ? " strip-datasheet" : " strip") +
                       " timing violations of kind " + k.kind + " (the last at " + format_ns(k.last) + ")");
      }
    if (any || kind == ViolationKind::unmodelled) {
      const uint64_t n = now.tally.unmodelled - counts_before_.tally.unmodelled;
      if (n) {
        const Unmodelled& u = *now.tally.last_unmodelled;
        char b[32];
        std::snprintf(b, sizeof b, "0x%08x", u.addr);
        seen.push_back(std::to_string(n) + " unmodelled accesses (the last a " +
                       (u.is_write ? "write to " : "read of ") + b + " from " + u.where + " at " +
                       format_ns(u.t) + ")");
      }
    }
    if (any || kind == ViolationKind::fault) {
      const uint64_t n = now.tally.faults - counts_before_.tally.faults;
      if (n) seen.push_back(std::to_string(n) + " faults (the last: " + now.tally.last_fault + ")");
    }
    // Rule findings: every kind not allowed with --allow for `any`; the named
    // kind (allowed or not) when one is named.
    if (any || kind == ViolationKind::finding)
      for (const Diagnostic& d : m_.board().diagnostics()) {
        const bool wanted = st.finding.empty() ? !(any && allowed_.count(d.kind)) : d.kind == st.finding;
        const auto before = counts_before_.rules.find({d.kind, d.where});
        const uint64_t n = d.count - (before == counts_before_.rules.end() ? 0 : before->second);
        if (!wanted || n == 0) continue;
        seen.push_back(std::to_string(n) + " " + d.kind + " findings on " + d.where + " (" + d.message + ")");
      }
    if ((any || kind == ViolationKind::halt) && m_.halt() && m_.halt()->t >= from)
      seen.push_back(halt_text());
    if (seen.empty()) return;
    std::string text = seen.front();
    if (seen.size() > 1) text += " (and " + std::to_string(seen.size() - 1) + " more kinds)";
    const std::string what = kind == ViolationKind::finding && !st.finding.empty() ? st.finding + " "
                             : any                                                 ? ""
                                   : std::string(violation_name(kind)) + " ";
    fail(i, "no " + what + "violations since " + format_ns(from), text);
  }

  Machine& m_;
  const Scenario& s_;
  const std::set<std::string>& allowed_;
  Outcome out_;
  ns_t prev_start_ = 0, window_start_ = 0;
  Counts counts_before_;
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

Outcome run(Machine& m, const Scenario& s, const std::set<std::string>& allowed) {
  return Player(m, s, allowed).play();
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
