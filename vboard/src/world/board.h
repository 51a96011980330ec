// A board as a description file: what is soldered to which pin of the chip
// (a WS2815 strip, light outputs, switches, a pulse input, lines left unused),
// with each part's role and properties. vboard builds the world around the chip
// from it; the format is in docs/board-files.md, the lamp boards' files in boards/.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "vboard/image.h"
#include "vboard/device.h"
#include "world/strip.h"

namespace vboard {

// One part of a board: what every kind has (name, role, pins, the line it
// starts at in its file) once, and in `kind` the kind with the settings only
// that kind has.
struct BoardPart {
  // A WS2815 strip on a data pin.
  struct Strip {
    unsigned leds = 0;
    std::string driver;  // the timer whose channel drives the data line ("TIM17")
    StripTiming timing;
  };
  // A light output: the level that means on.
  struct Output {
    int active = 1;
  };
  // A switch: the colour it switches on, where its pull is and which level is closed.
  struct Switch {
    std::string color;
    std::string pull;  // up, down, none
    int closed = 0;
  };
  // A line that reads pulses from outside.
  struct PulseInput {
    std::string pull;  // "" when the file gives none
  };
  // Lines left unconnected.
  struct Unused {
    std::string pull;  // "" when the file gives none
  };

  std::string name;               // "left light"; unused lines: "unused"
  std::string role;               // shown beside the pin in reports; "" for unused lines
  std::vector<std::string> pins;  // one pin, or the unused lines
  unsigned line = 0;              // where the part starts in its file
  std::variant<Unused, Strip, Output, Switch, PulseInput> kind;

  template <class K>
  bool is() const {
    return std::holds_alternative<K>(kind);
  }
};

// How a board file knows the images built for its board (its `recognise:`):
// an image is the board's when the stem of its file name (the name without its
// last extension) matches one of `images` (names, or globs with * and ?) and it
// defines every one of `symbols`. A list not given asks nothing; a board with
// neither list is never recognised, only named (--board, a scenario's board:).
struct Recognition {
  std::vector<std::string> images;
  std::vector<std::string> symbols;
  bool given() const { return !images.empty() || !symbols.empty(); }
};

// A response time the board promises (`margins: promises:`): from an edge of
// one of the `from` pins to the moment every `to` pin has switched, or, with
// `to` empty, to the strip latching a whole frame of one new colour.
struct BoardPromise {
  std::string name;
  std::vector<std::string> from;
  std::string edge;  // "falling", "rising" or "any"
  std::vector<std::string> to;
  unsigned line = 0;
};

// What the margins of a run read from the board file (`margins:`).
struct BoardMargins {
  std::string heap_break;  // the firmware's variable holding its heap's end ("" : none)
  std::vector<BoardPromise> promises;
};

struct BoardDescription {
  std::string file;  // as given (messages name it); "" for the chip alone
  std::string name;  // letters, digits, '_' and '-': a folder name under scenarios/, a value of --board
  std::vector<BoardPart> parts;
  Recognition recognise;
  BoardMargins margins;
  // The strip part, or nullptr on a board without one.
  const BoardPart* strip() const;
};

// Reads a board file (at most limits::kMaxScenarioBytes). On failure nullopt and
// *error is one line, "FILE:LINE: what" (or "FILE: what" for the file as a whole).
std::optional<BoardDescription> load_board(const std::string& path, std::string* error);
// The same from text; `file` names it in messages.
std::optional<BoardDescription> parse_board(std::string_view text, const std::string& file,
                                            std::string* error);

// True for a name a board may have: 1..64 letters, digits, '_' and '-'.
bool board_name(const std::string& name);

// The board of that name among the board files vboard finds by default
// (world/recognise.h, default_catalogue()); nullptr for another name.
const BoardDescription* builtin_board(const std::string& name);
// The board an image runs on when nothing names one: the one board file of
// the default catalogue that recognises it, else the chip alone (a board
// without parts). The command line chooses in its own order (cli/board_choice.h).
const BoardDescription& default_board(const Image& image);
// The chip alone: no parts, no file.
const BoardDescription& chip_alone();

// Builds the board a description names for a Machine (the description is copied).
BoardFactory board_factory(const BoardDescription& board);

}  // namespace vboard
