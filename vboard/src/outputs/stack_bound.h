// The worst-case stack an image can use, bounded from its code alone: each
// function's frame from its instructions (pushes, vpush, sub sp), the call graph
// from its calls (direct, tail, indirect: virtual calls by their vtable slot),
// the thread's deepest path from the reset handler, each exception handler's
// deepest path plus its exception frame, and the worst nesting of handlers by
// their pre-emption priorities. What could not be resolved is said in `notes`
// and clears `complete`; nothing unresolved is left out silently.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "vboard/image.h"
#include "vboard/run_result.h"

namespace vboard {

class Machine;

// One exception handler of the vector table.
struct StackHandler {
  std::string name;               // the handler's function (demangled), or its address
  unsigned exception = 0;         // exception number: 2 NMI, 3 HardFault, 15 SysTick, 16 + n IRQ n
  int priority = 0;               // pre-emption priority used for nesting (lower pre-empts higher)
  bool priority_known = false;    // false: not given, taken as a level of its own
  uint32_t call_bytes = 0;        // the handler's deepest call tree
  uint32_t bytes = 0;             // call_bytes + the exception frame + alignment padding
  bool bounded = true;            // false: recursion, alloca or an unresolved call below it
  std::vector<std::string> path;  // the deepest call path, handler first
};

struct StackBound {
  bool complete = false;               // every entry bounded, every call resolved
  bool uses_fpu = false;               // the image has VFP instructions: frames are the FP-extended ones
  uint32_t exception_frame_bytes = 0;  // 32, or 104 with the FP context (padding not included)
  uint32_t alignment_bytes = 4;        // the frame's 8-byte alignment may add this much
  uint32_t thread_bytes = 0;           // the reset handler's deepest path (thread mode)
  std::vector<std::string> thread_path;
  std::vector<StackHandler> handlers;     // by exception number
  uint32_t worst_total_bytes = 0;         // thread + the worst chain of nesting handlers
  std::vector<unsigned> chain;            // exception numbers of that chain, outermost first
  std::vector<std::string> deepest_path;  // thread path, then each chained handler's path
  std::vector<std::string> notes;         // what was assumed or left unresolved
};

// Exception number -> pre-emption priority (the group part of its priority).
using Priorities = std::map<unsigned, int>;

// The bound of `image`. Handlers with the same pre-emption priority cannot nest;
// one whose exception `priorities` does not hold is taken as a level of its own
// (it may nest with every other handler), and a note says so.
StackBound bound(const Image& image, const Priorities& priorities);

// The pre-emption priorities the NVIC of `m` holds now (IPR, SHPR, AIRCR's
// PRIGROUP): NMI -2, HardFault -1, every other exception its group priority.
Priorities nvic_priorities(Machine& m);

// The bound as a table (text) and as one JSON document.
// A bound on each context's depth below the initial SP: 0 for the thread, else
// the exception number. A handler's holds the thread, at most one handler of
// each level it can pre-empt (the largest there), and itself; a handler whose
// priority is not known is taken as possibly beneath every other one.
std::map<unsigned, uint32_t> context_bounds(const StackBound& b);

// The image's bound, with the priorities the NVIC holds now, into a run's
// margins (their static_bound), beside the depths the run measured.
void put_static_bound(Machine& m, RunResult& r);

std::string format_stack_bound(const StackBound& b);
std::string stack_bound_json(const StackBound& b);

}  // namespace vboard
