// Boards told by their files (world/recognise.h): the folder of board files,
// the copy built into vboard, and which of the boards recognise an image.
#include "world/recognise.h"

#include <fnmatch.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "world/values.h"

namespace vboard {

namespace {

// The board files of boards/ at build time, {"boards/a.yaml", "text"} each
// (cmake/embed_boards.cmake).
struct BuiltinText {
  const char* file;
  const char* text;
};
constexpr BuiltinText kBuiltin[] = {
#include "builtin_boards.inc"
};

// Adds a board unless the catalogue has one of its name; false with *error then.
bool add_board(BoardCatalogue& c, BoardDescription d, std::string* error) {
  if (const BoardDescription* had = c.find(d.name)) {
    *error = values::printable(d.file) + ": board: " + values::quote(d.name) + " is the board of " +
             values::printable(had->file) + " too (one file per board)";
    return false;
  }
  const auto at = std::find_if(c.boards.begin(), c.boards.end(),
                               [&](const BoardDescription& b) { return b.name > d.name; });
  c.boards.insert(at, std::move(d));
  return true;
}

// "a, b and c"
std::string and_list(const std::vector<std::string>& v) {
  std::string s;
  for (size_t i = 0; i < v.size(); ++i) s += (i == 0 ? "" : i + 1 == v.size() ? " and " : ", ") + v[i];
  return s;
}

// Why `r` takes the image of stem `stem`, or nullopt when it does not.
std::optional<std::string> takes(const Recognition& r, const std::string& stem, const Image& image) {
  if (!r.given()) return std::nullopt;
  std::string why = "recognised:";
  if (!r.images.empty()) {
    const auto match = std::find_if(r.images.begin(), r.images.end(), [&](const std::string& glob) {
      return fnmatch(glob.c_str(), stem.c_str(), FNM_PERIOD) == 0;
    });
    if (match == r.images.end()) return std::nullopt;
    why += " image name " + stem + (*match == stem ? "" : " (" + *match + ")");
  }
  for (const std::string& s : r.symbols)
    if (!image.find(s)) return std::nullopt;
  if (!r.symbols.empty()) why += std::string(r.images.empty() ? "" : ",") + " symbols " + and_list(r.symbols);
  return why;
}

}  // namespace

std::string shown_dir(const std::string& dir) { return dir == VBOARD_SOURCE_BOARDS ? "boards" : dir; }

const BoardDescription* BoardCatalogue::find(const std::string& name) const {
  const auto it =
      std::find_if(boards.begin(), boards.end(), [&](const BoardDescription& d) { return d.name == name; });
  return it == boards.end() ? nullptr : &*it;
}

std::string BoardCatalogue::names() const {
  std::string s;
  for (const BoardDescription& d : boards) s += (s.empty() ? "" : ", ") + d.name;
  return s.empty() ? "none" : s;
}

std::string BoardCatalogue::where() const {
  return dir.empty() ? "the board files built into vboard" : values::printable(shown_dir(dir)) + "/";
}

std::optional<BoardCatalogue> load_catalogue(const std::string& dir, std::string* error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  std::vector<fs::path> files;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    if (it->path().extension() == ".yaml") files.push_back(it->path());
  if (ec) {
    *error = values::printable(dir) + ": cannot read the folder of board files: " + ec.message();
    return std::nullopt;
  }
  std::sort(files.begin(), files.end());
  BoardCatalogue c{dir, {}};
  for (const fs::path& f : files) {
    auto d = load_board(f.string(), error);
    if (d) d->file = shown_dir(dir) + "/" + f.filename().string();
    if (!d || !add_board(c, std::move(*d), error)) return std::nullopt;
  }
  return c;
}

const BoardCatalogue& builtin_catalogue() {
  static const BoardCatalogue c = [] {
    BoardCatalogue out;
    for (const BuiltinText& b : kBuiltin) {
      std::string error;
      auto d = parse_board(b.text, b.file, &error);
      if (d) d->file += " (built into vboard)";
      if (!d || !add_board(out, std::move(*d), &error))
        std::fprintf(stderr, "vboard: the built-in board %s\n", error.c_str());
    }
    return out;
  }();
  return c;
}

std::string boards_dir(const std::string& given) {
  if (!given.empty()) return given;
  if (const char* env = std::getenv("VBOARD_BOARDS"); env && *env) return env;
  std::error_code ec;
  return std::filesystem::is_directory(VBOARD_SOURCE_BOARDS, ec) ? VBOARD_SOURCE_BOARDS : "";
}

const BoardCatalogue& default_catalogue() {
  static const BoardCatalogue c = [] {
    const std::string dir = boards_dir("");
    if (dir.empty()) return builtin_catalogue();
    std::string error;
    if (auto read = load_catalogue(dir, &error)) return std::move(*read);
    std::fprintf(stderr, "vboard: %s\n", error.c_str());
    return builtin_catalogue();
  }();
  return c;
}

std::vector<Recognised> recognised_by(const BoardCatalogue& catalogue, const Image& image) {
  const std::string stem = std::filesystem::path(image.path()).stem().string();
  std::vector<Recognised> out;
  for (const BoardDescription& d : catalogue.boards)
    if (auto why = takes(d.recognise, stem, image)) out.push_back({&d, *why});
  return out;
}

std::string board_of(const Image& img) {
  const auto found = recognised_by(default_catalogue(), img);
  return found.size() == 1 ? found.front().board->name : "";
}

const BoardDescription* builtin_board(const std::string& name) { return default_catalogue().find(name); }

const BoardDescription& chip_alone() {
  static const BoardDescription alone{"", "the chip alone", {}, {}, {}};
  return alone;
}

const BoardDescription& default_board(const Image& image) {
  const auto found = recognised_by(default_catalogue(), image);
  return found.size() == 1 ? *found.front().board : chip_alone();
}

}  // namespace vboard
