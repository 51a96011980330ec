// The command line's scenario mode (see workbench.h).
#include "cli/workbench.h"

#include <optional>
#include <sstream>

#include "cli/cli.h"
#include "outputs/report.h"
#include "cli/scenario.h"
#include "outputs/svg.h"
#include "world/recognise.h"
#include "world/values.h"

namespace vboard {

std::string svg_title(const std::string& image_path, const std::string& what) {
  const auto slash = image_path.find_last_of('/');
  return (slash == std::string::npos ? image_path : image_path.substr(slash + 1)) + ": " + what;
}

void note_collapsed(const VcdWriter& trace, const std::string& path, std::FILE* err) {
  if (trace.collapsed())
    std::fprintf(
        err,
        "vboard: %s: %llu high or low phases shorter than the timescale have zero length in the trace "
        "(--vcd-timescale 1ns keeps every one)\n",
        path.c_str(), static_cast<unsigned long long>(trace.collapsed()));
}

int run_scenarios(const Image& image, const std::string& image_path, const MachineOptions& base,
                  const ScenarioCli& cli, std::FILE* out, std::FILE* err) {
  const auto say_err = [err](const std::string& line) {
    std::fprintf(err, "vboard: %s\n", line.c_str());
    std::fflush(err);
  };
  if (cli.files.size() > 1 && (!cli.svg.empty() || !cli.png.empty() || !cli.vcd.empty() || cli.json)) {
    say_err("--svg, --png, --vcd and --json describe one run: give them with a single --scenario");
    return exit_code::kUsage;
  }
  // Every file is checked before anything runs.
  std::vector<scenario::Scenario> all;
  bool rejected = false;
  for (const auto& f : cli.files) {
    std::string e;
    auto s = scenario::load(f, &e);
    // A scenario that names its board runs only on an image of that board.
    if (s && !s->board.empty() && board_of(image) != s->board) {
      const std::string is = board_of(image);
      e = values::printable(f) + ":" + std::to_string(s->board_line) + ": board: the scenario is for " +
          s->board + ", but " + values::printable(image_path) +
          (is.empty() ? " is not an image of either lamp board (it defines neither htim17 nor htim2)"
                      : " is a " + is + " image");
      s.reset();
    }
    if (!s) {
      // FILE:LINE: first, as compilers write it, so that editors find the line.
      std::fprintf(err, "%s\n", e.c_str());
      rejected = true;
      continue;
    }
    all.push_back(std::move(*s));
  }
  if (rejected) return exit_code::kBadScenario;

  // With --json the standard output holds the JSON document only.
  std::FILE* say = cli.json ? err : out;
  std::vector<scenario::Outcome> outcomes;
  int status = exit_code::kOk;
  // A report, trace or picture that was not written: said, and the run's status.
  const auto write_failed = [&](const std::string& message) {
    say_err(message);
    status = exit_code::first_of(status, exit_code::kWriteFailed);
  };
  for (const auto& s : all) {
    Machine m(image, base, cli.board);
    // The VCD is written while the run goes, like a plain run's; its file is
    // created before the run, so that a bad path costs no run time.
    VcdWriter trace;
    if (!cli.vcd.empty()) {
      std::string e;
      if (!trace.open(cli.vcd, m.board(), cli.vcd_pins, m.now(), &e, cli.vcd_timescale)) {
        say_err(e);
        return exit_code::kWriteFailed;
      }
      m.board().watch_pins(&trace);
    }
    const scenario::Outcome o = scenario::run(m, s, cli.allow);
    const RunResult r = m.result();
    m.board().watch_pins(nullptr);
    std::ostringstream verdict;
    verdict << "scenario \"" << values::printable(s.name) << "\" (" << values::printable(s.file)
            << "): " << o.steps_run << " of " << o.steps << " steps run, ";
    if (o.passed())
      verdict << "every expectation held";
    else
      verdict << o.failures.size() << (o.failures.size() == 1 ? " failure" : " failures");
    verdict << ", virtual time " << format_ns(o.end) << "\n";
    for (const auto& f : o.failures) verdict << "  FAIL " << f.message() << "\n";
    std::string reason;
    if (!write_stream(
            say, [&](std::ostream& os) { os << verdict.str(); }, &reason))
      write_failed(std::string("cannot write the verdicts to standard ") +
                   (cli.json ? "error: " : "output: ") + reason);
    status = exit_code::first_of(status, run_exit_status(r, cli.allow));
    if (!o.passed()) status = exit_code::first_of(status, exit_code::kExpectationFailed);

    if (all.size() == 1) {
      ReportInfo info;
      info.image = image_path;
      info.image_notes = image.warnings();
      info.allowed = cli.allow;
      const bool ok = write_report(out, r, info, cli.json, cli.color, &reason);
      if (!ok) write_failed("cannot write the report to standard output: " + reason);
      std::string e;
      if (!cli.vcd.empty()) {
        if (!trace.finish(r.virtual_ns, &e)) write_failed(e);
        note_collapsed(trace, cli.vcd, err);
      }
      if (!cli.svg.empty() || !cli.png.empty()) {
        SvgOptions so;
        so.title = svg_title(image_path, "scenario \"" + s.name + "\" (" + s.file + ")");
        for (const auto& f : o.failures) so.marks.push_back({f.t, f.message(), true});
        if (!cli.svg.empty() && !write_svg(r, so, cli.svg, &e)) write_failed(e);
        if (!cli.png.empty() && !write_png(r, so, cli.png, &e)) write_failed(e);
      }
    }
    outcomes.push_back(o);
  }
  if (!cli.junit.empty()) {
    std::string e;
    if (!scenario::write_junit(outcomes, image_path, cli.junit, &e)) write_failed(e);
  }
  return status;
}

}  // namespace vboard
