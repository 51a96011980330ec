// The VCD's time lines: TimeLines keeps the digits above the last four as
// text, so every way a step can leave them is checked against the plain
// decimal text of the value.
#include "outputs/vcd.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vboard {
namespace {

std::string line(TimeLines& lines, uint64_t v) {
  std::string buf(64, '?');
  char* end = lines.put(buf.data(), v);
  return buf.substr(0, static_cast<size_t>(end - buf.data()));
}

TEST(TimeLines, EveryLineIsTheValueInDecimal) {
  const struct {
    const char* what;
    std::vector<uint64_t> values;
  } cases[] = {
      {"from 0 up through the first digits", {0, 7, 9, 10, 99, 100, 999, 1000, 9999, 10000}},
      {"small steps within the last four digits", {123456, 123457, 123499, 123500, 125999}},
      {"a step into the next ten thousand", {129990, 130005, 139999, 140001}},
      {"steps through nines", {199999, 200000, 9999990, 10000010, 99999999, 100000000}},
      {"steps that need a digit more", {99995, 100003, 999999999, 1000000002}},
      {"steps too big to carry, and going back", {5, 123456789, 123456788, 12, 18446744073709551615u, 0}},
      {"a trace's strip edges (29 and 96 units apart)",
       {36384375, 36384404, 36384500, 36384528, 36384624, 36389999, 36390028, 36390124}},
  };
  for (const auto& c : cases) {
    TimeLines lines;
    for (uint64_t v : c.values) EXPECT_EQ(line(lines, v), "#" + std::to_string(v) + "\n") << c.what;
  }
}

}  // namespace
}  // namespace vboard
