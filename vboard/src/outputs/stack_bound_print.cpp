// The static stack bound as a table and as JSON, and the priorities it nests
// handlers by, read from a machine's NVIC.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>
#include <optional>

#include "core/armv7m_regs.h"
#include "vboard/machine.h"
#include "outputs/stack_bound_impl.h"

namespace vboard {

namespace stack {
namespace {

std::string path_text(const std::vector<std::string>& path) {
  std::string s;
  for (const auto& p : path) s += (s.empty() ? "" : " > ") + p;
  return s;
}

// "16-22, 24, 30-40": exception numbers as ranges.
std::string ranges(const std::vector<unsigned>& es) {
  std::string s;
  for (size_t i = 0; i < es.size();) {
    size_t j = i;
    while (j + 1 < es.size() && es[j + 1] == es[j] + 1) ++j;
    s += (s.empty() ? "" : ", ") + std::to_string(es[i]) + (j > i ? "-" + std::to_string(es[j]) : "");
    i = j + 1;
  }
  return s;
}

std::string bytes_text(const StackHandler& h) { return h.bounded ? std::to_string(h.bytes) : "unbounded"; }

}  // namespace
}  // namespace stack

using stack::bytes_text;
using stack::path_text;
using stack::ranges;

std::map<unsigned, uint32_t> context_bounds(const StackBound& b) {
  std::map<unsigned, uint32_t> out{{0u, b.thread_bytes}};
  for (const StackHandler& h : b.handlers) {
    // The largest handler of each level below h (less urgent), or of unknown level.
    std::map<int, uint32_t> beneath;
    uint32_t unknown = 0;
    for (const StackHandler& o : b.handlers) {
      if (o.exception == h.exception) continue;
      if (!o.priority_known || !h.priority_known)
        unknown += o.bytes;
      else if (o.priority > h.priority)
        beneath[o.priority] = std::max(beneath[o.priority], o.bytes);
    }
    uint64_t total = uint64_t{b.thread_bytes} + h.bytes + unknown;
    for (const auto& [level, bytes] : beneath) total += bytes;
    out[h.exception] = static_cast<uint32_t>(std::min<uint64_t>(total, UINT32_MAX));
  }
  return out;
}

void put_static_bound(Machine& m, RunResult& r) {
  // The contexts the run measured, and the deepest of all (the worst nesting).
  const std::map<unsigned, uint32_t> all = context_bounds(bound(m.image(), nvic_priorities(m)));
  auto worst = std::max_element(all.begin(), all.end(), [](auto& a, auto& b) { return a.second < b.second; });
  r.margins.static_bound.clear();
  if (worst != all.end()) r.margins.static_bound.insert(*worst);
  for (const auto& [ctx, bytes] : all)
    if (r.margins.stack.count(ctx)) r.margins.static_bound[ctx] = bytes;
}

Priorities nvic_priorities(Machine& m) {
  namespace scs = core::scs;
  namespace scb = core::scb;
  namespace nvic = core::nvic;
  Priorities p;
  const auto word_at = [&m](uint32_t offset) {
    uint32_t word = 0;
    return m.debug_read(scs::kBase + offset, &word, 4) ? std::optional<uint32_t>(word) : std::nullopt;
  };
  // The pre-emption priority is the part of a priority byte above PRIGROUP.
  const unsigned prigroup = scb::aircr::PRIGROUP.get(word_at(scb::AIRCR).value_or(0));
  const uint32_t group_mask = (0xFFu << (prigroup + 1)) & 0xFFu;
  p[2] = -2;  // NMI and HardFault: fixed, above every configurable priority
  p[3] = -1;
  for (unsigned e = 4; e < 16; ++e)
    if (auto w = word_at(scb::SHPR_of(e))) p[e] = static_cast<int>(scb::exc_priority(e).get(*w) & group_mask);
  for (unsigned n = 0; n < m.chip_facts().irq_count; ++n)
    if (auto w = word_at(nvic::IPRx(n / 4)))
      p[16 + n] = static_cast<int>(nvic::irq_priority(n).get(*w) & group_mask);
  return p;
}

std::string format_stack_bound(const StackBound& b) {
  std::string s =
      "thread mode: " + std::to_string(b.thread_bytes) + " bytes: " + path_text(b.thread_path) + "\n";
  s += "exception frames: " + std::to_string(b.exception_frame_bytes) + " bytes + " +
       std::to_string(b.alignment_bytes) + " padding (" +
       (b.uses_fpu ? "with the FP context: the image uses the FPU" : "no VFP instruction in the image") +
       ")\n";
  // Handlers alike (one function, priority and size) share a row.
  std::vector<std::pair<const StackHandler*, std::vector<unsigned>>> rows;
  for (const StackHandler& h : b.handlers) {
    auto it = std::find_if(rows.begin(), rows.end(), [&](const auto& r) {
      return r.first->name == h.name && r.first->priority == h.priority &&
             r.first->priority_known == h.priority_known && r.first->bytes == h.bytes;
    });
    if (it == rows.end()) {
      rows.push_back({&h, {h.exception}});
    } else {
      it->second.push_back(h.exception);
    }
  }
  char line[160];
  std::snprintf(line, sizeof line, "  %-30s %5s %6s %9s  %s\n", "exception", "prio", "calls", "bytes",
                "handler: deepest path");
  s += "handlers (bytes: calls + frame + padding):\n" + std::string(line);
  for (const auto& [h, es] : rows) {
    const std::string which = es.size() == 1 ? std::to_string(es[0]) + " " + stack::exception_name(es[0])
                                             : std::to_string(es.size()) + " exceptions: " + ranges(es);
    const std::string prio = h->priority_known ? std::to_string(h->priority) : "?";
    std::snprintf(line, sizeof line, "  %-30s %5s %6u %9s  ", which.c_str(), prio.c_str(), h->call_bytes,
                  bytes_text(*h).c_str());
    s += line + path_text(h->path) + "\n";
  }
  s += "worst total: " + std::to_string(b.worst_total_bytes) + " bytes = thread " +
       std::to_string(b.thread_bytes);
  for (unsigned e : b.chain)
    for (const StackHandler& h : b.handlers)
      if (h.exception == e) s += " + " + stack::exception_name(e) + " " + bytes_text(h);
  s += "\ndeepest path: " + path_text(b.deepest_path) + "\n";
  s += std::string("complete: ") +
       (b.complete ? "yes (every entry bounded, every call resolved)" : "NO: the total is not a bound") +
       "\n";
  s += "notes:\n";
  for (const std::string& n : b.notes) s += "  - " + n + "\n";
  return s;
}

std::string stack_bound_json(const StackBound& b) {
  nlohmann::ordered_json j;
  j["complete"] = b.complete;
  j["uses_fpu"] = b.uses_fpu;
  j["exception_frame_bytes"] = b.exception_frame_bytes;
  j["alignment_bytes"] = b.alignment_bytes;
  j["thread_bytes"] = b.thread_bytes;
  j["thread_path"] = b.thread_path;
  j["handlers"] = nlohmann::ordered_json::array();
  for (const StackHandler& h : b.handlers) {
    nlohmann::ordered_json x;
    x["exception"] = h.exception;
    x["exception_name"] = stack::exception_name(h.exception);
    x["name"] = h.name;
    x["priority"] = h.priority_known ? nlohmann::ordered_json(h.priority) : nlohmann::ordered_json(nullptr);
    x["call_bytes"] = h.call_bytes;
    x["bytes"] = h.bytes;
    x["bounded"] = h.bounded;
    x["path"] = h.path;
    j["handlers"].push_back(x);
  }
  j["worst_total_bytes"] = b.worst_total_bytes;
  j["chain"] = b.chain;
  j["deepest_path"] = b.deepest_path;
  j["notes"] = b.notes;
  return j.dump(2) + "\n";
}

}  // namespace vboard
