// Scenario files: loading and checking. Every key and value is checked here, with
// the line it came from, so that a scenario never half-runs on a typo. Values the
// command line takes too (times, pins, levels, periods, bounces, IRQs) are read by
// vboard/values.h, with its limits and in its words.
#include "cli/scenario.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <type_traits>
#include <variant>

#include "chip/chip.h"
#include "world/board.h"
#include "world/values.h"
#include "world/yaml_file.h"

namespace vboard::scenario {

namespace {

struct Named {
  const char* name;
  Rgb rgb;
};
constexpr Named kColors[] = {
    {"dark", {0, 0, 0}},     {"red", {255, 0, 0}},       {"green", {0, 255, 0}},
    {"blue", {0, 0, 255}},   {"yellow", {255, 255, 0}},  {"magenta", {255, 0, 255}},
    {"cyan", {0, 255, 255}}, {"white", {255, 255, 255}},
};

constexpr unsigned kMaxLeds = 4096;     // far above any strip; catches a typo like 600000
constexpr unsigned kMaxCount = 100000;  // periods or pulses of one step

using values::quote;

using yaml::Bad;
using yaml::bad;
using yaml::fields;
using yaml::line_of;
using yaml::scalar;

// A value read by one of values::'s parsers; refused as "KEY: why".
template <class T>
T shared(const YAML::Node& n, const std::string& key,
         std::optional<T> (*parse)(std::string_view, std::string*)) {
  std::string why;
  auto v = parse(scalar(n, key), &why);
  if (!v) bad(n, key + ": " + why);
  return *v;
}

ns_t duration(const YAML::Node& n, const std::string& key) {
  return shared<ns_t>(n, key, [](std::string_view t, std::string* why) { return values::time(t, why); });
}

// Decimal digits only, at most nine of them (no sign, no spaces).
std::optional<unsigned> to_uint(const std::string& v) {
  if (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  return static_cast<unsigned>(std::stoul(v));
}

unsigned number(const YAML::Node& n, const std::string& key, unsigned max) {
  const std::string v = scalar(n, key);
  const auto x = to_uint(v);
  if (!x) bad(n, key + ": " + quote(v) + " is not a whole number");
  if (*x > max) bad(n, key + ": " + v + " is above " + std::to_string(max));
  return *x;
}

std::string pin(const YAML::Node& n) { return shared<std::string>(n, "pin", values::pin); }

int level(const YAML::Node& n, bool allow_release) {
  std::string why;
  const auto v = values::level(scalar(n, "level"), allow_release, &why);
  if (!v) bad(n, "level: " + why);
  return *v;
}

Rgb color(const YAML::Node& n) {
  if (n.IsSequence()) {
    if (n.size() != 3) bad(n, "color: a list needs three values: [red, green, blue]");
    Rgb c{};
    for (size_t i = 0; i < 3; ++i) c[i] = static_cast<uint8_t>(number(n[i], "color", 255));
    return c;
  }
  const std::string v = scalar(n, "color");
  for (const auto& k : kColors)
    if (v == k.name) return k.rgb;
  if (v == "black") return kColors[0].rgb;
  if (v.size() == 7 && v[0] == '#' && v.find_first_not_of("0123456789abcdefABCDEF", 1) == std::string::npos) {
    const unsigned long x = std::stoul(v.substr(1), nullptr, 16);
    return {static_cast<uint8_t>(x >> 16), static_cast<uint8_t>(x >> 8), static_cast<uint8_t>(x)};
  }
  bad(n, "color: " + quote(v) +
             " is not a colour (dark, red, green, blue, yellow, magenta, cyan, white, "
             "#rrggbb or [r, g, b])");
}

// "all", 7, "3-9" or a list of those.
std::vector<std::pair<unsigned, unsigned>> leds(const YAML::Node& n) {
  std::vector<std::pair<unsigned, unsigned>> out;
  auto one = [&](const YAML::Node& e) {
    const std::string v = scalar(e, "leds");
    const auto dash = v.find('-');
    if (dash == std::string::npos) {
      const unsigned i = number(e, "leds", kMaxLeds - 1);
      out.emplace_back(i, i);
      return;
    }
    const auto lo = to_uint(v.substr(0, dash)), hi = to_uint(v.substr(dash + 1));
    if (!lo || !hi || *lo > *hi || *hi >= kMaxLeds)
      bad(e, "leds: " + quote(v) + " is not a range like 0-59 below " + std::to_string(kMaxLeds));
    out.emplace_back(*lo, *hi);
  };
  if (n.IsScalar() && n.Scalar() == "all") return out;
  if (n.IsSequence()) {
    if (n.size() == 0) bad(n, "leds: an empty list");
    for (const auto& e : n) one(e);
  } else {
    one(n);
  }
  return out;
}

using Labels = std::map<std::string, size_t>;  // label -> index of the step it names

// A violation kind, or the name of one kind of rule finding (pin_contention, ...);
// one of them or a list.
void violation_kinds(const YAML::Node& n, ExpectNoViolations& s) {
  s.violations.clear();
  auto one = [&](const YAML::Node& e) {
    const std::string v = scalar(e, "kind");
    for (ViolationKind k :
         {ViolationKind::any, ViolationKind::strip, ViolationKind::strip_datasheet, ViolationKind::unmodelled,
          ViolationKind::fault, ViolationKind::halt, ViolationKind::finding})
      if (v == violation_name(k)) {
        s.violations.insert(k);
        return;
      }
    if (chip::has_name(chip::diagnostic_kinds(), v)) {
      s.findings.insert(v);
      return;
    }
    std::string findings;
    for (const auto& d : chip::diagnostic_kinds()) findings += ", " + d.name;
    bad(e, "kind: " + quote(v) +
               " is not one of any, strip, strip-datasheet, unmodelled, fault, halt, finding" + findings);
  };
  if (n.IsSequence()) {
    if (n.size() == 0) bad(n, "kind: an empty list");
    for (const auto& e : n) one(e);
  } else {
    one(n);
  }
}

// A time, or the label of a step before this one.
Since since(const YAML::Node& n, const Labels& labels) {
  Since s;
  const std::string text = scalar(n, "since");
  s.text = text;
  if (text.find_first_of("0123456789") == 0) {
    s.from = Since::From::time;
    s.t = duration(n, "since");
    s.text = values::exact_ns(s.t);
    return s;
  }
  const auto at = labels.find(text);
  if (at == labels.end())
    bad(n,
        "since: " + quote(text) + " is neither a time (e.g. 15ms) nor the label of a step before this one");
  s.from = Since::From::step;
  s.step = at->second;
  return s;
}

// A label: letters, digits, '-' and '_', naming one step. It starts with a
// letter or '_': `since:` takes a text that starts with a digit as a time, so a
// label "1ms" or "5" could never be named.
bool label_text(const std::string& v) {
  return !v.empty() && v.size() <= 64 && v.find_first_of("0123456789-") != 0 &&
         v.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_") ==
             std::string::npos;
}

// A time of at least 1 ns.
ns_t positive(const YAML::Node& n, const std::string& key) {
  const ns_t t = duration(n, key);
  if (t == 0) bad(n, key + ": must be above 0");
  return t;
}

// One reader per kind of step: the step's value (the node under its name) in,
// the step's settings out, every one checked.

Action delay_step(const YAML::Node& v, const Labels&) { return Delay{duration(v, "delay")}; }

Action set_step(const YAML::Node& v, const Labels&) {
  auto f = fields(v, "set", {"pin", "level", "bounce"}, {"pin", "level"});
  Set s;
  s.pin = pin(f["pin"]);
  s.level = level(f["level"], true);
  if (f.count("bounce")) {
    const values::Bounce b = shared<values::Bounce>(f["bounce"], "bounce", values::bounce);
    s.bounces = b.count;
    s.bounce_ns = b.spacing;
    if (const auto r = values::check_bounce(s.level, s.bounces)) bad(f["bounce"], r->field + ": " + r->why);
  }
  return s;
}

Action pulse_step(const YAML::Node& v, const Labels&) {
  auto f = fields(v, "pulse", {"pin", "width", "period", "jitter", "stop"}, {"pin"});
  Pulse p;
  p.pin = pin(f["pin"]);
  if (f.count("stop")) {
    const std::string st = scalar(f["stop"], "stop");
    if (st != "true") bad(f["stop"], "stop: only 'true' (to disconnect the pulse train) is allowed");
    if (f.size() != 2) bad(v, "pulse: 'stop' takes no other settings than 'pin'");
    p.stop = true;
    return p;
  }
  if (!f.count("width")) bad(v, "pulse: 'width' is missing (or 'stop: true')");
  p.width = duration(f["width"], "width");
  p.period = f.count("period") ? shared<ns_t>(f["period"], "period", values::period) : 20 * kMs;
  p.jitter = f.count("jitter") ? duration(f["jitter"], "jitter") : 0;
  if (const auto r = values::check_pulse(p.width, p.period, p.jitter))
    bad(f.count(r->field) ? f[r->field] : v, r->field + ": " + r->why);
  return p;
}

Action expect_pin_step(const YAML::Node& v, const Labels&) {
  auto f = fields(v, "expect-pin", {"pin", "level"}, {"pin", "level"});
  ExpectPin e;
  e.pin = pin(f["pin"]);
  e.level = level(f["level"], false);
  return e;
}

Action wait_pin_step(const YAML::Node& v, const Labels&) {
  auto f = fields(v, "wait-pin", {"pin", "level", "timeout"}, {"pin", "level", "timeout"});
  WaitPin w;
  w.pin = pin(f["pin"]);
  w.level = level(f["level"], false);
  w.timeout = duration(f["timeout"], "timeout");
  return w;
}

Action expect_strip_step(const YAML::Node& v, const Labels&) {
  auto f = fields(v, "expect-strip", {"leds", "color", "segments", "within"}, {});
  ExpectStrip e;
  if (f.count("segments")) {
    if (f.count("leds") || f.count("color")) bad(v, "expect-strip: give either 'segments' or 'leds'/'color'");
    const YAML::Node& segs = f["segments"];
    if (!segs.IsSequence() || segs.size() == 0) bad(segs, "segments: expected a list of {leds, color}");
    for (const auto& seg : segs) {
      auto g = fields(seg, "segment", {"leds", "color"}, {"leds", "color"});
      e.checks.push_back({leds(g["leds"]), color(g["color"])});
    }
  } else {
    if (!f.count("color")) bad(v, "expect-strip: 'color' is missing");
    e.checks.push_back({f.count("leds") ? leds(f["leds"]) : decltype(StripCheck::leds){}, color(f["color"])});
  }
  if (f.count("within")) e.within = duration(f["within"], "within");
  return e;
}

// The one step that may go without a value: no violations of any kind since the run began.
Action no_violations_step(const YAML::Node& v, const Labels& labels) {
  ExpectNoViolations e;
  if (v.IsNull()) return e;
  auto f = fields(v, "expect-no-violations", {"kind", "since"}, {});
  if (f.count("kind")) violation_kinds(f["kind"], e);
  if (f.count("since")) e.since = since(f["since"], labels);
  return e;
}

Action expect_stable_step(const YAML::Node& v, const Labels&) {
  auto f = fields(v, "expect-stable", {"pin", "level", "for"}, {"pin", "level", "for"});
  ExpectStable e;
  e.pin = pin(f["pin"]);
  e.level = level(f["level"], false);
  e.hold = positive(f["for"], "for");
  return e;
}

Action expect_blink_step(const YAML::Node& v, const Labels&) {
  auto f = fields(v, "expect-blink", {"pin", "period", "high", "tolerance", "count"}, {"pin", "period"});
  ExpectBlink e;
  e.pin = pin(f["pin"]);
  e.period = shared<ns_t>(f["period"], "period", values::period);
  e.high = f.count("high") ? positive(f["high"], "high") : e.period / 2;
  if (e.high >= e.period)
    bad(f["high"],
        "high: " + values::exact_ns(e.high) + " must be below the period, " + values::exact_ns(e.period));
  e.tolerance = f.count("tolerance") ? duration(f["tolerance"], "tolerance") : e.period / 10;
  const ns_t room = std::min(e.high, e.period - e.high);
  if (e.tolerance >= room)
    bad(f.count("tolerance") ? f["tolerance"] : v,
        "tolerance: " + values::exact_ns(e.tolerance) + " must be below the high time, " +
            values::exact_ns(e.high) + ", and below the low time, " + values::exact_ns(e.period - e.high));
  e.count = f.count("count") ? number(f["count"], "count", kMaxCount) : 3;
  if (e.count == 0) bad(f["count"], "count: must be at least 1");
  // Waiting for the first rising edge, then `count` periods, each at its longest.
  if (e.period + e.tolerance > limits::kMaxTime / (e.count + 1))
    bad(v, "expect-blink: " + std::to_string(e.count) + " periods of up to " +
               values::exact_ns(e.period + e.tolerance) + " may take longer than the limit of " +
               values::exact_ns(limits::kMaxTime));
  return e;
}

Action expect_pulses_step(const YAML::Node& v, const Labels&) {
  auto f =
      fields(v, "expect-pulses", {"pin", "level", "width", "count", "within"}, {"pin", "width", "within"});
  ExpectPulses e;
  e.pin = pin(f["pin"]);
  e.level = f.count("level") ? level(f["level"], false) : 1;
  auto w = fields(f["width"], "width", {"min", "max"}, {"min", "max"});
  e.width_min = duration(w["min"], "min");
  e.width_max = positive(w["max"], "max");
  if (e.width_min > e.width_max)
    bad(w["min"],
        "min: " + values::exact_ns(e.width_min) + " is above max, " + values::exact_ns(e.width_max));
  e.count = f.count("count") ? number(f["count"], "count", kMaxCount) : 1;
  if (e.count == 0) bad(f["count"], "count: must be at least 1");
  e.within = positive(f["within"], "within");
  return e;
}

Action inject_irq_step(const YAML::Node& v, const Labels&) {
  if (!v.IsMap()) return InjectIrq{shared<unsigned>(v, "inject-irq", values::irq)};
  auto f = fields(v, "inject-irq", {"irq"}, {"irq"});
  return InjectIrq{shared<unsigned>(f["irq"], "irq", values::irq)};
}

// Every kind of step: its name in the files and in messages, and its reader.
// The order is the one messages list them in.
struct StepType {
  const char* name;
  StepKind kind;
  Action (*read)(const YAML::Node& value, const Labels& labels);
  bool bare;  // may be written without a value
};
constexpr StepType kStepTypes[] = {
    {"delay", StepKind::delay, delay_step, false},
    {"set", StepKind::set, set_step, false},
    {"pulse", StepKind::pulse, pulse_step, false},
    {"expect-pin", StepKind::expect_pin, expect_pin_step, false},
    {"wait-pin", StepKind::wait_pin, wait_pin_step, false},
    {"expect-strip", StepKind::expect_strip, expect_strip_step, false},
    {"expect-stable", StepKind::expect_stable, expect_stable_step, false},
    {"expect-blink", StepKind::expect_blink, expect_blink_step, false},
    {"expect-pulses", StepKind::expect_pulses, expect_pulses_step, false},
    {"expect-no-violations", StepKind::expect_no_violations, no_violations_step, true},
    {"inject-irq", StepKind::inject_irq, inject_irq_step, false},
};
static_assert(std::size(kStepTypes) == std::variant_size_v<Action>, "a reader for every kind of step");

// Step::kind() is the index of the alternative: the two orders are one.
template <StepKind k, class T>
constexpr bool kind_is = std::is_same_v<std::variant_alternative_t<static_cast<size_t>(k), Action>, T>;
static_assert(kind_is<StepKind::delay, Delay> && kind_is<StepKind::set, Set> &&
              kind_is<StepKind::pulse, Pulse> && kind_is<StepKind::expect_pin, ExpectPin> &&
              kind_is<StepKind::wait_pin, WaitPin> && kind_is<StepKind::expect_strip, ExpectStrip> &&
              kind_is<StepKind::expect_no_violations, ExpectNoViolations> &&
              kind_is<StepKind::inject_irq, InjectIrq> && kind_is<StepKind::expect_stable, ExpectStable> &&
              kind_is<StepKind::expect_blink, ExpectBlink> && kind_is<StepKind::expect_pulses, ExpectPulses>);

// "delay, set, pulse, ...": the names, for messages.
std::string step_names() {
  std::string s;
  for (const StepType& t : kStepTypes) s += (s.empty() ? "" : ", ") + std::string(t.name);
  return s;
}

// The optional `label:` beside a step's key.
std::string step_label(const YAML::Node& item, const Labels& labels) {
  const YAML::Node& l = item["label"];
  if (l.IsNull()) bad(item, "label: no value");
  const std::string label = scalar(l, "label");
  if (!label_text(label))
    bad(l, "label: " + quote(label) +
               " is not a label (letters, digits, '-' and '_', at most 64, the first a letter or '_')");
  if (labels.count(label)) bad(l, "label: " + quote(label) + " names an earlier step already");
  return label;
}

Step parse_step(const YAML::Node& item, const Labels& labels) {
  // One key naming the step, and optionally `label:` beside it.
  const bool labelled = item.IsMap() && item.size() == 2 && item["label"];
  if (!item.IsMap() || (item.size() != 1 && !labelled))
    bad(item,
        "a step is one key naming it (" + step_names() + ") with its settings, and optionally 'label:'");
  YAML::Node key, v;
  for (const auto& e : item)
    if (!labelled || scalar(e.first, "step") != "label") {
      key = e.first;
      v = e.second;
    }
  const std::string name = scalar(key, "step");
  const StepType* type = nullptr;
  for (const StepType& t : kStepTypes)
    if (name == t.name) type = &t;
  if (v.IsNull() && !(type && type->bare)) bad(key, name + ": no value");
  Step s;
  s.line = line_of(key);
  if (labelled) s.label = step_label(item, labels);
  if (!type) bad(key, "unknown step " + quote(name) + " (known: " + step_names() + ")");
  s.what = type->read(v, labels);
  return s;
}

}  // namespace

const char* step_name(StepKind k) {
  for (const StepType& t : kStepTypes)
    if (t.kind == k) return t.name;
  return "?";
}

ns_t Step::longest() const {
  if (const auto* d = std::get_if<Delay>(&what)) return d->duration;
  if (const auto* w = std::get_if<WaitPin>(&what)) return w->timeout;
  if (const auto* e = std::get_if<ExpectStrip>(&what)) return e->within;
  if (const auto* e = std::get_if<ExpectStable>(&what)) return e->hold;
  if (const auto* e = std::get_if<ExpectBlink>(&what)) return e->longest();
  if (const auto* e = std::get_if<ExpectPulses>(&what)) return e->within;
  return 0;
}

const char* violation_name(ViolationKind k) {
  switch (k) {
    case ViolationKind::any:
      return "any";
    case ViolationKind::strip:
      return "strip";
    case ViolationKind::strip_datasheet:
      return "strip-datasheet";
    case ViolationKind::unmodelled:
      return "unmodelled";
    case ViolationKind::fault:
      return "fault";
    case ViolationKind::halt:
      return "halt";
    case ViolationKind::finding:
      return "finding";
  }
  return "?";
}

std::string color_name(const Rgb& c) {
  for (const auto& k : kColors)
    if (k.rgb == c) return k.name;
  char b[8];
  std::snprintf(b, sizeof b, "#%02x%02x%02x", c[0], c[1], c[2]);
  return b;
}

std::optional<Scenario> parse(const std::string& text, const std::string& file, std::string* error) {
  Scenario sc;
  sc.file = file;
  const auto read = [&sc](const YAML::Node& root) {
    if (!root.IsMap()) bad(root, "expected a map with name, version, steps");
    auto f = fields(root, "scenario", {"name", "version", "description", "board", "steps"},
                    {"name", "version", "steps"});
    sc.name = scalar(f["name"], "name");
    if (sc.name.empty()) bad(f["name"], "name: empty");
    if (values::has_control(sc.name))
      bad(f["name"], "name: " + quote(sc.name) + " holds a control character (a name is one line of text)");
    if (scalar(f["version"], "version") != "1")
      bad(f["version"], "version: only version 1 is known, not " + quote(f["version"].Scalar()));
    if (f.count("description")) scalar(f["description"], "description");
    if (f.count("board")) {
      sc.board = scalar(f["board"], "board");
      sc.board_line = line_of(f["board"]);
      // Which boards there are is the board files' to say, when the board is chosen.
      if (!board_name(sc.board))
        bad(f["board"],
            "board: " + quote(sc.board) + " is not a board name (1 to 64 letters, digits, '_' and '-')");
    }
    const YAML::Node& steps = f["steps"];
    if (!steps.IsSequence() || steps.size() == 0) bad(steps, "steps: expected a list of steps");
    // The longest the steps can take: every delay, and every wait to its timeout.
    ns_t worst = 0;
    std::map<std::string, size_t> labels;
    for (const auto& item : steps) {
      sc.steps.push_back(parse_step(item, labels));
      const Step& st = sc.steps.back();
      if (!st.label.empty()) labels.emplace(st.label, sc.steps.size() - 1);
      worst += st.longest();
      if (worst > limits::kMaxTime)
        throw Bad{st.line, std::string(step_name(st.kind())) + ": the steps up to here may take " +
                               values::exact_ns(worst) + " of virtual time, above the limit of " +
                               values::exact_ns(limits::kMaxTime) +
                               " (delays, wait-pin timeouts, expect-strip within and the waiting steps' "
                               "longest times add up)"};
    }
  };
  if (!yaml::read_document(text, file, "scenario", "a map with name, version, steps", read, error))
    return std::nullopt;
  return sc;
}

std::optional<Scenario> load(const std::string& path, std::string* error) {
  std::string text, why;
  if (!values::read_small_file(path, limits::kMaxScenarioBytes, "scenario file", &text, &why)) {
    if (error) *error = values::printable(path) + ": " + why;
    return std::nullopt;
  }
  return parse(text, path, error);
}

}  // namespace vboard::scenario
