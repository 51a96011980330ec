// The live page's analyser without a board: what a window of the kept past
// says (the level at its start, its edges, how much was left out), what a
// rewind keeps, and the VCD file of a window.
#include <gtest/gtest.h>

#include "serve/analyser.h"

namespace vboard::test {
namespace {

using serve::KeptTrace;

KeptTrace pulses() {
  KeptTrace k;
  k.keep({3}, 100, {0, 0, 0, 0});
  for (ns_t t = 1000; t <= 5000; t += 1000) {  // a 300 ns pulse each microsecond
    k.edge(3, t, 1);
    k.edge(3, t + 300, 0);
  }
  return k;
}

TEST(Analyser, AWindowHasTheLevelAtItsStartAndTheEdgesInsideIt) {
  const KeptTrace k = pulses();
  struct Case {
    ns_t from, to;
    size_t most;
    int level;
    std::vector<std::pair<ns_t, int>> edges;
    bool more;
  };
  const Case cases[] = {
      {0, 900, 10, 0, {}, false},               // before the first edge: the level kept from the start
      {1000, 1300, 10, 1, {{1300, 0}}, false},  // an edge at the start gives the level, not an edge
      {1100, 2200, 10, 1, {{1300, 0}, {2000, 1}}, false},        // inside a pulse
      {0, 9000, 3, 0, {{1000, 1}, {1300, 0}, {2000, 1}}, true},  // past `most`: said so
  };
  for (const Case& c : cases) {
    const KeptTrace::Window w = k.window(3, c.from, c.to, c.most);
    EXPECT_EQ(w.level, c.level) << c.from;
    EXPECT_EQ(w.edges, c.edges) << c.from;
    EXPECT_EQ(w.more, c.more) << c.from;
    EXPECT_EQ(w.kept_from, 100u);
  }
  EXPECT_FALSE(k.kept(2));
}

TEST(Analyser, ACutForgetsTheEdgesAndFramesAfterIt) {
  KeptTrace k = pulses();
  k.frame(3, 2500, 2, {{255, 0, 0}});
  k.frame(3, 4500, 2, {{0, 255, 0}});
  k.cut(3100);
  EXPECT_EQ(k.window(3, 0, 9000, 100).edges.back(), (std::pair<ns_t, int>{3000, 1}));
  const auto frames = k.frames(0, 9000, 10);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].start, 1000u);  // its first edge after the last latch
  EXPECT_EQ(frames[0].latch, 2500u);
}

TEST(Analyser, TheVcdOfAWindowStartsWithItsLevelsAndRoundsToTenNs) {
  const KeptTrace k = pulses();
  std::string why;
  const std::string vcd = serve::window_vcd(k, {{3, "PA0"}, {7, "PB1"}}, 2000, 3004, 1 << 20, &why);
  EXPECT_NE(vcd.find("$timescale 10ns $end\n$scope module board $end\n$var wire 1 ! PA0 $end\n$upscope"),
            std::string::npos)
      << vcd;  // PB1 is not kept: not in the file
  const std::string body = vcd.substr(vcd.find("#200\n"));
  EXPECT_EQ(body, "#200\n$dumpvars\n0!\n$end\n#200\n1!\n#230\n0!\n#300\n1!\n#300\n") << vcd;
  EXPECT_EQ(serve::window_vcd(k, {{7, "PB1"}}, 0, 10, 1 << 20, &why), "");
  EXPECT_NE(why.find("not kept"), std::string::npos);
}

}  // namespace
}  // namespace vboard::test
