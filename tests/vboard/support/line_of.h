// One line of a command's multi-line answer, found by the name it starts with,
// for the tests that read what `monitor regs` and the register view print.
#pragma once

#include <regex>
#include <sstream>
#include <string>

namespace vboard::test {

// The line of `out` for `name` (a field, or a register's own first line), its
// runs of spaces made one; a line saying what was missing when none is.
inline std::string line_of(const std::string& out, const std::string& name) {
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    line = std::regex_replace(line, std::regex(" +"), " ");
    if (line.rfind(" " + name + " ", 0) == 0 || line.rfind(name + " ", 0) == 0)
      return line.substr(line.find_first_not_of(' '));
  }
  return "(no line for " + name + " in:\n" + out + ")";
}

}  // namespace vboard::test
