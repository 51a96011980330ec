// The SVG timeline: bounded by its width however many edges the run had, the
// strip drawn as per-LED colour bands from its frames, halts and diagnostics
// marked, and a time axis that reads well from 1 ms to 10 s.
#include "outputs/svg.h"

#include "world/strip.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
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

// The legend's lines joined again (long ones are wrapped to the page).
std::string legend(const std::string& svg) {
  std::string out;
  const std::regex re("<text x=\"8\" y=\"[0-9.]+\" fill=\"#333\">([^<]*)<");
  for (auto it = std::sregex_iterator(svg.begin(), svg.end(), re); it != std::sregex_iterator(); ++it)
    out += std::string(out.empty() ? "" : " ") + (*it)[1].str();
  return out;
}

std::string unescaped(std::string s) {
  for (const auto& [from, to] :
       {std::pair<std::string, std::string>{"&quot;", "\""}, {"&lt;", "<"}, {"&gt;", ">"}, {"&amp;", "&"}})
    for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + 1))
      s.replace(p, from.size(), to);
  return s;
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
  const size_t path = b.find("<path d=\""), path_end = b.find('"', path + 9);
  EXPECT_EQ(count(b.substr(path, path_end - path), "V"),
            10u);  // one per level run: the start and nine changes
}

TEST(Svg, StripIsDrawnAsColourBandsPerLed) {
  RunResult r;
  r.virtual_ns = 10 * kMs;
  StripFrame red{2 * kMs, std::vector<std::array<uint8_t, 3>>(60, {255, 0, 0}), 1440};
  std::vector<std::array<uint8_t, 3>> half(60, {255, 0, 0});
  for (size_t i = 30; i < 60; ++i) half[i] = {0, 0, 255};
  StripFrame torn{4 * kMs, half, 1440};
  StripFrame blue{6 * kMs, std::vector<std::array<uint8_t, 3>>(60, {0, 0, 255}), 1440};
  StripReport& strip = add_strip_record(r);
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
  StripReport& rec = add_strip_record(r);
  for (unsigned i = 0; i < 300; ++i)
    rec.violations.push_back({10 * kMs + i * 10 * kUs, "T1L 460ns outside 220-420", true});
  rec.violation_kinds.push_back(
      {"T1L", 13822, 300, true, 10 * kMs, 49 * kMs, "T1L 460 ns outside 220-420 ns"});
  SvgOptions o;
  o.marks.push_back({30 * kMs, "s.yaml:7: expect-pin", true});
  const std::string s = to_svg(r, o);
  EXPECT_NE(s.find("halt: error_handler in Error_Handler at 42.000000 ms"), std::string::npos);
  EXPECT_NE(legend(s).find("T1L 13822 times from 10.000000 ms to 49.000000 ms, the first 300 marked"),
            std::string::npos)
      << legend(s);
  EXPECT_NE(s.find(">13522 more, not listed, the last at 49.000000 ms<"), std::string::npos);
  EXPECT_NE(legend(s).find("failed expectations: 1 marked"), std::string::npos);
  EXPECT_NE(s.find("s.yaml:7: expect-pin at 30.000000 ms"), std::string::npos);
  // The 300 findings are marks in their own lane, merged where they crowd,
  // their counts adding up to 300; none is a line across the pins.
  const std::regex merged("fill=\"#84c\"><title>(\\d+) from");
  size_t marked = 0, marks = 0;
  for (auto it = std::sregex_iterator(s.begin(), s.end(), merged); it != std::sregex_iterator();
       ++it, ++marks)
    marked += std::stoul((*it)[1]);
  marked += count(s, "fill=\"#84c\"><title>T1L");
  EXPECT_EQ(marked, 300u);
  EXPECT_GE(marks, 1u);
  EXPECT_LT(marks, 20u);
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
  EXPECT_FALSE(write_png(RunResult{}, {}, "/nonexistent/dir/x.png", &err));
  EXPECT_EQ(err, "cannot write the PNG picture /nonexistent/dir/x.png: No such file or directory");
}

// A front run as the demo makes it: 1000 us pulses, then 1600 us ones, then a
// train whose widths differ by nanoseconds, on a 700 ms picture where one
// pixel column is 648 us.
RunResult front_run() {
  RunResult r;
  r.virtual_ns = 700 * kMs;
  auto& h = r.pins["PA0"];
  h.push_back({0, 0});
  const auto pulse = [&h](ns_t at, ns_t width) {
    h.push_back({at, 1});
    h.push_back({at + width, 0});
  };
  for (ns_t t = 20 * kMs; t < 250 * kMs; t += 20 * kMs) pulse(t + 7, 1000 * kUs);
  for (ns_t t = 250 * kMs; t < 500 * kMs; t += 20 * kMs) pulse(t + 3, 1600 * kUs);
  for (ns_t t = 500 * kMs; t < 700 * kMs; t += 2 * kMs) pulse(t, 1000 * kUs + 500 + (t / kMs) % 7);
  r.pin_roles = {{"PA0", "RC receiver"}, {"PA9", "left light"}, {"PA8", "right light"}};
  r.pins["PA9"] = {{0, 0}, {300 * kMs, 1}};
  r.pins["PA1"] = {{0, 0}, {kMs, 1}};
  return r;
}

TEST(Svg, PulseWidthsAreReadFromExactEdges) {
  const std::string s = to_svg(front_run(), {});
  EXPECT_NE(s.find(">1000 us x12<"), std::string::npos) << s;
  EXPECT_NE(s.find(">1600 us x13<"), std::string::npos);
  // Too dense to label one by one: merged into the range of their widths.
  EXPECT_NE(s.find(">1000.5 us to 1000.506 us x"), std::string::npos);
  // Every pin with a role has a row, changed or not; others are named in the legend.
  for (const char* row : {">RC receiver PA0<", ">left light PA9<", ">right light PA8<"})
    EXPECT_NE(s.find(row), std::string::npos) << row;
  EXPECT_NE(legend(s).find("not drawn (no role on this board): PA1 (1 change)"), std::string::npos);
}

// Every text's extent, measured as the layout measures it, inside the page.
TEST(Svg, NoLabelRunsOffThePage) {
  RunResult halted = front_run();
  halted.pin_roles["PA0"] = "RC receiver input from the radio, channel 3";
  halted.halt = Halt{"default_handler", "Default_Handler", true, 0, 0x08000100, 690 * kMs};
  RunResult strip;
  strip.virtual_ns = 400 * kSec;
  StripReport& sr = add_strip_record(strip);
  sr.frames_total = 1718869;
  sr.runs = {{1, 1718869, kMs, 399 * kSec, 1440, std::vector<std::array<uint8_t, 3>>(60, {255, 255, 255})}};
  sr.runs_total = 1;
  sr.current = sr.runs.back();
  strip.pin_roles = {{"PA7", "strip data"}, {"PB5", "red switch"}};
  for (const RunResult* r : {&halted, &strip}) {
    SvgOptions o;
    o.title =
        "rear_lamp.elf: scenario \"a name long enough to need a second line of the title\" "
        "(scenarios/rear/a_file_with_a_long_name_too.yaml) and some more words to go on";
    const std::string s = to_svg(*r, o);
    const double page = std::stod(s.substr(s.find("width=\"") + 7));
    const std::regex text(
        "<text x=\"([0-9.]+)\" y=\"[0-9.]+\"( text-anchor=\"(end|middle)\")?([^>]*)>([^<]*)<");
    size_t n = 0;
    for (auto it = std::sregex_iterator(s.begin(), s.end(), text); it != std::sregex_iterator(); ++it, ++n) {
      const double x = std::stod((*it)[1]);
      const std::string attrs = (*it)[4];
      const double size = attrs.find("font-size=\"10\"") != std::string::npos   ? 10
                          : attrs.find("font-size=\"13\"") != std::string::npos ? 13 * 1.1
                          : attrs.find("bold") != std::string::npos             ? 11 * 1.1
                                                                                : 11;
      const double w = text_width(unescaped((*it)[5]), size);
      const std::string anchor = (*it)[3];
      const double from = anchor == "end" ? x - w : anchor == "middle" ? x - w / 2 : x;
      EXPECT_GE(from, 0) << (*it)[0];
      EXPECT_LE(from + w, page) << (*it)[0];
    }
    EXPECT_GT(n, 10u);
    if (r == &strip) {
      EXPECT_NE(s.find(">1718869 frames<"), std::string::npos);
      EXPECT_NE(s.find(">strip data PA7<"), std::string::npos);
      // White LEDs are outlined cells, not white on white.
      EXPECT_EQ(count(s, "fill=\"#ffffff\" stroke=\"#888\""), 60u);
    }
  }
}

TEST(Svg, PngIsTheSamePictureRendered) {
  const std::string path = ::testing::TempDir() + "/front.png";
  const std::string svg = to_svg(front_run(), {});
  std::string err;
  ASSERT_TRUE(svg_to_png(svg, path, &err)) << err;
  std::ifstream in(path, std::ios::binary);
  const std::string png((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(png.size(), 24u);
  EXPECT_EQ(png.substr(1, 3), "PNG");
  const auto be32 = [&png](size_t at) {
    return static_cast<unsigned>(static_cast<unsigned char>(png[at])) << 24 |
           static_cast<unsigned>(static_cast<unsigned char>(png[at + 1])) << 16 |
           static_cast<unsigned>(static_cast<unsigned char>(png[at + 2])) << 8 |
           static_cast<unsigned>(static_cast<unsigned char>(png[at + 3]));
  };
  EXPECT_EQ(be32(16), 1200u);  // IHDR width and height: the SVG's
  EXPECT_EQ(be32(20), static_cast<unsigned>(std::stod(svg.substr(svg.find("height=\"") + 8)) + 0.999));
  // A blank page of that size compresses to well under 10 KB; the drawn one does not.
  EXPECT_GT(png.size(), 10'000u);
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
  StripReport& s = add_strip_record(r);
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
