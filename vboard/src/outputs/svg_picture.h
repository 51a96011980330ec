// The picture of svg.h while it is drawn: its scale (pixel columns from the
// left margin on), its rows and its lanes. svg.cpp lays the page out and owns
// the margin's text, svg_pins.cpp draws the pins' rows and svg_lanes.cpp the
// lanes of findings, the halt and the time axis.
#pragma once

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "outputs/part_outputs.h"
#include "outputs/svg.h"

namespace vboard::timeline {

inline constexpr double kRight = 24, kTop = 56, kPinRow = 34, kPinAmp = 18, kLane = 18;

inline std::string num(double v) { return svg_num(v); }

// A part's record with the writers of its kind.
struct Drawn {
  const PartRecord* record;
  const PartOutputs* out;
};

class Picture final : public Canvas {
 public:
  Picture(const RunResult& r, const SvgOptions& o);

  std::string draw();

  // Canvas
  double left() const override { return left_; }
  unsigned cols() const override { return cols_; }
  double x(ns_t t) const override {
    return left_ + static_cast<double>(cols_) * static_cast<double>(t) / static_cast<double>(end_);
  }
  ns_t col_end(unsigned c) const override {
    return static_cast<ns_t>((static_cast<double>(c) + 1) * static_cast<double>(end_) / cols_);
  }
  std::string role_of(const std::string& pin) const override {
    const auto role = r_.pin_roles.find(pin);
    return role == r_.pin_roles.end() ? std::string() : role->second;
  }
  std::ostream& body() override { return body_; }
  void legend(const std::string& line) override { legend_.push_back(line); }
  void unkept(double x0, double x1, double top, double height, const std::string& what) override;
  void label(double y, const std::string& text, const char* fill = nullptr, double size = 11) override;

 private:
  using Finding = FindingLane::Item;
  using Beyond = FindingLane::Beyond;

  unsigned width() const { return static_cast<unsigned>(left_ + cols_ + kRight); }
  bool part_pin(const std::string& pin) const;
  ns_t col_start(unsigned c) const { return c == 0 ? 0 : col_end(c - 1); }
  uint64_t changes(const std::string& pin) const;
  std::string pin_label(const std::string& pin) const;
  static void wrap(const std::string& text, double room, std::vector<std::string>& out, double size = 11);
  std::vector<std::string> lane_labels() const;

  // svg.cpp: the page.
  std::vector<Drawn> choose_rows(std::vector<std::string>& pins, std::vector<std::string>& left_out) const;
  void lay_out(const std::vector<std::string>& pins, const std::vector<Drawn>& rows);
  std::string document(double y);

  // svg_pins.cpp
  double pin_row(const std::string& pin, double top);
  bool width_lane(const std::string& pin, const std::vector<PinChange>& h, double top);

  // svg_lanes.cpp
  double finding_lane(double top, const std::string& name, const char* color, std::vector<Finding> items,
                      const std::string& legend, const std::vector<Beyond>& beyond = {});
  static std::string color_words(const std::string& c);
  double findings(double top);
  void halt(double y0, double y1);
  void axis(double y0, double y1);

  const RunResult& r_;
  const SvgOptions& o_;
  std::vector<Drawn> parts_;  // the run's parts whose kind the outputs know
  bool unkept_noted_ = false, width_noted_ = false;
  size_t unlabelled_ = 0;
  std::set<std::string> widths_drawn_;
  double left_ = 96;
  unsigned cols_ = 1080;
  ns_t end_;
  std::ostringstream body_;
  std::vector<std::string> legend_;
};

}  // namespace vboard::timeline
