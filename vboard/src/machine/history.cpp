#include "machine/history.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace vboard {

namespace {

// Thinning: at `age` checkpoints behind the newest, checkpoint `number` stays
// when it is a multiple of 2^j, j the age's band (bands of dense, 2 dense, 4
// dense, ... checkpoints, so that each band keeps about `dense` of them).
bool thinned_keeps(uint64_t age, uint64_t number, uint64_t dense) {
  unsigned j = 0;
  for (uint64_t band_end = dense; age >= band_end && j < 62; band_end += dense << (j + 1)) ++j;
  return number % (uint64_t{1} << j) == 0;
}

// CPU time of this thread: what a checkpoint costs the run it interrupts.
double thread_cpu_s() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

constexpr uint64_t kWayPoints = 8;  // way points kept, the newest
// A rebuild further than this many instructions from its checkpoint leaves a way point.
constexpr uint64_t kWayInstructions = 2000;

std::string describe_instant(const Instant& at) {
  return format_ns(at.time) + " (" + std::to_string(at.instructions) + " instructions)";
}

}  // namespace

History::History(Machine& machine, const Options& options)
    : m_(machine), opt_(options), dense_(std::max<size_t>(1, options.dense)) {
  end_ = now();
  take("");
  next_due_ = end_.time + opt_.every;
}

History::~History() {
  for (const Point& p : points_) store_.release(p.chunks);
}

Instant History::now() const { return {m_.instruction_count(), m_.now(), m_.inside_block()}; }

Instant History::start() const { return points_.front().at; }

void History::take(const std::string& name) {
  if (!name.empty()) {
    auto same = std::find_if(points_.begin(), points_.end(), [&](const Point& p) { return p.name == name; });
    if (same != points_.end()) {
      store_.release(same->chunks);
      points_.erase(same);
    }
  }
  m_.save_state(scratch_);
  Point p{now(), name, name.empty() ? taken_++ : 0, next_input_, store_.put(scratch_)};
  auto at = std::upper_bound(points_.begin(), points_.end(), p.at,
                             [](const Instant& a, const Point& q) { return later(q.at, a); });
  points_.insert(at, std::move(p));
  if (name.empty()) thin();
}

void History::thin() {
  for (;;) {
    const uint64_t newest = taken_ - 1;
    auto gone = std::remove_if(points_.begin() + 1, points_.end(), [&](const Point& p) {
      if (!p.name.empty() ||
          (p.way ? p.number + kWayPoints > ways_ : thinned_keeps(newest - p.number, p.number, dense_)))
        return false;
      store_.release(p.chunks);
      return true;
    });
    points_.erase(gone, points_.end());
    if (store_.bytes() <= opt_.budget || dense_ == 1) return;
    dense_ /= 2;
  }
}

void History::note() {
  const Instant at = now();
  if (!later(at, end_)) return;  // going over the known past again
  end_ = at;
  if (at.time < next_due_) return;
  const double cpu = thread_cpu_s();
  const double wait = opt_.max_overhead > 0 ? take_cost_s_ / opt_.max_overhead - (cpu - taken_at_s_) : 0;
  if (wait > 0) {
    // Looked at again where the run, at its pace since the last checkpoint,
    // is likely to have spent that CPU time (at most 64 stretches on): the
    // run goes on in long slices between checkpoints, not cut every stretch.
    const double pace = static_cast<double>(at.time - taken_time_) / std::max(1e-6, cpu - taken_at_s_);
    const double ahead = std::min(0.9 * wait * pace, 64.0 * static_cast<double>(opt_.every));
    next_due_ = at.time + std::max(opt_.every, static_cast<ns_t>(ahead));
    return;
  }
  take("");
  next_due_ = at.time + opt_.every;
  taken_time_ = at.time;
  taken_at_s_ = thread_cpu_s();
  take_cost_s_ = taken_at_s_ - cpu;
}

void History::drop_future() {
  const Instant present = now();
  inputs_.erase(inputs_.begin() + static_cast<std::ptrdiff_t>(next_input_), inputs_.end());
  auto gone = std::remove_if(points_.begin() + 1, points_.end(), [&](const Point& p) {
    if (!later(p.at, present) && p.inputs <= next_input_) return false;
    store_.release(p.chunks);
    return true;
  });
  points_.erase(gone, points_.end());
  taken_ = 0;
  for (const Point& p : points_)
    if (p.name.empty() && !p.way) taken_ = std::max(taken_, p.number + 1);
  end_ = present;
  next_due_ = present.time + opt_.every;
}

void History::input(const std::string& what, Replay replay) {
  if (later(end_, now()) || next_input_ < inputs_.size()) drop_future();
  const Instant at = now();
  replay(m_);
  inputs_.push_back({at, what, std::move(replay)});
  next_input_ = inputs_.size();
}

void History::checkpoint(const std::string& name) { take(name); }

// Brings the machine from its present forward to `at` (a logged input's instant).
void History::reach(const Instant& at) {
  if (at.at_stop)
    m_.run_to_instruction(at.instructions, at.time + opt_.every);
  else
    m_.run_until(at.time);
  const Instant got = now();
  if (got.instructions != at.instructions && divergence_.empty())
    divergence_ = "rebuilt " + describe_instant(at) + " but landed at " + describe_instant(got);
}

// Rebuilds an instant: from the latest checkpoint that `before` accepts (or
// from the present when it is accepted and nearer), giving the logged inputs
// `before` accepts on the way, then `finish` runs to the instant itself.
void History::take_way_point() {
  m_.save_state(scratch_);
  Point p{now(), "", ways_++, next_input_, store_.put(scratch_)};
  p.way = true;
  auto at = std::upper_bound(points_.begin(), points_.end(), p.at,
                             [](const Instant& a, const Point& q) { return later(q.at, a); });
  points_.insert(at, std::move(p));
  thin();
}

bool History::travel(const std::function<bool(const Instant&)>& before, const std::function<void()>& finish,
                     const std::function<void(const Instant& from)>& way_points) {
  const Point* from = nullptr;
  for (const Point& p : points_)
    if (before(p.at)) from = &p;
  if (!from) return false;
  const Instant present = now();
  debug_points(false);
  bool restored = false;
  if (!before(present) || later(from->at, present)) {
    store_.get(from->chunks, scratch_);
    if (!m_.restore_state(scratch_, Machine::Archive::own)) {
      debug_points(true);
      return false;
    }
    next_input_ = from->inputs;
    restored = true;
  }
  while (next_input_ < inputs_.size() && before(inputs_[next_input_].at)) {
    reach(inputs_[next_input_].at);
    inputs_[next_input_].replay(m_);
    ++next_input_;
  }
  // Far from the target after the last input on the way: way points there.
  if (restored) way_points(now());
  finish();
  debug_points(true);
  return true;
}

void History::debug_points(bool on) const {
  if (debug_points_.enable) debug_points_.enable(on);
}

bool History::goto_instruction(uint64_t n) {
  if (n < start().instructions || n > end_.instructions) return false;
  return travel([n](const Instant& at) { return at.instructions <= n; },
                [&] { m_.run_to_instruction(n, end_.time + opt_.every); },
                [&](const Instant& from) {
                  // Way points kWayInstructions before the target, 16 times as
                  // far, 256 times..., so that stepping back from it one
                  // instruction after another replays a few thousand at most,
                  // and going further back finds one not far either.
                  std::vector<uint64_t> at;
                  for (uint64_t d = kWayInstructions;
                       n - from.instructions > 2 * d && at.size() < kWayPoints / 2; d *= 16)
                    at.push_back(n - d);
                  for (auto i = at.rbegin(); i != at.rend(); ++i) {
                    m_.run_to_instruction(*i, end_.time + opt_.every);
                    take_way_point();
                  }
                });
}

bool History::goto_time(ns_t t) {
  if (t < start().time || t > end_.time) return false;
  return travel([t](const Instant& at) { return at.at_stop ? at.time < t : at.time <= t; },
                [&] { m_.run_until(t); },
                [&](const Instant& from) {
                  if (t - from.time < 8 * opt_.every) return;
                  m_.run_until(from.time + (t - from.time) / 2);
                  take_way_point();
                });
}

bool History::goto_checkpoint(const std::string& name) {
  auto p = std::find_if(points_.begin(), points_.end(), [&](const Point& q) { return q.name == name; });
  if (name.empty() || p == points_.end()) return false;
  restore(*p);
  return true;
}

bool History::run_until(ns_t t) {
  bool running = true;
  while (running && m_.now() < t) {
    ns_t until = std::min(t, std::max(next_due_, m_.now() + 1));
    if (next_input_ < inputs_.size()) until = std::min(until, inputs_[next_input_].at.time);
    if (next_input_ < inputs_.size() && inputs_[next_input_].at.time <= m_.now()) {
      reach(inputs_[next_input_].at);
      inputs_[next_input_++].replay(m_);
      continue;
    }
    running = m_.run_until(until);
    note();
  }
  return running;
}

DebugStop History::debug_run(ns_t t_end, bool step, const std::function<bool()>& interrupted) {
  for (;;) {
    const Input* next = next_input_ < inputs_.size() ? &inputs_[next_input_] : nullptr;
    bool slice_due = false;
    // Past the latest instant reached, the run stops for a checkpoint every `every`.
    const auto poll = [&] {
      if (!next && m_.now() >= next_due_ && m_.now() > end_.time) return slice_due = true;
      return interrupted();
    };
    DebugStop d;
    if (step) {
      d = m_.debug_run(t_end, true, interrupted);
    } else if (next && next->at.at_stop) {
      if (m_.run_to_instruction(next->at.instructions, t_end, &d, poll)) {
        inputs_[next_input_++].replay(m_);
        continue;
      }
    } else {
      d = m_.debug_run(next ? std::min(t_end, next->at.time) : t_end, false, poll);
      if (next && d.kind == DebugStop::Kind::end && m_.now() >= next->at.time && next->at.time < t_end) {
        inputs_[next_input_++].replay(m_);
        continue;
      }
    }
    note();
    if (slice_due && d.kind == DebugStop::Kind::interrupted) {
      if (debug_points_.breakpoint_at && debug_points_.breakpoint_at(d.addr))
        return {DebugStop::Kind::breakpoint, d.addr, WatchKind::write};
      continue;
    }
    // A stop at an instant where inputs were given: the machine takes them again.
    while (next_input_ < inputs_.size() && !later(inputs_[next_input_].at, now()))
      inputs_[next_input_++].replay(m_);
    return d;
  }
}

std::vector<History::Kept> History::kept() const {
  std::vector<Kept> out;
  for (const Point& p : points_) out.push_back({p.at, p.name});
  return out;
}

size_t History::bytes() const { return store_.bytes(); }

size_t History::inputs() const { return inputs_.size(); }

std::string History::describe() const {
  const Instant first = start(), present = now();
  std::string named;
  for (const Point& p : points_)
    if (!p.name.empty()) named += (named.empty() ? "" : ", ") + p.name + " at " + format_ns(p.at.time);
  char mib[64];
  std::snprintf(mib, sizeof mib, "%.1f of %.1f MiB", static_cast<double>(bytes()) / (1 << 20),
                static_cast<double>(opt_.budget) / (1 << 20));
  std::string out = std::to_string(points_.size()) + " checkpoints from " + describe_instant(first) + " to " +
                    describe_instant(points_.back().at) + ", " + mib + "; the newest " +
                    std::to_string(dense_) + " every " + format_ns(opt_.every) + ", older ones thinned\n";
  out += "latest instant reached: " + describe_instant(end_) + "; the present: " + describe_instant(present) +
         "\n";
  out += std::to_string(inputs_.size()) + " inputs logged";
  if (!inputs_.empty())
    out += ", the last: " + inputs_.back().what + " at " + describe_instant(inputs_.back().at);
  out += "\n";
  if (!named.empty()) out += "named: " + named + "\n";
  return out;
}

}  // namespace vboard
