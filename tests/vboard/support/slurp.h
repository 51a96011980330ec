// A whole file as a string ("" when it cannot be read), for the tests that read
// back what vboard wrote.
#pragma once

#include <fstream>
#include <iterator>
#include <string>

namespace vboard::test {

inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace vboard::test
