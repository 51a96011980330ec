// Which board an image is built for, told by the board files alone: each says
// in `recognise:` which images are its own (world/board.h, Recognition). The
// files are those of one folder, found when vboard runs: a board file added
// there needs no rebuild.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "vboard/image.h"
#include "world/board.h"

namespace vboard {

// The board files of one folder, each board once by name.
struct BoardCatalogue {
  std::string dir;                       // where they were read; "" for the copy built into vboard
  std::vector<BoardDescription> boards;  // by name; each file as shown_dir() shows its folder
  const BoardDescription* find(const std::string& name) const;
  // "a, b, c": the boards' names ("none" when there are none).
  std::string names() const;
  // "DIR/" (as shown_dir() shows it), or "the board files built into vboard".
  std::string where() const;
};

// How reports show a folder of board files: the source tree's boards/ as
// "boards", the same in every checkout; any other as given.
std::string shown_dir(const std::string& dir);

// Every *.yaml of `dir`. Nullopt and *error (one line) when the folder cannot
// be read, a file is rejected, or two files name the same board.
std::optional<BoardCatalogue> load_catalogue(const std::string& dir, std::string* error);
// The board files of boards/ as they were at build time, built into vboard: the
// fallback of a vboard that finds no folder (one copied away from its tree).
const BoardCatalogue& builtin_catalogue();

// Where vboard finds the board files: `given` (--boards DIR) when not empty,
// else the environment's VBOARD_BOARDS, else the source tree's boards/ when it
// is there; "" for the built-in copy.
std::string boards_dir(const std::string& given);
// The catalogue of boards_dir(""), read once: what the library's users (tests,
// --figures) run on. When the folder or a file in it is rejected, that is said
// on standard error and the built-in copy stands in.
const BoardCatalogue& default_catalogue();

// A board that recognises an image, and how: "recognised: image name
// my_board_v2 (my_board_*), symbols my_handle and my_table".
struct Recognised {
  const BoardDescription* board;
  std::string why;
};
// The boards of `catalogue` that recognise `image` (by its path's file name and its symbols).
std::vector<Recognised> recognised_by(const BoardCatalogue& catalogue, const Image& image);

// The name of the one board of the default catalogue that recognises the
// image; "" when none does or more than one.
std::string board_of(const Image& img);

}  // namespace vboard
