// Requests from the page (see requests.h).
#include "serve/requests.h"

#include <cmath>
#include <set>

#include <nlohmann/json.hpp>

#include "chip/reg_view.h"
#include "world/values.h"

namespace vboard::serve {

namespace {

using Json = nlohmann::json;

// A refusal in words: thrown inside parse_message only, caught there.
struct Bad {
  std::string why;
};

const Json& member(const Json& j, const char* key) {
  const auto it = j.find(key);
  if (it == j.end()) throw Bad{std::string("'") + key + "' is missing"};
  return *it;
}

std::string text(const Json& j, const char* key) {
  const Json& v = member(j, key);
  if (!v.is_string()) throw Bad{std::string("'") + key + "' must be a string"};
  return v.get<std::string>();
}

// A value read by one of the shared parsers (values.h): the same words as the
// command line and the scenario files.
template <class T, class F>
T shared(const Json& j, const char* key, F parse) {
  const std::string v = text(j, key);
  std::string why;
  const std::optional<T> x = parse(v, &why);
  if (!x) throw Bad{std::string(key) + ": " + why};
  return *x;
}

std::string pin_of(const Json& j) {
  return shared<std::string>(j, "pin",
                             [](std::string_view v, std::string* why) { return values::pin(v, why); });
}

void only(const Json& j, std::initializer_list<const char*> keys) {
  for (auto it = j.begin(); it != j.end(); ++it) {
    bool known = false;
    for (const char* k : keys) known = known || it.key() == k;
    if (!known) throw Bad{"unknown key " + values::quote(it.key())};
  }
}

ns_t time_of(const Json& j, const char* key) {
  return shared<ns_t>(j, key, [](std::string_view v, std::string* why) { return values::time(v, why); });
}

Command input(Input in) { return command::Apply{std::move(in)}; }

// {"op": "set", "pin": "PB5", "level": "0", "bounce": "5x200us"}
Command read_set(const Json& j) {
  only(j, {"seq", "op", "pin", "level", "bounce"});
  Input in;
  in.kind = Input::Kind::set;
  in.pin = pin_of(j);
  in.level = shared<int>(j, "level",
                         [](std::string_view v, std::string* why) { return values::level(v, true, why); });
  if (j.contains("bounce") && !(j["bounce"].is_string() && j["bounce"].get<std::string>().empty())) {
    const auto b = shared<values::Bounce>(j, "bounce", values::bounce);
    in.bounces = b.count;
    in.bounce_ns = b.spacing;
    if (const auto r = values::check_bounce(in.level, in.bounces)) throw Bad{r->field + ": " + r->why};
  }
  return input(std::move(in));
}

// {"op": "pulse", "pin": "PA0", "width": "1500us", "period": "20ms"}
Command read_pulse(const Json& j) {
  only(j, {"seq", "op", "pin", "width", "period"});
  Input in;
  in.kind = Input::Kind::pulse;
  in.pin = pin_of(j);
  in.width = time_of(j, "width");
  in.period = j.contains("period") ? shared<ns_t>(j, "period", values::period) : 20 * kMs;
  if (const auto r = values::check_pulse(in.width, in.period, 0)) throw Bad{r->field + ": " + r->why};
  return input(std::move(in));
}

Command read_pulse_stop(const Json& j) {
  only(j, {"seq", "op", "pin"});
  Input in;
  in.kind = Input::Kind::pulse_stop;
  in.pin = pin_of(j);
  return input(std::move(in));
}

// {"op": "mark", "pin": "PA9"} or {"op": "mark", "strip": true}
Command read_mark(const Json& j) {
  only(j, {"seq", "op", "pin", "strip"});
  Input in;
  if (j.contains("strip")) {
    if (!j["strip"].is_boolean() || !j["strip"].get<bool>() || j.contains("pin"))
      throw Bad{"mark: give either 'pin' or 'strip': true"};
    in.kind = Input::Kind::mark_strip;
  } else {
    in.kind = Input::Kind::mark_pin;
    in.pin = pin_of(j);
  }
  return input(std::move(in));
}

// {"op": "pace", "rate": 2} or {"op": "pace", "rate": "fast"}
Command read_pace(const Json& j) {
  only(j, {"seq", "op", "rate"});
  command::Pace c;
  const Json& r = member(j, "rate");
  if (r.is_string() && r.get<std::string>() == "fast") {
    c.fast = true;
  } else if (r.is_number()) {
    c.rate = r.get<double>();
    if (!std::isfinite(c.rate) || c.rate < kMinRate || c.rate > kMaxRate)
      throw Bad{"rate: must be \"fast\" or a number from 0.01 to 1000"};
  } else {
    throw Bad{"rate: must be \"fast\" or a number from 0.01 to 1000"};
  }
  return c;
}

// pause, run, reset, ping: the op alone.
template <typename Bare>
Command read_bare(const Json& j) {
  only(j, {"seq", "op"});
  return Bare{};
}

Command read_step(const Json& j) {
  only(j, {"seq", "op", "for"});
  command::Step c;
  c.span = time_of(j, "for");
  if (c.span == 0) throw Bad{"for: a step must be longer than 0"};
  return c;
}

Command read_save(const Json& j) {
  only(j, {"seq", "op", "name"});
  command::Save c;
  if (j.contains("name")) c.name = text(j, "name");
  if (c.name.size() > 200) throw Bad{"name: longer than 200 bytes"};
  if (values::has_control(c.name)) throw Bad{"name: must be one line without control characters"};
  return c;
}

// {"op": "trace", "pins": ["PA0", "PA9"]}
Command read_trace(const Json& j) {
  only(j, {"seq", "op", "pins"});
  command::Trace c;
  const Json& p = member(j, "pins");
  if (!p.is_array() || p.size() > 16) throw Bad{"pins: a list of at most 16 pins"};
  for (const Json& e : p) {
    if (!e.is_string()) throw Bad{"pins: a list of at most 16 pins"};
    std::string why;
    const auto pin = values::pin(e.get<std::string>(), &why);
    if (!pin) throw Bad{"pins: " + why};
    c.pins.push_back(*pin);
  }
  return c;
}

// {"op": "regs", "periph": "TIM17", "reg": "CR1"}; without "periph" (or with
// "") the panel closes. Names are checked by the register view itself, so a
// refusal lists what exists in its words.
Command read_regs(const Json& j) {
  only(j, {"seq", "op", "periph", "reg"});
  command::Regs c;
  if (j.contains("periph")) c.periph = text(j, "periph");
  if (j.contains("reg")) c.reg = text(j, "reg");
  if (c.periph.empty()) {
    if (!c.reg.empty()) throw Bad{"reg: give the peripheral too"};
    return c;
  }
  std::string said;
  const auto nothing = [](uint32_t, uint32_t&) { return false; };
  if (!periph::regview::describe(c.periph, c.reg, nothing, said)) {
    while (!said.empty() && said.back() == '\n') said.pop_back();
    if (said.rfind("monitor ", 0) == 0) said.erase(0, 8);  // the debugger's words: "regs: no peripheral ..."
    std::replace(said.begin(), said.end(), '\n', ' ');
    throw Bad{said};
  }
  return c;
}

// {"op": "window", "from": 0, "to": 100000000, "pins": ["PA0"]}, or "op": "vcd" for the file.
Command read_window(const Json& j, bool vcd) {
  only(j, {"seq", "op", "from", "to", "pins"});
  command::Window c;
  c.vcd = vcd;
  for (auto [key, into] : {std::pair<const char*, ns_t*>{"from", &c.from}, {"to", &c.to}}) {
    const Json& v = member(j, key);
    if (!v.is_number_unsigned() || v.get<uint64_t>() > static_cast<uint64_t>(limits::kMaxTime) * 2)
      throw Bad{std::string(key) + ": a virtual time in whole ns"};
    *into = v.get<ns_t>();
  }
  if (c.to < c.from) throw Bad{"to: must not be before from"};
  c.pins = std::get<command::Trace>(read_trace(Json{{"pins", member(j, "pins")}})).pins;
  return c;
}

size_t index_of(const Json& j) {
  const Json& v = member(j, "index");
  if (!v.is_number_unsigned()) throw Bad{"index: a step's number from 0"};
  return v.get<size_t>();
}

Command read_drop(const Json& j) {
  only(j, {"seq", "op", "index"});
  return command::Drop{index_of(j)};
}

// {"op": "expect", "index": 3, "pin": "PA9", "level": "1"}
Command read_expect(const Json& j) {
  only(j, {"seq", "op", "index", "pin", "level"});
  command::Expect c;
  c.index = index_of(j);
  c.pin = pin_of(j);
  c.level = shared<int>(j, "level",
                        [](std::string_view v, std::string* why) { return values::level(v, false, why); });
  return c;
}

ns_t ns_of(const Json& v, const char* what) {
  if (!v.is_number_unsigned() || v.get<uint64_t>() > static_cast<uint64_t>(limits::kMaxTime))
    throw Bad{std::string(what) + ": a virtual time in whole ns up to " + values::exact_ns(limits::kMaxTime)};
  return v.get<ns_t>();
}

// One step of a loaded scenario: [t, "set", pin, level, bounce], [t, "pulse", pin, width, period],
// [t, "pulse-stop", pin], [t, "expect-pin", pin, level], [t, "expect-strip"].
std::pair<ns_t, Input> script_step(const Json& s) {
  if (!s.is_array() || s.size() < 2 || !s[1].is_string()) throw Bad{"steps: each a list [time, kind, ...]"};
  const ns_t t = ns_of(s[0], "steps: a time");
  const std::string kind = s[1].get<std::string>();
  const auto arg = [&](size_t i) -> std::string {
    if (s.size() <= i || !s[i].is_string()) throw Bad{"steps: " + kind + " lacks its values"};
    return s[i].get<std::string>();
  };
  Input in;
  if (kind == "expect-strip") {
    in.kind = Input::Kind::mark_strip;
    return {t, in};
  }
  std::string why;
  const auto pin = values::pin(arg(2), &why);
  if (!pin) throw Bad{"steps: " + why};
  in.pin = *pin;
  const auto level = [&](const std::string& v, bool z) {
    const auto l = values::level(v, z, &why);
    if (!l) throw Bad{"steps: " + why};
    return *l;
  };
  if (kind == "set") {
    in.kind = Input::Kind::set;
    in.level = level(arg(3), true);
    if (s.size() > 4 && !arg(4).empty()) {
      const auto b = values::bounce(arg(4), &why);
      if (!b) throw Bad{"steps: " + why};
      in.bounces = b->count;
      in.bounce_ns = b->spacing;
    }
  } else if (kind == "pulse") {
    in.kind = Input::Kind::pulse;
    if (s.size() < 5) throw Bad{"steps: pulse lacks its values"};
    in.width = ns_of(s[3], "steps: a width");
    in.period = ns_of(s[4], "steps: a period");
    if (const auto r = values::check_pulse(in.width, in.period, 0))
      throw Bad{"steps: " + r->field + ": " + r->why};
  } else if (kind == "pulse-stop") {
    in.kind = Input::Kind::pulse_stop;
  } else if (kind == "expect-pin") {
    in.kind = Input::Kind::mark_pin;
    in.level = level(arg(3), false);
  } else {
    throw Bad{"steps: " + values::quote(kind) + " is not a step the page plays"};
  }
  return {t, in};
}

// {"op": "script", "first": true, "last": true, "end": 200000000, "steps": [[20000000, "set", "PB5", "0",
// ""]]}
Command read_script(const Json& j) {
  only(j, {"seq", "op", "first", "last", "end", "steps"});
  command::Script c;
  for (auto [key, into] : {std::pair<const char*, bool*>{"first", &c.first}, {"last", &c.last}})
    if (j.contains(key)) {
      if (!j[key].is_boolean()) throw Bad{std::string(key) + ": true or false"};
      *into = j[key].get<bool>();
    }
  c.end = ns_of(member(j, "end"), "end");
  const Json& steps = member(j, "steps");
  if (!steps.is_array()) throw Bad{"steps: a list"};
  for (const Json& s : steps) c.steps.push_back(script_step(s));
  return c;
}

// {"op": "watch", "exprs": ["uwTick", "*_app+8:4"]}
Command read_watch(const Json& j) {
  only(j, {"seq", "op", "exprs"});
  command::Watch c;
  const Json& e = member(j, "exprs");
  if (!e.is_array() || e.size() > 16) throw Bad{"exprs: a list of at most 16 names"};
  for (const Json& x : e) {
    if (!x.is_string() || x.get<std::string>().empty() || x.get<std::string>().size() > 200 ||
        values::has_control(x.get<std::string>()))
      throw Bad{"exprs: each a symbol name, [*]symbol[+offset][:bytes]"};
    c.exprs.push_back(x.get<std::string>());
  }
  return c;
}

Command read_goto(const Json& j) {
  only(j, {"seq", "op", "at"});
  return command::Goto{ns_of(member(j, "at"), "at")};
}

Command read(const Json& j) {
  const std::string op = text(j, "op");
  if (op == "set") return read_set(j);
  if (op == "pulse") return read_pulse(j);
  if (op == "pulse-stop") return read_pulse_stop(j);
  if (op == "mark") return read_mark(j);
  if (op == "pace") return read_pace(j);
  if (op == "pause") return read_bare<command::Pause>(j);
  if (op == "run") return read_bare<command::Run>(j);
  if (op == "reset") return read_bare<command::Reset>(j);
  if (op == "ping") return read_bare<command::Ping>(j);
  if (op == "step") return read_step(j);
  if (op == "save") return read_save(j);
  if (op == "trace") return read_trace(j);
  if (op == "regs") return read_regs(j);
  if (op == "window" || op == "vcd") return read_window(j, op == "vcd");
  if (op == "drop") return read_drop(j);
  if (op == "expect") return read_expect(j);
  if (op == "script") return read_script(j);
  if (op == "watch") return read_watch(j);
  if (op == "goto") return read_goto(j);
  throw Bad{
      "op: " + values::quote(op) +
      " is not a request (set, pulse, pulse-stop, mark, pace, pause, run, step, reset, save, trace, regs, "
      "window, vcd, drop, expect, script, watch, goto, ping)"};
}

}  // namespace

Parsed parse_message(std::string_view text_in, int64_t* last_seq) {
  Parsed out;
  if (text_in.size() > kMaxMessageBytes) {
    out.error = "message of " + std::to_string(text_in.size()) + " bytes refused: the limit is " +
                std::to_string(kMaxMessageBytes);
    return out;
  }
  // A key given twice in one object: the parser would keep the last silently,
  // so what the page meant is unclear; the message is refused.
  std::vector<std::set<std::string>> open;
  std::string twice;
  const auto keys = [&](int, Json::parse_event_t e, Json& parsed) {
    if (e == Json::parse_event_t::object_start) open.emplace_back();
    if (e == Json::parse_event_t::object_end && !open.empty()) open.pop_back();
    if (e == Json::parse_event_t::key && !open.empty() &&
        !open.back().insert(parsed.get<std::string>()).second && twice.empty())
      twice = parsed.get<std::string>();
    return true;
  };
  const Json j = Json::parse(text_in.begin(), text_in.end(), keys, false);
  if (j.is_discarded()) {
    out.error = "not a JSON message";
    return out;
  }
  if (!twice.empty()) {
    out.error = "key " + values::quote(twice) + " given twice: each key once";
    return out;
  }
  if (!j.is_object()) {
    out.error = "a message is a JSON object with \"seq\" and \"op\"";
    return out;
  }
  try {
    const Json& s = member(j, "seq");
    if (!s.is_number_integer() || s.get<int64_t>() < 0) throw Bad{"seq: must be a whole number from 0"};
    const int64_t seq = s.get<int64_t>();
    if (seq <= *last_seq)
      throw Bad{"out of order: seq " + std::to_string(seq) + " after " + std::to_string(*last_seq)};
    Command c = read(j);
    *last_seq = seq;
    out.command = std::move(c);
  } catch (const Bad& b) {
    out.error = values::printable(b.why);
  } catch (const Json::exception& e) {
    out.error = std::string("malformed message: ") + e.what();
  }
  return out;
}

}  // namespace vboard::serve
