// Line and function coverage of an image's run as an lcov tracefile, from the
// block counts the machine keeps anyway (no instrumentation of the image, no
// per-instruction hook) and the image's DWARF line table (elfutils libdw).
//
// A line counts as run as often as the most-run instruction at an address the
// line table gives to it; a line-table row reaches to the next higher address
// in its sequence, so a row that shares its address with the next one (a
// statement that begins where another does) counts with the instruction there.
// A block counts as run whole (a fault in its middle is not split out), and a
// conditional instruction that was skipped counts as run: what the image's -Os
// and link-time optimised code and its DWARF say, not what a source-level
// tool would see.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vboard {

class Image;
struct BlockRun;

namespace coverage {

// Where coverage goes: `vboard --coverage FILE` collects every run of the
// invocation into FILE (written by finish); with VBOARD_COVERAGE_DIR set in
// the environment each Machine writes its own tracefile into that folder when
// it ends ("<image>-<pid>-<n>.info"). Every program that links this layer
// hears of each Machine's end (Machine::observe_ends): coverage.cpp attaches
// machine_ended as it is loaded, whether the program calls into it or not.
inline constexpr const char* kDirVariable = "VBOARD_COVERAGE_DIR";

// Starts collecting for FILE; false (and *error) when FILE cannot be created,
// so that a bad path costs no run time.
bool collect_to(const std::string& path, std::string* error);

// A Machine's end (its end observer): records its runs when collecting, and writes a tracefile
// into VBOARD_COVERAGE_DIR when that is set (a failure there is reported on
// standard error as one "vboard: ..." line).
void machine_ended(const Image& image, const std::vector<BlockRun>& runs);

// Writes what was collected (a no-op returning true when not collecting).
bool finish(std::string* error);

// The tracefile text for one image from its block runs; false (and *error)
// when the image file has no readable DWARF line table.
bool lcov_text(const Image& image, const std::vector<BlockRun>& runs, std::string* out, std::string* error);

}  // namespace coverage
}  // namespace vboard
