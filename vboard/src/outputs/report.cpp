#include "outputs/report.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "chip/chip.h"
#include "outputs/margins_report.h"
#include "outputs/part_outputs.h"
#include "world/values.h"

namespace vboard {

namespace {
// What the reports say of a part whose kind this build cannot show.
constexpr const char* kNoPartWriter =
    "what it saw is not shown: the reports have no writer for this kind of part";
}  // namespace

namespace {

// Entries the pin's full history has (more than listed when it was capped).
uint64_t history_total(const RunResult& r, const std::string& pin) {
  auto it = r.pins_total.find(pin);
  const uint64_t listed = r.pins.count(pin) ? r.pins.at(pin).size() : 0;
  return it == r.pins_total.end() ? listed : std::max<uint64_t>(it->second, listed);
}

// Cycles per instruction as the Cortex-M4 timing made them, on average.
double m4_cpi(const RunResult& r) {
  return r.instructions ? static_cast<double>(r.cycles) / static_cast<double>(r.instructions) : 0.0;
}

std::string hex8(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08x", v);
  return b;
}

}  // namespace

std::string exception_name(unsigned exc) {
  static const std::map<unsigned, const char*> names = {{2, "NMI"},       {3, "HardFault"},  {4, "MemManage"},
                                                        {5, "BusFault"},  {6, "UsageFault"}, {11, "SVCall"},
                                                        {12, "DebugMon"}, {14, "PendSV"},    {15, "SysTick"}};
  if (exc >= 16)
    if (const std::string_view irq = chip::irq_name(exc - 16); !irq.empty()) return std::string(irq);
  auto it = names.find(exc);
  if (it != names.end()) return it->second;
  if (exc >= 16) return "IRQ" + std::to_string(exc - 16);
  return "exception " + std::to_string(exc);
}

namespace {

using Json = nlohmann::ordered_json;

std::string dump(const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); }

// One top-level key per line, each value on one line: readable, and a long pin
// history does not become a hundred thousand lines. Values are written as they
// are produced, so the document never sits whole in memory.
class JsonLines {
 public:
  explicit JsonLines(std::ostream& o) : o_(o) { o_ << "{\n"; }
  std::ostream& key(const std::string& k) {
    o_ << (first_ ? "" : ",\n") << "  " << dump(Json(k)) << ": ";
    first_ = false;
    return o_;
  }
  void put(const std::string& k, const Json& v) { key(k) << dump(v); }
  void close() { o_ << "\n}\n"; }

 private:
  std::ostream& o_;
  bool first_ = true;
};

Json kept_total(uint64_t kept, uint64_t total) { return {{"kept", kept}, {"total", total}}; }

}  // namespace

namespace {

// "pins": each pin's history as far as it is kept, the ones cut short again
// in "pins_truncated", and "pin_state"; each history's count goes to `lists`.
void json_pins(JsonLines& doc, const RunResult& r, const ReportInfo& info, Json& lists) {
  Json cut = Json::object();
  std::ostream& pins = doc.key("pins");
  pins << "{";
  bool first_pin = true;
  for (const auto& [name, hist] : r.pins) {
    const size_t n = std::min(hist.size(), info.max_changes_per_pin);
    pins << (first_pin ? "" : ",") << dump(Json(name)) << ":[";
    first_pin = false;
    for (size_t i = 0; i < n; ++i) pins << (i ? ",[" : "[") << hist[i].t << "," << hist[i].level << "]";
    pins << "]";
    const uint64_t total = history_total(r, name);
    lists["pins." + name] = kept_total(n, total);
    if (n < total) cut[name] = kept_total(n, total);
  }
  pins << "}";
  if (!cut.empty()) doc.put("pins_truncated", cut);
  Json state = Json::object();
  for (const auto& [name, s] : r.pin_state)
    state[name] = {{"level", s.level}, {"since_ns", s.since}, {"changes", s.changes}};
  doc.put("pin_state", state);
}

// Each part's record as a member named after the part; a kind this build
// has no writer for is named, not left out.
void json_parts(JsonLines& doc, const RunResult& r, Json& lists) {
  for (const auto& part : r.parts) {
    const PartOutputs* out = part_outputs(part->id.kind);
    if (!out) {
      doc.put(part->id.name, {{"kind", part->id.kind}, {"pin", part->id.pin}, {"not_shown", kNoPartWriter}});
      continue;
    }
    out->json(doc.key(part->id.name), *part);
    for (const ListCount& l : out->lists(*part))
      lists[part->id.name + "." + l.name] = kept_total(l.kept, l.total);
  }
}

Json halt_json(const RunResult& r) {
  if (!r.halt) return nullptr;
  const Halt& h = *r.halt;
  return {{"reason", h.reason},
          {"symbol", h.symbol},
          {"primask", h.primask ? 1 : 0},
          {"exception", h.exception},
          {"exception_name", h.exception ? exception_name(h.exception) : std::string()},
          {"pc", h.pc},
          {"t_ns", h.t}};
}

// "diagnostics", "unmodelled" and "faults", with the lists' counts.
void json_findings(JsonLines& doc, const RunResult& r, const ReportInfo& info, Json& lists) {
  Json diagnostics = Json::array();
  for (const Diagnostic& d : r.diagnostics)
    diagnostics.push_back({{"kind", d.kind},
                           {"where", d.where},
                           {"first_ns", d.first},
                           {"count", d.count},
                           {"message", d.message},
                           {"allowed", info.allowed.count(d.kind) > 0}});
  doc.put("diagnostics", diagnostics);

  Json unmodelled = Json::array();
  for (const Unmodelled& u : r.unmodelled)
    unmodelled.push_back({{"addr", hex8(u.addr)},
                          {"access", u.is_write ? "write" : "read"},
                          {"size", u.size},
                          {"value", u.value},
                          {"device", u.device},
                          {"where", u.where},
                          {"t_ns", u.t}});
  doc.put("unmodelled", unmodelled);
  doc.put("faults", r.faults);
  lists["unmodelled"] =
      kept_total(r.unmodelled.size(), std::max<uint64_t>(r.tally.unmodelled, r.unmodelled.size()));
  lists["faults"] = kept_total(r.faults.size(), std::max<uint64_t>(r.tally.faults, r.faults.size()));
}

Json exceptions_json(const RunResult& r) {
  Json exceptions = Json::object();
  for (const auto& [e, st] : r.exceptions)
    exceptions[exception_name(e)] = {{"number", e},
                                     {"count", st.count},
                                     {"instructions", st.instr_total},
                                     {"min", st.instr_min},
                                     {"max", st.instr_max}};
  return exceptions;
}

}  // namespace

void write_json(std::ostream& o, const RunResult& r, const ReportInfo& info) {
  JsonLines doc(o);
  doc.put("image", info.image);
  doc.put("image_notes", info.image_notes);
  if (!info.board.name.empty()) {
    const auto or_null = [](const std::string& s) { return s.empty() ? Json() : Json(s); };
    doc.put("board", Json{{"name", or_null(info.board.file.empty() ? "" : info.board.name)},
                          {"file", or_null(info.board.file)},
                          {"why", info.board.why}});
  }
  doc.put("virtual_ns", r.virtual_ns);
  doc.put("instructions", r.instructions);
  doc.put("cycles_per_instruction",
          r.timing == Timing::m4 ? m4_cpi(r) : static_cast<double>(r.cpi_milli) / 1000.0);
  if (r.timing == Timing::m4) {
    doc.put("timing", "m4");
    doc.put("cycles", r.cycles);
  }
  doc.put("idle_ns", r.idle_ns);
  doc.put("wall_s", r.wall_s);
  doc.put("ok", r.ok());
  if (!info.ended.empty()) {
    doc.put("ended", info.ended);
    doc.put("ended_early", info.ended_early);
  }
  // Every list the document holds, with how much of it was kept.
  Json lists = Json::object();
  json_pins(doc, r, info, lists);
  json_parts(doc, r, lists);
  doc.put("halt", halt_json(r));
  doc.put("registers", r.registers);
  json_findings(doc, r, info, lists);
  doc.put("notes", r.notes);
  doc.put("exceptions", exceptions_json(r));
  doc.put("first_write_ns", r.first_write_ns);
  doc.put("margins", margins_json(r));
  doc.put("lists", lists);
  doc.close();
}

std::string to_json(const RunResult& r, const ReportInfo& info) {
  std::ostringstream o;
  write_json(o, r, info);
  return o.str();
}

namespace {

// A stream buffer over a C stream that keeps the first error of any write.
class FileBuf final : public std::streambuf {
 public:
  explicit FileBuf(std::FILE* f) : f_(f) { setp(buf_, buf_ + sizeof buf_); }
  int error() const { return err_; }
  bool finish() {
    drain();
    errno = 0;
    if (std::fflush(f_) != 0 && !err_) err_ = errno ? errno : EIO;
    return err_ == 0;
  }

 protected:
  int_type overflow(int_type c) override {
    drain();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return err_ ? traits_type::eof() : traits_type::not_eof(c);
  }
  int sync() override { return drain() ? 0 : -1; }

 private:
  bool drain() {
    const size_t n = static_cast<size_t>(pptr() - pbase());
    errno = 0;
    if (n && !err_ && std::fwrite(pbase(), 1, n, f_) != n) err_ = errno ? errno : EIO;
    setp(buf_, buf_ + sizeof buf_);
    return err_ == 0;
  }
  std::FILE* f_;
  int err_ = 0;
  char buf_[1 << 16];
};

}  // namespace

bool write_stream(std::FILE* f, const std::function<void(std::ostream&)>& produce, std::string* reason) {
  FileBuf buf(f);
  std::ostream o(&buf);
  produce(o);
  o.flush();
  if (buf.finish()) return true;
  if (reason) *reason = std::strerror(buf.error());
  return false;
}

bool write_report(std::FILE* f, const RunResult& r, const ReportInfo& info, bool json, bool color,
                  std::string* reason) {
  return write_stream(
      f,
      [&](std::ostream& o) {
        if (json)
          write_json(o, r, info);
        else
          o << to_text(r, info, color);
      },
      reason);
}

std::string halt_words(const Halt& h) {
  // An exception without a handler of its own lands in the default handler:
  // name the one that led there.
  std::string exc = h.exception ? exception_name(h.exception) : std::string("none");
  if (h.exception >= 16) exc += " (IRQ " + std::to_string(h.exception - 16) + ")";
  const bool by_default = h.reason == "default_handler" && h.exception;
  return "stuck in " + h.symbol + " (" + h.reason + ") from " + format_ns(h.t) + ", interrupts " +
         (h.primask ? "masked (PRIMASK=1)" : "enabled") +
         (by_default ? ", entered for " : ", active exception ") + exc;
}

std::string board_words(const BoardInUse& b) {
  return b.name + (b.file.empty() ? "" : " (" + b.file + ")") + ", " + b.why;
}

std::string finding_words(const Diagnostic& d, bool allowed) {
  return d.kind + (allowed ? " (allowed)" : "") + ": " + d.where + ": " + d.message + ", first at " +
         format_ns(d.first) + (d.count > 1 ? ", " + std::to_string(d.count) + " times" : "");
}

namespace {

// The run in two lines, the image's notes and how it ended.
void text_head(std::ostream& o, const RunResult& r, const ReportInfo& info) {
  double vps = r.wall_s > 0 ? static_cast<double>(r.virtual_ns) / 1e9 / r.wall_s : 0;
  o << "Virtual board run of " << info.image << "\n";
  if (!info.board.name.empty()) o << "  Board: " << board_words(info.board) << "\n";
  char line[320];
  std::snprintf(line, sizeof line,
                "  %s of virtual time, %" PRIu64
                " instructions at %.3f cycles per instruction; %.3f s wall "
                "(%.1f virtual s per wall s); %s skipped while idle\n",
                format_ns(r.virtual_ns).c_str(), r.instructions, static_cast<double>(r.cpi_milli) / 1000.0,
                r.wall_s, vps, format_ns(r.idle_ns).c_str());
  if (r.timing == Timing::m4)
    std::snprintf(
        line, sizeof line,
        "  %s of virtual time, %" PRIu64 " instructions in %" PRIu64
        " cycles (%.3f per instruction, Cortex-M4 timing); %.3f s wall (%.1f virtual s per wall s); "
        "%s skipped while idle\n",
        format_ns(r.virtual_ns).c_str(), r.instructions, r.cycles, m4_cpi(r), r.wall_s, vps,
        format_ns(r.idle_ns).c_str());
  o << line;
  for (const auto& n : info.image_notes) o << "  Image: " << n << "\n";
  if (r.halt) {
    o << "  Stopped: " << halt_words(*r.halt) << "\n";
  } else if (!info.ended.empty()) {
    o << "  Ended " << (info.ended_early ? "early: " : "") << info.ended << "\n";
  } else {
    o << "  Ran to the end without stopping.\n";
  }
}

// Each pin's first changes (more of a pin the board gives a role).
void text_pins(std::ostream& o, const RunResult& r) {
  o << "\nPins (level changes):\n";
  for (const auto& [name, hist] : r.pins) {
    auto role = r.pin_roles.find(name);
    bool named = role != r.pin_roles.end();
    o << "  " << name << (named ? " (" + values::printable(role->second) + ")" : "") << ": ";
    if (hist.empty()) {
      o << "no activity\n";
      continue;
    }
    size_t show = named ? 60 : 12;
    for (size_t i = 0; i < hist.size() && i < show; ++i)
      o << (i ? ", " : "") << (hist[i].level ? "high" : "low") << " at " << format_ns(hist[i].t);
    const uint64_t total = history_total(r, name);
    if (total > hist.size())
      o << ", ... (" << total << " entries in all, the first " << hist.size() << " kept)";
    else if (hist.size() > show)
      o << ", ... (" << total << " entries in all)";
    // The level at the end is known exactly however much of the history was kept.
    const auto st = r.pin_state.find(name);
    if (st != r.pin_state.end() && (total > hist.size() || hist.size() > show))
      o << "; at the end " << (st->second.level ? "high" : "low") << " since " << format_ns(st->second.since);
    o << "\n";
  }
}

// The exceptions taken and the functions timed, in instructions.
void text_timing(std::ostream& o, const RunResult& r) {
  char line[256];
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
}

// What fails the run (unmodelled accesses, rule findings, faults), then the notes.
void text_findings(std::ostream& o, const RunResult& r, const ReportInfo& info) {
  if (!r.unmodelled.empty()) {
    o << "\nUNMODELLED accesses (the run fails)";
    if (r.tally.unmodelled > r.unmodelled.size())
      o << ": " << r.tally.unmodelled << " in all, the first " << r.unmodelled.size() << " listed";
    o << ":\n";
    for (const auto& u : r.unmodelled)
      o << "  " << (u.is_write ? "write " : "read ") << hex8(u.addr)
        << (u.device.empty() ? "" : " in " + u.device) << " (" << u.size << " bytes"
        << (u.is_write ? ", value " + hex8(u.value) : std::string()) << ") from " << u.where << " at "
        << format_ns(u.t) << "\n";
  }
  if (!r.diagnostics.empty()) {
    o << "\nRULE FINDINGS (the run fails unless the kind is allowed with --allow KIND):\n";
    for (const Diagnostic& d : r.diagnostics)
      o << "  " << finding_words(d, info.allowed.count(d.kind) > 0) << "\n";
  }
  if (!r.faults.empty()) {
    o << "\nFAULTS (the run fails)";
    if (r.tally.faults > r.faults.size())
      o << ": " << r.tally.faults << " in all, the first " << r.faults.size() << " listed";
    o << ":\n";
    for (const auto& f : r.faults) o << "  " << f << "\n";
  }
  if (!r.notes.empty()) {
    o << "\nNotes:\n";
    for (const auto& n : r.notes) o << "  " << n << "\n";
  }
}

}  // namespace

std::string to_text(const RunResult& r, const ReportInfo& info, bool color) {
  std::ostringstream o;
  text_head(o, r, info);
  text_pins(o, r);
  for (const auto& part : r.parts) {
    if (const PartOutputs* out = part_outputs(part->id.kind))
      out->text(o, *part, color);
    else
      o << "\nPart " << values::printable(part->id.name) << " (" << part->id.kind << " on " << part->id.pin
        << "): " << kNoPartWriter << "\n";
  }
  text_timing(o, r);
  text_margins(o, r);
  text_findings(o, r, info);
  return o.str();
}

}  // namespace vboard
