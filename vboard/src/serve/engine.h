// The engine of `vboard --serve`: one thread owns the live board and runs it in
// slices (LiveBoard::run_until); the pace (real time, a rate, as fast as
// possible, paused, a single step, reset to power-on) only decides when a slice
// runs. Requests from the pages are queued and taken at the start of the next
// slice, so an input enters the world at that slice's virtual time. State goes
// to every page through its Client: a bounded outbox in which updates merge
// while the page is slow, so the machine thread never waits for a page and
// memory never grows with a slow one.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "outputs/report.h"
#include "serve/client.h"
#include "serve/live.h"
#include "serve/messages.h"
#include "serve/pace.h"

namespace vboard::serve {

struct EngineStats {
  uint64_t slices = 0, updates = 0, lag_events = 0;
  ns_t vt = 0;
  double wall_s = 0;
  size_t clients = 0;
};

class Engine {
 public:
  // How often state goes to the pages (wall time), and the longest a slice
  // runs before requests are looked at again (as wall time at the pace).
  static constexpr std::chrono::milliseconds kPublishEvery{20};
  static constexpr std::chrono::milliseconds kSliceWall{5};
  // How often an open registers panel is read again (its text goes out only when it changed).
  static constexpr std::chrono::milliseconds kRegsEvery{250};

  // `board_why`: one line saying why this board is in use, for the pages ("" when not known).
  Engine(const Image& image, std::string image_path, MachineOptions options, const BoardDescription& board,
         std::set<std::string> allowed, std::string board_why = "");
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  void start();
  void stop();
  // A new page: it gets the board and the state now, then every update.
  void attach(const std::shared_ptr<Client>& c);
  void detach(const std::shared_ptr<Client>& c);
  // A request from a page (replies and errors go back to `from`). Past
  // kMaxWaitingRequests requests not yet taken by the machine thread, it is
  // refused with an error to `from`: a page flooding the board cannot grow the
  // queue without bound while a slice runs.
  void submit(const std::shared_ptr<Client>& from, Command c);
  static constexpr size_t kMaxWaitingRequests = 1024;
  size_t waiting_requests() const;
  // The run so far as `vboard --json` writes it (waits for the machine thread).
  std::string report_json();
  // The run so far and what its JSON report says of the image, taken on the
  // machine thread (a copy of the result, quick next to writing its JSON), for
  // the caller to write the report on its own thread while the board runs on.
  // nullopt once stopped.
  struct ReportSnapshot {
    RunResult result;
    ReportInfo info;
  };
  std::optional<ReportSnapshot> report_snapshot();
  EngineStats stats() const;

 private:
  using Clock = std::chrono::steady_clock;
  // What the machine thread takes from the queue: a page that came or went,
  // a page's request, or work to do on the machine thread.
  struct Attach {
    std::shared_ptr<Client> client;
  };
  struct Detach {
    std::shared_ptr<Client> client;
  };
  struct Asked {
    std::shared_ptr<Client> from;  // replies and errors go back to it
    Command command;
  };
  struct Task {
    std::function<void()> run;
  };
  using Request = std::variant<Attach, Detach, Asked, Task>;

  void push(Request r);  // queues it and wakes the machine thread
  void loop();
  // The time the next slice runs to (nullopt: none now), by the pace.
  std::optional<ns_t> slice_target();
  std::optional<ns_t> paced_target();  // by the pace alone
  void run_slice(ns_t target);
  // After a slice: the state to the pages when it changed, the strip changed or it is time.
  void publish_after_slice(bool requests, const std::string& state_before);
  // When the next slice is due at the pace; `wake` when it is not paced.
  Clock::time_point next_wake(Clock::time_point wake);
  void take(Attach& a);
  void take(Detach& d);
  void take(Asked& a);
  void take(Task& t);
  void apply_input(const Input& input, const std::function<void(const std::string&)>& say);
  void reset_board();
  void trace(const std::vector<std::string>& pins, const std::function<void(const std::string&)>& say);
  // A scenario loaded into the page: its parts gathered, then played from power-on.
  void script(const command::Script& c, const std::function<void(const std::string&)>& say);
  // The loaded scenario's steps that are due, applied at their own times; at its end the board pauses.
  void play_due();
  // The timeline: the board at an instant already reached, paused there, sent whole to the pages.
  void go_to(ns_t at, const std::function<void(const std::string&)>& say);
  bool moved_ = false;  // a goto since the last update
  // The analyser's window, or the VCD file of it (at most kMaxVcdBytes).
  static constexpr size_t kMaxVcdBytes = 2 << 20;
  void window(const command::Window& w, const std::function<void(const std::string&)>& say);
  void watch_regs(const std::shared_ptr<Client>& c, const command::Regs& r,
                  const std::function<void(const std::string&)>& say);
  // The open registers panels read anew when it is time (or `force`d): the
  // text each page gets in its next update where it changed.
  std::map<Client*, RegsText> read_regs(bool force);
  // The first message to a page: the board and its state now.
  std::string hello();
  void publish(bool force);
  Update snapshot();
  void anchor();
  double wall_now() const;

  const Image& image_;
  std::string image_path_;
  std::string image_name_;
  ReportInfo report_info_;  // the image's part of the report (report_snapshot)
  std::unique_ptr<LiveBoard> live_;

  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Request> queue_;
  size_t asked_waiting_ = 0;  // requests from pages in queue_
  bool stop_ = false;
  std::thread thread_;

  // Machine thread only.
  std::vector<std::shared_ptr<Client>> clients_;
  std::vector<std::string> trace_pins_;
  bool paused_ = false, fast_ = false;
  PaceWatch pace_;
  double rate_ = 1;
  std::optional<ns_t> step_end_;
  ns_t anchor_vt_ = 0;
  double anchor_wall_ = 0;
  ns_t fast_chunk_ = 10 * kMs;
  uint64_t generation_ = 0;
  Clock::time_point start_;
  Clock::time_point last_publish_;
  std::vector<int> published_levels_;
  uint64_t published_frames_ = ~uint64_t{0};
  std::vector<Rgb> published_strip_;
  std::optional<Findings> published_findings_;
  std::optional<Driven> published_driven_;
  std::optional<RecordingState> published_recording_;
  uint64_t published_steps_ = ~uint64_t{0};
  // The firmware panel: the function the core is in and the watched variables, as last sent.
  std::vector<std::string> watch_exprs_;
  std::optional<std::string> published_where_;
  std::optional<std::vector<std::pair<std::string, std::string>>> published_watches_;
  void firmware_state(Update& u);
  // The loaded scenario: the parts gathered so far, the steps still to play and where it ends.
  std::vector<std::pair<ns_t, Input>> script_parts_;
  std::deque<std::pair<ns_t, Input>> script_;
  std::optional<ns_t> script_end_;
  std::string published_state_;
  // The registers panel each page has open (none: nothing is read for it) and
  // the text it was sent last.
  struct RegsWatch {
    std::string periph, reg, sent;
    bool fresh = true;  // not sent since the panel opened or the board was reset
  };
  std::map<std::shared_ptr<Client>, RegsWatch> regs_;
  Clock::time_point regs_read_at_;

  mutable std::mutex stats_mu_;
  EngineStats stats_;
};

}  // namespace vboard::serve
