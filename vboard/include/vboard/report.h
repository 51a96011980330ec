// Reports of a run: one JSON document for scripts, a VCD trace for waveform
// viewers, and a text summary for people.
#pragma once

#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "vboard/machine.h"

namespace vboard {

struct ReportInfo {
  std::string image;                     // path of the ELF
  std::vector<std::string> image_notes;  // what the loader could not find (e.g. no symbol table)
  std::set<std::string> allowed;         // diagnostic kinds the user allowed (--allow)
  size_t max_changes_per_pin = 200000;   // JSON: longer histories are cut (and said so)
};

std::string to_json(const RunResult& r, const ReportInfo& info);
std::string to_text(const RunResult& r, const ReportInfo& info, bool color);
// pins empty: every pin with a history. The caller checks the stream.
void write_vcd(const RunResult& r, std::ostream& out, const std::vector<std::string>& pins);
// The same into a file; false with *error when it cannot be written whole.
bool write_vcd(const RunResult& r, const std::string& path, const std::vector<std::string>& pins,
               std::string* error);
// "SysTick", "EXTI0", "TIM7", ... for an exception number.
std::string exception_name(unsigned exc);

}  // namespace vboard
