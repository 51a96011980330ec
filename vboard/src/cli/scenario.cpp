// Scenario files: loading and checking. Every key and value is checked here, with
// the line it came from, so that a scenario never half-runs on a typo. Values the
// command line takes too (times, pins, levels, periods, bounces, IRQs) are read by
// vboard/values.h, with its limits and in its words.
#include "cli/scenario.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <map>

#include "chip/chip.h"
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

// A violation kind, or the name of one kind of rule finding (pin_contention, ...);
// one of them or a list.
void violation_kinds(const YAML::Node& n, Step& s) {
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

// A label: letters, digits, '-' and '_', naming one step.
bool label_text(const std::string& v) {
  return !v.empty() && v.size() <= 64 &&
         v.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_") ==
             std::string::npos;
}

void bounce(const YAML::Node& n, Step& s) {
  const values::Bounce b = shared<values::Bounce>(n, "bounce", values::bounce);
  s.bounces = b.count;
  s.bounce_ns = b.spacing;
}

constexpr const char* kStepNames =
    "delay, set, pulse, expect-pin, wait-pin, expect-strip, expect-stable, expect-blink, expect-pulses, "
    "expect-no-violations, inject-irq";

// A time of at least 1 ns.
ns_t positive(const YAML::Node& n, const std::string& key) {
  const ns_t t = duration(n, key);
  if (t == 0) bad(n, key + ": must be above 0");
  return t;
}

Step parse_step(const YAML::Node& item, const std::map<std::string, size_t>& labels) {
  // One key naming the step, and optionally `label:` beside it.
  const bool labelled = item.IsMap() && item.size() == 2 && item["label"];
  if (!item.IsMap() || (item.size() != 1 && !labelled))
    bad(item, std::string("a step is one key naming it (") + kStepNames +
                  ") with its settings, and optionally 'label:'");
  YAML::Node key, v;
  for (const auto& e : item)
    if (!labelled || scalar(e.first, "step") != "label") {
      key = e.first;
      v = e.second;
    }
  const YAML::Node kv_first = key;
  const std::string name = scalar(kv_first, "step");
  if (v.IsNull() && name != "expect-no-violations") bad(kv_first, name + ": no value");
  Step s;
  s.line = line_of(kv_first);
  if (labelled) {
    const YAML::Node& l = item["label"];
    if (l.IsNull()) bad(item, "label: no value");
    s.label = scalar(l, "label");
    if (!label_text(s.label))
      bad(l, "label: " + quote(s.label) + " is not a label (letters, digits, '-' and '_', at most 64)");
    if (labels.count(s.label)) bad(l, "label: " + quote(s.label) + " names an earlier step already");
  }
  if (name == "delay") {
    s.kind = StepKind::delay;
    s.duration = duration(v, "delay");
  } else if (name == "set") {
    s.kind = StepKind::set;
    auto f = fields(v, name, {"pin", "level", "bounce"}, {"pin", "level"});
    s.pin = pin(f["pin"]);
    s.level = level(f["level"], true);
    if (f.count("bounce")) {
      bounce(f["bounce"], s);
      if (const auto r = values::check_bounce(s.level, s.bounces)) bad(f["bounce"], r->field + ": " + r->why);
    }
  } else if (name == "pulse") {
    s.kind = StepKind::pulse;
    auto f = fields(v, name, {"pin", "width", "period", "jitter", "stop"}, {"pin"});
    s.pin = pin(f["pin"]);
    if (f.count("stop")) {
      const std::string st = scalar(f["stop"], "stop");
      if (st != "true") bad(f["stop"], "stop: only 'true' (to disconnect the pulse train) is allowed");
      if (f.size() != 2) bad(v, "pulse: 'stop' takes no other settings than 'pin'");
      s.stop = true;
    } else {
      if (!f.count("width")) bad(v, "pulse: 'width' is missing (or 'stop: true')");
      s.width = duration(f["width"], "width");
      s.period = f.count("period") ? shared<ns_t>(f["period"], "period", values::period) : 20 * kMs;
      s.jitter = f.count("jitter") ? duration(f["jitter"], "jitter") : 0;
      if (const auto r = values::check_pulse(s.width, s.period, s.jitter))
        bad(f.count(r->field) ? f[r->field] : v, r->field + ": " + r->why);
    }
  } else if (name == "expect-pin" || name == "wait-pin") {
    const bool wait = name == "wait-pin";
    s.kind = wait ? StepKind::wait_pin : StepKind::expect_pin;
    auto f = wait ? fields(v, name, {"pin", "level", "timeout"}, {"pin", "level", "timeout"})
                  : fields(v, name, {"pin", "level"}, {"pin", "level"});
    s.pin = pin(f["pin"]);
    s.level = level(f["level"], false);
    if (wait) s.duration = duration(f["timeout"], "timeout");
  } else if (name == "expect-strip") {
    s.kind = StepKind::expect_strip;
    auto f = fields(v, name, {"leds", "color", "segments", "within"}, {});
    if (f.count("segments")) {
      if (f.count("leds") || f.count("color"))
        bad(v, "expect-strip: give either 'segments' or 'leds'/'color'");
      const YAML::Node& segs = f["segments"];
      if (!segs.IsSequence() || segs.size() == 0) bad(segs, "segments: expected a list of {leds, color}");
      for (const auto& seg : segs) {
        auto g = fields(seg, "segment", {"leds", "color"}, {"leds", "color"});
        s.strip.push_back({leds(g["leds"]), color(g["color"])});
      }
    } else {
      if (!f.count("color")) bad(v, "expect-strip: 'color' is missing");
      s.strip.push_back(
          {f.count("leds") ? leds(f["leds"]) : decltype(StripCheck::leds){}, color(f["color"])});
    }
    if (f.count("within")) s.duration = duration(f["within"], "within");
  } else if (name == "expect-no-violations") {
    s.kind = StepKind::expect_no_violations;
    if (!v.IsNull()) {
      auto f = fields(v, name, {"kind", "since"}, {});
      if (f.count("kind")) violation_kinds(f["kind"], s);
      if (f.count("since")) {
        const YAML::Node& n = f["since"];
        const std::string text = scalar(n, "since");
        s.since.text = text;
        if (text.find_first_of("0123456789") == 0) {
          s.since.from = Since::From::time;
          s.since.t = duration(n, "since");
          s.since.text = values::exact_ns(s.since.t);
        } else {
          const auto at = labels.find(text);
          if (at == labels.end())
            bad(n, "since: " + quote(text) +
                       " is neither a time (e.g. 15ms) nor the label of a step before this one");
          s.since.from = Since::From::step;
          s.since.step = at->second;
        }
      }
    }
  } else if (name == "expect-stable") {
    s.kind = StepKind::expect_stable;
    auto f = fields(v, name, {"pin", "level", "for"}, {"pin", "level", "for"});
    s.pin = pin(f["pin"]);
    s.level = level(f["level"], false);
    s.duration = positive(f["for"], "for");
  } else if (name == "expect-blink") {
    s.kind = StepKind::expect_blink;
    auto f = fields(v, name, {"pin", "period", "high", "tolerance", "count"}, {"pin", "period"});
    s.pin = pin(f["pin"]);
    s.period = shared<ns_t>(f["period"], "period", values::period);
    s.width = f.count("high") ? positive(f["high"], "high") : s.period / 2;
    if (s.width >= s.period)
      bad(f["high"],
          "high: " + values::exact_ns(s.width) + " must be below the period, " + values::exact_ns(s.period));
    s.tolerance = f.count("tolerance") ? duration(f["tolerance"], "tolerance") : s.period / 10;
    const ns_t room = std::min(s.width, s.period - s.width);
    if (s.tolerance >= room)
      bad(f.count("tolerance") ? f["tolerance"] : v,
          "tolerance: " + values::exact_ns(s.tolerance) + " must be below the high time, " +
              values::exact_ns(s.width) + ", and below the low time, " +
              values::exact_ns(s.period - s.width));
    s.count = f.count("count") ? number(f["count"], "count", kMaxCount) : 3;
    if (s.count == 0) bad(f["count"], "count: must be at least 1");
    // Waiting for the first rising edge, then `count` periods, each at its longest.
    if (s.period + s.tolerance > limits::kMaxTime / (s.count + 1))
      bad(v, "expect-blink: " + std::to_string(s.count) + " periods of up to " +
                 values::exact_ns(s.period + s.tolerance) + " may take longer than the limit of " +
                 values::exact_ns(limits::kMaxTime));
    s.duration = (s.period + s.tolerance) * (s.count + 1);
  } else if (name == "expect-pulses") {
    s.kind = StepKind::expect_pulses;
    auto f = fields(v, name, {"pin", "level", "width", "count", "within"}, {"pin", "width", "within"});
    s.pin = pin(f["pin"]);
    s.level = f.count("level") ? level(f["level"], false) : 1;
    auto w = fields(f["width"], "width", {"min", "max"}, {"min", "max"});
    s.width_min = duration(w["min"], "min");
    s.width_max = positive(w["max"], "max");
    if (s.width_min > s.width_max)
      bad(w["min"],
          "min: " + values::exact_ns(s.width_min) + " is above max, " + values::exact_ns(s.width_max));
    s.count = f.count("count") ? number(f["count"], "count", kMaxCount) : 1;
    if (s.count == 0) bad(f["count"], "count: must be at least 1");
    s.duration = positive(f["within"], "within");
  } else if (name == "inject-irq") {
    s.kind = StepKind::inject_irq;
    if (v.IsMap()) {
      auto f = fields(v, name, {"irq"}, {"irq"});
      s.irq = shared<unsigned>(f["irq"], "irq", values::irq);
    } else {
      s.irq = shared<unsigned>(v, "inject-irq", values::irq);
    }
  } else {
    bad(kv_first, "unknown step " + quote(name) + " (known: " + kStepNames + ")");
  }
  return s;
}

}  // namespace

const char* step_name(StepKind k) {
  switch (k) {
    case StepKind::delay:
      return "delay";
    case StepKind::set:
      return "set";
    case StepKind::pulse:
      return "pulse";
    case StepKind::expect_pin:
      return "expect-pin";
    case StepKind::wait_pin:
      return "wait-pin";
    case StepKind::expect_strip:
      return "expect-strip";
    case StepKind::expect_no_violations:
      return "expect-no-violations";
    case StepKind::inject_irq:
      return "inject-irq";
    case StepKind::expect_stable:
      return "expect-stable";
    case StepKind::expect_blink:
      return "expect-blink";
    case StepKind::expect_pulses:
      return "expect-pulses";
  }
  return "?";
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
      if (std::find_if(std::begin(kBoards), std::end(kBoards),
                       [&](const char* b) { return sc.board == b; }) == std::end(kBoards))
        bad(f["board"], "board: " + quote(sc.board) + " is not a board (front_lamp, rear_lamp)");
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
      if (st.kind != StepKind::expect_no_violations) worst += st.duration;
      if (worst > limits::kMaxTime)
        throw Bad{st.line, std::string(step_name(st.kind)) + ": the steps up to here may take " +
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
