// A picture of one run as an SVG timeline: each pin the board gives a role as a
// waveform labelled with that role, under a pin that carries pulses a lane
// with each pulse's width from its exact edges, the board's parts that leave a
// record in rows of their own in place of their pins (src/part_outputs.h), and
// below them a lane per kind of finding (the parts' own, unmodelled accesses,
// scenario steps) with a mark where each happened; halts as a red line. One pixel column covers
// t_end / width of virtual time; a pin that changes inside a column is drawn
// as a filled block there, so a 10 s run stays as readable as a 1 ms one.
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
  std::string title;              // shown at the top, e.g. the image and scenario
  std::string board;              // under it: the board in use and why ("" : no such line)
  std::vector<std::string> pins;  // rows in this order; empty: every pin with a history
  std::vector<SvgMark> marks;     // e.g. scenario steps that failed
  unsigned width = 1200;          // pixels
};

std::string to_svg(const RunResult& r, const SvgOptions& o);
bool write_svg(const RunResult& r, const SvgOptions& o, const std::string& path, std::string* error);
// The same picture as a PNG of the same size in pixels, drawn by librsvg and
// cairo; false with "cannot write the PNG picture PATH: REASON" when any step fails.
bool write_png(const RunResult& r, const SvgOptions& o, const std::string& path, std::string* error);
bool svg_to_png(const std::string& svg, const std::string& path, std::string* error);

// Width in pixels of `s` in the picture's sans-serif at `font_size`, at or
// above what a renderer draws (labels and margins are laid out from it).
double text_width(const std::string& s, double font_size);

// Text for XML attributes and content (also used by the JUnit writer).
std::string xml_escape(const std::string& s);
// Writes a whole file; false with "PATH: cannot write the WHAT" when any part fails.
bool write_text_file(const std::string& path, const std::string& text, const std::string& what,
                     std::string* error);

}  // namespace vboard
