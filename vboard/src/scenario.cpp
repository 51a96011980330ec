// Scenario files: loading and checking. Every key and value is checked here, with
// the line it came from, so that a scenario never half-runs on a typo.
#include "vboard/scenario.h"

#include <yaml-cpp/yaml.h>

#include "vboard/chip.h"

#include <fstream>
#include <map>
#include <set>
#include <sstream>

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

constexpr unsigned kMaxLeds = 4096;  // far above any strip; catches a typo like 600000
constexpr unsigned kIrqLines = 102;  // STM32G431 NVIC lines

// Thrown inside the loader only; load() turns it into "FILE:LINE: what".
struct Bad {
  unsigned line;
  std::string what;
};

unsigned line_of(const YAML::Node& n) { return static_cast<unsigned>(n.Mark().line + 1); }

[[noreturn]] void bad(const YAML::Node& n, const std::string& what) { throw Bad{line_of(n), what}; }

std::string scalar(const YAML::Node& n, const std::string& key) {
  if (!n.IsScalar()) bad(n, key + ": expected a single value");
  return n.Scalar();
}

ns_t duration(const YAML::Node& n, const std::string& key) {
  const std::string v = scalar(n, key);
  const bool has_unit = !v.empty() && std::isalpha(static_cast<unsigned char>(v.back()));
  auto d = has_unit ? parse_duration(v) : std::nullopt;
  if (!d) bad(n, key + ": '" + v + "' is not a duration (e.g. 100ms, 1500us, 2s, 250ns)");
  return *d;
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
  if (!x) bad(n, key + ": '" + v + "' is not a whole number");
  if (*x > max) bad(n, key + ": " + v + " is above " + std::to_string(max));
  return *x;
}

std::string pin(const YAML::Node& n) {
  const std::string v = scalar(n, "pin");
  bool ok = v.size() >= 3 && v.size() <= 4 && v[0] == 'P' && v[1] >= 'A' && v[1] <= 'G' &&
            v.find_first_not_of("0123456789", 2) == std::string::npos;
  if (ok) ok = std::stoul(v.substr(2)) <= 15 && !(v.size() == 4 && v[2] == '0');
  if (!ok) bad(n, "pin: '" + v + "' is not a pin name (PA0 .. PG15)");
  return v;
}

int level(const YAML::Node& n, bool allow_release) {
  const std::string v = scalar(n, "level");
  if (v == "0" || v == "low") return 0;
  if (v == "1" || v == "high") return 1;
  if (allow_release && (v == "z" || v == "released")) return -1;
  bad(n, std::string("level: '") + v + "' is not " + (allow_release ? "0, 1 or z" : "0 or 1"));
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
  bad(n, "color: '" + v +
             "' is not a colour (dark, red, green, blue, yellow, magenta, cyan, white, "
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
      bad(e, "leds: '" + v + "' is not a range like 0-59 below " + std::to_string(kMaxLeds));
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

// A violation kind, or the name of one kind of rule finding (pin_contention, ...).
ViolationKind violation_kind(const YAML::Node& n, std::string* finding) {
  const std::string v = scalar(n, "kind");
  for (ViolationKind k :
       {ViolationKind::any, ViolationKind::strip, ViolationKind::strip_datasheet, ViolationKind::unmodelled,
        ViolationKind::fault, ViolationKind::halt, ViolationKind::finding})
    if (v == violation_name(k)) return k;
  if (chip::has_name(chip::diagnostic_kinds(), v)) {
    *finding = v;
    return ViolationKind::finding;
  }
  std::string findings;
  for (const auto& d : chip::diagnostic_kinds()) findings += ", " + d.name;
  bad(n, "kind: '" + v + "' is not one of any, strip, strip-datasheet, unmodelled, fault, halt, finding" +
             findings);
}

// The keys of a map, each once, each one of `allowed`; `required` must be there.
std::map<std::string, YAML::Node> fields(const YAML::Node& n, const std::string& what,
                                         std::initializer_list<const char*> allowed,
                                         std::initializer_list<const char*> required) {
  if (!n.IsMap()) bad(n, what + ": expected a map of settings");
  std::map<std::string, YAML::Node> out;
  for (const auto& kv : n) {
    const std::string k = scalar(kv.first, what);
    bool known = false;
    for (const char* a : allowed) known = known || k == a;
    if (!known) {
      std::string list;
      for (const char* a : allowed) list += std::string(list.empty() ? "" : ", ") + a;
      bad(kv.first, what + ": unknown key '" + k + "' (known: " + list + ")");
    }
    if (out.count(k)) bad(kv.first, what + ": key '" + k + "' given twice");
    out.emplace(k, kv.second);
  }
  for (const char* r : required)
    if (!out.count(r)) bad(n, what + ": '" + r + "' is missing");
  return out;
}

void bounce(const YAML::Node& n, Step& s) {
  const std::string v = scalar(n, "bounce");
  const auto x = v.find('x');
  if (x == std::string::npos || x == 0) bad(n, "bounce: '" + v + "' is not COUNTxSPACING (e.g. 5x200us)");
  const auto count = to_uint(v.substr(0, x));
  const auto d = parse_duration(v.substr(x + 1));
  if (!count || *count > 10000 || !d || *d == 0 || !std::isalpha(static_cast<unsigned char>(v.back())))
    bad(n, "bounce: '" + v + "' is not COUNTxSPACING (e.g. 5x200us, at most 10000 bounces)");
  s.bounces = *count;
  s.bounce_ns = *d;
}

Step parse_step(const YAML::Node& item) {
  if (!item.IsMap() || item.size() != 1)
    bad(item,
        "a step is one key naming it (delay, set, pulse, expect-pin, wait-pin, expect-strip, "
        "expect-no-violations, inject-irq) with its settings");
  const auto kv = *item.begin();
  const std::string name = scalar(kv.first, "step");
  const YAML::Node& v = kv.second;
  Step s;
  s.line = line_of(kv.first);
  if (name == "delay") {
    s.kind = StepKind::delay;
    s.duration = duration(v, "delay");
  } else if (name == "set") {
    s.kind = StepKind::set;
    auto f = fields(v, name, {"pin", "level", "bounce"}, {"pin", "level"});
    s.pin = pin(f["pin"]);
    s.level = level(f["level"], true);
    if (f.count("bounce")) {
      if (s.level < 0) bad(f["bounce"], "bounce: a released line does not bounce");
      bounce(f["bounce"], s);
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
      s.period = f.count("period") ? duration(f["period"], "period") : 20 * kMs;
      s.jitter = f.count("jitter") ? duration(f["jitter"], "jitter") : 0;
      if (s.width == 0 || s.width >= s.period) bad(f["width"], "width: must be above 0 and below the period");
      if (s.jitter >= s.width) bad(f["jitter"], "jitter: must be below the width");
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
    if (v.IsNull()) {
      s.violations = ViolationKind::any;
    } else {
      auto f = fields(v, name, {"kind"}, {});
      if (f.count("kind")) s.violations = violation_kind(f["kind"], &s.finding);
    }
  } else if (name == "inject-irq") {
    s.kind = StepKind::inject_irq;
    if (v.IsMap()) {
      auto f = fields(v, name, {"irq"}, {"irq"});
      s.irq = number(f["irq"], "irq", kIrqLines - 1);
    } else {
      s.irq = number(v, "inject-irq", kIrqLines - 1);
    }
  } else {
    bad(kv.first,
        "unknown step '" + name +
            "' (known: delay, set, pulse, expect-pin, wait-pin, expect-strip, expect-no-violations, "
            "inject-irq)");
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
  try {
    const YAML::Node root = YAML::Load(text);
    if (!root.IsMap())
      throw Bad{root.IsDefined() ? line_of(root) : 1, "expected a map with name, version, steps"};
    auto f =
        fields(root, "scenario", {"name", "version", "description", "steps"}, {"name", "version", "steps"});
    sc.name = scalar(f["name"], "name");
    if (sc.name.empty()) bad(f["name"], "name: empty");
    if (scalar(f["version"], "version") != "1")
      bad(f["version"], "version: only version 1 is known, not '" + f["version"].Scalar() + "'");
    if (f.count("description")) scalar(f["description"], "description");
    const YAML::Node& steps = f["steps"];
    if (!steps.IsSequence() || steps.size() == 0) bad(steps, "steps: expected a list of steps");
    for (const auto& item : steps) sc.steps.push_back(parse_step(item));
  } catch (const Bad& b) {
    if (error) *error = file + ":" + std::to_string(b.line) + ": " + b.what;
    return std::nullopt;
  } catch (const YAML::Exception& e) {
    if (error) *error = file + ":" + std::to_string(e.mark.line + 1) + ": YAML: " + e.msg;
    return std::nullopt;
  }
  return sc;
}

std::optional<Scenario> load(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = path + ": cannot open the scenario file";
    return std::nullopt;
  }
  std::stringstream ss;
  ss << in.rdbuf();
  if (in.bad()) {
    if (error) *error = path + ": cannot read the scenario file";
    return std::nullopt;
  }
  return parse(ss.str(), path, error);
}

}  // namespace vboard::scenario
