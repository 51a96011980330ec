// Parsing of the command line's scenario options, shared with the figures command.
#pragma once

#include <optional>
#include <string>

#include "vboard/device.h"

namespace vboard {

// "PA0=1500us@20ms[,period=20ms][,stop=200ms][,jitter=5us]"
std::optional<PulseSpec> parse_pulse(const std::string& text, std::string* error);
// "PB5=0@10ms[,bounce=5x200us]", "PB5=z@10ms"
std::optional<LevelSpec> parse_level(const std::string& text, std::string* error);

int run_figures(const std::string& front_elf, const std::string& rear_elf);

}  // namespace vboard
