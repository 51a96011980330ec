// How the outputs show a WS2815 strip's record: the JSON member and the text
// section (strip_report.cpp), its frames as rows of LEDs and its timing
// findings as lanes in the picture (strip_svg.cpp).
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "outputs/part_outputs.h"
#include "world/strip.h"

namespace vboard {

class StripOutputs final : public PartOutputs {
 public:
  std::string kind() const override { return kStripKind; }
  void json(std::ostream& o, const PartRecord& r) const override;
  std::vector<ListCount> lists(const PartRecord& r) const override;
  void text(std::ostream& o, const PartRecord& r, bool color) const override;
  bool has_rows(const PartRecord& r) const override;
  std::vector<std::string> row_labels(const Canvas& c, const PartRecord& r) const override;
  double rows(Canvas& c, const PartRecord& r, double top) const override;
  std::vector<FindingLane> lanes(const PartRecord& r) const override;
  std::vector<std::string> lane_labels() const override;
  std::string kept_detail() const override { return "the first runs of strip frames"; }
};

// A record of the strip's kind as the strip's report.
const StripReport& strip_of(const PartRecord& r);
// " NAME" for a strip named other than "strip", to tell several apart; else "".
std::string own_name(const StripReport& s);
// The value of the JSON member of a strip (the frame list can be tens of megabytes).
void write_strip_json(std::ostream& o, const StripReport& s);
// The "Strip:" section of the text report; color: the LEDs as coloured blocks.
void strip_text(std::ostream& o, const StripReport& s, bool color);
// A kind of timing violation in the text report's words, with its last
// occurrence as the example (for views that show findings one by one).
std::string strip_kind_words(const StripViolationKind& k);

}  // namespace vboard
