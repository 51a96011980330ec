// The command line's scenario mode: every scenario file is loaded and checked
// first, then each runs on a fresh machine; the verdicts go to the output (and
// to a JUnit file), the run's report after them, and the timeline to an SVG.
#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "cli/board_choice.h"
#include "machine/history.h"
#include "outputs/report.h"
#include "vboard/machine.h"

namespace vboard {

struct ScenarioCli {
  std::vector<std::string> files;
  std::set<std::string> allow;  // kinds of rule finding that do not fail the run (--allow)
  std::string junit;            // "" : none
  std::string svg;              // "" : none; only with one scenario
  std::string png;              // the same picture as PNG
  std::string vcd;
  ns_t vcd_timescale = kVcdTimescale;
  std::vector<std::string> vcd_pins;
  bool json = false;
  bool color = false;
  // Chooses the board every scenario runs on once the files are loaded, from
  // their board: lines (cli/board_choice.h); nullopt with *error when none can be.
  std::function<std::optional<BoardChoice>(const std::vector<NamedBoard>&, std::string*)> choose;
  // --gdb-on-fail: each run keeps its history, and a scenario that fails stops
  // after the failing step and is handed here (a debugger session on it) once
  // its verdicts are out; its report is the scenario's up to that step.
  std::function<void(Machine&, History&)> on_fail;
};

// Runs the scenarios on `image` (loaded from image_path) with the machine options
// `base` (its run_for is ignored: the steps decide the length). Returns the exit
// status: 65 a file was rejected or no board could be chosen (nothing ran); otherwise those of a plain run
// (0, 1, 2, 3, 74) and 4 for a failed expectation, the first of them in
// exit_code::kPrecedence. Messages on `err` start with "vboard: ".
int run_scenarios(const Image& image, const std::string& image_path, const MachineOptions& base,
                  const ScenarioCli& cli, std::FILE* out, std::FILE* err);

// The title of a picture: the image's file name and what drove it.
std::string svg_title(const std::string& image_path, const std::string& what);
// The board in use as the reports name it.
BoardInUse board_in_use(const BoardChoice& choice);
// One line on `err` when rounding to the trace's timescale made phases vanish.
void note_collapsed(const VcdWriter& trace, const std::string& path, std::FILE* err);

}  // namespace vboard
