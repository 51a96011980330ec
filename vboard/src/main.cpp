// vboard: runs a firmware image on the virtual STM32G431 board and reports what
// its pins did. The exit status says how the run went (vboard/cli.h, README).
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <new>

#include "chip/chip.h"
#include "gdb/run.h"
#include "gdb/server.h"
#include "serve/server.h"
#include "cli/board_choice.h"
#include "world/board.h"
#include "cli/cli.h"
#include "outputs/coverage.h"
#include "vboard/machine.h"
#include "outputs/report.h"
#include "outputs/stack_bound.h"
#include "outputs/svg.h"
#include "cli/workbench.h"

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

using namespace vboard;

// What asks for a board on this command line (the scenarios' board: lines come later).
BoardAsked board_asked(const Invocation& inv) {
  BoardAsked asked;
  asked.board = inv.board;
  asked.boards = inv.boards;
  return asked;
}

// The live board in a browser: the page drives the run.
int serve_board(const Invocation& inv, const Image& img, const BoardChoice& chosen) {
  const BoardDescription& described = chosen.board;
  serve::ServeOptions so;
  so.board_why = chosen.why;
  so.address = inv.serve_address;
  so.address_given = inv.serve_address_given;
  so.port = inv.serve_port;
  so.serve_for = inv.serve_for;
  return serve::serve(img, inv.image, inv.machine, described, inv.allow, so, stdout, stderr);
}

// Scenario files: their steps drive the runs.
int play_scenarios(const Invocation& inv, const Image& img, bool color) {
  ScenarioCli scen;
  scen.files = inv.scenarios;
  scen.allow = inv.allow;
  scen.junit = inv.junit;
  scen.svg = inv.svg;
  scen.png = inv.png;
  scen.vcd_timescale = inv.vcd_timescale;
  scen.vcd = inv.vcd;
  scen.vcd_pins = inv.vcd_pins;
  scen.json = inv.json;
  scen.color = color;
  scen.choose = [&inv, &img](const std::vector<NamedBoard>& named, std::string* error) {
    BoardAsked asked = board_asked(inv);
    asked.scenarios = named;
    return choose_board(asked, img, error);
  };
  if (inv.gdb_on_fail)
    scen.on_fail = [&inv](Machine& m, History& history) {
      gdb::GdbRun run;
      run.port = *inv.gdb_on_fail;
      run.history = &history;
      run.held = "held at the failing step";
      run.no_reset = "not in a scenario's run (its steps gave the board its inputs)";
      std::string err;
      if (!gdb::serve_gdb(m, run, &err)) std::fprintf(stderr, "vboard: --gdb-on-fail: %s\n", err.c_str());
    };
  return run_scenarios(img, inv.image, inv.machine, scen, stdout, stderr);
}

// Under a debugger, a run that did not halt ended where the debugger left it:
// before the end asked (--for) only when it was killed, which fails the run.
void debugger_ending(const Invocation& inv, const RunResult& r, ReportInfo& info, int& status) {
  if (!inv.gdb_port || r.halt) return;
  if (!inv.run_for_given) {
    info.ended =
        "where the debugger left it, at " + format_ns(r.virtual_ns) + " (no --for: the run has no end)";
  } else if (r.virtual_ns < inv.machine.run_for) {
    info.ended = "the debugger killed the run at " + format_ns(r.virtual_ns) + ", before its end at " +
                 format_ns(inv.machine.run_for);
    info.ended_early = true;
    status = exit_code::first_of(status, exit_code::kEndedEarly);
  }
}

// A plain run, or one under a debugger: to its end, then the report, the trace
// and the pictures.
int run_once(const Invocation& inv, const Image& img, const BoardChoice& chosen, bool color) {
  std::string err;
  Machine m(img, inv.machine, board_factory(chosen.board));
  // The trace is written while the run goes (nothing capped); its file is
  // created before the run, so that a bad path costs no run time.
  VcdWriter trace;
  if (!inv.vcd.empty()) {
    if (!trace.open(inv.vcd, m.board(), inv.vcd_pins, m.now(), &err, inv.vcd_timescale))
      return std::fprintf(stderr, "vboard: %s\n", err.c_str()), exit_code::kWriteFailed;
    m.board().watch_pins(&trace);
  }
  if (inv.gdb_port) {
    gdb::GdbRun run;
    run.port = *inv.gdb_port;
    run.end = inv.run_for_given ? inv.machine.run_for : kNever;
    if (!inv.vcd.empty()) run.no_reset = "not with --vcd (the trace would hold two runs)";
    if (!gdb::serve_gdb(m, run, &err))
      return std::fprintf(stderr, "vboard: --gdb: %s\n", err.c_str()), exit_code::kModelFault;
  } else {
    m.run_until(inv.machine.run_for);
  }
  RunResult r = m.result();
  put_static_bound(m, r);
  m.board().watch_pins(nullptr);
  ReportInfo info;
  info.image = inv.image;
  info.board = board_in_use(chosen);
  info.image_notes = img.warnings();
  info.allowed = inv.allow;
  int status = run_exit_status(r, inv.allow);
  debugger_ending(inv, r, info, status);
  // A report, trace or picture that was not written: said, and the run's status.
  const auto not_written = [&status](const std::string& message) {
    std::fprintf(stderr, "vboard: %s\n", message.c_str());
    status = exit_code::first_of(status, exit_code::kWriteFailed);
  };
  std::string reason;
  if (!write_report(stdout, r, info, inv.json, color, &reason))
    not_written("cannot write the report to standard output: " + reason);
  if (!inv.vcd.empty()) {
    if (!trace.finish(r.virtual_ns, &err)) not_written(err);
    note_collapsed(trace, inv.vcd, stderr);
  }
  if (!inv.svg.empty() || !inv.png.empty()) {
    SvgOptions so;
    so.title = svg_title(inv.image, "run of " + format_ns(r.virtual_ns));
    so.board = board_words(info.board);
    if (!inv.svg.empty() && !write_svg(r, so, inv.svg, &err)) not_written(err);
    if (!inv.png.empty() && !write_png(r, so, inv.png, &err)) not_written(err);
  }
  return status;
}

// --stack-bound: the bound from the image's code, its handlers nested by the
// priorities the NVIC holds after a short run (--for, default 10 ms).
int print_stack_bound(const Invocation& inv, const Image& img, const BoardChoice& chosen) {
  MachineOptions options = inv.machine;
  if (!inv.run_for_given) options.run_for = 10 * kMs;
  Machine m(img, options, board_factory(chosen.board));
  m.run_until(options.run_for);
  StackBound b = bound(img, nvic_priorities(m));
  b.notes.insert(b.notes.begin(), "priorities as the NVIC held them after " + format_ns(m.now()) +
                                      " of the image's run (changed later, they are not seen)");
  const std::string text = inv.json
                               ? stack_bound_json(b)
                               : "stack bound of " + inv.image + " (from its code)\n" + format_stack_bound(b);
  return put(stdout, text) ? exit_code::kOk : write_failed("the stack bound to standard output");
}

// The image and the board around it, loaded and checked, then the mode asked for.
int run_image(const Invocation& inv) {
  std::string err;
  if (!inv.coverage.empty() && !coverage::collect_to(inv.coverage, &err))
    return std::fprintf(stderr, "vboard: %s\n", err.c_str()), exit_code::kWriteFailed;
  if (!std::ifstream(inv.image)) {
    std::fprintf(stderr, "vboard: cannot open image '%s': %s\n", inv.image.c_str(), std::strerror(errno));
    return exit_code::kNoImage;
  }
  auto img = Image::load(inv.image, chip::facts(), &err);
  if (!img) return std::fprintf(stderr, "vboard: %s\n", err.c_str()), exit_code::kBadImage;
  for (const std::string& fn : inv.machine.profile_functions)
    if (!img->find(fn)) {
      std::fprintf(stderr, "vboard: --profile: '%s': no such function in %s\n", fn.c_str(),
                   inv.image.c_str());
      return exit_code::kUsage;
    }
  const bool color = !inv.no_color && isatty(1);
  // Scenarios choose their board once their files are read (their board: lines).
  if (!inv.scenarios.empty()) return play_scenarios(inv, *img, color);
  const auto chosen = choose_board(board_asked(inv), *img, &err);
  if (!chosen) return std::fprintf(stderr, "%s\n", err.c_str()), exit_code::kBadBoard;
  if (inv.serve) return serve_board(inv, *img, *chosen);
  if (inv.stack_bound) return print_stack_bound(inv, *img, *chosen);
  return run_once(inv, *img, *chosen, color);
}

int run(int argc, char** argv) {
  Invocation inv;
  const ParseOutcome parsed = parse_command_line(argc, argv, &inv);
  if (!parsed.proceed) {
    if (!parsed.error.empty()) std::fprintf(stderr, "%s\n", parsed.error.c_str());
    if (!parsed.out.empty() && !put(stdout, parsed.out))
      return write_failed("the help text to standard output");
    return parsed.exit;
  }
  if (!inv.figures.empty()) return run_figures(inv.figures[0], inv.figures[1]);
  return run_image(inv);
}

}  // namespace

int main(int argc, char** argv) {
  // Memory the system refuses ends the run with one line, not an abort.
  int status = 0;
  try {
    status = run(argc, argv);
  } catch (const vboard::OutOfMemory& e) {
    std::fprintf(stderr, "vboard: out of memory: the system refused %s\n", e.what());
    return vboard::exit_code::kNoMemory;
  } catch (const std::bad_alloc&) {
    std::fputs("vboard: out of memory: the system refused an allocation; the run was abandoned\n", stderr);
    return vboard::exit_code::kNoMemory;
  }
  // The runs' coverage is written once every Machine of the invocation has ended.
  std::string err;
  if (!vboard::coverage::finish(&err)) {
    std::fprintf(stderr, "vboard: %s\n", err.c_str());
    return vboard::exit_code::first_of(status, vboard::exit_code::kWriteFailed);
  }
  return status;
}
