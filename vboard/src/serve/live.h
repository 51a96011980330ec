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
#include <vector>

#include "world/board.h"
#include "vboard/machine.h"

namespace vboard::serve {

using Rgb = std::array<uint8_t, 3>;

// One thing the page asks of the world, or an output it marks for an expectation.
struct Input {
  enum class Kind { set, pulse, pulse_stop, mark_pin, mark_strip };
  Kind kind = Kind::set;
  std::string pin;
  int level = 0;  // set: 0, 1, -1 (released)
  unsigned bounces = 0;
  ns_t bounce_ns = 0;
  ns_t width = 0, period = 0;  // pulse
  bool operator==(const Input&) const = default;
};

// An input as it was applied: its virtual time and, for a mark, what the
// output showed then (the expectation the scenario file gets).
struct Applied {
  ns_t t = 0;
  Input input;
  int seen_level = 0;          // mark_pin
  std::vector<Rgb> seen_leds;  // mark_strip: the frame showing (empty: none latched yet)
};

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

 private:
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
  LiveBoard(const Image& image, const std::string& image_path, MachineOptions options,
            const BoardDescription& board, std::set<std::string> allowed);
  ~LiveBoard();
  LiveBoard(const LiveBoard&) = delete;
  LiveBoard& operator=(const LiveBoard&) = delete;

  // Applies `in` now (at the machine's virtual time) and records it; "" or why
  // it was refused (a pin the board lacks, a mark of a strip the board does
  // not carry). Nothing is recorded for a refused input.
  std::string apply(const Input& in);
  // Runs to virtual time t (or until the image halts); false once halted.
  bool run_until(ns_t t);
  // Back to power-on: a new Machine from the same image and options; the
  // recorded inputs start anew (a scenario starts at power-on).
  void reset();

  ns_t now() const;
  bool halted() const;
  Machine& machine() { return *m_; }
  const std::vector<Applied>& applied() const { return applied_; }
  const BoardDescription& board() const { return board_; }
  const std::vector<std::string>& pin_names() const { return pin_names_; }
  EdgeLog& edges() { return *edges_; }

  // Pin levels now, by index of pin_names().
  std::vector<int> levels() const;
  // The frame the strip shows now (empty before the first latch) and frames so far.
  std::vector<Rgb> strip_leds() const;
  uint64_t strip_frames() const;
  Findings findings() const;

  // The session so far as a scenario file: every recorded input at its time,
  // marks as expect-pin / expect-strip steps, and a delay to now at the end.
  // "" and *error when it cannot be one (longer than a scenario may run).
  std::string scenario_text(const std::string& name, std::string* error) const;
  // The run so far as the JSON document of `vboard --json`.
  std::string report_json() const;

 private:
  void build();
  const Image& image_;
  std::string image_path_;
  MachineOptions options_;
  BoardDescription board_;
  std::set<std::string> allowed_;
  std::unique_ptr<Machine> m_;
  std::vector<std::string> pin_names_;
  std::unique_ptr<EdgeLog> edges_;
  std::vector<Applied> applied_;
};

// Times as a scenario file takes them, exactly: "20ms", "1500us", "1234567ns".
std::string scenario_time(ns_t t);

}  // namespace vboard::serve
