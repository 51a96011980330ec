// Time travel over one Machine. While the machine runs, the whole board is
// saved now and then (a checkpoint: Machine::save_state), and every input given
// while it runs (a debugger's memory or register write, a click on the live
// page, an input the command line injects) is logged with the instant it came
// at and a callback that gives it again. The machine is deterministic, so any
// earlier instant can be rebuilt: the nearest checkpoint before it is restored
// and the run goes forward from there, each logged input given again at its
// instant, up to the exact instruction or time asked for.
//
// Checkpoints thin out as they age, so that their memory grows with the
// logarithm of the run's length: the newest `dense` are kept as taken (one per
// `every` of virtual time), the `dense` before those every 2nd, the `dense`
// before those every 4th, and so on. Checkpoints share the bytes they have in
// common (the flash, most of SRAM, the logs' old entries), so one costs what
// changed since the others. When they still need more than `budget` bytes, the
// density is halved until they fit. The first checkpoint (the start of the
// history) and named ones are always kept. A rebuild that runs far from its
// checkpoint leaves way points on its way (the newest 8 are kept), the last a
// few thousand instructions before its target, so that stepping back one
// instruction after another is quick after the first.
//
// The machine keeps its run state in its state listing (machine/state.cpp); a
// restore leaves breakpoints and watchpoints as they are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "machine/history_store.h"
#include "vboard/machine.h"

namespace vboard {

// An instant of a run.
struct Instant {
  uint64_t instructions = 0;  // instructions run so far (Machine::instruction_count)
  ns_t time = 0;              // virtual time (Machine::now)
  // Where the machine stood: at a debugger stop right before an instruction,
  // or (false) between two run_until calls.
  bool at_stop = false;
};

// Whether instant a comes after instant b. At one instruction count a stop
// (right before the next instruction) comes after the slice's end before it.
inline bool later(const Instant& a, const Instant& b) {
  if (a.instructions != b.instructions) return a.instructions > b.instructions;
  if (a.time != b.time) return a.time > b.time;
  return a.at_stop && !b.at_stop;
}

class History {
 public:
  struct Options {
    ns_t every = 10 * kMs;             // virtual time between automatic checkpoints
    size_t dense = 32;                 // the newest checkpoints kept as taken
    size_t budget = size_t{64} << 20;  // bytes all checkpoints may hold
    // Checkpoints also wait until the CPU time run since the last one is
    // 1/max_overhead times what taking that one cost (0: no such wait), so
    // that they cost the run at most this share; a fast board then takes
    // them seconds of virtual time apart. Where they fall changes no result.
    double max_overhead = 0.05;
  };
  // A checkpoint kept.
  struct Kept {
    Instant at;
    std::string name;  // "" for an automatic checkpoint
  };

  // The history of `machine` from its present on (the first checkpoint).
  explicit History(Machine& machine) : History(machine, Options{}) {}
  History(Machine& machine, const Options& options);
  ~History();
  History(const History&) = delete;
  History& operator=(const History&) = delete;

  Machine& machine() { return m_; }
  const Options& options() const { return opt_; }

  // Between two run_until calls: takes a checkpoint when one is due.
  void note();
  // Runs forward to virtual time t like Machine::run_until, taking checkpoints
  // on the way (note()) and, after a goto, giving the logged inputs of the
  // future again at their instants. False once the core has halted.
  bool run_until(ns_t t);
  // The same for a debugger's run (Machine::debug_run): one that stops at a
  // breakpoint, a watchpoint, after a step or when interrupted.
  // At each checkpoint such a run takes on its way it stops for a breakpoint
  // at the PC (which the resumed run would pass over as already reported).
  DebugStop debug_run(ns_t t_end, bool step, const std::function<bool()>& interrupted);

  // A debugger's break- and watchpoints on the machine: switched off while
  // the history rebuilds an instant (a rebuild runs past them) and on again
  // after; breakpoint_at(pc) says whether one is at pc.
  struct Points {
    std::function<void(bool on)> enable;
    std::function<bool(uint32_t pc)> breakpoint_at;
  };
  void set_points(Points points) { debug_points_ = std::move(points); }

  // Reverse execution. step_back: to the instant one instruction before the
  // present (the one before an IT block, which the core cannot stop inside);
  // false at the start of the history. run_back: to the last stop at a
  // breakpoint or watchpoint before the present, searched one stretch between
  // checkpoints at a time, the newest first; a write watchpoint lands right
  // before the instruction that wrote. Nothing found: the machine at the start
  // of the history and nullopt. `interrupted` (asked between slices) ends the
  // search where it is, with a stop of that kind.
  bool step_back();
  std::optional<DebugStop> run_back(const std::function<bool()>& interrupted);

  // An input given while running: applied now by `replay(machine)` and logged
  // at the present instant, so that rebuilding a later instant gives it again.
  // An input given in the past (after a goto) ends the future there: the
  // checkpoints and inputs after the present are dropped. `what` names it in
  // describe().
  using Replay = std::function<void(Machine&)>;
  void input(const std::string& what, Replay replay);

  // A named checkpoint at the present (replacing one of that name).
  void checkpoint(const std::string& name);
  // The machine back (or forward) to an instant of the history: false, and the
  // machine where it was, when the instant is outside the history (before its
  // start, after the latest instant reached). goto_instruction lands on the
  // first instant at or after n where the core can stop (never inside an IT
  // block); goto_time on the first slice end at or after t.
  bool goto_checkpoint(const std::string& name);
  bool goto_time(ns_t t);
  bool goto_instruction(uint64_t n);

  // The machine's present; the history's start (its first checkpoint) and the
  // latest instant reached (the present unless the machine went back).
  Instant now() const;
  Instant start() const;
  Instant end() const { return end_; }
  // The checkpoints kept, oldest first.
  std::vector<Kept> kept() const;
  size_t bytes() const;   // what the checkpoints hold (shared bytes counted once)
  size_t inputs() const;  // inputs logged
  // One paragraph: checkpoints, the span, the density, the bytes, the inputs.
  std::string describe() const;
  // "" while every rebuilt instant matched the run it rebuilt; else what differed.
  const std::string& divergence() const { return divergence_; }

 private:
  struct Point {
    Instant at;
    std::string name;     // "" for an automatic checkpoint
    uint64_t number = 0;  // the automatic checkpoint's number (0 for the first), a way point's order
    size_t inputs = 0;    // inputs the machine had had when it was taken
    ChunkStore::Chunks chunks;
    bool way = false;  // a way point: taken on the way of a long rebuild, so that the next is shorter
  };
  struct Input {
    Instant at;
    std::string what;
    Replay replay;
  };
  Machine& m_;
  Options opt_;
  ChunkStore store_;
  BoardState scratch_;         // the board saved or to restore, its storage kept between uses
  std::vector<Point> points_;  // by instant
  std::vector<Input> inputs_;  // by instant
  size_t next_input_ = 0;      // the first input the present has not had
  uint64_t taken_ = 0;         // automatic checkpoints taken (each one's number)
  uint64_t ways_ = 0;          // way points taken
  ns_t next_due_ = 0;          // when the next automatic checkpoint is due
  size_t dense_;               // the density thinning keeps (halved to fit the budget)
  double take_cost_s_ = 0;     // CPU time the last automatic checkpoint took
  double taken_at_s_ = 0;      // CPU time when it was done
  ns_t taken_time_ = 0;        // the virtual time it was taken at
  Instant end_;
  std::string divergence_;
  Points debug_points_;

  void take(const std::string& name);
  void thin();
  void drop_future();
  bool travel(const std::function<bool(const Instant&)>& before, const std::function<void()>& finish,
              const std::function<void(const Instant& from)>& way_points);
  void take_way_point();
  void reach(const Instant& at);
  void debug_points(bool on) const;
  bool scan(const Point& from, const Instant& until, const std::function<bool()>& interrupted,
            std::optional<DebugStop>& last, uint64_t& last_at);
  void restore(const Point& p);
};

}  // namespace vboard
