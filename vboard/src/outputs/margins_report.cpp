#include "outputs/margins_report.h"

#include <cinttypes>
#include <cstdio>
#include <string>

#include "outputs/report.h"

namespace vboard {

namespace {

using Json = nlohmann::ordered_json;

std::string hex(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08x", v);
  return b;
}

// Bytes below the initial SP at the lowest SP of a context.
uint32_t depth(const Margins& m, const StackReach& s) {
  return m.initial_sp > s.lowest_sp ? m.initial_sp - s.lowest_sp : 0;
}

uint32_t deepest(const Margins& m) {
  uint32_t d = 0;
  for (const auto& [ctx, s] : m.stack) d = std::max(d, depth(m, s));
  return d;
}

bool heap_known(const Margins& m) { return m.heap_limit > m.heap_start; }

uint32_t heap_used(const Margins& m, uint32_t brk) { return brk > m.heap_start ? brk - m.heap_start : 0; }

double percent(double part, double whole) { return whole > 0 ? 100.0 * part / whole : 0; }

Json stack_json(const Margins& m) {
  Json contexts = Json::object();
  for (const auto& [ctx, s] : m.stack)
    contexts[context_name(ctx)] = {
        {"bytes", depth(m, s)}, {"lowest_sp", hex(s.lowest_sp)}, {"nested", s.nested}, {"at_ns", s.t}};
  Json bound = nullptr;
  if (!m.static_bound.empty()) {
    bound = Json::object();
    for (const auto& [ctx, bytes] : m.static_bound) bound[context_name(ctx)] = bytes;
  }
  return {{"initial_sp", hex(m.initial_sp)},
          {"reserve_bytes", m.stack_reserve},
          {"deepest_bytes", deepest(m)},
          {"contexts", contexts},
          {"static_bound", bound}};
}

Json heap_json(const Margins& m) {
  if (!heap_known(m)) return nullptr;
  Json brk = nullptr;
  if (!m.heap_break_symbol.empty())
    brk = {{"symbol", m.heap_break_symbol},
           {"in_use_bytes", heap_used(m, m.heap_break)},
           {"high_water_bytes", heap_used(m, m.heap_break_high)}};
  return {{"start", hex(m.heap_start)},
          {"limit", hex(m.heap_limit)},
          {"room_bytes", m.heap_limit - m.heap_start},
          {"break", brk}};
}

}  // namespace

std::string context_name(unsigned ctx) { return ctx == 0 ? "thread" : exception_name(ctx); }

Json margins_json(const RunResult& r) {
  const Margins& m = r.margins;
  Json handlers = Json::object();
  for (const auto& [e, h] : m.handlers)
    handlers[exception_name(e)] = {{"number", e},
                                   {"runs", h.runs},
                                   {"longest_cycles", h.longest_cycles},
                                   {"longest_ns", h.longest_ns},
                                   {"longest_wait_ns", h.longest_wait_ns}};
  Json promises = Json::array();
  for (const PromiseTiming& p : m.promises)
    promises.push_back({{"name", p.name},
                        {"from", p.from},
                        {"to", p.to},
                        {"samples", p.samples},
                        {"min_ns", p.min},
                        {"median_ns", p.median},
                        {"max_ns", p.max}});
  return {{"stack", stack_json(m)},
          {"heap", heap_json(m)},
          {"handlers", handlers},
          {"busy_ns", m.busy_ns},
          {"busy_percent", percent(static_cast<double>(m.busy_ns), static_cast<double>(r.virtual_ns))},
          {"promises", promises}};
}

namespace {

void text_stack(std::ostream& o, const Margins& m) {
  char line[256];
  const uint32_t d = deepest(m);
  std::snprintf(line, sizeof line, "  Stack: %u bytes at the deepest below the initial SP %s", d,
                hex(m.initial_sp).c_str());
  o << line;
  if (m.stack_reserve)
    std::snprintf(line, sizeof line, ", %.0f %% of the %u-byte reservation", percent(d, m.stack_reserve),
                  m.stack_reserve);
  else
    std::snprintf(line, sizeof line, " (the image sets no _Min_Stack_Size)");
  o << line << "; static bound: ";
  if (m.static_bound.empty()) o << "not computed";
  for (auto it = m.static_bound.begin(); it != m.static_bound.end(); ++it)
    o << (it == m.static_bound.begin() ? "" : ", ") << context_name(it->first) << " " << it->second;
  o << "\n";
  for (const auto& [ctx, s] : m.stack) {
    std::snprintf(line, sizeof line, "    %-20s %6u bytes%s, first at %s\n", context_name(ctx).c_str(),
                  depth(m, s), s.nested ? " (nested in another handler)" : "", format_ns(s.t).c_str());
    o << line;
  }
}

void text_heap(std::ostream& o, const Margins& m) {
  if (!heap_known(m)) {
    o << "  Heap: not known (the image lacks _end, _estack or _Min_Stack_Size)\n";
    return;
  }
  char line[256];
  std::snprintf(line, sizeof line, "  Heap: %u bytes from %s (end of .bss) to %s (the stack reservation)",
                m.heap_limit - m.heap_start, hex(m.heap_start).c_str(), hex(m.heap_limit).c_str());
  o << line;
  if (m.heap_break_symbol.empty()) {
    o << "; its break is not named by the board file\n";
    return;
  }
  std::snprintf(line, sizeof line, "; break %s: %u bytes in use at the end, %u at most (%.0f %%)\n",
                m.heap_break_symbol.c_str(), heap_used(m, m.heap_break), heap_used(m, m.heap_break_high),
                percent(heap_used(m, m.heap_break_high), m.heap_limit - m.heap_start));
  o << line;
}

void text_handlers(std::ostream& o, const RunResult& r) {
  const Margins& m = r.margins;
  char line[256];
  if (!m.handlers.empty())
    o << "  Handlers (longest run: the machine's cycles from the first instruction to the exception return,"
         " time in handlers that pre-empted it left out; wait: pended to entered):\n";
  for (const auto& [e, h] : m.handlers) {
    std::snprintf(line, sizeof line,
                  "    %-20s %8" PRIu64 " runs, longest %" PRIu64 " cycles (%s), longest wait %s\n",
                  exception_name(e).c_str(), h.runs, h.longest_cycles, format_ns(h.longest_ns).c_str(),
                  format_ns(h.longest_wait_ns).c_str());
    o << line;
  }
  std::snprintf(line, sizeof line,
                "  Busy: %.2f %% of virtual time (%s; idle is WFI sleep and the idle loops skipped)\n",
                percent(static_cast<double>(m.busy_ns), static_cast<double>(r.virtual_ns)),
                format_ns(m.busy_ns).c_str());
  o << line;
}

}  // namespace

void text_margins(std::ostream& o, const RunResult& r) {
  const Margins& m = r.margins;
  o << "\nMargins:\n";
  text_stack(o, m);
  text_heap(o, m);
  text_handlers(o, r);
  for (const PromiseTiming& p : m.promises) {
    o << "  Promise " << p.name << " (" << p.from << " to " << p.to << "): ";
    if (p.samples == 0)
      o << "no sample\n";
    else
      o << p.samples << " samples, min " << format_ns(p.min) << ", median " << format_ns(p.median) << ", max "
        << format_ns(p.max) << "\n";
  }
}

}  // namespace vboard
