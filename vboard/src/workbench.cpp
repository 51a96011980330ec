// The command line's scenario mode (see workbench.h).
#include "vboard/workbench.h"

#include <optional>

#include "vboard/lamp_board.h"
#include "vboard/report.h"
#include "vboard/scenario.h"
#include "vboard/svg.h"

namespace vboard {

std::string svg_title(const std::string& image_path, const std::string& what) {
  const auto slash = image_path.find_last_of('/');
  return (slash == std::string::npos ? image_path : image_path.substr(slash + 1)) + ": " + what;
}

int run_scenarios(const Image& image, const std::string& image_path, const MachineOptions& base,
                  const ScenarioCli& cli, std::ostream& out, std::ostream& err) {
  if (cli.files.size() > 1 && (!cli.svg.empty() || !cli.vcd.empty())) {
    err << "--svg and --vcd picture one run: give them with a single --scenario\n";
    return 64;
  }
  // Every file is checked before anything runs.
  std::vector<scenario::Scenario> all;
  bool rejected = false;
  for (const auto& f : cli.files) {
    std::string e;
    auto s = scenario::load(f, &e);
    if (!s) {
      err << e << "\n";
      rejected = true;
      continue;
    }
    all.push_back(std::move(*s));
  }
  if (rejected) return kExitBadScenario;

  // With --json the standard output holds the JSON document only.
  std::ostream& say = cli.json ? err : out;
  std::vector<scenario::Outcome> outcomes;
  int status = 0;
  bool failed = false;
  for (const auto& s : all) {
    Machine m(image, base, lamp_board_factory());
    // The VCD is written while the run goes, like a plain run's.
    VcdWriter trace;
    if (!cli.vcd.empty()) {
      std::string e;
      if (!trace.open(cli.vcd, m.board(), cli.vcd_pins, m.now(), &e)) {
        err << e << "\n";
        return 1;
      }
      m.board().watch_pins(&trace);
    }
    const scenario::Outcome o = scenario::run(m, s);
    const RunResult r = m.result();
    m.board().watch_pins(nullptr);
    say << "scenario \"" << s.name << "\" (" << s.file << "): " << o.steps_run << " of " << o.steps
        << " steps run, ";
    if (o.passed())
      say << "every expectation held";
    else
      say << o.failures.size() << (o.failures.size() == 1 ? " failure" : " failures");
    say << ", virtual time " << format_ns(o.end) << "\n";
    for (const auto& f : o.failures) say << "  FAIL " << f.message() << "\n";
    failed = failed || !o.passed();
    if (!r.ok()) status = std::max(status, 1);
    if (r.halt) status = std::max(status, 2);

    if (all.size() == 1) {
      ReportInfo info;
      info.image = image_path;
      out << (cli.json ? to_json(r, info) : to_text(r, info, cli.color));
      std::string e;
      if (!cli.vcd.empty() && !trace.finish(r.virtual_ns, &e)) {
        err << e << "\n";
        status = std::max(status, 1);
      }
      if (!cli.svg.empty()) {
        SvgOptions so;
        so.title = svg_title(image_path, "scenario \"" + s.name + "\" (" + s.file + ")");
        for (const auto& f : o.failures) so.marks.push_back({f.t, f.message(), true});
        if (!write_svg(r, so, cli.svg, &e)) {
          err << e << "\n";
          status = std::max(status, 1);
        }
      }
    }
    outcomes.push_back(o);
  }
  if (!cli.junit.empty()) {
    std::string e;
    if (!scenario::write_junit(outcomes, image_path, cli.junit, &e)) {
      err << e << "\n";
      status = std::max(status, 1);
    }
  }
  return failed ? kExitExpectationFailed : status;
}

}  // namespace vboard
