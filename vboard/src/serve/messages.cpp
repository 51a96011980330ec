// Messages from the server to the page (see messages.h).
#include "serve/messages.h"

#include <algorithm>
#include <iterator>

#include <nlohmann/json.hpp>

#include "chip/reg_view.h"
#include "world/values.h"

namespace vboard::serve {

namespace {

using Json = nlohmann::json;

std::string dump(const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); }

Json rgb_hex(const std::vector<Rgb>& leds) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  s.reserve(leds.size() * 6);
  for (const Rgb& c : leds)
    for (uint8_t v : c) {
      s += digits[v >> 4];
      s += digits[v & 15];
    }
  return s;
}

// {"PB5": {"level": 0}, "PA0": {"pulse": {"high_ns": 1500000, "period_ns": 20000000}}}
Json driven_json(const Driven& driven) {
  Json j = Json::object();
  for (const auto& [pin, d] : driven)
    j[pin] = d.level ? Json{{"level", *d.level}}
                     : Json{{"pulse", {{"high_ns", d.high_ns}, {"period_ns", d.period_ns}}}};
  return j;
}

Json recording_json(const RecordingState& r) {
  return {{"inputs", r.inputs},
          {"bytes", r.bytes},
          {"limit", r.limit},
          {"seconds", r.seconds},
          {"limit_seconds", r.limit_seconds},
          {"warn", r.warn},
          {"full", r.full},
          {"note", r.note}};
}

Json state_json(const Update& u) {
  Json j;
  j["t"] = "update";
  j["vt"] = u.vt;
  j["wall"] = u.wall_s;
  j["state"] = u.state;
  j["rate"] = u.fast ? Json("fast") : Json(u.rate);
  j["lagging"] = u.lagging;
  j["achieved"] = u.achieved;
  j["inputs"] = u.inputs;
  j["gen"] = u.generation;
  if (!u.pins.empty()) j["pins"] = u.pins;
  if (u.strip) {
    j["strip"] = rgb_hex(*u.strip);
    j["frames"] = u.frames;
  }
  if (u.findings) {
    j["findings"] = u.findings->lines;
    j["halt"] = u.findings->halt;
  }
  if (u.driven) j["driven"] = driven_json(*u.driven);
  if (u.recording) j["recording"] = recording_json(*u.recording);
  if (u.regs) j["regs"] = {{"periph", u.regs->periph}, {"reg", u.regs->reg}, {"text", u.regs->text}};
  if (u.where) j["where"] = *u.where;
  j["start"] = u.start;
  j["reached"] = u.reached;
  if (u.cut) j["cut"] = *u.cut;
  if (u.moved) j["moved"] = true;
  if (u.watches) {
    Json w = Json::array();
    for (const auto& [expr, value] : *u.watches) w.push_back({expr, value});
    j["watches"] = w;
  }
  if (u.steps) {
    Json rows = Json::array();
    for (const auto& [t, text] : u.steps->rows) rows.push_back({t, text});
    j["steps"] = {{"total", u.steps->total}, {"first", u.steps->first}, {"rows", rows}};
  }
  if (!u.trace.empty()) {
    Json t = Json::object();
    for (const auto& [pin, e] : u.trace) {
      Json edges = Json::array();
      for (const auto& [time, level] : e.edges) edges.push_back({time, level});
      Json one = {{"e", edges}};
      if (e.dropped) one["busy"] = {e.busy_from, e.busy_to, e.dropped};
      t[pin] = one;
    }
    j["trace"] = t;
  }
  return j;
}

// A part's kind for the page, with the settings the page shows of it.
struct KindJson {
  Json operator()(const BoardPart::Strip& s) const { return {{"kind", "strip"}, {"leds", s.leds}}; }
  Json operator()(const BoardPart::Output& o) const { return {{"kind", "output"}, {"active", o.active}}; }
  Json operator()(const BoardPart::Switch& s) const {
    return {{"kind", "switch"}, {"color", s.color}, {"closed", s.closed}, {"pull", s.pull}};
  }
  Json operator()(const BoardPart::PulseInput&) const { return {{"kind", "pulse-input"}}; }
  Json operator()(const BoardPart::Unused& u) const { return {{"kind", "unused"}, {"pull", u.pull}}; }
};

// The peripherals the registers panel offers: [{"name": "TIM17", "regs": ["CR1", ...]}, ...].
Json periphs_json() {
  const periph::regview::Table& t = periph::regview::table();
  Json list = Json::array();
  for (const periph::regview::PeripheralRow& p : t.peripherals) {
    Json regs = Json::array();
    for (const auto& r : t.registers.subspan(p.first_register, p.registers)) regs.push_back(r.name);
    list.push_back({{"name", p.name}, {"regs", regs}});
  }
  return list;
}

}  // namespace

void merge_update(Update& into, const Update& from) {
  into.vt = from.vt;
  into.wall_s = from.wall_s;
  into.state = from.state;
  into.rate = from.rate;
  into.fast = from.fast;
  into.lagging = from.lagging;
  into.achieved = from.achieved;
  into.inputs = from.inputs;
  if (from.driven) into.driven = from.driven;
  if (from.recording) into.recording = from.recording;
  if (from.regs) into.regs = from.regs;
  if (from.steps) into.steps = from.steps;
  if (from.where) into.where = from.where;
  into.start = from.start;
  into.reached = from.reached;
  if (from.cut) into.cut = into.cut ? std::min(*into.cut, *from.cut) : *from.cut;
  into.moved = into.moved || from.moved;
  if (from.watches) into.watches = from.watches;
  into.generation = from.generation;
  for (const auto& [pin, level] : from.pins) into.pins[pin] = level;
  if (from.strip) {
    into.strip = from.strip;
    into.frames = from.frames;
  }
  if (from.findings) into.findings = from.findings;
  for (const auto& [pin, e] : from.trace) {
    TraceEdges& t = into.trace[pin];
    for (const auto& edge : e.edges) {
      if (t.edges.size() < kMaxTraceEdgesHeld) {
        t.edges.push_back(edge);
        continue;
      }
      if (!t.dropped) t.busy_from = edge.first;
      ++t.dropped;
      t.busy_to = std::max(t.busy_to, edge.first);
    }
    if (e.dropped) {
      if (!t.dropped) t.busy_from = e.busy_from;
      t.busy_from = std::min(t.busy_from, e.busy_from);
      t.busy_to = std::max(t.busy_to, e.busy_to);
      t.dropped += e.dropped;
    }
  }
}

std::string update_json(const Update& u) { return dump(state_json(u)); }

StepList step_list(const LiveBoard& live) {
  StepList l;
  const auto& steps = live.steps();
  l.total = steps.size();
  l.first = steps.size() > StepList::kMostRows ? steps.size() - StepList::kMostRows : 0;
  for (size_t i = l.first; i < steps.size(); ++i) l.rows.emplace_back(steps[i].t, step_lines(steps[i]));
  return l;
}

std::string hello_json(const LiveBoard& live, const std::string& image_name, const Update& now,
                       const std::vector<std::string>& trace_pins) {
  Json j = state_json(now);
  j["t"] = "hello";
  j["image"] = image_name;
  const BoardDescription& b = live.board();
  j["board"] = b.name;
  if (!live.board_why().empty()) j["board_why"] = live.board_why();
  j["driven"] = driven_json(live.driven());
  j["recording"] = recording_json(live.recording());
  Json parts = Json::array();
  for (const BoardPart& p : b.parts) {
    Json part = std::visit(KindJson{}, p.kind);
    part["name"] = p.name;
    part["role"] = p.role;
    part["pins"] = p.pins;
    parts.push_back(part);
  }
  j["parts"] = parts;
  std::vector<std::string> names;
  std::copy_if(live.pin_names().begin(), live.pin_names().end(), std::back_inserter(names),
               [](const std::string& n) { return !n.empty(); });
  j["all_pins"] = names;
  const std::vector<int> levels = live.levels();
  Json pins = Json::object();
  for (size_t i = 0; i < levels.size(); ++i)
    if (!live.pin_names()[i].empty()) pins[live.pin_names()[i]] = levels[i];
  j["pins"] = pins;
  j["trace_pins"] = trace_pins;
  j["periphs"] = periphs_json();
  j["gdb"] = live.gdb_line();
  return dump(j);
}

std::string error_json(const std::string& text) { return dump(Json{{"t", "error"}, {"text", text}}); }

std::string scenario_json(const std::string& name, const std::string& yaml) {
  return dump(Json{{"t", "scenario"}, {"name", name}, {"yaml", yaml}});
}

std::string ack_json(const std::string& what) { return dump(Json{{"t", "ack"}, {"text", what}}); }

std::string window_json(const LiveBoard& live, const command::Window& w) {
  Json pins = Json::object();
  const auto& names = live.pin_names();
  for (const std::string& p : w.pins) {
    const auto it = std::find(names.begin(), names.end(), p);
    if (it == names.end()) continue;
    const auto index = static_cast<unsigned>(it - names.begin());
    if (!live.kept().kept(index)) continue;
    const KeptTrace::Window k = live.kept().window(index, w.from, w.to, kMaxWindowEdges);
    Json edges = Json::array();
    for (const auto& [t, level] : k.edges) edges.push_back({t, level});
    pins[p] = {{"level", k.level}, {"e", edges}, {"more", k.more}, {"kept_from", k.kept_from}};
  }
  Json frames = Json::array();
  for (const KeptFrame& f : live.kept().frames(w.from, w.to, kMaxWindowFrames))
    frames.push_back({f.start, f.latch, rgb_hex(f.leds)});
  return dump(Json{{"t", "window"}, {"from", w.from}, {"to", w.to}, {"pins", pins}, {"frames", frames}});
}

std::string vcd_json(const std::string& name, const std::string& text) {
  return dump(Json{{"t", "vcd"}, {"name", name}, {"text", text}});
}

}  // namespace vboard::serve
