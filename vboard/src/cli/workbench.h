// The command line's scenario mode: every scenario file is loaded and checked
// first, then each runs on a fresh machine; the verdicts go to the output (and
// to a JUnit file), the run's report after them, and the timeline to an SVG.
#pragma once

#include <cstdio>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "vboard/machine.h"
#include "outputs/report.h"

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
  BoardFactory board;       // the board every scenario runs on
  unsigned strip_leds = 0;  // its strip's length (0: no strip): expect-strip's LEDs are checked against it
};

// Runs the scenarios on `image` (loaded from image_path) with the machine options
// `base` (its run_for is ignored: the steps decide the length). Returns the exit
// status: 65 a file was rejected (nothing ran); otherwise those of a plain run
// (0, 1, 2, 3, 74) and 4 for a failed expectation, the first of them in
// exit_code::kPrecedence. Messages on `err` start with "vboard: ".
int run_scenarios(const Image& image, const std::string& image_path, const MachineOptions& base,
                  const ScenarioCli& cli, std::FILE* out, std::FILE* err);

// The title of a picture: the image's file name and what drove it.
std::string svg_title(const std::string& image_path, const std::string& what);
// One line on `err` when rounding to the trace's timescale made phases vanish.
void note_collapsed(const VcdWriter& trace, const std::string& path, std::FILE* err);

}  // namespace vboard
