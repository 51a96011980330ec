#include "core/margins.h"

#include <algorithm>

#include "vboard/state.h"

namespace vboard {
inline void state_fields(StateVisitor& v, HandlerTiming& h) {
  v("runs", h.runs);
  v("longest_cycles", h.longest_cycles);
  v("longest_ns", h.longest_ns);
  v("longest_wait_ns", h.longest_wait_ns);
}
}  // namespace vboard

namespace vboard::core {

void MarginMeter::entering() {
  if (frames_.empty() || frames_.back().paused) return;  // the thread, or a tail-chain: already paused
  Frame& f = frames_.back();
  f.paused = true;
  f.paused_cycles = cycles_milli();
  f.paused_ns = now_ns();
}

void MarginMeter::entered(unsigned e, uint32_t frame_sp) {
  if (frame_sp) reach(frame_sp);
  const ns_t t = now_ns();
  HandlerTiming& h = handlers_[e];
  const ns_t pended = nvic_.pended_at(e);
  if (t > pended) h.longest_wait_ns = std::max(h.longest_wait_ns, t - pended);
  frames_.push_back({e, cycles_milli(), t, 0, 0, 0, 0, false});
  sample_heap();
}

void MarginMeter::returned(unsigned e) {
  if (frames_.empty()) return;
  const Frame f = frames_.back();
  frames_.pop_back();
  const uint64_t cycles = (cycles_milli() - f.cycles0 - f.nested_cycles) / 1000;
  const ns_t ns = now_ns() - f.ns0 - f.nested_ns;
  HandlerTiming& h = handlers_[e];
  if (++h.runs == 1 || cycles > h.longest_cycles) {
    h.longest_cycles = cycles;
    h.longest_ns = ns;
  }
}

void MarginMeter::resumed() {
  if (frames_.empty() || !frames_.back().paused) return;
  Frame& f = frames_.back();
  f.paused = false;
  f.nested_cycles += cycles_milli() - f.paused_cycles;
  f.nested_ns += now_ns() - f.paused_ns;
}

void MarginMeter::sample_heap() {
  uint32_t brk = 0;
  if (heap_break_addr_ && space_.peek(heap_break_addr_, &brk, 4))
    heap_break_high_ = std::max(heap_break_high_, brk);
}

void MarginMeter::fill(Margins& m) const {
  m.initial_sp = initial_sp_;
  for (unsigned e = 0; e < kNumExc; ++e)
    if (lowest_[e] != ~0u) m.stack[e] = {lowest_[e], nested_[e], at_[e]};
  m.handlers = handlers_;
  uint32_t brk = 0;
  if (heap_break_addr_ && space_.peek(heap_break_addr_, &brk, 4)) {
    m.heap_break = brk;
    m.heap_break_high = std::max(heap_break_high_, brk);
  }
}

void MarginMeter::state(StateVisitor& v) {
  v("initial_sp", initial_sp_);
  v("heap_break_addr", heap_break_addr_);
  v("heap_break_high", heap_break_high_);
  v("recheck", recheck_);
  v("lowest", lowest_);
  v("nested", nested_);
  v("at", at_);
  v.items("frames", frames_, [](StateVisitor& s, Frame& f) {
    s("exc", f.exc);
    s("cycles0", f.cycles0);
    s("ns0", f.ns0);
    s("nested_cycles", f.nested_cycles);
    s("nested_ns", f.nested_ns);
    s("paused_cycles", f.paused_cycles);
    s("paused_ns", f.paused_ns);
    s("paused", f.paused);
  });
  v("handlers", handlers_);
}

}  // namespace vboard::core
