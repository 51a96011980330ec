#include "vboard/report.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

namespace vboard {

namespace {

std::string jstr(const std::string& s) {
  std::string o = "\"";
  for (char c : s) {
    switch (c) {
      case '"':
        o += "\\\"";
        break;
      case '\\':
        o += "\\\\";
        break;
      case '\n':
        o += "\\n";
        break;
      case '\t':
        o += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char b[8];
          std::snprintf(b, sizeof b, "\\u%04x", c);
          o += b;
        } else {
          o += c;
        }
    }
  }
  return o + "\"";
}

std::string hex8(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08x", v);
  return b;
}

}  // namespace

std::string exception_name(unsigned exc) {
  static const std::map<unsigned, const char*> names = {{2, "NMI"},
                                                        {3, "HardFault"},
                                                        {4, "MemManage"},
                                                        {5, "BusFault"},
                                                        {6, "UsageFault"},
                                                        {11, "SVCall"},
                                                        {12, "DebugMon"},
                                                        {14, "PendSV"},
                                                        {15, "SysTick"},
                                                        {16 + 6, "EXTI0"},
                                                        {16 + 7, "EXTI1"},
                                                        {16 + 9, "EXTI3"},
                                                        {16 + 10, "EXTI4"},
                                                        {16 + 11, "DMA1_CH1"},
                                                        {16 + 12, "DMA1_CH2"},
                                                        {16 + 23, "EXTI9_5"},
                                                        {16 + 24, "TIM1_BRK_TIM15"},
                                                        {16 + 25, "TIM1_UP_TIM16"},
                                                        {16 + 26, "TIM1_TRG_COM_TIM17"},
                                                        {16 + 27, "TIM1_CC"},
                                                        {16 + 28, "TIM2"},
                                                        {16 + 30, "TIM4"},
                                                        {16 + 39, "USART3"},
                                                        {16 + 55, "TIM7"}};
  auto it = names.find(exc);
  if (it != names.end()) return it->second;
  if (exc >= 16) return "IRQ" + std::to_string(exc - 16);
  return "exception " + std::to_string(exc);
}

std::string to_json(const RunResult& r, const ReportInfo& info) {
  std::ostringstream o;
  o << "{\n";
  o << "  \"image\": " << jstr(info.image) << ",\n";
  o << "  \"virtual_ns\": " << r.virtual_ns << ",\n";
  o << "  \"instructions\": " << r.instructions << ",\n";
  o << "  \"cycles_per_instruction\": " << static_cast<double>(r.cpi_milli) / 1000.0 << ",\n";
  o << "  \"idle_ns\": " << r.idle_ns << ",\n";
  o << "  \"wall_s\": " << r.wall_s << ",\n";
  o << "  \"ok\": " << (r.ok() ? "true" : "false") << ",\n";
  // pins
  o << "  \"pins\": {";
  bool first = true;
  std::map<std::string, size_t> cut;
  for (const auto& [name, hist] : r.pins) {
    o << (first ? "\n" : ",\n") << "    " << jstr(name) << ": [";
    first = false;
    size_t n = std::min(hist.size(), info.max_changes_per_pin);
    if (n < hist.size()) cut[name] = hist.size();
    for (size_t i = 0; i < n; ++i) o << (i ? ", " : "") << "[" << hist[i].t << ", " << hist[i].level << "]";
    o << "]";
  }
  o << (first ? "},\n" : "\n  },\n");
  if (!cut.empty()) {
    o << "  \"pins_truncated\": {";
    bool f = true;
    for (const auto& [name, total] : cut) {
      o << (f ? "" : ", ") << jstr(name) << ": " << total;
      f = false;
    }
    o << "},\n";
  }
  // strip
  const StripReport& s = r.strip;
  o << "  \"strip\": {\n    \"frames\": [";
  for (size_t i = 0; i < s.frames.size(); ++i) {
    const StripFrame& f = s.frames[i];
    o << (i ? ",\n      " : "\n      ") << "{\"t_ns\": " << f.t << ", \"bits\": " << f.bits
      << ", \"colors\": [";
    for (size_t k = 0; k < f.colors.size(); ++k)
      o << (k ? ", " : "") << "[" << int{f.colors[k][0]} << ", " << int{f.colors[k][1]} << ", "
        << int{f.colors[k][2]} << "]";
    o << "]}";
  }
  o << (s.frames.empty() ? "],\n" : "\n    ],\n");
  o << "    \"violations\": [";
  size_t vmax = std::min<size_t>(s.violations.size(), 10000);
  for (size_t i = 0; i < vmax; ++i) {
    const StripViolation& v = s.violations[i];
    o << (i ? ",\n      " : "\n      ") << "{\"t_ns\": " << v.t << ", \"what\": " << jstr(v.what)
      << ", \"datasheet\": " << (v.datasheet ? "true" : "false") << "}";
  }
  o << (vmax ? "\n    ],\n" : "],\n");
  o << "    \"violation_count\": " << s.violations.size() << ",\n";
  o << "    \"t0h_min_ns\": " << s.t0h_min << ", \"t0h_max_ns\": " << s.t0h_max << ",\n";
  o << "    \"t1h_min_ns\": " << s.t1h_min << ", \"t1h_max_ns\": " << s.t1h_max << ",\n";
  o << "    \"t0l_min_ns\": " << s.t0l_min << ", \"t0l_max_ns\": " << s.t0l_max << ",\n";
  o << "    \"t1l_min_ns\": " << s.t1l_min << ", \"t1l_max_ns\": " << s.t1l_max << ",\n";
  o << "    \"latch_min_ns\": " << s.latch_min << "\n  },\n";
  // halt
  if (r.halt) {
    const Halt& h = *r.halt;
    o << "  \"halt\": {\"reason\": " << jstr(h.reason) << ", \"symbol\": " << jstr(h.symbol)
      << ", \"primask\": " << (h.primask ? 1 : 0) << ", \"exception\": " << h.exception
      << ", \"pc\": " << h.pc << ", \"t_ns\": " << h.t << "},\n";
  } else {
    o << "  \"halt\": null,\n";
  }
  // registers
  o << "  \"registers\": {";
  first = true;
  for (const auto& [per, regs] : r.registers) {
    o << (first ? "\n" : ",\n") << "    " << jstr(per) << ": {";
    first = false;
    bool f2 = true;
    for (const auto& [rn, v] : regs) {
      o << (f2 ? "" : ", ") << jstr(rn) << ": " << v;
      f2 = false;
    }
    o << "}";
  }
  o << (first ? "},\n" : "\n  },\n");
  o << "  \"unmodelled\": [";
  for (size_t i = 0; i < r.unmodelled.size(); ++i) {
    const Unmodelled& u = r.unmodelled[i];
    o << (i ? ",\n    " : "\n    ") << "{\"addr\": " << jstr(hex8(u.addr))
      << ", \"access\": " << jstr(u.is_write ? "write" : "read") << ", \"size\": " << u.size
      << ", \"value\": " << u.value << ", \"device\": " << jstr(u.device) << ", \"where\": " << jstr(u.where)
      << ", \"t_ns\": " << u.t << "}";
  }
  o << (r.unmodelled.empty() ? "],\n" : "\n  ],\n");
  auto strings = [&](const char* key, const std::vector<std::string>& v) {
    o << "  " << jstr(key) << ": [";
    for (size_t i = 0; i < v.size(); ++i) o << (i ? ", " : "") << jstr(v[i]);
    o << "],\n";
  };
  strings("faults", r.faults);
  strings("notes", r.notes);
  o << "  \"exceptions\": {";
  first = true;
  for (const auto& [e, st] : r.exceptions) {
    o << (first ? "" : ", ") << jstr(exception_name(e)) << ": {\"number\": " << e
      << ", \"count\": " << st.count << ", \"instructions\": " << st.instr_total
      << ", \"min\": " << st.instr_min << ", \"max\": " << st.instr_max << "}";
    first = false;
  }
  o << "},\n";
  o << "  \"first_write_ns\": {";
  first = true;
  for (const auto& [dev, t] : r.first_write_ns) {
    o << (first ? "" : ", ") << jstr(dev) << ": " << t;
    first = false;
  }
  o << "}\n}\n";
  return o.str();
}

bool write_vcd(const RunResult& r, const std::string& path, const std::vector<std::string>& pins,
               std::string* error) {
  std::vector<std::string> names = pins;
  if (names.empty())
    for (const auto& [n, h] : r.pins)
      if (!h.empty()) names.push_back(n);
  std::ofstream f(path);
  if (!f) {
    if (error) *error = "cannot write " + path;
    return false;
  }
  f << "$date virtual board run $end\n$version vboard $end\n$timescale 1ns $end\n$scope module board $end\n";
  std::vector<std::string> ids;
  for (size_t i = 0; i < names.size(); ++i) {
    std::string id(1, static_cast<char>('!' + i % 90));
    if (i >= 90) id += static_cast<char>('!' + i / 90);
    ids.push_back(id);
    f << "$var wire 1 " << id << " " << names[i] << " $end\n";
  }
  f << "$upscope $end\n$enddefinitions $end\n";
  // Merge all changes by time.
  struct Ev {
    ns_t t;
    size_t pin;
    int level;
  };
  std::vector<Ev> ev;
  for (size_t i = 0; i < names.size(); ++i) {
    auto it = r.pins.find(names[i]);
    if (it == r.pins.end()) {
      if (error) *error = "no pin " + names[i];
      continue;
    }
    for (const PinChange& c : it->second) ev.push_back({c.t, i, c.level});
  }
  std::stable_sort(ev.begin(), ev.end(), [](const Ev& a, const Ev& b) { return a.t < b.t; });
  f << "$dumpvars\n";
  for (size_t i = 0; i < names.size(); ++i) {
    auto it = r.pins.find(names[i]);
    bool has0 = it != r.pins.end() && !it->second.empty() && it->second.front().t == 0;
    if (!has0) f << "x" << ids[i] << "\n";
  }
  f << "$end\n";
  ns_t last = ~0ull;
  for (const Ev& e : ev) {
    if (e.t != last) {
      f << "#" << e.t << "\n";
      last = e.t;
    }
    f << (e.level ? '1' : '0') << ids[e.pin] << "\n";
  }
  f << "#" << r.virtual_ns << "\n";
  return true;
}

std::string to_text(const RunResult& r, const ReportInfo& info, bool color) {
  std::ostringstream o;
  double vps = r.wall_s > 0 ? static_cast<double>(r.virtual_ns) / 1e9 / r.wall_s : 0;
  o << "Virtual board run of " << info.image << "\n";
  char line[256];
  std::snprintf(line, sizeof line,
                "  %s of virtual time, %" PRIu64
                " instructions at %.3f cycles per instruction; %.3f s wall "
                "(%.1f virtual s per wall s); %s skipped while idle\n",
                format_ns(r.virtual_ns).c_str(), r.instructions, static_cast<double>(r.cpi_milli) / 1000.0,
                r.wall_s, vps, format_ns(r.idle_ns).c_str());
  o << line;
  if (r.halt)
    o << "  Stopped: stuck in " << r.halt->symbol << " (" << r.halt->reason << ") from "
      << format_ns(r.halt->t) << ", interrupts " << (r.halt->primask ? "masked (PRIMASK=1)" : "enabled")
      << ", active exception "
      << (r.halt->exception ? exception_name(r.halt->exception) : std::string("none")) << "\n";
  else
    o << "  Ran to the end without stopping.\n";

  o << "\nPins (level changes):\n";
  for (const auto& [name, hist] : r.pins) {
    bool light = name == "PA8" || name == "PA9";
    o << "  " << name << (light ? " (light output)" : "") << ": ";
    if (hist.empty()) {
      o << "no activity\n";
      continue;
    }
    size_t show = light ? 60 : 12;
    for (size_t i = 0; i < hist.size() && i < show; ++i)
      o << (i ? ", " : "") << (hist[i].level ? "high" : "low") << " at " << format_ns(hist[i].t);
    if (hist.size() > show) o << ", ... (" << hist.size() << " changes in all)";
    o << "\n";
  }

  const StripReport& s = r.strip;
  o << "\nStrip: " << s.frames.size() << " frames\n";
  for (size_t i = 0; i < s.frames.size();) {
    size_t j = i;
    while (j + 1 < s.frames.size() && s.frames[j + 1].colors == s.frames[i].colors) ++j;
    std::snprintf(line, sizeof line, "  frames %zu..%zu (%s .. %s), %zu LEDs: ", i + 1, j + 1,
                  format_ns(s.frames[i].t).c_str(), format_ns(s.frames[j].t).c_str(),
                  s.frames[i].colors.size());
    o << line;
    const auto& c = s.frames[i].colors;
    if (color) {
      for (const auto& px : c)
        o << "\x1b[48;2;" << int{px[0]} << ";" << int{px[1]} << ";" << int{px[2]} << "m \x1b[0m";
    } else {
      bool same = std::all_of(c.begin(), c.end(), [&](const auto& px) { return px == c.front(); });
      if (!c.empty() && same) {
        o << "all (" << int{c[0][0]} << "," << int{c[0][1]} << "," << int{c[0][2]} << ")";
      } else {
        // Runs of equal LEDs: "(0,0,0) x25, (15,0,0), (255,0,0) x34".
        for (size_t k = 0; k < c.size();) {
          size_t e = k;
          while (e + 1 < c.size() && c[e + 1] == c[k]) ++e;
          o << (k ? ", " : "") << "(" << int{c[k][0]} << "," << int{c[k][1]} << "," << int{c[k][2]} << ")";
          if (e > k) o << " x" << e - k + 1;
          k = e + 1;
        }
      }
    }
    o << "\n";
    i = j + 1;
  }
  if (!s.frames.empty()) {
    std::snprintf(line, sizeof line,
                  "  bit timing: 0 bit high %" PRIu64 "..%" PRIu64 " ns low %" PRIu64 "..%" PRIu64
                  " ns; 1 bit high %" PRIu64 "..%" PRIu64 " ns low %" PRIu64 "..%" PRIu64
                  " ns; shortest latch gap %s\n",
                  s.t0h_min, s.t0h_max, s.t0l_min, s.t0l_max, s.t1h_min, s.t1h_max, s.t1l_min, s.t1l_max,
                  format_ns(s.latch_min).c_str());
    o << line;
  }
  std::map<std::string, std::pair<size_t, bool>> kinds;
  for (const auto& v : s.violations) {
    std::string key = v.what.substr(0, v.what.find(' '));
    auto& k = kinds[key];
    if (k.first == 0) k.second = v.datasheet;
    k.first++;
  }
  if (s.violations.empty()) {
    o << "  no timing violations\n";
  } else {
    o << "  timing violations: " << s.violations.size() << "\n";
    for (const auto& [k, v] : kinds) {
      std::string example;
      for (const auto& sv : s.violations)
        if (sv.what.rfind(k, 0) == 0) {
          example = sv.what;
          break;
        }
      o << "    " << v.first << " x " << example
        << (v.second ? " (datasheet window)" : " (beyond what parts accept)") << "\n";
    }
  }

  if (!r.exceptions.empty()) {
    o << "\nExceptions taken:\n";
    for (const auto& [e, st] : r.exceptions) {
      std::snprintf(line, sizeof line,
                    "  %-20s %8" PRIu64 " times, %" PRIu64 "..%" PRIu64 " instructions each\n",
                    exception_name(e).c_str(), st.count, st.instr_min, st.instr_max);
      o << line;
    }
  }
  for (const auto& f : r.functions) {
    if (f.samples.empty()) continue;
    uint64_t mn = *std::min_element(f.samples.begin(), f.samples.end());
    uint64_t mx = *std::max_element(f.samples.begin(), f.samples.end());
    std::snprintf(line, sizeof line, "  %s: %zu calls, %" PRIu64 "..%" PRIu64 " instructions\n",
                  f.name.c_str(), f.samples.size(), mn, mx);
    o << line;
  }
  if (!r.unmodelled.empty()) {
    o << "\nUNMODELLED accesses (the run fails):\n";
    for (const auto& u : r.unmodelled)
      o << "  " << (u.is_write ? "write " : "read ") << hex8(u.addr)
        << (u.device.empty() ? "" : " in " + u.device) << " (" << u.size << " bytes"
        << (u.is_write ? ", value " + hex8(u.value) : std::string()) << ") from " << u.where << " at "
        << format_ns(u.t) << "\n";
  }
  if (!r.faults.empty()) {
    o << "\nFAULTS (the run fails):\n";
    for (const auto& f : r.faults) o << "  " << f << "\n";
  }
  if (!r.notes.empty()) {
    o << "\nNotes:\n";
    for (const auto& n : r.notes) o << "  " << n << "\n";
  }
  return o.str();
}

}  // namespace vboard
