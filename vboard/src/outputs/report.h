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

#include "outputs/vcd.h"
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
