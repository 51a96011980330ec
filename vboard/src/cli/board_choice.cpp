// The board a run is on (cli/board_choice.h): each rung of the order in a
// function of its own, then the scenarios' board: lines held against the choice.
#include "cli/board_choice.h"

#include <algorithm>
#include <filesystem>

#include "world/recognise.h"
#include "world/values.h"

namespace vboard {

namespace {

using values::printable;
using values::quote;

// The board files of --boards, VBOARD_BOARDS or the tree; the built-in copy when none is found.
std::optional<BoardCatalogue> catalogue(const BoardAsked& asked, std::string* error) {
  const std::string dir = boards_dir(asked.boards);
  if (dir.empty()) return builtin_catalogue();
  return load_catalogue(dir, error);
}

// "a front_lamp image", "an image of front_lamp and rear_lamp"
std::string image_of(const std::vector<Recognised>& found) {
  if (found.size() == 1) return "a " + found.front().board->name + " image (" + found.front().why + ")";
  std::string names;
  for (size_t i = 0; i < found.size(); ++i)
    names += (i == 0 ? "" : i + 1 == found.size() ? " and " : ", ") + found[i].board->name;
  return "an image of " + names;
}

// --board: a file when there is one of that name (not a folder: build trees
// hold folders named after boards) or the value cannot be a board's name,
// else the board of that name.
std::optional<BoardChoice> by_option(const BoardAsked& asked, std::string* error) {
  std::error_code ec;
  const bool file =
      std::filesystem::exists(asked.board, ec) && !std::filesystem::is_directory(asked.board, ec);
  if (file || !board_name(asked.board)) {
    auto d = load_board(asked.board, error);
    if (!d) return std::nullopt;
    return BoardChoice{std::move(*d), "named by --board"};
  }
  const auto c = catalogue(asked, error);
  if (!c) return std::nullopt;
  if (const BoardDescription* d = c->find(asked.board)) return BoardChoice{*d, "named by --board"};
  *error = "vboard: --board: " + quote(asked.board) + " is no board file and no board of " + c->where() +
           " (" + c->names() + ")";
  return std::nullopt;
}

// The first scenario's board:, which must be a board of the files and, when
// a board file recognises the image, that board.
std::optional<BoardChoice> by_scenario(const BoardAsked& asked, const Image& image, std::string* error) {
  const NamedBoard& n = asked.scenarios.front();
  const std::string at = printable(n.file) + ":" + std::to_string(n.line) + ": board: ";
  const auto c = catalogue(asked, error);
  if (!c) return std::nullopt;
  const BoardDescription* d = c->find(n.name);
  if (!d) {
    *error = at + quote(n.name) + " is not a board of " + c->where() + " (" + c->names() + ")";
    return std::nullopt;
  }
  const auto found = recognised_by(*c, image);
  const bool agrees = found.empty() || std::any_of(found.begin(), found.end(), [&](const Recognised& k) {
                        return k.board->name == n.name;
                      });
  if (!agrees) {
    *error =
        at + "the scenario is for " + n.name + ", but " + printable(image.path()) + " is " + image_of(found);
    return std::nullopt;
  }
  return BoardChoice{*d, "named by board: in " + printable(n.file) + ":" + std::to_string(n.line)};
}

// The one board file that recognises the image, else the chip alone.
std::optional<BoardChoice> by_image(const BoardAsked& asked, const Image& image, std::string* error) {
  const auto c = catalogue(asked, error);
  if (!c) return std::nullopt;
  const auto found = recognised_by(*c, image);
  if (found.size() == 1) return BoardChoice{*found.front().board, found.front().why};
  if (found.empty())
    return BoardChoice{chip_alone(), "no board file of " + c->where() + " recognises the image"};
  std::string all;
  for (const Recognised& k : found)
    all += (all.empty() ? "" : "; ") + printable(k.board->file) + ", " + k.why;
  *error = "vboard: " + printable(image.path()) + ": " + std::to_string(found.size()) +
           " board files recognise the image (" + all + "): name one with --board";
  return std::nullopt;
}

}  // namespace

std::optional<BoardChoice> choose_board(const BoardAsked& asked, const Image& image, std::string* error) {
  std::optional<BoardChoice> chosen = !asked.board.empty()       ? by_option(asked, error)
                                      : !asked.scenarios.empty() ? by_scenario(asked, image, error)
                                                                 : by_image(asked, image, error);
  if (!chosen) return std::nullopt;
  for (const NamedBoard& n : asked.scenarios)
    if (n.name != chosen->board.name) {
      *error = printable(n.file) + ":" + std::to_string(n.line) + ": board: the scenario is for " + n.name +
               ", but the board in use is " + chosen->board.name + " (" + chosen->why + ")";
      return std::nullopt;
    }
  return chosen;
}

}  // namespace vboard
