// The live board behind `vboard --serve`: one Machine, the inputs the page gives
// applied at a virtual time through the same Board calls a scenario's steps make
// (set, pulse, stop a pulse train), each recorded with that time, so that the
// session can be written as a scenario file that --scenario replays to the same
// pins and frames. Nothing here knows about sockets or wall time: the engine
// (engine.h) decides when the machine runs, never what it computes.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "machine/history.h"
#include "serve/analyser.h"
#include "serve/recording.h"
#include "world/board.h"
#include "vboard/machine.h"

namespace vboard::serve {

// Pin edges as the page's logic trace draws them: per pin the edges since the
// last take, at most kMaxEdges each; a pin with more is sent as a busy span.
class EdgeLog : public PinWatcher {
 public:
  static constexpr size_t kMaxEdges = 256;
  struct PinEdges {
    std::vector<std::pair<ns_t, int>> edges;
    uint64_t dropped = 0;  // edges past kMaxEdges since the last take
    ns_t busy_from = 0, busy_to = 0;
  };
  explicit EdgeLog(size_t pins) : pins_(pins) {}
  // The pins to keep edges of (indices of Board::pin_names()).
  void choose(const std::vector<unsigned>& pins);
  const std::vector<unsigned>& chosen() const { return chosen_; }
  void pin_changed(unsigned pin, ns_t t, int level) override;
  void settled() override {}
  // The edges since the last take, by pin index; clears them.
  std::map<unsigned, PinEdges> take();
  // What the analyser looks back over: every edge of the chosen pins.
  KeptTrace& kept() { return kept_; }
  const KeptTrace& kept() const { return kept_; }
  // While muted, edges are neither sent nor kept (a stretch run again after a rewind: they are kept already).
  void mute(bool on) { muted_ = on; }
  bool muted() const { return muted_; }

 private:
  KeptTrace kept_;
  bool muted_ = false;
  std::vector<PinEdges> pins_;
  std::vector<unsigned> chosen_;
  std::vector<bool> on_;
};

// One line per finding, in the words of the text report (report.cpp).
struct Findings {
  std::vector<std::string> lines;
  std::string halt;  // "" while running; else the report's "stuck in ..." words
  bool operator==(const Findings&) const = default;
};

class LiveBoard {
 public:
  // How far past a halt a saved session's last delay reaches (the replay stops at the halt).
  static constexpr ns_t kHaltMargin = 1;
  // `board_why`: one line saying why this board is in use ("" when not known).
  LiveBoard(const Image& image, const std::string& image_path, MachineOptions options,
            const BoardDescription& board, std::set<std::string> allowed, std::string board_why = "");
  ~LiveBoard();
  LiveBoard(const LiveBoard&) = delete;
  LiveBoard& operator=(const LiveBoard&) = delete;

  // Applies `in` now (at the machine's virtual time) and records it while the
  // recording has room; "" or why it was refused (a pin the board lacks, a
  // mark of a strip the board does not carry or that shows no whole LED).
  // Nothing is applied or recorded for a refused input.
  // `at`: a time already reached that the input is applied at instead of
  // now (a scenario played in the page: its step's own time, as --scenario does).
  std::string apply(const Input& in, std::optional<ns_t> at = std::nullopt);
  // The record as a list, before it is saved: each step recorded, at its time.
  const std::vector<Applied>& steps() const { return steps_; }
  uint64_t steps_version() const { return steps_version_; }
  // Editing the record (the board's run stays as it was): drop step i, or
  // add after step i an expectation that `pin` is at `level` then. "" or why not.
  std::string drop_step(size_t i);
  std::string expect_after(size_t i, const std::string& pin, int level);
  // Runs to virtual time t (or until the image halts); false once halted.
  bool run_until(ns_t t);
  // Back to power-on: a new Machine from the same image and options; the
  // recorded inputs start anew (a scenario starts at power-on).
  void reset();

  ns_t now() const;
  bool halted() const;
  Machine& machine() { return *m_; }
  // The last input applied since power-on (with what a mark saw).
  const std::optional<Applied>& last_applied() const { return last_; }
  // What the outside drives on each pin now, as the inputs applied left it.
  const Driven& driven() const { return driven_; }
  RecordingState recording() const { return rec_.state(now()); }
  const BoardDescription& board() const { return board_; }
  const std::string& board_why() const { return board_why_; }
  const std::vector<std::string>& pin_names() const { return pin_names_; }
  EdgeLog& edges() { return *edges_; }
  // The pins the logic trace shows (indices of pin_names()): their edges are sent and kept from now.
  void trace(const std::vector<unsigned>& pins);
  const KeptTrace& kept() const { return edges_->kept(); }
  // The strip's data pin (an index of pin_names()), when the board has a strip.
  std::optional<unsigned> strip_pin() const;

  // Pin levels now, by index of pin_names().
  std::vector<int> levels() const;
  // The frame the strip shows now (empty before the first latch) and frames so far.
  std::vector<Rgb> strip_leds() const;
  uint64_t strip_frames() const;
  Findings findings() const;

  // The session so far as a scenario file that --scenario accepts: every
  // recorded input at its time, marks as expect-pin / expect-strip steps, then
  // a delay to now, to just past the halt when the image halted, or to where
  // the recording stopped when it filled up (the header says so).
  std::string scenario_text(const std::string& name) const;
  // The run so far as the JSON document of `vboard --json`.
  std::string report_json() const;
  // The timeline: the board back (or forward) to an instant already reached,
  // rebuilt from the machine's checkpoints and the inputs logged since
  // (machine/history.h). The inputs after it are kept while time only moves
  // (running on replays them, to the same states); the first input given
  // there drops them, with the record's steps, the kept edges and the
  // checkpoints after it: a session is one line of time, as the scenario file
  // it saves is. False for an instant outside the history.
  bool go_to(ns_t t);
  // Virtual time between checkpoints: a rewind runs at most this far from the
  // one before the instant asked, and the board at its pace saves a few a second.
  static constexpr ns_t kCheckpointEvery = 150 * kMs;
  ns_t reached() const { return hist_->end().time; }
  ns_t history_start() const { return hist_->start().time; }
  // The instant after which an input dropped what was kept (once, for the pages), if one did.
  std::optional<ns_t> take_cut();
  // Where the core is: the function of the PC ("main+0x1a"), "" before it has one.
  std::string where() const;
  // A watched variable read as a debugger reads it: `[*]symbol[+offset][:bytes]`
  // (a leading * reads the pointer stored at the symbol and goes there; bytes
  // 1, 2, 4 or 8, else the symbol's size up to 8). Its value "123 (0x7b)", or
  // false with why in *out.
  bool watch_value(const std::string& expr, std::string* out);
  // One line saying how to look at this image under gdb-multiarch.
  std::string gdb_line() const;
  // The registers panel: `monitor regs PERIPH [REG]` of the GDB server, read
  // as a debug probe reads (no flag clears, nothing of the run changes).
  // False for a name the chip lacks, with one line saying what exists.
  bool regs(std::string_view periph, std::string_view reg, std::string* out);

 private:
  void build();
  // The file's opening comment and fields; `name` as given (escaped here).
  std::string header(const std::string& name) const;
  // The replay command the header gives.
  std::string replay_command() const;
  const Image& image_;
  std::string image_path_;
  MachineOptions options_;
  BoardDescription board_;
  std::set<std::string> allowed_;
  std::string board_why_;
  std::unique_ptr<Machine> m_;
  std::vector<std::string> pin_names_;
  std::unique_ptr<EdgeLog> edges_;
  // The recording again from steps_ (after an edit).
  void rerecord();
  // An input at a rewound instant: what was kept after it goes.
  void cut_future();
  // The inputs of the record up to now, as a recording (a save from a rewound instant).
  Recording record_to_now() const;
  std::optional<Applied> last_;
  Driven driven_;
  Recording rec_;
  std::vector<Applied> steps_;
  uint64_t steps_version_ = 0;
  std::unique_ptr<History> hist_;  // after m_: it holds the machine
  std::vector<Applied> inputs_;    // as applied, never edited: driven_ after a rewind
  std::optional<ns_t> cut_;
};

}  // namespace vboard::serve
