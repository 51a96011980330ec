// The call graph over the functions' facts: who may be called from where
// (direct, tail and indirect calls, virtual calls narrowed by their vtable
// slot), each entry's deepest path, recursion named, and the nesting of the
// exception handlers by their pre-emption priorities.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>

#include "chip/chip.h"
#include "outputs/stack_bound_impl.h"

namespace vboard {

namespace stack {

namespace {

struct Func {
  uint32_t start = 0, end = 0;
  std::string name;
};

// The deepest path from a function: its bytes, or why there is no bound.
struct Worst {
  bool bounded = true;
  uint64_t bytes = 0;
  std::vector<uint32_t> path;  // function starts, this one first
  std::string why;             // when not bounded
};

// Function pointers found in the image: in vtables (by vtable and position)
// and anywhere else (data, literal pools, addresses built in code).
struct Taken {
  struct Vtable {
    uint32_t start = 0, end = 0;
    std::vector<uint32_t> points;  // address points: where an object's vptr may point
  };
  std::vector<Vtable> vtables;
  std::set<uint32_t> in_vtables, elsewhere;
};

class Graph {
 public:
  Graph(const Image& image, const ChipFacts& chip);
  StackBound bound(const Priorities& priorities);

 private:
  void read_functions();
  void find_taken();
  const Func& func_at(uint32_t addr);
  const FunctionFacts& facts(uint32_t start);
  Worst solve(uint32_t f);
  std::vector<uint32_t> candidates(const Func& f, const CallSite& c, std::string* unresolved);
  std::vector<uint32_t> slot(uint32_t off) const;
  std::vector<std::string> names(const std::vector<uint32_t>& path) const;
  void note(const std::string& s) {
    if (std::find(notes_.begin(), notes_.end(), s) == notes_.end()) notes_.push_back(s);
  }

  const Image& image_;
  ChipFacts chip_;
  Memory mem_;
  Decoder dec_;
  uint32_t vectors_ = 0, vector_count_ = 0, initial_sp_ = 0;
  std::map<uint32_t, Func> funcs_;
  std::map<uint32_t, FunctionFacts> facts_;
  std::map<uint32_t, Worst> done_;
  std::vector<uint32_t> stack_;  // the functions being solved, outermost first
  Taken taken_;
  bool uses_fpu_ = false;
  std::vector<std::string> notes_;
};

Graph::Graph(const Image& image, const ChipFacts& chip)
    : image_(image), chip_(chip), mem_(image, chip.flash.base, chip.flash.size) {
  vectors_ = chip.flash.base;
  vector_count_ = 16 + chip.irq_count;
  initial_sp_ = mem_.word(vectors_).value_or(0);
  read_functions();
  for (auto& [start, f] : funcs_) uses_fpu_ = facts(start).uses_fpu || uses_fpu_;
  find_taken();
}

// The sized function symbols; of several at one address (a handler's weak
// aliases) the default handler's name, else the first by name. Functions that
// share a readable name (a destructor's complete and deleting forms) are told
// apart by their ELF names.
void Graph::read_functions() {
  std::map<uint32_t, std::string> elf_name;
  for (const Symbol& s : image_.symbols()) {
    if (!s.is_func || s.size == 0) continue;
    auto [it, fresh] = funcs_.try_emplace(s.addr, Func{s.addr, s.addr + s.size, s.demangled});
    if (fresh || s.demangled == "Default_Handler" ||
        (it->second.name != "Default_Handler" && s.demangled < it->second.name)) {
      it->second.name = s.demangled;
      elf_name[s.addr] = s.name;
    }
    it->second.end = std::max(it->second.end, s.addr + s.size);
  }
  std::map<std::string, int> uses;
  for (const auto& [a, f] : funcs_) ++uses[f.name];
  for (auto& [a, f] : funcs_)
    if (uses[f.name] > 1 && elf_name[a] != f.name) f.name += " [" + elf_name[a] + "]";
}

// A function that starts at addr; code without a symbol of its own is taken as
// a function up to the next one (and said so).
const Func& Graph::func_at(uint32_t addr) {
  auto it = funcs_.find(addr);
  if (it != funcs_.end()) return it->second;
  auto next = funcs_.upper_bound(addr);
  const uint32_t end = next == funcs_.end() ? addr + 0x1000 : next->second.start;
  note("code at " + hex32(addr) + " has no function symbol: followed from there up to " + hex32(end));
  return funcs_.emplace(addr, Func{addr, end, image_.describe(addr)}).first->second;
}

const FunctionFacts& Graph::facts(uint32_t start) {
  auto it = facts_.find(start);
  if (it != facts_.end()) return it->second;
  const Func& f = func_at(start);
  return facts_.emplace(start, analyse_function(dec_, mem_, f.start, f.end, initial_sp_)).first->second;
}

void Graph::find_taken() {
  for (const Symbol& s : image_.symbols()) {
    if (s.is_func || s.size < 8 || s.name.rfind("_ZTV", 0) != 0) continue;
    Taken::Vtable v{s.addr, s.addr + s.size, {}};
    // The primary address point follows the offset-to-top and typeinfo words;
    // a secondary one follows a negative offset-to-top and a typeinfo word.
    v.points.push_back(s.addr + 8);
    for (uint32_t q = s.addr + 12; q + 4 <= v.end; q += 4) {
      const auto off = mem_.word(q - 8), ti = mem_.word(q - 4);
      if (off && ti && static_cast<int32_t>(*off) < 0 && !funcs_.count(*ti & ~1u)) v.points.push_back(q);
    }
    taken_.vtables.push_back(v);
  }
  const uint32_t table_end = vectors_ + 4 * vector_count_;
  mem_.each_word([&](uint32_t at, uint32_t w) {
    if ((at >= vectors_ && at < table_end) || !(w & 1) || !funcs_.count(w & ~1u)) return;
    bool in_vtable = false;
    for (const auto& v : taken_.vtables) in_vtable = in_vtable || (at >= v.start && at < v.end);
    (in_vtable ? taken_.in_vtables : taken_.elsewhere).insert(w & ~1u);
  });
  for (const auto& [start, f] : facts_)
    for (uint32_t a : f.code_addresses)
      if (funcs_.count(a & ~1u)) taken_.elsewhere.insert(a & ~1u);
}

// The functions at slot `off` of every vtable.
std::vector<uint32_t> Graph::slot(uint32_t off) const {
  std::vector<uint32_t> out;
  for (const auto& v : taken_.vtables)
    for (uint32_t p : v.points)
      if (const auto w = p + off < v.end ? mem_.word(p + off) : std::nullopt;
          w && (*w & 1) && funcs_.count(*w & ~1u))
        out.push_back(*w & ~1u);
  return out;
}

std::vector<std::string> Graph::names(const std::vector<uint32_t>& path) const {
  std::vector<std::string> out;
  for (uint32_t a : path) out.push_back(funcs_.count(a) ? funcs_.at(a).name : hex32(a));
  return out;
}

std::string joined(const std::vector<std::string>& v, const char* sep) {
  std::string s;
  for (const auto& x : v) s += (s.empty() ? "" : sep) + x;
  return s;
}

// What a call may reach; *unresolved says why when that cannot be known.
std::vector<uint32_t> Graph::candidates(const Func& f, const CallSite& c, std::string* unresolved) {
  const std::string where = f.name + " at " + hex32(c.at) + " (" + c.text + ")";
  if (c.direct && c.held.kind == Val::kConst)
    note("indirect call in " + where + ": the register holds " + hex32(c.held.v) +
         ", a constant of the image (flash is taken as never written)");
  if (c.direct) {
    if (funcs_.count(c.target)) return {c.target};
    auto in = funcs_.upper_bound(c.target);
    if (in != funcs_.begin() && c.target < std::prev(in)->second.end) {
      *unresolved = where + " branches into the middle of " + std::prev(in)->second.name;
      return {};
    }
    if (c.held.kind == Val::kConst && !(c.held.v & 1)) {
      *unresolved = where + " calls " + hex32(c.held.v) + ", an address without the Thumb bit";
      return {};
    }
    return {func_at(c.target).start};
  }
  std::set<uint32_t> out;
  std::string how;
  if (c.held.kind == Val::kSlot) {
    for (uint32_t t : slot(c.held.v)) out.insert(t);
    out.insert(taken_.elsewhere.begin(), taken_.elsewhere.end());
    how = "vtable slot " + std::to_string(c.held.v) + ", or a function pointer found outside vtables";
    note(
        "assumed: a vtable's entries reach a register only through a load from a vtable pointer "
        "(compiled C++ copies them nowhere else)");
  } else if (c.held.kind == Val::kPassed || c.held.kind == Val::kField) {
    note(
        "assumed: a vtable's entries reach a register only through a load from a vtable pointer "
        "(compiled C++ copies them nowhere else)");
    out = taken_.elsewhere;
    how = c.held.kind == Val::kPassed
              ? "a pointer passed in or returned: any function pointer found outside vtables"
              : "a pointer read from an object: any function pointer found outside vtables";
  } else {
    out = taken_.elsewhere;
    out.insert(taken_.in_vtables.begin(), taken_.in_vtables.end());
    how = "any function whose address the image holds";
  }
  std::vector<uint32_t> v(out.begin(), out.end());
  // Every pointer such a register could hold was stored from a literal, an
  // address built in code or a table of the image: none stored, none called.
  note("indirect " + std::string(c.tail ? "jump" : "call") + " in " + where + ": " + how + ": " +
       (v.empty() ? "the image holds none, so it can reach no function" : joined(names(v), ", ")));
  return v;
}

Worst Graph::solve(uint32_t start) {
  if (auto it = done_.find(start); it != done_.end()) return it->second;
  const auto on = std::find(stack_.begin(), stack_.end(), start);
  if (on != stack_.end()) {
    std::vector<uint32_t> cycle(on, stack_.end());
    cycle.push_back(start);
    return {false, 0, cycle, "recursion: " + joined(names(cycle), " > ")};
  }
  stack_.push_back(start);
  const FunctionFacts& ff = facts(start);
  const Func f = funcs_.at(start);
  for (const std::string& n : ff.notes) note(f.name + ": " + n);
  Worst w{true, static_cast<uint64_t>(std::max(ff.frame, 0)), {start}, ""};
  if (!ff.unbounded.empty()) w = {false, 0, {start}, f.name + ": " + ff.unbounded.front()};
  for (const CallSite& c : ff.calls) {
    if (!w.bounded) break;
    std::string unresolved;
    const auto targets = candidates(f, c, &unresolved);
    if (!unresolved.empty()) w = {false, 0, {start}, unresolved};
    for (uint32_t t : targets) {
      const Worst sub = solve(t);
      std::vector<uint32_t> path{start};
      path.insert(path.end(), sub.path.begin(), sub.path.end());
      if (!sub.bounded) {
        w = {false, 0, path, sub.why};
        break;
      }
      const uint64_t total = static_cast<uint64_t>(std::max(c.depth, 0)) + sub.bytes;
      if (total > w.bytes) w = {true, total, path, ""};
    }
  }
  stack_.pop_back();
  // A function that reached one still being solved is on a cycle with it:
  // unbounded either way, so every result can be kept.
  done_[start] = w;
  return w;
}

// The handler of each level of pre-emption priority that uses the most, the
// levels from the least urgent to the most (handlers of unknown priority first,
// each a level of its own): the deepest nesting of handlers.
std::vector<size_t> worst_chain(const std::vector<StackHandler>& hs) {
  std::vector<size_t> unknown;
  std::map<int, size_t, std::greater<int>> level;
  const auto worse = [&](size_t a, size_t b) {
    return hs[a].bounded != hs[b].bounded ? !hs[a].bounded : hs[a].bytes > hs[b].bytes;
  };
  for (size_t i = 0; i < hs.size(); ++i) {
    if (!hs[i].priority_known) {
      unknown.push_back(i);
      continue;
    }
    auto [it, fresh] = level.try_emplace(hs[i].priority, i);
    if (!fresh && worse(i, it->second)) it->second = i;
  }
  for (const auto& [p, i] : level) unknown.push_back(i);
  return unknown;
}

StackBound Graph::bound(const Priorities& priorities) {
  StackBound b;
  b.uses_fpu = uses_fpu_;
  b.exception_frame_bytes = uses_fpu_ ? 104 : 32;
  note(uses_fpu_ ? "the image has VFP instructions: every exception frame is counted with the FP context, "
                   "104 bytes (lazy stacking reserves it whenever the interrupted code has used the FPU)"
                 : "no VFP instruction in the image: exception frames are the basic 32 bytes");
  note("each exception frame is counted with 4 bytes of padding (SP kept 8-byte aligned)");
  note(
      "handlers are taken as entered only through the vector table (the table's words are no function "
      "pointers for indirect calls)");
  bool complete = true;
  if (const auto reset = mem_.word(vectors_ + 4); reset && (*reset & 1)) {
    const Worst t = solve(*reset & ~1u);
    b.thread_bytes = static_cast<uint32_t>(t.bytes);
    b.thread_path = names(t.path);
    if (!t.bounded) note("thread mode has no bound: " + t.why);
    complete = t.bounded;
  } else {
    note("the vector table has no Thumb reset handler: no thread-mode bound");
    complete = false;
  }
  std::vector<unsigned> unknown;
  for (unsigned e = 2; e < vector_count_; ++e) {
    const auto w = mem_.word(vectors_ + 4 * e);
    if (!w || *w == 0) continue;
    StackHandler h;
    h.exception = e;
    if (*w & 1) {
      const Worst hw = solve(*w & ~1u);
      h.name = funcs_.at(*w & ~1u).name;
      h.call_bytes = static_cast<uint32_t>(hw.bytes);
      h.bounded = hw.bounded;
      h.path = names(hw.path);
      if (!hw.bounded) note(exception_name(e) + " has no bound: " + hw.why);
    } else {
      h.name = hex32(*w);
      h.bounded = false;
      note(exception_name(e) + ": its vector " + hex32(*w) + " lacks the Thumb bit (taking it faults)");
    }
    complete = complete && h.bounded;
    h.bytes = h.call_bytes + b.exception_frame_bytes + b.alignment_bytes;
    const auto p = priorities.find(e);
    h.priority_known = p != priorities.end() || e <= 3;
    h.priority = p != priorities.end() ? p->second : e == 2 ? -2 : -1;
    if (!h.priority_known) unknown.push_back(e);
    b.handlers.push_back(h);
  }
  if (!unknown.empty())
    note(std::to_string(unknown.size()) + " exceptions have no priority given (" +
         exception_name(unknown.front()) +
         (unknown.size() > 1 ? " .. " + exception_name(unknown.back()) : "") +
         "): each is taken as a level of its own, nesting with every other handler");
  b.worst_total_bytes = b.thread_bytes;
  b.deepest_path = b.thread_path;
  for (size_t i : worst_chain(b.handlers)) {
    const StackHandler& h = b.handlers[i];
    b.chain.push_back(h.exception);
    b.worst_total_bytes += h.bytes;
    b.deepest_path.push_back("(" + exception_name(h.exception) + ")");
    b.deepest_path.insert(b.deepest_path.end(), h.path.begin(), h.path.end());
  }
  if (!complete) note("not every part is bounded: the worst total counts only what is");
  b.complete = complete;
  b.notes = notes_;
  return b;
}

}  // namespace

std::string exception_name(unsigned e) {
  static const char* const system[16] = {
      "", "Reset", "NMI", "HardFault", "MemManage",    "BusFault", "UsageFault", "",
      "", "",      "",    "SVCall",    "DebugMonitor", "",         "PendSV",     "SysTick"};
  if (e < 16) return system[e][0] ? system[e] : "exception " + std::to_string(e);
  const std::string_view irq = chip::irq_name(e - 16);
  return "IRQ " + std::to_string(e - 16) + (irq.empty() ? "" : " " + std::string(irq));
}

}  // namespace stack

StackBound bound(const Image& image, const Priorities& priorities) {
  stack::Graph g(image, chip::facts());
  return g.bound(priorities);
}

}  // namespace vboard
