// Board files: loading and checking. Every key and value is checked with the
// line it came from, so that a board is never half-built from a typo: a wrong
// file is refused with one line, "FILE:LINE: what". Times and pins are read by
// vboard/values.h, with its limits and in its words.
#include <algorithm>
#include <functional>
#include <map>

#include "chip/stm32g431_desc.h"
#include "world/board.h"
#include "vboard/part.h"
#include "world/values.h"
#include "world/yaml_file.h"

namespace vboard {

namespace {

using values::quote;

constexpr unsigned kMaxLeds = 4096;  // far above any strip; catches a typo like 600000

using yaml::bad;
using yaml::line_of;
using yaml::scalar;
using Fields = std::map<std::string, YAML::Node>;
using yaml::fields;

// One of `names`; refused with the list.
std::string one_of(const YAML::Node& n, const std::string& key, const std::vector<std::string>& names) {
  std::string v = scalar(n, key);
  if (std::find(names.begin(), names.end(), v) != names.end()) return v;
  std::string list;
  for (const auto& a : names) list += (list.empty() ? "" : ", ") + a;
  bad(n, key + ": " + quote(v) + " is not one of " + list);
}

ns_t duration(const YAML::Node& n, const std::string& key) {
  std::string why;
  const auto t = values::time(scalar(n, key), &why);
  if (!t) bad(n, key + ": " + why);
  if (*t == 0) bad(n, key + ": must be above 0");
  return *t;
}

// "220ns..380ns"
StripTiming::Window window(const YAML::Node& n, const std::string& key) {
  const std::string v = scalar(n, key);
  const auto dots = v.find("..");
  if (dots == std::string::npos) bad(n, key + ": " + quote(v) + " is not a window like 220ns..380ns");
  std::string why;
  const auto lo = values::time(v.substr(0, dots), &why);
  if (!lo) bad(n, key + ": " + why);
  const auto hi = values::time(v.substr(dots + 2), &why);
  if (!hi) bad(n, key + ": " + why);
  if (*lo > *hi) bad(n, key + ": " + quote(v) + ": the lower end is above the upper");
  return {*lo, *hi};
}

std::string pin(const YAML::Node& n, const std::string& key) {
  std::string why;
  const auto p = values::pin(scalar(n, key), &why);
  if (!p) bad(n, key + ": " + why);
  return *p;
}

std::string text(const YAML::Node& n, const std::string& key) {
  std::string v = scalar(n, key);
  if (v.empty()) bad(n, key + ": empty");
  if (values::has_control(v)) bad(n, key + ": " + quote(v) + " holds a control character (one line of text)");
  return v;
}

// A strip's driver: a timer of the chip model with a channel that reaches the
// strip's pin through one of the pin's alternate functions (chip description).
// The chip's timers the models leave out are named as such.
void check_driver(const YAML::Node& n, const std::string& driver, const YAML::Node& pin_node) {
  namespace desc = periph::desc;
  static const char* const kLeftOut[] = {"TIM3", "TIM6", "TIM15", "TIM16"};
  for (const char* t : kLeftOut)
    if (driver == t) bad(n, "driver: " + quote(driver) + " is a timer of the chip that is not modelled");
  const desc::Peripheral* p = desc::peripheral(driver);
  if (!p || p->kind != desc::Kind::kTimer) bad(n, "driver: " + quote(driver) + " is not a timer of the chip");
  if (p->timer.channels == 0) bad(n, "driver: " + quote(driver) + " has no output channel");
  std::string why;
  const auto pin = values::pin(pin_node.IsScalar() ? pin_node.Scalar() : "", &why);
  if (!pin) return;  // the pin's own check says what is wrong with it
  std::string reach;
  for (const desc::AltFunction& a : desc::alt_functions()) {
    std::string timer;
    unsigned ch = 0;
    if (*pin != a.pin || !desc::timer_channel(a.signal, &timer, &ch)) continue;
    if (timer == driver) return;
    reach += std::string(reach.empty() ? "" : ", ") + a.signal;
  }
  bad(n, "driver: " + quote(driver) + " has no channel that reaches " + *pin + " (" +
             (reach.empty() ? "no timer channel does" : "its timer channels: " + reach) + ")");
}

BoardPart::Strip strip_settings(Fields& f) {
  BoardPart::Strip p;
  const std::string leds = scalar(f["leds"], "leds");
  if (leds.empty() || leds.size() > 5 || leds.find_first_not_of("0123456789") != std::string::npos ||
      std::stoul(leds) == 0 || std::stoul(leds) > kMaxLeds)
    bad(f["leds"], "leds: " + quote(leds) + " is not a number of LEDs from 1 to " + std::to_string(kMaxLeds));
  p.leds = static_cast<unsigned>(std::stoul(leds));
  p.driver = scalar(f["driver"], "driver");
  check_driver(f["driver"], p.driver, f["pin"]);
  StripTiming& t = p.timing;
  t.latch = duration(f["latch"], "latch");
  auto ds = fields(f["datasheet"], "datasheet", {"t0h", "t1h", "t0l", "t1l"}, {"t0h", "t1h", "t0l", "t1l"});
  t.t0h = window(ds["t0h"], "t0h");
  t.t1h = window(ds["t1h"], "t1h");
  t.t0l = window(ds["t0l"], "t0l");
  t.t1l = window(ds["t1l"], "t1l");
  const std::vector<std::string> real_keys{"zero-below", "one-above", "longest-low"};
  auto rp = fields(f["real-parts"], "real-parts", real_keys, real_keys);
  t.zero_below = duration(rp["zero-below"], "zero-below");
  t.one_above = duration(rp["one-above"], "one-above");
  t.longest_low = duration(rp["longest-low"], "longest-low");
  if (t.zero_below > t.one_above)
    bad(rp["one-above"], "one-above: " + values::exact_ns(t.one_above) + " is below zero-below, " +
                             values::exact_ns(t.zero_below));
  if (t.longest_low >= t.latch)
    bad(rp["longest-low"], "longest-low: " + values::exact_ns(t.longest_low) +
                               " must be below the latch time, " + values::exact_ns(t.latch));
  return p;
}

std::string pull(Fields& f) {
  return f.count("pull") ? one_of(f["pull"], "pull", {"up", "down", "none"}) : "";
}

// Unused lines: a list of pins, no name or role.
BoardPart unused(const YAML::Node& n, BoardPart p) {
  Fields f = fields(n, "unused", {"kind", "pins", "pull", "note"}, {"kind", "pins"});
  p.name = "unused";
  p.kind = BoardPart::Unused{pull(f)};
  if (f.count("note")) text(f["note"], "note");
  const YAML::Node& pins = f["pins"];
  if (!pins.IsSequence() || pins.size() == 0) bad(pins, "pins: expected a list of pins, e.g. [PA0, PA1]");
  for (const auto& e : pins) p.pins.push_back(pin(e, "pins"));
  return p;
}

// The keys of a part of kind `kind` and its settings from them.
Fields settings(const YAML::Node& n, const std::string& kind, BoardPart& p) {
  const std::vector<std::string> common{"name", "kind", "role", "pin"};
  const auto with = [&common](std::vector<std::string> more) {
    more.insert(more.begin(), common.begin(), common.end());
    return more;
  };
  const std::vector<std::string> named{"name", "kind", "pin"};
  Fields f;
  if (kind == "ws2815-strip") {
    const std::vector<std::string> strip{"leds", "driver", "latch", "datasheet", "real-parts"};
    f = fields(n, "ws2815-strip", with(strip), [&] {
      auto r = named;
      r.insert(r.end(), strip.begin(), strip.end());
      return r;
    }());
    p.kind = strip_settings(f);
  } else if (kind == "output") {
    f = fields(n, "output", with({"active"}), named);
    BoardPart::Output o;
    if (f.count("active")) o.active = one_of(f["active"], "active", {"high", "low"}) == "high";
    p.kind = o;
  } else if (kind == "switch") {
    f = fields(n, "switch", with({"color", "pull", "closed"}),
               {"name", "kind", "pin", "color", "pull", "closed"});
    BoardPart::Switch s;
    s.color = one_of(f["color"], "color", {"red", "green", "blue"});
    s.pull = one_of(f["pull"], "pull", {"up", "down", "none"});
    s.closed = one_of(f["closed"], "closed", {"low", "high"}) == "high";
    p.kind = s;
  } else {
    f = fields(n, "pulse-input", with({"pull"}), named);
    p.kind = BoardPart::PulseInput{pull(f)};
  }
  return f;
}

BoardPart part(const YAML::Node& n) {
  BoardPart p;
  p.line = line_of(n);
  if (!n.IsMap()) bad(n, "a part is a map with name, kind, pin and its settings");
  yaml::no_merge_key(n, "part");
  const YAML::Node kind_node = n["kind"];
  if (!kind_node) bad(n, "part: 'kind' is missing");
  const std::string kind =
      one_of(kind_node, "kind", {"ws2815-strip", "output", "switch", "pulse-input", "unused"});
  if (kind == "unused") return unused(n, std::move(p));
  Fields f = settings(n, kind, p);
  p.name = text(f["name"], "name");
  for (const std::string_view member : kReportMembers)
    if (p.name == member)
      bad(f["name"], "name: " + quote(p.name) +
                         " is a member of the JSON report, beside which each part's "
                         "record is the member of its name");
  p.role = f.count("role") ? text(f["role"], "role") : p.name;
  p.pins.push_back(pin(f["pin"], "pin"));
  return p;
}

// Which part a pin belongs to, and the line of that part's pin.
struct Claim {
  std::string part;
  unsigned line;
};

// A list under `key`, each entry checked by `ok`; `form` says what one is,
// `example` what a list looks like.
std::vector<std::string> name_list(const YAML::Node& n, const std::string& key, const std::string& form,
                                   const std::string& example,
                                   const std::function<bool(const std::string&)>& ok) {
  if (!n.IsSequence() || n.size() == 0) bad(n, key + ": expected a list of one or more, e.g. " + example);
  std::vector<std::string> out;
  for (const auto& e : n) {
    const std::string v = scalar(e, key);
    if (!ok(v)) bad(e, key + ": " + quote(v) + " is not " + form);
    out.push_back(v);
  }
  return out;
}

// `recognise:`: the images' names (stems, or globs with * and ?) and the
// symbols they all define; at least one of the two.
Recognition recognition_of(const YAML::Node& n) {
  auto f = fields(n, "recognise", {"images", "symbols"}, {});
  if (f.empty()) bad(n, "recognise: give images, symbols or both");
  Recognition r;
  const auto in = [](const std::string& v, const char* set) {
    return !v.empty() && v.size() <= 128 && v.find_first_not_of(set) == std::string::npos;
  };
  const char* const kWord = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_";
  if (f.count("images"))
    r.images = name_list(f["images"], "images", "an image name (letters, digits, '_', '-', '.', and * or ?)",
                         "[my_board, my_board_*]",
                         [&](const std::string& v) { return in(v, (std::string(kWord) + "-.*?").c_str()); });
  if (f.count("symbols"))
    r.symbols = name_list(f["symbols"], "symbols", "a symbol name (letters, digits, '_', '.', '$')",
                          "[my_handle, my_table]",
                          [&](const std::string& v) { return in(v, (std::string(kWord) + ".$").c_str()); });
  return r;
}

// One of `margins: promises:`.
BoardPromise promise_of(const YAML::Node& n, bool has_strip) {
  auto f = fields(n, "promise", {"name", "from", "edge", "to"}, {"name", "from", "edge", "to"});
  BoardPromise p;
  p.line = line_of(n);
  p.name = text(f["name"], "name");
  const auto pins_of = [](const YAML::Node& list, const std::string& key) {
    if (!list.IsSequence() || list.size() == 0)
      bad(list, key + ": expected a list of one or more pins, e.g. [PA0]");
    std::vector<std::string> out;
    for (const auto& e : list) out.push_back(pin(e, key));
    return out;
  };
  p.from = pins_of(f["from"], "from");
  p.edge = one_of(f["edge"], "edge", {"falling", "rising", "any"});
  if (f["to"].IsScalar()) {
    if (scalar(f["to"], "to") != "strip") bad(f["to"], "to: a list of pins, or strip");
    if (!has_strip) bad(f["to"], "to: strip, on a board without a strip");
  } else {
    p.to = pins_of(f["to"], "to");
  }
  return p;
}

// `margins:`: the heap's break variable and the promised response times.
BoardMargins margins_of(const YAML::Node& n, bool has_strip) {
  auto f = fields(n, "margins", {"heap-break", "promises"}, {});
  BoardMargins m;
  if (f.count("heap-break")) {
    m.heap_break = scalar(f["heap-break"], "heap-break");
    if (m.heap_break.empty() ||
        m.heap_break.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.$") !=
            std::string::npos)
      bad(f["heap-break"], "heap-break: " + quote(m.heap_break) + " is not a symbol name");
  }
  if (f.count("promises")) {
    if (!f["promises"].IsSequence()) bad(f["promises"], "promises: expected a list");
    for (const auto& item : f["promises"]) m.promises.push_back(promise_of(item, has_strip));
  }
  return m;
}

BoardDescription board(const YAML::Node& root) {
  BoardDescription d;
  if (!root.IsMap()) bad(root, "expected a map with board, version, parts");
  auto f = fields(root, "board file", {"board", "version", "description", "recognise", "parts", "margins"},
                  {"board", "version", "parts"});
  d.name = scalar(f["board"], "board");
  if (!board_name(d.name))
    bad(f["board"], "board: " + quote(d.name) +
                        " is not a board name (1 to 64 letters, digits, '_' and '-': it names a folder "
                        "of scenarios and a value of --board)");
  if (f.count("recognise")) d.recognise = recognition_of(f["recognise"]);
  if (scalar(f["version"], "version") != "1")
    bad(f["version"], "version: only version 1 is known, not " + quote(f["version"].Scalar()));
  if (f.count("description")) scalar(f["description"], "description");
  const YAML::Node& parts = f["parts"];
  if (!parts.IsSequence()) bad(parts, "parts: expected a list of parts");
  std::map<std::string, Claim> pins;
  std::map<std::string, unsigned> names;
  unsigned strip_line = 0;  // the line of the strip seen so far (a line, not a pointer: parts grows)
  for (const auto& item : parts) {
    d.parts.push_back(part(item));
    const BoardPart& p = d.parts.back();
    if (!p.is<BoardPart::Unused>() && !names.emplace(p.name, p.line).second)
      bad(item, "name: " + quote(p.name) + " is already the name of the part at line " +
                    std::to_string(names[p.name]));
    if (p.is<BoardPart::Strip>()) {
      if (strip_line)
        bad(item, "a second strip: a board has at most one (line " + std::to_string(strip_line) + ")");
      strip_line = p.line;
    }
    for (const std::string& taken : p.pins) {
      const auto [it, fresh] = pins.emplace(taken, Claim{p.name, p.line});
      if (!fresh)
        bad(item, "pin: " + taken + " is already taken by '" + it->second.part + "' (line " +
                      std::to_string(it->second.line) + ")");
    }
  }
  if (f.count("margins")) d.margins = margins_of(f["margins"], strip_line != 0);
  return d;
}

}  // namespace

const BoardPart* BoardDescription::strip() const {
  const auto it =
      std::find_if(parts.begin(), parts.end(), [](const BoardPart& p) { return p.is<BoardPart::Strip>(); });
  return it == parts.end() ? nullptr : &*it;
}

std::optional<BoardDescription> parse_board(std::string_view text, const std::string& file,
                                            std::string* error) {
  BoardDescription d;
  const auto read = [&d](const YAML::Node& root) { d = board(root); };
  if (!yaml::read_document(text, file, "board", "a map with board, version, parts", read, error))
    return std::nullopt;
  d.file = file;
  return d;
}

bool board_name(const std::string& name) {
  return !name.empty() && name.size() <= 64 &&
         name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-") ==
             std::string::npos;
}

std::optional<BoardDescription> load_board(const std::string& path, std::string* error) {
  std::string text, why;
  if (!values::read_small_file(path, limits::kMaxScenarioBytes, "board file", &text, &why)) {
    if (error) *error = values::printable(path) + ": " + why;
    return std::nullopt;
  }
  return parse_board(text, path, error);
}

}  // namespace vboard
