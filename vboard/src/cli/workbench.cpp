// The command line's scenario mode (see workbench.h).
#include "cli/workbench.h"

#include <optional>
#include <sstream>

#include "cli/cli.h"
#include "outputs/report.h"
#include "outputs/stack_bound.h"
#include "cli/scenario.h"
#include "cli/strip_steps.h"
#include "outputs/svg.h"
#include "world/values.h"

namespace vboard {

std::string svg_title(const std::string& image_path, const std::string& what) {
  const auto slash = image_path.find_last_of('/');
  return (slash == std::string::npos ? image_path : image_path.substr(slash + 1)) + ": " + what;
}

BoardInUse board_in_use(const BoardChoice& choice) {
  return {choice.board.name, choice.board.file, choice.why};
}

void note_collapsed(const VcdWriter& trace, const std::string& path, std::FILE* err) {
  if (trace.collapsed())
    std::fprintf(
        err,
        "vboard: %s: %llu high or low phases shorter than the timescale have zero length in the trace "
        "(--vcd-timescale 1ns keeps every one)\n",
        path.c_str(), static_cast<unsigned long long>(trace.collapsed()));
}

namespace {

// One invocation of the scenario mode: the files checked, then played one by
// one, the exit status gathered as they go.
class Bench {
 public:
  Bench(const Image& image, const std::string& image_path, const MachineOptions& base, const ScenarioCli& cli,
        std::FILE* out, std::FILE* err)
      : image_(image), image_path_(image_path), base_(base), cli_(cli), out_(out), err_(err) {}

  int run() {
    if (cli_.files.size() > 1 && (!cli_.svg.empty() || !cli_.png.empty() || !cli_.vcd.empty() || cli_.json)) {
      say_err("--svg, --png, --vcd and --json describe one run: give them with a single --scenario");
      return exit_code::kUsage;
    }
    const auto all = load_all();
    if (!all) return exit_code::kBadScenario;
    if (!choose(*all)) return exit_code::kBadBoard;
    std::vector<scenario::Outcome> outcomes;
    for (const auto& s : *all) {
      auto o = play(s, all->size() == 1);
      if (!o) return exit_code::kWriteFailed;
      outcomes.push_back(std::move(*o));
    }
    if (!cli_.junit.empty()) {
      std::string e;
      if (!scenario::write_junit(outcomes, image_path_, cli_.junit, &e)) write_failed(e);
    }
    return status_;
  }

 private:
  void say_err(const std::string& line) const {
    std::fprintf(err_, "vboard: %s\n", line.c_str());
    std::fflush(err_);
  }
  // A report, trace or picture that was not written: said, and the run's status.
  void write_failed(const std::string& message) {
    say_err(message);
    status_ = exit_code::first_of(status_, exit_code::kWriteFailed);
  }

  // Every file is checked before anything runs: nullopt when any was rejected.
  std::optional<std::vector<scenario::Scenario>> load_all() const {
    std::vector<scenario::Scenario> all;
    bool rejected = false;
    for (const auto& f : cli_.files) {
      std::string e;
      auto s = scenario::load(f, &e);
      if (!s) {
        // FILE:LINE: first, as compilers write it, so that editors find the line.
        std::fprintf(err_, "%s\n", e.c_str());
        rejected = true;
        continue;
      }
      all.push_back(std::move(*s));
    }
    if (rejected) return std::nullopt;
    return all;
  }

  // The board from the files' board: lines, then each file checked against
  // it (LEDs past its strip); false after saying why the run is refused.
  bool choose(const std::vector<scenario::Scenario>& all) {
    std::vector<NamedBoard> named;
    for (const auto& s : all)
      if (!s.board.empty()) named.push_back({s.board, s.file, s.board_line});
    std::string e;
    chosen_ = cli_.choose(named, &e);
    if (!chosen_) {
      std::fprintf(err_, "%s\n", e.c_str());
      return false;
    }
    factory_ = board_factory(chosen_->board);
    const BoardPart* strip = chosen_->board.strip();
    const unsigned leds = strip ? std::get<BoardPart::Strip>(strip->kind).leds : 0;
    bool fits = true;
    for (const auto& s : all)
      if (const auto past = scenario::past_the_strip(s, leds)) {
        std::fprintf(err_, "%s:%u: %s\n", values::printable(s.file).c_str(), past->first,
                     past->second.c_str());
        fits = false;
      }
    return fits;
  }

  // One scenario on a fresh machine, its verdicts said; with `alone`, the
  // run's report, trace and pictures too. Nullopt when the trace cannot be made.
  std::optional<scenario::Outcome> play(const scenario::Scenario& s, bool alone) {
    Machine m(image_, base_, factory_);
    // The VCD is written while the run goes, like a plain run's; its file is
    // created before the run, so that a bad path costs no run time.
    VcdWriter trace;
    if (!cli_.vcd.empty()) {
      std::string e;
      if (!trace.open(cli_.vcd, m.board(), cli_.vcd_pins, m.now(), &e, cli_.vcd_timescale)) {
        say_err(e);
        return std::nullopt;
      }
      m.board().watch_pins(&trace);
    }
    std::optional<History> history;
    if (cli_.on_fail) history.emplace(m);
    scenario::Outcome o = scenario::run(m, s, cli_.allow, history ? &*history : nullptr);
    RunResult r = m.result();
    put_static_bound(m, r);
    m.board().watch_pins(nullptr);
    say_verdict(s, o);
    if (history && !o.passed()) cli_.on_fail(m, *history);
    status_ = exit_code::first_of(status_, run_exit_status(r, cli_.allow));
    if (!o.passed()) status_ = exit_code::first_of(status_, exit_code::kExpectationFailed);
    if (alone) write_run(s, o, r, trace);
    return o;
  }

  // With --json the standard output holds the JSON document only: the verdicts go to the errors.
  void say_verdict(const scenario::Scenario& s, const scenario::Outcome& o) {
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
            cli_.json ? err_ : out_, [&](std::ostream& os) { os << verdict.str(); }, &reason))
      write_failed(std::string("cannot write the verdicts to standard ") +
                   (cli_.json ? "error: " : "output: ") + reason);
  }

  // The report of the one scenario's run, the end of its trace and its pictures.
  void write_run(const scenario::Scenario& s, const scenario::Outcome& o, const RunResult& r,
                 VcdWriter& trace) {
    ReportInfo info;
    info.image = image_path_;
    info.board = board_in_use(*chosen_);
    info.image_notes = image_.warnings();
    info.allowed = cli_.allow;
    std::string reason;
    const bool ok = write_report(out_, r, info, cli_.json, cli_.color, &reason);
    if (!ok) write_failed("cannot write the report to standard output: " + reason);
    std::string e;
    if (!cli_.vcd.empty()) {
      if (!trace.finish(r.virtual_ns, &e)) write_failed(e);
      note_collapsed(trace, cli_.vcd, err_);
    }
    if (!cli_.svg.empty() || !cli_.png.empty()) {
      SvgOptions so;
      so.title = svg_title(image_path_, "scenario \"" + s.name + "\" (" + s.file + ")");
      so.board = board_words(info.board);
      for (const auto& f : o.failures) so.marks.push_back({f.t, f.message(), true});
      if (!cli_.svg.empty() && !write_svg(r, so, cli_.svg, &e)) write_failed(e);
      if (!cli_.png.empty() && !write_png(r, so, cli_.png, &e)) write_failed(e);
    }
  }

  const Image& image_;
  const std::string& image_path_;
  const MachineOptions& base_;
  const ScenarioCli& cli_;
  std::FILE* out_;
  std::FILE* err_;
  int status_ = exit_code::kOk;
  std::optional<BoardChoice> chosen_;
  BoardFactory factory_;
};

}  // namespace

int run_scenarios(const Image& image, const std::string& image_path, const MachineOptions& base,
                  const ScenarioCli& cli, std::FILE* out, std::FILE* err) {
  return Bench(image, image_path, base, cli, out, err).run();
}

}  // namespace vboard
