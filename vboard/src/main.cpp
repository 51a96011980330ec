// vboard: runs a firmware image on the virtual STM32G431 board and reports what
// its pins did. The exit status says how the run went (vboard/cli.h, README).
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>

#include "gdb/run.h"
#include "gdb/server.h"
#include "vboard/cli.h"
#include "vboard/coverage.h"
#include "vboard/lamp_board.h"
#include "vboard/machine.h"
#include "vboard/report.h"
#include "vboard/svg.h"
#include "vboard/workbench.h"

namespace {

// Writes all of `text` to `f` and flushes it; false (errno set) when any of it was lost.
bool put(std::FILE* f, const std::string& text) {
  errno = 0;
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fflush(f) == 0 && ok && !std::ferror(f);
}

int write_failed(const std::string& what) {
  const int err = errno;
  std::fprintf(stderr, "vboard: cannot write %s: %s\n", what.c_str(),
               err ? std::strerror(err) : "write error");
  return vboard::exit_code::kWriteFailed;
}

}  // namespace

static int run_vboard(int argc, char** argv) {
  using namespace vboard;
  Invocation inv;
  const ParseOutcome parsed = parse_command_line(argc, argv, &inv);
  if (!parsed.proceed) {
    if (!parsed.error.empty()) std::fprintf(stderr, "%s\n", parsed.error.c_str());
    if (!parsed.out.empty() && !put(stdout, parsed.out))
      return write_failed("the help text to standard output");
    return parsed.exit;
  }
  if (!inv.figures.empty()) return run_figures(inv.figures[0], inv.figures[1]);

  std::string err;
  if (!inv.coverage.empty() && !coverage::collect_to(inv.coverage, &err))
    return std::fprintf(stderr, "vboard: %s\n", err.c_str()), exit_code::kWriteFailed;
  if (!std::ifstream(inv.image)) {
    std::fprintf(stderr, "vboard: cannot open image '%s': %s\n", inv.image.c_str(), std::strerror(errno));
    return exit_code::kNoImage;
  }
  auto img = Image::load(inv.image, &err);
  if (!img) return std::fprintf(stderr, "vboard: %s\n", err.c_str()), exit_code::kBadImage;
  for (const std::string& fn : inv.machine.profile_functions)
    if (!img->find(fn)) {
      std::fprintf(stderr, "vboard: --profile: '%s': no such function in %s\n", fn.c_str(),
                   inv.image.c_str());
      return exit_code::kUsage;
    }
  const bool color = !inv.no_color && isatty(1);
  if (!inv.scenarios.empty()) {
    ScenarioCli scen;
    scen.files = inv.scenarios;
    scen.junit = inv.junit;
    scen.svg = inv.svg;
    scen.vcd = inv.vcd;
    scen.vcd_pins = inv.vcd_pins;
    scen.json = inv.json;
    scen.color = color;
    return run_scenarios(*img, inv.image, inv.machine, scen, std::cout, std::cerr);
  }

  Machine m(*img, inv.machine, lamp_board_factory());
  // The trace is written while the run goes (nothing capped); its file is
  // created before the run, so that a bad path costs no run time.
  VcdWriter trace;
  if (!inv.vcd.empty()) {
    if (!trace.open(inv.vcd, m.board(), inv.vcd_pins, m.now(), &err))
      return std::fprintf(stderr, "vboard: %s\n", err.c_str()), exit_code::kWriteFailed;
    m.board().watch_pins(&trace);
  }
  if (inv.gdb_port) {
    if (!gdb::serve_gdb(m, *inv.gdb_port, inv.machine.run_for, &err))
      return std::fprintf(stderr, "vboard: --gdb: %s\n", err.c_str()), exit_code::kModelFault;
  } else {
    m.run_until(inv.machine.run_for);
  }
  const RunResult r = m.result();
  m.board().watch_pins(nullptr);
  ReportInfo info;
  info.image = inv.image;
  info.image_notes = img->warnings();
  info.allowed = inv.allow;
  int status = run_exit_status(r, inv.allow);
  const std::string report = inv.json ? to_json(r, info) : to_text(r, info, color);
  if (!put(stdout, report)) status = write_failed("the report to standard output");
  if (!inv.vcd.empty() && !trace.finish(r.virtual_ns, &err)) {
    std::fprintf(stderr, "vboard: %s\n", err.c_str());
    status = exit_code::kWriteFailed;
  }
  if (!inv.svg.empty()) {
    SvgOptions so;
    so.title = svg_title(inv.image, "run of " + format_ns(r.virtual_ns));
    if (!write_svg(r, so, inv.svg, &err)) {
      std::fprintf(stderr, "vboard: %s\n", err.c_str());
      status = exit_code::kWriteFailed;
    }
  }
  return status;
}

// The runs' coverage is written once every Machine of the invocation has ended.
int main(int argc, char** argv) {
  const int status = run_vboard(argc, argv);
  std::string err;
  if (!vboard::coverage::finish(&err)) {
    std::fprintf(stderr, "vboard: %s\n", err.c_str());
    return vboard::exit_code::kWriteFailed;
  }
  return status;
}
