// Reports of a run: one JSON document for scripts, a VCD trace for waveform
// viewers, and a text summary for people.
#pragma once

#include <string>
#include <vector>

#include "vboard/machine.h"

namespace vboard {

struct ReportInfo {
  std::string image;                    // path of the ELF
  size_t max_changes_per_pin = 200000;  // JSON: longer histories are cut (and said so)
};

std::string to_json(const RunResult& r, const ReportInfo& info);
std::string to_text(const RunResult& r, const ReportInfo& info, bool color);
// pins empty: every pin with a history.
bool write_vcd(const RunResult& r, const std::string& path, const std::vector<std::string>& pins,
               std::string* error);
// A JSON string literal (quoted, escaped).
std::string json_string(const std::string& s);
// "SysTick", "EXTI0", "TIM7", ... for an exception number.
std::string exception_name(unsigned exc);

}  // namespace vboard
