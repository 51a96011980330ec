// How the outputs show what a part of the board saw (vboard/part.h). Every kind
// of part that leaves a record in the run result has one PartOutputs, listed in
// part_kinds.cpp: the JSON report, the text report and the picture ask it for
// the record's member, section, rows and lanes without knowing the kind.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "vboard/part.h"

namespace vboard {

// The picture as a part draws its rows into it (svg.cpp): pixel columns from
// left() on, one per stretch of virtual time.
class Canvas {
 public:
  virtual ~Canvas() = default;
  virtual double left() const = 0;  // x of time 0
  virtual unsigned cols() const = 0;
  virtual ns_t col_end(unsigned c) const = 0;  // the first time past column c
  virtual double x(ns_t t) const = 0;
  // The role the board gives `pin`; "" when it has none.
  virtual std::string role_of(const std::string& pin) const = 0;
  virtual std::ostream& body() = 0;  // SVG elements in drawing order
  // Text right-aligned in the left margin.
  virtual void label(double y, const std::string& text, const char* fill = nullptr, double size = 11) = 0;
  // A span whose detail was not kept: hatched, with what was dropped in words.
  virtual void unkept(double x0, double x1, double top, double height, const std::string& what) = 0;
  virtual void legend(const std::string& line) = 0;  // a line under the picture
};

// A coordinate as the picture writes it: "12.5".
std::string svg_num(double v);

// One lane of findings under the rows: a mark where each listed one happened.
struct FindingLane {
  struct Item {
    ns_t t;
    std::string text;
  };
  // Findings of one kind counted beyond the listed ones: a dashed line on to the last.
  struct Beyond {
    ns_t from, to;
    uint64_t more;
  };
  std::string name;
  const char* color;  // "#84c", "#e80", ... (the legend names it)
  std::vector<Item> items;
  std::string legend;
  std::vector<Beyond> beyond;
};

// A list the JSON report caps: how much of it was kept of how much in all.
struct ListCount {
  std::string name;  // under the part's name in the "lists" note ("frames")
  uint64_t kept, total;
};

class PartOutputs {
 public:
  virtual ~PartOutputs() = default;
  virtual std::string kind() const = 0;  // the records it shows
  // The value of the JSON member named after the part, written as it is produced.
  virtual void json(std::ostream& o, const PartRecord& r) const = 0;
  virtual std::vector<ListCount> lists(const PartRecord& r) const = 0;
  // Its section of the text report; color: coloured blocks where it shows colours.
  virtual void text(std::ostream& o, const PartRecord& r, bool color) const = 0;

  // The picture. Its rows replace its pin's waveform; they are drawn when its
  // pin is among the picture's rows or when has_rows says there is something to see.
  virtual bool has_rows(const PartRecord& r) const = 0;
  virtual std::vector<std::string> row_labels(const Canvas& c, const PartRecord& r) const = 0;
  // Draws the rows from `top`; returns the top of what comes next.
  virtual double rows(Canvas& c, const PartRecord& r, double top) const = 0;
  // Its lanes of findings, drawn before the run's own; lane_labels() are the
  // names any record of the kind may give them (every picture's margin holds
  // them, so that pictures of different boards line up).
  virtual std::vector<FindingLane> lanes(const PartRecord& r) const = 0;
  virtual std::vector<std::string> lane_labels() const = 0;
  // What its rows keep of a long run, for the legend of hatched spans.
  virtual std::string kept_detail() const = 0;
};

// Every kind the outputs know, and the one for `kind` (nullptr: none).
const std::vector<const PartOutputs*>& part_outputs();
const PartOutputs* part_outputs(const std::string& kind);

}  // namespace vboard
