// The SVG timeline: bounded by its width however many edges the run had, the
// strip drawn as per-LED colour bands from its frames, halts and diagnostics
// marked, and a time axis that reads well from 1 ms to 10 s.
#include "vboard/svg.h"

#include "vboard/strip.h"

#include <gtest/gtest.h>

#include <regex>

namespace vboard {
namespace {

size_t count(const std::string& s, const std::string& what) {
  size_t n = 0;
  for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
  return n;
}

RunResult with_pin(ns_t end, const std::string& pin, ns_t period) {
  RunResult r;
  r.virtual_ns = end;
  auto& h = r.pins[pin];
  h.push_back({0, 0});
  for (ns_t t = period; t < end; t += period) h.push_back({t, static_cast<int>((t / period) & 1)});
  return r;
}

std::vector<std::string> tick_labels(const std::string& svg) {
  std::vector<std::string> out;
  const std::regex re("text-anchor=\"middle\" fill=\"#555\">([^<]*)<");
  for (auto it = std::sregex_iterator(svg.begin(), svg.end(), re); it != std::sregex_iterator(); ++it)
    out.push_back((*it)[1]);
  return out;
}

TEST(Svg, SizeDependsOnWidthNotOnEdgeCount) {
  // A million edges (a 500 kHz square wave for 1 s) against a handful.
  const RunResult busy = with_pin(kSec, "PA0", kUs);
  const RunResult calm = with_pin(kSec, "PA0", 100 * kMs);
  const std::string a = to_svg(busy, {}), b = to_svg(calm, {});
  EXPECT_LT(a.size(), 20'000u);
  EXPECT_LT(b.size(), 20'000u);
  // The busy pin is one filled block over the whole row; the calm one a plain waveform.
  EXPECT_EQ(count(a, "fill-opacity=\"0.45\""), 1u);
  EXPECT_EQ(count(b, "fill-opacity=\"0.45\""), 0u);
  EXPECT_EQ(count(b, "V"), 10u);  // one per level run: the start and nine changes
}

TEST(Svg, StripIsDrawnAsColourBandsPerLed) {
  RunResult r;
  r.virtual_ns = 10 * kMs;
  StripFrame red{2 * kMs, std::vector<std::array<uint8_t, 3>>(60, {255, 0, 0}), 1440};
  StripFrame torn = red;
  torn.t = 4 * kMs;
  for (size_t i = 30; i < 60; ++i) torn.colors[i] = {0, 0, 255};
  StripFrame blue{6 * kMs, std::vector<std::array<uint8_t, 3>>(60, {0, 0, 255}), 1440};
  StripReport& strip = r.strip.emplace();
  strip.frames_total = strip.runs_total = 3;
  for (const StripFrame& f : {red, torn, blue})
    strip.runs.push_back({strip.runs.size() + 1, 1, f.t, f.t, f.bits, f.colors});
  strip.current = strip.runs.back();
  r.pins["PA7"] = {{0, 0}, {kMs, 1}};  // edges of the data line are not drawn as a waveform
  const std::string s = to_svg(r, {});
  EXPECT_EQ(s.find(">PA7<"), std::string::npos);
  EXPECT_NE(s.find(">PA7 strip<"), std::string::npos);
  EXPECT_NE(s.find(">3 frames<"), std::string::npos);
  // LEDs 0-29: one red band from 2 ms to 6 ms, then blue; LEDs 30-59: red 2-4 ms, then blue.
  EXPECT_EQ(count(s, "fill=\"#ff0000\""), 60u);
  EXPECT_EQ(count(s, "fill=\"#0000ff\""), 60u);
}

TEST(Svg, HaltsDiagnosticsAndFailedStepsAreMarked) {
  RunResult r = with_pin(50 * kMs, "PA8", 10 * kMs);
  r.halt = Halt{"error_handler", "Error_Handler", true, 0, 0x08000100, 42 * kMs};
  r.strip.emplace();
  for (unsigned i = 0; i < 300; ++i)
    r.strip->violations.push_back({i * 100 * kUs, "T0H 200ns outside 220-380", true});
  SvgOptions o;
  o.marks.push_back({30 * kMs, "s.yaml:7: expect-pin", true});
  const std::string s = to_svg(r, o);
  EXPECT_NE(s.find("halt: error_handler in Error_Handler at 42.000000 ms"), std::string::npos);
  EXPECT_NE(s.find("strip timing outside the datasheet windows (300 in all; the report lists the first): 300 "
                   "marked in purple (first 200 drawn)"),
            std::string::npos)
      << s;
  EXPECT_NE(s.find("failed expectations: 1 marked in red"), std::string::npos);
  EXPECT_NE(s.find("<title>s.yaml:7: expect-pin</title>"), std::string::npos);
}

TEST(Svg, TimeAxisReadsFromOneMillisecondToTenSeconds) {
  const struct {
    ns_t end;
    const char* first;
    const char* last;
  } spans[] = {{kMs, "0 us", "1000 us"}, {37 * kMs, "0 ms", "35 ms"}, {10 * kSec, "0 s", "10 s"}};
  for (const auto& sp : spans) {
    const auto labels = tick_labels(to_svg(with_pin(sp.end, "PA0", sp.end / 7), {}));
    ASSERT_GE(labels.size(), 4u) << sp.end;
    EXPECT_LE(labels.size(), 11u) << sp.end;
    EXPECT_EQ(labels.front(), sp.first);
    EXPECT_EQ(labels.back(), sp.last);
  }
}

TEST(Svg, AFailedWriteIsAnError) {
  std::string err;
  EXPECT_FALSE(write_svg(RunResult{}, {}, "/nonexistent/dir/x.svg", &err));
  EXPECT_NE(err.find("cannot write"), std::string::npos);
}

}  // namespace
}  // namespace vboard

namespace vboard {
namespace {

// Past the kept history the picture hatches what it cannot draw, says what was
// dropped, and draws the exact state that follows.
TEST(Svg, DetailNotKeptIsHatchedAndLabelledAndTheEndIsExact) {
  RunResult r;
  r.virtual_ns = 100 * kMs;
  r.pins["PA0"] = {{0, 0}, {10 * kMs, 1}};
  r.pin_state["PA0"] = {0, 80 * kMs, 9};  // eight more changes than kept, the last to 0 at 80 ms
  StripReport& s = r.strip.emplace();
  const auto all = [](std::array<uint8_t, 3> c) { return std::vector<std::array<uint8_t, 3>>(60, c); };
  s.runs = {{1, 5, 2 * kMs, 20 * kMs, 1440, all({255, 0, 0})}};
  s.current = StripRun{40, 20, 60 * kMs, 98 * kMs, 1440, all({0, 255, 0})};
  s.runs_total = 3;
  s.frames_total = 59;
  const std::string svg = to_svg(r, {});
  EXPECT_EQ(count(svg, "fill=\"url(#unkept)\""), 2u) << svg;
  EXPECT_NE(svg.find("changes from 10.000000 ms to 80.000000 ms not kept (1 of 9 kept)"), std::string::npos);
  EXPECT_NE(svg.find("frames from 20.000001 ms to 60.000000 ms not kept (1 of 3 runs of equal frames kept)"),
            std::string::npos);
  EXPECT_NE(svg.find(">59 frames<"), std::string::npos);
  EXPECT_EQ(count(svg, "fill=\"#00ff00\""), 60u) << "the run showing at the end is drawn";
  // The waveform ends low after the hatched span, as the exact state says.
  const auto path = svg.find("<path d=\"");
  ASSERT_NE(path, std::string::npos);
  const std::string d = svg.substr(path, svg.find('"', path + 9) - path);
  EXPECT_NE(d.find("V80.0H1176.0"), std::string::npos) << d;
}

}  // namespace
}  // namespace vboard
