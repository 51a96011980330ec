// The machine thread of `vboard --serve` (engine.h).
#include "serve/engine.h"

#include "outputs/stack_bound.h"

#include <algorithm>

#include "world/values.h"

namespace vboard::serve {

Engine::Engine(const Image& image, std::string image_path, MachineOptions options,
               const BoardDescription& board, std::set<std::string> allowed, std::string board_why)
    : image_(image), image_path_(std::move(image_path)) {
  image_name_ = image_path_.substr(image_path_.find_last_of('/') + 1);
  report_info_.image = image_path_;
  report_info_.board = {board.name, board.file, board_why};
  report_info_.image_notes = image.warnings();
  report_info_.allowed = allowed;
  live_ = std::make_unique<LiveBoard>(image_, image_path_, std::move(options), board, std::move(allowed),
                                      std::move(board_why));
  // The logic trace shows the parts' pins to begin with.
  std::vector<unsigned> chosen;
  for (const BoardPart& p : live_->board().parts) {
    if (p.is<BoardPart::Unused>()) continue;
    for (const std::string& pin : p.pins) {
      const auto& names = live_->pin_names();
      const auto it = std::find(names.begin(), names.end(), pin);
      if (it == names.end()) continue;
      chosen.push_back(static_cast<unsigned>(it - names.begin()));
      trace_pins_.push_back(pin);
    }
  }
  live_->trace(chosen);
  start_ = Clock::now();
  last_publish_ = start_;
}

Engine::~Engine() { stop(); }

void Engine::start() {
  thread_ = std::thread([this] { loop(); });
}

void Engine::stop() {
  {
    std::lock_guard lk(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Engine::push(Request r) {
  {
    std::lock_guard lk(mu_);
    queue_.push_back(std::move(r));
  }
  cv_.notify_all();
}

void Engine::attach(const std::shared_ptr<Client>& c) { push(Attach{c}); }

void Engine::detach(const std::shared_ptr<Client>& c) { push(Detach{c}); }

void Engine::submit(const std::shared_ptr<Client>& from, Command c) {
  // Built in place in the queue: moving the request once more through a
  // temporary variant trips GCC 12's maybe-uninitialized warning.
  {
    std::lock_guard lk(mu_);
    if (asked_waiting_ >= kMaxWaitingRequests) {
      from->post_message(error_json("too many requests waiting for the board (" +
                                    std::to_string(kMaxWaitingRequests) + "): this one is dropped"));
      return;
    }
    ++asked_waiting_;
    queue_.emplace_back(std::in_place_type<Asked>, from, std::move(c));
  }
  cv_.notify_all();
}

size_t Engine::waiting_requests() const {
  std::lock_guard lk(mu_);
  return asked_waiting_;
}

std::string Engine::report_json() {
  auto done = std::make_shared<std::promise<std::string>>();
  auto result = done->get_future();
  {
    std::lock_guard lk(mu_);
    if (stop_) return "";
    queue_.push_back(Task{[this, done] { done->set_value(live_->report_json()); }});
  }
  cv_.notify_all();
  return result.get();
}

std::optional<Engine::ReportSnapshot> Engine::report_snapshot() {
  auto done = std::make_shared<std::promise<std::optional<ReportSnapshot>>>();
  auto result = done->get_future();
  {
    std::lock_guard lk(mu_);
    if (stop_) return std::nullopt;
    queue_.push_back(Task{[this, done] {
      RunResult r = live_->machine().result();
      put_static_bound(live_->machine(), r);
      done->set_value(ReportSnapshot{std::move(r), report_info_});
    }});
  }
  cv_.notify_all();
  return result.get();
}

EngineStats Engine::stats() const {
  std::lock_guard lk(stats_mu_);
  return stats_;
}

double Engine::wall_now() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

void Engine::anchor() {
  anchor_vt_ = live_->now();
  anchor_wall_ = wall_now();
}

Update Engine::snapshot() {
  Update u;
  u.vt = live_->now();
  u.wall_s = wall_now();
  u.state = live_->halted() ? "halted" : (paused_ && !step_end_) ? "paused" : "running";
  u.rate = rate_;
  u.fast = fast_;
  u.lagging = pace_.lagging();
  u.achieved = pace_.achieved();
  u.inputs = live_->recording().inputs;
  u.generation = generation_;
  u.start = live_->history_start();
  u.reached = live_->reached();
  return u;
}

void Engine::publish(bool force) {
  Update u = snapshot();
  const std::vector<int> levels = live_->levels();
  const auto& names = live_->pin_names();
  for (size_t i = 0; i < levels.size(); ++i)
    if (!names[i].empty() && (i >= published_levels_.size() || published_levels_[i] != levels[i]))
      u.pins[names[i]] = levels[i];
  published_levels_ = levels;
  const uint64_t frames = live_->strip_frames();
  if (frames != published_frames_) {
    std::vector<Rgb> leds = live_->strip_leds();
    if (leds != published_strip_ || published_frames_ == ~uint64_t{0}) u.strip = leds;
    u.frames = frames;
    if (!u.strip) u.strip = leds;  // the frame count moves the page's counter
    published_strip_ = std::move(leds);
    published_frames_ = frames;
  }
  Findings f = live_->findings();
  if (!published_findings_ || f != *published_findings_) {
    u.findings = f;
    published_findings_ = std::move(f);
  }
  if (!published_driven_ || live_->driven() != *published_driven_)
    u.driven = published_driven_ = live_->driven();
  if (RecordingState r = live_->recording(); !published_recording_ || r != *published_recording_)
    u.recording = published_recording_ = std::move(r);
  firmware_state(u);
  u.cut = live_->take_cut();
  u.moved = std::exchange(moved_, false);
  if (live_->steps_version() != published_steps_) {
    u.steps = step_list(*live_);
    published_steps_ = live_->steps_version();
  }
  for (auto& [pin, e] : live_->edges().take()) {
    TraceEdges& t = u.trace[names[pin]];
    t.edges = std::move(e.edges);
    t.dropped = e.dropped;
    t.busy_from = e.busy_from;
    t.busy_to = e.busy_to;
  }
  const bool changed = u.state != published_state_;
  published_state_ = u.state;
  const std::map<Client*, RegsText> regs = read_regs(force);
  if (!force && !changed && u.pins.empty() && !u.strip && !u.findings && u.trace.empty() && !u.driven &&
      !u.steps && regs.empty() && Clock::now() - last_publish_ < std::chrono::milliseconds(250))
    return;  // nothing new but time: a quarter second is soon enough for the clock
  for (const auto& c : clients_) {
    const auto r = regs.find(c.get());
    if (r == regs.end()) {
      c->post(u);
      continue;
    }
    Update mine = u;
    mine.regs = r->second;
    c->post(mine);
  }
  last_publish_ = Clock::now();
  std::lock_guard lk(stats_mu_);
  ++stats_.updates;
  stats_.vt = u.vt;
  stats_.wall_s = u.wall_s;
  stats_.clients = clients_.size();
}

void Engine::firmware_state(Update& u) {
  if (std::string w = live_->where(); w != published_where_) u.where = published_where_ = std::move(w);
  std::vector<std::pair<std::string, std::string>> values;
  for (const std::string& e : watch_exprs_) {
    std::string v;
    if (!live_->watch_value(e, &v)) v = "? " + v;
    values.emplace_back(e, std::move(v));
  }
  if (values != published_watches_) u.watches = published_watches_ = std::move(values);
}

std::string Engine::hello() {
  Update full = snapshot();
  full.strip = live_->strip_leds();
  full.frames = live_->strip_frames();
  full.findings = live_->findings();
  full.steps = step_list(*live_);
  full.where = live_->where();
  published_watches_.reset();  // every page gets the watched values in the next update
  return hello_json(*live_, image_name_, full, trace_pins_);
}

void Engine::take(Task& t) { t.run(); }

void Engine::take(Attach& a) {
  clients_.push_back(a.client);
  a.client->post_hello(hello());
}

void Engine::take(Detach& d) {
  clients_.erase(std::remove(clients_.begin(), clients_.end(), d.client), clients_.end());
  regs_.erase(d.client);
}

void Engine::take(Asked& a) {
  using Say = std::function<void(const std::string&)>;
  const Say say = [&](const std::string& json) {
    if (a.from) a.from->post_message(json);
  };
  struct Taker {
    Engine& e;
    const Say& say;
    const std::shared_ptr<Client>& from;
    void operator()(const command::Apply& c) const { e.apply_input(c.input, say); }
    void operator()(const command::Pace& c) const {
      e.fast_ = c.fast;
      if (!c.fast) e.rate_ = c.rate;
      e.paused_ = false;
      e.step_end_.reset();
      e.pace_.restart();
      e.anchor();
    }
    void operator()(const command::Pause&) const {
      e.paused_ = true;
      e.step_end_.reset();
    }
    void operator()(const command::Run&) const {
      e.paused_ = false;
      e.step_end_.reset();
      e.anchor();
    }
    void operator()(const command::Step& c) const {
      if (e.live_->halted()) {
        say(error_json("the image has stopped: time cannot move on until a reset"));
        return;
      }
      e.paused_ = true;
      e.step_end_ = e.live_->now() + c.span;
    }
    void operator()(const command::Reset&) const { e.reset_board(); }
    void operator()(const command::Save& c) const {
      const std::string name = c.name.empty() ? "live session on " + e.image_name_ : c.name;
      say(scenario_json(name, e.live_->scenario_text(name)));
    }
    void operator()(const command::Trace& c) const { e.trace(c.pins, say); }
    void operator()(const command::Ping&) const {}
    void operator()(const command::Regs& r) const { e.watch_regs(from, r, say); }
    void operator()(const command::Window& w) const { e.window(w, say); }
    void operator()(const command::Drop& d) const {
      if (const std::string err = e.live_->drop_step(d.index); !err.empty()) say(error_json(err));
    }
    void operator()(const command::Expect& x) const {
      if (const std::string err = e.live_->expect_after(x.index, x.pin, x.level); !err.empty())
        say(error_json(err));
    }
    void operator()(const command::Script& c) const { e.script(c, say); }
    void operator()(const command::Goto& g) const { e.go_to(g.at, say); }
    void operator()(const command::Watch& w) const {
      e.watch_exprs_ = w.exprs;
      e.published_watches_.reset();
    }
  };
  std::visit(Taker{*this, say, a.from}, a.command);
}

void Engine::apply_input(const Input& input, const std::function<void(const std::string&)>& say) {
  if (live_->halted()) {
    say(error_json("the image has stopped (" + live_->findings().halt +
                   "): no input enters the world until a reset"));
    return;
  }
  const std::string err = live_->apply(input);
  if (!err.empty()) say(error_json(err));
}

void Engine::reset_board() {
  live_->reset();
  ++generation_;
  step_end_.reset();
  pace_.restart();
  anchor();
  published_levels_.clear();
  published_frames_ = ~uint64_t{0};
  published_strip_.clear();
  published_findings_.reset();
  published_driven_.reset();
  published_recording_.reset();
  published_steps_ = live_->steps_version();  // the hello carries the list
  script_.clear();
  script_end_.reset();
  for (auto& [client, w] : regs_) w.fresh = true;  // the panels show the new power-on at once
  const std::string m = hello();
  for (const auto& client : clients_) client->post_hello(m);
}

void Engine::trace(const std::vector<std::string>& pins, const std::function<void(const std::string&)>& say) {
  std::vector<unsigned> chosen;
  const auto& names = live_->pin_names();
  for (const std::string& p : pins) {
    const auto it = std::find(names.begin(), names.end(), p);
    if (it == names.end()) {
      say(error_json("the board has no pin " + p));
      return;
    }
    chosen.push_back(static_cast<unsigned>(it - names.begin()));
  }
  live_->trace(chosen);
  trace_pins_ = pins;
}

void Engine::script(const command::Script& c, const std::function<void(const std::string&)>& say) {
  if (c.first) script_parts_.clear();
  if (script_parts_.size() + c.steps.size() > limits::kMaxScenarioBytes / 16) {
    script_parts_.clear();
    say(error_json("the scenario has more steps than a scenario file may hold"));
    return;
  }
  script_parts_.insert(script_parts_.end(), c.steps.begin(), c.steps.end());
  if (!c.last) return;
  std::stable_sort(script_parts_.begin(), script_parts_.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  reset_board();  // a scenario starts at power-on
  script_.assign(script_parts_.begin(), script_parts_.end());
  script_parts_.clear();
  script_end_ = c.end;
  paused_ = false;
  anchor();
  say(ack_json("playing the scenario: " + std::to_string(script_.size()) + " steps up to " +
               format_ns(c.end)));
  play_due();
}

void Engine::go_to(ns_t at, const std::function<void(const std::string&)>& say) {
  paused_ = true;
  step_end_.reset();
  if (!live_->go_to(at))
    say(error_json("the timeline holds " + format_ns(live_->history_start()) + " to " +
                   format_ns(live_->reached()) + " only"));
  // Everything the pages show is of the instant now: sent whole.
  published_levels_.clear();
  published_frames_ = ~uint64_t{0};
  published_strip_.clear();
  published_findings_.reset();
  published_driven_.reset();
  published_watches_.reset();
  moved_ = true;
  publish(true);
}

void Engine::play_due() {
  while (!script_.empty() && script_.front().first <= live_->now() && !live_->halted()) {
    auto [t, in] = std::move(script_.front());
    script_.pop_front();
    const int expected = in.level;
    const std::string err = live_->apply(in, t);
    std::string said = err;
    if (err.empty() && in.kind == Input::Kind::mark_pin && live_->last_applied()->seen_level != expected)
      said = "the scenario expects " + in.pin + " at " + std::to_string(expected) + " at " + format_ns(t) +
             ": it is " + std::to_string(live_->last_applied()->seen_level);
    if (!said.empty())
      for (const auto& c : clients_) c->post_message(error_json(said));
  }
  if (script_end_ && script_.empty() && (live_->now() >= *script_end_ || live_->halted())) {
    script_end_.reset();
    paused_ = true;
    step_end_.reset();
  }
}

void Engine::window(const command::Window& w, const std::function<void(const std::string&)>& say) {
  if (!w.vcd) {
    say(window_json(*live_, w));
    return;
  }
  std::vector<std::pair<unsigned, std::string>> pins;
  const auto& names = live_->pin_names();
  for (const std::string& p : w.pins) {
    const auto it = std::find(names.begin(), names.end(), p);
    if (it != names.end()) pins.emplace_back(static_cast<unsigned>(it - names.begin()), p);
  }
  std::string why;
  const std::string text =
      window_vcd(live_->kept(), pins, w.from, std::min(w.to, live_->now()), kMaxVcdBytes, &why);
  if (text.empty()) {
    say(error_json("VCD: " + why));
    return;
  }
  const std::string stem = image_name_.substr(0, image_name_.rfind('.'));
  say(vcd_json(stem + "_" + scenario_time(w.from) + "-" + scenario_time(w.to) + ".vcd", text));
}

void Engine::watch_regs(const std::shared_ptr<Client>& c, const command::Regs& r,
                        const std::function<void(const std::string&)>& say) {
  // Only a page that is here gets a panel: one gone (or never attached) costs no read.
  if (!c || std::find(clients_.begin(), clients_.end(), c) == clients_.end()) return;
  if (r.periph.empty()) {
    regs_.erase(c);
    return;
  }
  std::string text;
  if (!live_->regs(r.periph, r.reg, &text)) {  // parse_message checked the names: this is a safeguard
    say(error_json(text));
    return;
  }
  regs_[c] = RegsWatch{r.periph, r.reg, "", true};
}

std::map<Client*, RegsText> Engine::read_regs(bool force) {
  std::map<Client*, RegsText> out;
  if (regs_.empty()) return out;
  bool fresh = false;
  for (const auto& [client, w] : regs_) fresh = fresh || w.fresh;
  const Clock::time_point now = Clock::now();
  if (!force && !fresh && now - regs_read_at_ < kRegsEvery) return out;
  regs_read_at_ = now;
  // Pages that follow the same registers share one reading.
  std::map<std::pair<std::string, std::string>, std::string> read;
  for (auto& [client, w] : regs_) {
    auto [it, first] = read.try_emplace({w.periph, w.reg});
    if (first) live_->regs(w.periph, w.reg, &it->second);
    if (!w.fresh && it->second == w.sent) continue;
    w.fresh = false;
    w.sent = it->second;
    out[client.get()] = RegsText{w.periph, w.reg, w.sent};
  }
  return out;
}

std::optional<ns_t> Engine::slice_target() {
  std::optional<ns_t> t = paced_target();
  // A loaded scenario's next step (or its end) is where a slice stops: each input enters at its own time.
  if (t && !script_.empty()) t = std::min(*t, script_.front().first);
  if (t && script_end_) t = std::min(*t, *script_end_);
  return t;
}

std::optional<ns_t> Engine::paced_target() {
  if (live_->halted()) return std::nullopt;
  const ns_t now = live_->now();
  if (step_end_) {
    if (now < *step_end_) return std::min(*step_end_, now + fast_chunk_);
    step_end_.reset();
    return std::nullopt;
  }
  if (paused_) return std::nullopt;
  if (fast_) return now + fast_chunk_;
  // Real time times the rate, from the anchor (the last change of pace).
  const double w = wall_now();
  const double per_s = rate_ * 1e9;
  const double want = static_cast<double>(anchor_vt_) + (w - anchor_wall_) * per_s;
  if (want - static_cast<double>(now) > 0.25 * per_s) {
    // A quarter second behind: the machine cannot keep this pace. The debt is dropped.
    pace_.fell_behind(w);
    anchor_vt_ = now;
    anchor_wall_ = w;
    std::lock_guard lk(stats_mu_);
    ++stats_.lag_events;
  } else if (want > static_cast<double>(now)) {
    return std::min<ns_t>(static_cast<ns_t>(want), now + static_cast<ns_t>(0.05 * per_s) + 1);
  }
  return std::nullopt;
}

void Engine::run_slice(ns_t target) {
  const auto t0 = Clock::now();
  live_->run_until(target);
  const double took = std::chrono::duration<double>(Clock::now() - t0).count();
  if (fast_ || step_end_) {
    // Slices of about 20 ms of wall time, so that requests are seen soon.
    const double scale = std::clamp(0.02 / std::max(took, 1e-6), 0.5, 2.0);
    fast_chunk_ =
        std::clamp<ns_t>(static_cast<ns_t>(static_cast<double>(fast_chunk_) * scale), 50 * kUs, 5 * kSec);
  }
  std::lock_guard lk(stats_mu_);
  ++stats_.slices;
}

void Engine::publish_after_slice(bool requests, const std::string& state_before) {
  const bool state_changed = snapshot().state != state_before;
  // A new colour on the strip goes out at once: it is what a click waits to see.
  const bool strip_changed =
      live_->strip_frames() != published_frames_ && live_->strip_leds() != published_strip_;
  if (requests || state_changed || strip_changed || Clock::now() - last_publish_ >= kPublishEvery)
    publish(requests || state_changed);
}

Engine::Clock::time_point Engine::next_wake(Clock::time_point wake) {
  if (paused_ || live_->halted()) return wake;
  // Next slice when the pace has made kSliceWall of virtual time due.
  const double due_s = anchor_wall_ + static_cast<double>(live_->now() - anchor_vt_) / (rate_ * 1e9) +
                       std::chrono::duration<double>(kSliceWall).count();
  return start_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(due_s));
}

void Engine::loop() {
  anchor();
  publish(true);
  for (;;) {
    std::deque<Request> batch;
    {
      std::lock_guard lk(mu_);
      if (stop_) break;
      batch.swap(queue_);
      asked_waiting_ = 0;
    }
    const std::string state_before = published_state_;
    for (Request& r : batch) std::visit([this](auto& what) { take(what); }, r);
    const Clock::time_point wake = Clock::now() + std::chrono::milliseconds(50);
    const std::optional<ns_t> target = slice_target();
    if (target && *target > live_->now()) run_slice(*target);
    play_due();
    if (step_end_ && live_->now() >= *step_end_) step_end_.reset();
    pace_.sample(wall_now(), live_->now());
    publish_after_slice(!batch.empty(), state_before);
    const bool busy = !live_->halted() && (step_end_ || (!paused_ && fast_));
    if (busy) continue;
    std::unique_lock lk(mu_);
    cv_.wait_until(lk, next_wake(wake), [&] { return stop_ || !queue_.empty(); });
  }
  // Requests that came with the stop: a report someone waits for is still made.
  std::deque<Request> rest;
  {
    std::lock_guard lk(mu_);
    rest.swap(queue_);
    asked_waiting_ = 0;
  }
  for (Request& r : rest)
    if (Task* t = std::get_if<Task>(&r)) t->run();
  for (const auto& c : clients_) c->close();
}

}  // namespace vboard::serve
