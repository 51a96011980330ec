// The margins of a run (RunResult::margins) in the reports: the "margins"
// object of the JSON document and the "Margins" section of the text report.
#pragma once

#include <nlohmann/json.hpp>
#include <ostream>

#include "vboard/run_result.h"

namespace vboard {

nlohmann::ordered_json margins_json(const RunResult& r);
void text_margins(std::ostream& o, const RunResult& r);
// "thread" for context 0, else the exception's name.
std::string context_name(unsigned ctx);

}  // namespace vboard
