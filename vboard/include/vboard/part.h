// The parts of a board that watch what the chip does with their pins (decode
// a data line, judge its timing). Each has the name, kind, pin and role
// the board description gives it; while a run goes on it answers scenario steps
// and the debugger (PartView), and at the end it leaves a record of what it saw
// in the run result (PartRecord). Nothing here knows a particular kind: the
// kinds live in the world layer, and the outputs find the writers for a record
// by its kind.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "vboard/device.h"

namespace vboard {

// The JSON report's own members. A part's record is the member named after the
// part beside them, so no part takes one of these names (board files refuse them).
inline constexpr std::string_view kReportMembers[] = {
    "image",          "image_notes",    "virtual_ns", "instructions", "cycles_per_instruction",
    "idle_ns",        "wall_s",         "ok",         "ended",        "ended_early",
    "pins",           "pins_truncated", "pin_state",  "halt",         "registers",
    "diagnostics",    "unmodelled",     "faults",     "notes",        "exceptions",
    "first_write_ns", "margins",        "lists"};

// Who a part is on its board, as the board description says.
struct PartIdentity {
  std::string name;  // unique on the board
  std::string kind;  // as the board file writes it
  std::string pin;
  std::string role;  // shown beside the pin; "" when it has none
};

// What one part saw over a run. Each kind of part derives its own record.
struct PartRecord {
  PartRecord() = default;
  explicit PartRecord(PartIdentity who) : id(std::move(who)) {}
  PartRecord(const PartRecord&) = default;
  PartRecord(PartRecord&&) = default;
  PartRecord& operator=(const PartRecord&) = default;
  PartRecord& operator=(PartRecord&&) = default;
  virtual ~PartRecord() = default;
  PartIdentity id;
};

// Violations of one kind that a part counted so far, exact however long the run.
struct PartViolations {
  std::string group;      // what an expect-no-violations step names to look at them
  std::string kind;       // the kind within the group
  uint64_t total = 0;     // how many so far
  ns_t last = 0;          // when the last one happened
  std::string last_what;  // the last one in words
};

// A part as it is while a run goes on.
class PartView {
 public:
  virtual ~PartView() = default;
  virtual const PartIdentity& identity() const = 0;
  // Every kind of violation seen so far, with its exact count.
  virtual std::vector<PartViolations> violations() const { return {}; }
  // What it saw so far, for the run result.
  virtual std::shared_ptr<const PartRecord> record() const = 0;
  // Its state now in a line or two, for the debugger's monitor command.
  virtual std::string describe() const = 0;
};

}  // namespace vboard
