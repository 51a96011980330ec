// A picture of one run as an SVG timeline: each pin as a waveform, the strip's
// data line as its decoded frames (one coloured band per LED position over
// time), halts, diagnostics and scenario verdicts marked on the time axis. One
// pixel column covers t_end / width of virtual time; a pin that changes inside a
// column is drawn as a filled block there, so a 10 s run stays as readable as a
// 1 ms one.
#pragma once

#include <string>
#include <vector>

#include "vboard/machine.h"

namespace vboard {

struct SvgMark {
  ns_t t = 0;
  std::string label;
  bool failure = false;  // drawn in red (a failed expectation)
};

struct SvgOptions {
  std::string title;                // shown at the top, e.g. the image and scenario
  std::vector<std::string> pins;    // rows in this order; empty: every pin with a history
  std::string strip_pin = "PA7";    // drawn as decoded frames, not as edges
  std::vector<SvgMark> marks;       // e.g. scenario steps that failed
  unsigned width = 1200;            // pixels
  size_t max_marks_per_kind = 200;  // beyond this, the legend says how many were left out
};

std::string to_svg(const RunResult& r, const SvgOptions& o);
bool write_svg(const RunResult& r, const SvgOptions& o, const std::string& path, std::string* error);

// Text for XML attributes and content (also used by the JUnit writer).
std::string xml_escape(const std::string& s);
// Writes a whole file; false with "PATH: cannot write the WHAT" when any part fails.
bool write_text_file(const std::string& path, const std::string& text, const std::string& what,
                     std::string* error);

}  // namespace vboard
