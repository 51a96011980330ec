// Reports of a run: one JSON document for scripts, a VCD trace for waveform
// viewers, and a text summary for people.
#pragma once

#include <array>
#include <cstdio>
#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "outputs/vcd_timescale.h"
#include "vboard/machine.h"

namespace vboard {

// The board a run is on, as the reports name it.
struct BoardInUse {
  std::string name;  // "" : none given (the reports leave the board out)
  std::string file;  // its board file; "" for the chip alone
  std::string why;   // one line: why this board ("named by --board", "recognised: ...")
};
// "NAME (boards/NAME.yaml), recognised: image name NAME, symbols ..."
std::string board_words(const BoardInUse& b);

struct ReportInfo {
  std::string image;                     // path of the ELF
  BoardInUse board;                      // the board in use and why
  std::vector<std::string> image_notes;  // what the loader could not find (e.g. no symbol table)
  std::set<std::string> allowed;         // diagnostic kinds the user allowed (--allow)
  size_t max_changes_per_pin = 200000;   // JSON: longer histories are cut (and said so)
  std::string ended;                     // how a run under a debugger ended ("" : at its end, or halted)
  bool ended_early = false;              // before the time asked (--for)
};

// The JSON document, written to `o` as it is produced.
void write_json(std::ostream& o, const RunResult& r, const ReportInfo& info);
std::string to_json(const RunResult& r, const ReportInfo& info);
std::string to_text(const RunResult& r, const ReportInfo& info, bool color);

// A VCD trace written while the run goes, every change of the chosen pins
// (nothing is capped; the file is the only copy). Open it and attach it to the
// board (Board::watch_pins) before the run, finish it after.
class VcdWriter final : public PinWatcher {
 public:
  VcdWriter() = default;
  ~VcdWriter() override;
  VcdWriter(const VcdWriter&) = delete;
  VcdWriter& operator=(const VcdWriter&) = delete;
  // pins empty: every pin of the package. Levels at t0 are the initial values.
  // Times are written in units of `timescale` ns, each change at the nearest
  // multiple (a half rounds up); a high or low phase shorter than half a unit
  // can vanish, and finish() counts those. False, with *error, on an unknown
  // pin name or a file that cannot be created.
  bool open(const std::string& path, const Board& board, const std::vector<std::string>& pins, ns_t t0,
            std::string* error, ns_t timescale = kVcdTimescale);
  // High or low phases that rounding to the timescale made zero long (after finish()).
  uint64_t collapsed() const { return collapsed_; }
  void pin_changed(unsigned pin, ns_t t, int level) override;
  void settled() override;
  // Writes what is held and the end time; false, with the reason, when any write failed.
  bool finish(ns_t end, std::string* error);

 private:
  struct Held {
    ns_t t;
    uint32_t slot;
    int level;
  };
  void flush();
  void append(const std::string& text);
  ns_t units(ns_t t) const { return (t + scale_ / 2) / scale_; }
  std::FILE* f_ = nullptr;
  std::string path_;
  std::vector<int> slot_;  // pin index -> traced signal, -1 not traced
  std::vector<std::string> ids_;
  // Per traced signal and level: its change line ("0!\n"), made once.
  struct ChangeLine {
    std::array<char, 4> text;
    uint8_t len;
  };
  std::vector<ChangeLine> lines_;  // index 2 * signal + level
  std::vector<Held> held_;         // changes since the last settled()
  std::vector<char> out_;          // text not yet written: its first used_ bytes
  size_t used_ = 0;
  // The last time line's number in decimal, right-aligned in time_digits_:
  // the next one is that number plus a small step, made by adding the step
  // digit by digit instead of writing the whole number anew.
  char* put_time(char* p, ns_t t);
  std::array<char, 24> time_digits_{};
  size_t time_len_ = 0;
  ns_t time_value_ = 0;
  ns_t last_t_ = 0;  // in units of the timescale
  ns_t scale_ = 1;
  std::vector<ns_t> slot_t_;  // per traced signal: its last change, in units
  uint64_t collapsed_ = 0;
  std::string write_error_;
};
// Writes what `produce` puts into the stream to `f` (e.g. stdout) as it comes,
// and flushes it. False, with the system's reason, when any of it was lost: a
// report that could not be written whole is never taken for written.
bool write_stream(std::FILE* f, const std::function<void(std::ostream&)>& produce, std::string* reason);

// The run's report, JSON or text, streamed to `f` (see write_stream).
bool write_report(std::FILE* f, const RunResult& r, const ReportInfo& info, bool json, bool color,
                  std::string* reason);

// The words of the text report, one finding each, for whoever shows findings
// one by one (the live page of --serve): the halt after "Stopped: ", a rule
// finding after its indent (each kind of part words its own findings beside
// its outputs), unmodelled accesses and faults in all.
std::string halt_words(const Halt& h);
std::string finding_words(const Diagnostic& d, bool allowed);

// "SysTick", "EXTI0", "TIM7", ... for an exception number.
std::string exception_name(unsigned exc);

}  // namespace vboard
