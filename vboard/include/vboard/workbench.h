// The command line's scenario mode: every scenario file is loaded and checked
// first, then each runs on a fresh machine; the verdicts go to the output (and
// to a JUnit file), the run's report after them, and the timeline to an SVG.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "vboard/machine.h"

namespace vboard {

// Exit statuses of `vboard IMAGE --scenario FILE`, besides those of a plain run.
inline constexpr int kExitExpectationFailed = 4;
inline constexpr int kExitBadScenario = 65;

struct ScenarioCli {
  std::vector<std::string> files;
  std::string junit;  // "" : none
  std::string svg;    // "" : none; only with one scenario
  std::string vcd;
  std::vector<std::string> vcd_pins;
  bool json = false;
  bool color = false;
};

// Runs the scenarios on `image` (loaded from image_path) with the machine options
// `base` (its run_for is ignored: the steps decide the length). Returns the exit
// status: 65 a file was rejected (nothing ran), 4 an expectation failed, else
// those of a plain run (1 unmodelled access or fault, 2 halt, 0 all well).
int run_scenarios(const Image& image, const std::string& image_path, const MachineOptions& base,
                  const ScenarioCli& cli, std::ostream& out, std::ostream& err);

// The title of a picture: the image's file name and what drove it.
std::string svg_title(const std::string& image_path, const std::string& what);

}  // namespace vboard
