// Which board a run is on, in one order: --board (a board file, or the name of
// a board the board files know), else the scenarios' board:, else the board
// file that recognises the image, else the chip alone. The board files are
// those of --boards DIR, else of VBOARD_BOARDS, else of the source tree's
// boards/, else the copy built into vboard (world/recognise.h).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "vboard/image.h"
#include "world/board.h"

namespace vboard {

// A scenario's board: line.
struct NamedBoard {
  std::string name;
  std::string file;  // the scenario file
  unsigned line = 0;
};

// What asks for a board: the options and the scenarios' board: lines.
struct BoardAsked {
  std::string board;                  // --board: a file or a board's name; "" : not given
  std::string boards;                 // --boards DIR; "" : not given
  std::vector<NamedBoard> scenarios;  // each scenario's board: that names one
};

// The board in use and why, in one line: "named by --board", "recognised:
// image name test_strip8", ...
struct BoardChoice {
  BoardDescription board;
  std::string why;
};

// The board `image` runs on. Nullopt and *error (one line, refused before
// anything runs: exit_code::kBadBoard) when --board names no file and no board,
// a board: names no board, a board: disagrees with the board in use or with
// the board that recognises the image, or two board files recognise the image.
std::optional<BoardChoice> choose_board(const BoardAsked& asked, const Image& image, std::string* error);

}  // namespace vboard
