// Reverse execution over a History: a step back rebuilds the instant one
// instruction earlier; a run back looks through the stretches between
// checkpoints, the newest first, for the last debugger stop before the
// present, running each stretch forward with the break- and watchpoints on.
#include "machine/history.h"

namespace vboard {

void History::restore(const Point& p) {
  debug_points(false);
  store_.get(p.chunks, scratch_);
  m_.restore_state(scratch_, Machine::Archive::own);
  next_input_ = p.inputs;
  debug_points(true);
}

bool History::step_back() {
  const uint64_t n = m_.instruction_count(), first = start().instructions;
  // One further back while the landing is not before n: the core stops
  // after an IT block (at most four instructions) or not at all inside one.
  for (uint64_t k = 1; k <= 5 && n >= first + k; ++k) {
    if (!goto_instruction(n - k)) return false;
    if (m_.instruction_count() < n) return true;
  }
  return false;
}

// Runs the stretch from checkpoint `from` to the instant `until` with the
// debugger's points on, giving the logged inputs on the way; the last stop
// before `until` goes into `last`, with the instant to land on (a write
// watchpoint's: right before the instruction that wrote) in `last_at`. False
// when `interrupted` ended it.
bool History::scan(const Point& from, const Instant& until, const std::function<bool()>& interrupted,
                   std::optional<DebugStop>& last, uint64_t& last_at) {
  restore(from);
  // To where the next instruction starts, and a breakpoint there (the run
  // from a stop passes over the instruction it stands at).
  debug_points(false);
  m_.run_to_instruction(m_.instruction_count(), until.time + opt_.every);
  debug_points(true);
  uint64_t pc = 0;
  m_.cpu_reg(CoreReg::pc, pc);
  const auto pc32 = static_cast<uint32_t>(pc & ~uint64_t{1});
  if (m_.instruction_count() < until.instructions && debug_points_.breakpoint_at &&
      debug_points_.breakpoint_at(pc32)) {
    last = DebugStop{DebugStop::Kind::breakpoint, pc32, WatchKind::write};
    last_at = m_.instruction_count();
  }
  for (;;) {
    const bool input_due = next_input_ < inputs_.size() && !later(inputs_[next_input_].at, until);
    const Instant& to = input_due ? inputs_[next_input_].at : until;
    DebugStop d;
    bool there = false;
    if (to.at_stop) {
      there = m_.run_to_instruction(to.instructions, to.time + opt_.every, &d, interrupted);
    } else {
      d = m_.debug_run(to.time, false, interrupted);
      there = d.kind == DebugStop::Kind::end && m_.now() >= to.time;
    }
    if (there) {
      if (!input_due) return true;
      inputs_[next_input_++].replay(m_);
      continue;
    }
    if (d.kind == DebugStop::Kind::interrupted) return false;
    if (d.kind != DebugStop::Kind::breakpoint && d.kind != DebugStop::Kind::watchpoint) return true;
    // Where to land: a breakpoint's stop is before the instruction at its PC;
    // a write watchpoint's is reported after the store with the instruction
    // count still before it, so landing at that count is right before the
    // store, which then writes again when the user steps.
    const uint64_t at = m_.instruction_count();
    if (at < until.instructions) {
      last = d;
      last_at = at;
    }
  }
}

std::optional<DebugStop> History::run_back(const std::function<bool()>& interrupted) {
  Instant until = now();
  size_t i = points_.size();
  while (i > 0 && !later(until, points_[i - 1].at)) --i;
  while (i > 0) {
    const Point& from = points_[--i];
    std::optional<DebugStop> last;
    uint64_t last_at = 0;
    if (!scan(from, until, interrupted, last, last_at)) {
      uint64_t pc = 0;
      m_.cpu_reg(CoreReg::pc, pc);
      return DebugStop{DebugStop::Kind::interrupted, static_cast<uint32_t>(pc & ~uint64_t{1}),
                       WatchKind::write};
    }
    if (last) {
      goto_instruction(last_at);
      if (last->kind == DebugStop::Kind::breakpoint) {
        uint64_t pc = 0;
        m_.cpu_reg(CoreReg::pc, pc);
        last->addr = static_cast<uint32_t>(pc & ~uint64_t{1});
      }
      return last;
    }
    until = from.at;
  }
  restore(points_.front());
  return std::nullopt;
}

}  // namespace vboard
