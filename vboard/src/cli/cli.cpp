// The command line: the options by family (CLI11) and the value parsers behind them.
// Values are checked whole: a number must be all digits with a known unit and
// inside its range, a name must exist. Nothing is rounded, clamped or guessed.
// Single values (times, pins, levels, periods, bounces, IRQs) and their limits
// are vboard/values.h's, shared with the scenario loader; here they are put
// together into the composite arguments and named in messages.
#include "cli/cli.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <functional>
#include <map>

#include "chip/chip.h"

namespace vboard {

namespace {

std::vector<std::string> split(std::string_view s, char sep) {
  std::vector<std::string> out;
  size_t from = 0;
  for (;;) {
    size_t p = s.find(sep, from);
    out.emplace_back(s.substr(from, p == std::string_view::npos ? std::string_view::npos : p - from));
    if (p == std::string_view::npos) return out;
    from = p + 1;
  }
}

using values::exact_ns;
using values::quote;

// "FIELD: why" from a values:: parser.
template <class T>
std::optional<T> field(const char* name, std::optional<T> v, const std::string& why, std::string* error) {
  if (!v) *error = std::string(name) + ": " + why;
  return v;
}

// "VALUE@TIME" or "VALUE" (time 0); `name` names the time in messages.
bool split_at(const std::string& rhs, const char* name, std::string* value, ns_t* at, std::string* error) {
  const auto p = rhs.find('@');
  *value = rhs.substr(0, p);
  *at = 0;
  if (p == std::string::npos) return true;
  std::string why;
  auto t = field(name, values::time(rhs.substr(p + 1), &why), why, error);
  if (!t) return false;
  *at = *t;
  return true;
}

// "PIN=REST" with a known pin; the rest of the first comma-separated part.
bool pin_and_rest(const std::string& first, const char* form, std::string* pin, std::string* rest,
                  std::string* error) {
  const auto eq = first.find('=');
  if (eq == std::string::npos) {
    *error = std::string("expected ") + form;
    return false;
  }
  std::string why;
  auto p = field("pin", values::pin(first.substr(0, eq), &why), why, error);
  if (!p) return false;
  *pin = *p;
  *rest = first.substr(eq + 1);
  return true;
}

// Options "key=value" after the first part, each at most once.
bool key_values(const std::vector<std::string>& parts, std::map<std::string, std::string>* out,
                std::string* error) {
  for (size_t i = 1; i < parts.size(); ++i) {
    const auto e = parts[i].find('=');
    if (e == std::string::npos || e == 0) {
      *error = "expected key=value, got " + quote(parts[i]);
      return false;
    }
    if (!out->emplace(parts[i].substr(0, e), parts[i].substr(e + 1)).second) {
      *error = quote(parts[i].substr(0, e)) + " given twice";
      return false;
    }
  }
  return true;
}

std::string names_of(const std::vector<chip::Named>& list) {
  std::string s;
  for (const auto& n : list) s += (s.empty() ? "" : ", ") + n.name;
  return s;
}

}  // namespace

std::optional<ns_t> parse_time(std::string_view text, std::string* error, ns_t max) {
  return values::time(text, error, max);
}

std::optional<PulseSpec> parse_pulse(const std::string& text, std::string* error) {
  const auto parts = split(text, ',');
  PulseSpec p{};
  std::string rest, width, why;
  if (!pin_and_rest(parts[0], "PIN=WIDTH@START", &p.pin, &rest, error)) return std::nullopt;
  if (!split_at(rest, "start", &width, &p.start, error)) return std::nullopt;
  auto w = field("width", values::time(width, &why), why, error);
  if (!w) return std::nullopt;
  p.width = *w;
  p.period = 20 * kMs;
  std::map<std::string, std::string> kv;
  if (!key_values(parts, &kv, error)) return std::nullopt;
  for (const auto& [k, v] : kv) {
    std::optional<ns_t> d;
    if (k == "period") {
      d = field("period", values::period(v, &why), why, error);
      if (d) p.period = *d;
    } else if (k == "stop" || k == "jitter") {
      d = field(k.c_str(), values::time(v, &why), why, error);
      if (d) (k == "stop" ? p.stop : p.jitter) = *d;
    } else {
      *error = "unknown pulse option " + quote(k) + " (period, stop, jitter)";
    }
    if (!d) return std::nullopt;
  }
  if (const auto r = values::check_pulse(p.width, p.period, p.jitter))
    *error = r->field + ": " + r->why;
  else if (p.stop != kNever && p.stop <= p.start)
    *error = "stop: " + exact_ns(p.stop) + " must come after the start, " + exact_ns(p.start);
  else
    return p;
  return std::nullopt;
}

std::optional<LevelSpec> parse_level(const std::string& text, std::string* error) {
  const auto parts = split(text, ',');
  LevelSpec l{};
  std::string rest, v, why;
  if (!pin_and_rest(parts[0], "PIN=0|1|z@TIME", &l.pin, &rest, error)) return std::nullopt;
  if (!split_at(rest, "time", &v, &l.at, error)) return std::nullopt;
  const auto level = field("level", values::level(v, true, &why), why, error);
  if (!level) return std::nullopt;
  l.level = *level;
  std::map<std::string, std::string> kv;
  if (!key_values(parts, &kv, error)) return std::nullopt;
  for (const auto& [k, val] : kv) {
    if (k != "bounce") {
      *error = "unknown level option " + quote(k) + " (bounce)";
      return std::nullopt;
    }
    const auto b = field("bounce", values::bounce(val, &why), why, error);
    if (!b) return std::nullopt;
    l.bounces = b->count;
    l.bounce_ns = b->spacing;
  }
  if (const auto r = values::check_bounce(l.level, l.bounces)) {
    *error = r->field + ": " + r->why;
    return std::nullopt;
  }
  return l;
}

std::optional<IrqInjection> parse_irq(const std::string& text, std::string* error) {
  std::string num, why;
  ns_t at = 0;
  if (!split_at(text, "time", &num, &at, error)) return std::nullopt;
  const auto n = field("irq", values::irq(num, &why), why, error);
  if (!n) return std::nullopt;
  return IrqInjection{*n, at};
}

std::optional<uint32_t> parse_cpi(const std::string& text, std::string* error) {
  return values::cpi(text, error);
}

std::optional<ns_t> parse_vcd_timescale(const std::string& text, std::string* error) {
  // VCD allows 1, 10 or 100 of s, ms, us, ns, ps, fs; virtual time is whole
  // nanoseconds, so the steps below 1 ns would only write zeros.
  static const std::pair<const char*, ns_t> kUnits[] = {{"ns", 1}, {"us", kUs}, {"ms", kMs}, {"s", kSec}};
  for (const auto& [unit, ns] : kUnits)
    for (ns_t n : {1, 10, 100})
      if (text == std::to_string(n) + unit) return n * ns;
  if (error)
    *error = values::quote(text) + ": not a VCD timescale (1, 10 or 100 of ns, us, ms or s, e.g. 10ns)";
  return std::nullopt;
}

std::string check_sources(const std::vector<PulseSpec>& pulses, const std::vector<LevelSpec>& levels) {
  // Each source is busy on its pin from its first to its last edge; a level
  // line then holds until the next source on the pin takes over.
  struct Busy {
    std::string pin, what;
    ns_t from, to;
  };
  std::vector<Busy> busy;
  for (const PulseSpec& p : pulses) {
    ns_t to = kNever;
    if (p.stop != kNever) {
      const ns_t last_rise = p.start + (p.stop - 1 - p.start) / p.period * p.period;
      to = last_rise + p.width + p.jitter;
    }
    busy.push_back({p.pin, "--pulse " + p.pin + " from " + format_ns(p.start), p.start, to});
  }
  for (const LevelSpec& l : levels)
    busy.push_back(
        {l.pin, "--set " + l.pin + " at " + format_ns(l.at), l.at, l.at + 2 * l.bounces * l.bounce_ns});
  std::stable_sort(busy.begin(), busy.end(), [](const Busy& a, const Busy& b) {
    return a.pin != b.pin ? a.pin < b.pin : a.from < b.from;
  });
  for (size_t i = 1; i < busy.size(); ++i) {
    const Busy &a = busy[i - 1], &b = busy[i];
    if (a.pin == b.pin && a.to >= b.from)
      return a.what + " still drives the pin when " + b.what + " starts (" +
             (a.to == kNever ? std::string("it never stops") : "busy until " + format_ns(a.to)) + ")";
  }
  return "";
}

int exit_code::first_of(int a, int b) {
  for (const int c : kPrecedence)
    if (a == c || b == c) return c;
  return std::max(a, b);
}

int run_exit_status(const RunResult& r, const std::set<std::string>& allowed) {
  if (const int status = r.exit_status(); status != exit_code::kOk) return status;
  for (const Diagnostic& d : r.diagnostics)
    if (!allowed.count(d.kind)) return exit_code::kDiagnostics;
  return exit_code::kOk;
}

namespace {

using Apply = std::function<std::string(const std::string&)>;  // "" or why the value is bad

// One option with a value. `repeat`: may be given more than once.
CLI::Option* value_option(CLI::App& app, const std::string& flag, const std::string& meta,
                          const std::string& help, bool repeat, Apply apply) {
  const std::string name = flag.substr(0, flag.find(','));
  CLI::Option* o = app.add_option(
      flag,
      [name, apply](const CLI::results_t& values) {
        for (const std::string& v : values) {
          std::string err = apply(v);
          if (!err.empty()) throw CLI::ValidationError(name, err);
        }
        return true;
      },
      help);
  o->type_name(meta)->type_size(1)->expected(1)->allow_extra_args(false);
  if (repeat) o->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  return o;
}

template <class T>
Apply into(std::function<std::optional<T>(const std::string&, std::string*)> parse,
           std::function<void(T)> store) {
  return [parse, store](const std::string& v) {
    std::string err;
    auto x = parse(v, &err);
    // The whole argument, unless the message quotes it already ("--for: '3601s' is above ...").
    if (!x) return err.find(quote(v)) != std::string::npos ? err : quote(v) + ": " + err;
    store(*x);
    return std::string();
  };
}

std::string footer() {
  std::string s = "\nTimes: a decimal number with ns, us, ms or s (whole nanoseconds), at most " +
                  exact_ns(limits::kMaxTime) + ".\nPulse period at least " + exact_ns(limits::kMinPeriod) +
                  "; bounce count 1.." + std::to_string(limits::kMaxBounces) + ", spacing at most " +
                  exact_ns(limits::kMaxBounceSpacing) +
                  ". Two sources may share a pin only one after the other.\n\nFaults (--fault):\n";
  for (const auto& f : chip::faults()) s += "  " + f.name + ": " + f.what + "\n";
  s += "\nRule findings (--allow KIND):\n";
  for (const auto& k : chip::diagnostic_kinds()) s += "  " + k.name + ": " + k.what + "\n";
  s += "\nBoard (the first that applies): --board (a board file or a board's name); the board: of the\n"
       "scenarios; the one board file whose recognise: takes the image (two: refused, exit 65); the chip\n"
       "alone. Board files: those of --boards DIR, else $VBOARD_BOARDS, else the source tree's boards/,\n"
       "else the copy built into vboard. The report says which board and why.\n";
  s += "\nTiming (--timing m4): each instruction costs its Cortex-M4 cycles (TRM table 3-1: loads and\n"
       "stores 2, 1 when paired after a load; LDM/STM/PUSH/POP 1+N; SDIV/UDIV 12; a taken branch 1+2,\n"
       "a load into the PC 2+3; VDIV/VSQRT 14); a fetch from flash after a branch adds FLASH_ACR LATENCY\n"
       "wait states unless the instruction cache (ICEN) holds the block, and each further 8-byte line\n"
       "adds them too without the prefetch buffer (PRFTEN). vboard/README.md has the whole model.\n";
  s += "\nExit status: 0 ran without findings; 1 unmodelled access or model fault; 2 the image stopped in a\n"
       "halt loop; 3 a rule finding of a kind not allowed; 4 a scenario expectation failed; 5 the debugger\n"
       "killed the run before its end; 64 bad command line; 65 image not loadable, a scenario or board\n"
       "file rejected, or no board could be chosen; 66 image cannot be opened; 71 the system refused\n"
       "memory; 74 a report, trace or picture could not be written. When several apply: 71, 74, 1, 2, 4,\n"
       "5, 3 (the first wins).\n";
  return s;
}

// A file name, stored as given; an empty one is refused.
Apply file_into(std::string& field) {
  return [&field](const std::string& v) {
    field = v;
    return v.empty() ? std::string("needs a file name") : std::string();
  };
}

// A TCP port, 0..65535.
template <class Port>
Apply port_into(Port& field) {
  return [&field](const std::string& v) {
    std::string why;
    const auto port = values::port(v, &why);
    if (!port) return why;
    field = *port;
    return std::string();
  };
}

Apply time_into(std::function<void(ns_t)> store) {
  return into<ns_t>([](const std::string& v, std::string* e) { return parse_time(v, e); }, std::move(store));
}

// The options are declared family by family, in the order --help lists them.

// What runs, for how long, with which inputs.
void define_run(CLI::App& app, Invocation& inv) {
  MachineOptions& m = inv.machine;
  app.add_option("image", inv.image, "firmware ELF to run")->type_name("IMAGE.elf");
  app.add_option("--figures", inv.figures, "measure the figures on the two real images")
      ->type_name("FRONT.elf REAR.elf")
      ->expected(2)
      ->allow_extra_args(false);
  value_option(app, "--for", "TIME", "virtual time to run (default 300ms; with --gdb no end)", false,
               time_into([&m, &inv](ns_t t) {
                 m.run_for = t;
                 inv.run_for_given = true;
               }));
  value_option(app, "--pulse", "PIN=WIDTH@START[,period=T][,stop=T][,jitter=T]",
               "pulse train on an input pin (period 20ms unless given)", true,
               into<PulseSpec>(parse_pulse, [&m](PulseSpec p) { m.pulses.push_back(p); }));
  value_option(app, "--set", "PIN=0|1|z@TIME[,bounce=NxSPACING]", "drive or release an input pin", true,
               into<LevelSpec>(parse_level, [&m](LevelSpec l) { m.levels.push_back(l); }));
}

// The run's trace, coverage and JSON report.
void define_traces(CLI::App& app, Invocation& inv) {
  auto* vcd =
      value_option(app, "--vcd", "FILE", "write the pin history as a VCD trace", false, file_into(inv.vcd));
  const std::string pin_count = std::to_string(chip::package_pins().size());
  value_option(app, "--vcd-pins", "PIN,PIN,...",
               "pins in the VCD trace (default: all " + pin_count + " package pins)", false,
               [&inv](const std::string& v) {
                 std::string why;
                 for (const std::string& pin : split(v, ',')) {
                   if (!values::pin(pin, &why)) return quote(v) + ": " + why;
                   if (std::count(inv.vcd_pins.begin(), inv.vcd_pins.end(), pin))
                     return quote(v) + ": " + pin + " listed twice";
                   inv.vcd_pins.push_back(pin);
                 }
                 return std::string();
               })
      ->needs(vcd);
  value_option(app, "--vcd-timescale", "1ns|10ns|100ns|1us|...",
               "the VCD's time unit (default 10ns); each change is written at the nearest multiple", false,
               [&inv](const std::string& v) {
                 std::string why;
                 const auto step = parse_vcd_timescale(v, &why);
                 if (!step) return why;
                 inv.vcd_timescale = *step;
                 return std::string();
               })
      ->needs(vcd);
  value_option(app, "--coverage", "FILE",
               "write the lines and functions of the image that ran as an lcov tracefile", false,
               file_into(inv.coverage));
  app.add_flag("--json", inv.json, "print the run as one JSON document");
  app.add_flag("--stack-bound", inv.stack_bound,
               "print the image's worst-case stack, bounded from its code (priorities from a run of --for, "
               "default 10ms)");
}

// The machine: faults, findings allowed, interrupts, profiles, speed; and the debugger.
void define_machine(CLI::App& app, Invocation& inv) {
  MachineOptions& m = inv.machine;
  value_option(app, "--fault", "NAME", "inject a fault (see below)", true, [&m](const std::string& v) {
    if (!chip::has_name(chip::faults(), v))
      return quote(v) + ": no such fault (" + names_of(chip::faults()) + ")";
    m.faults.insert(v);
    return std::string();
  });
  value_option(app, "--allow", "KIND", "do not fail the run for rule findings of this kind", true,
               [&inv](const std::string& v) {
                 if (!chip::has_name(chip::diagnostic_kinds(), v))
                   return quote(v) + ": no such kind of finding (" + names_of(chip::diagnostic_kinds()) + ")";
                 inv.allow.insert(v);
                 return std::string();
               });
  value_option(app, "--inject-irq", "N[@TIME]", "enable and pend IRQ N (0..101) at a time", true,
               into<IrqInjection>(parse_irq, [&m](IrqInjection i) { m.inject_irqs.push_back(i); }));
  value_option(app, "--profile", "SYMBOL", "count instructions per call of a function of the image", true,
               [&m](const std::string& v) {
                 m.profile_functions.push_back(v);
                 return v.empty() ? std::string("needs a symbol name") : std::string();
               });
  value_option(app, "--cpi", "CYCLES", "cycles per instruction (default 1.0)", false,
               into<uint32_t>(parse_cpi, [&m](uint32_t c) { m.cpi_milli = c; }));
  value_option(app, "--timing", "flat|m4",
               "instruction timing: flat (default, --cpi cycles each) or m4 (Cortex-M4 cycle counts and "
               "flash wait states, see below)",
               false, [&m](const std::string& v) {
                 if (v != "flat" && v != "m4") return quote(v) + ": no such timing (flat, m4)";
                 m.timing = v == "m4" ? Timing::m4 : Timing::flat;
                 return std::string();
               });
  app.add_flag_callback(
      "--no-idle-skip", [&m] { m.idle_skip = false; }, "run idle loops instruction by instruction");
  app.add_flag("--no-color", inv.no_color, "no colours in the text report");
  value_option(app, "--gdb", "PORT",
               "GDB server on 127.0.0.1:PORT (0: a free port); the image waits at reset; without --for "
               "the run lasts until the debugger detaches or kills it",
               false, port_into(inv.gdb_port));
  value_option(app, "--gdb-on-fail", "PORT",
               "with --scenario: a scenario that fails stops at the failing step and serves GDB on "
               "127.0.0.1:PORT there, with its history to go back in (reverse-stepi, reverse-continue)",
               false, port_into(inv.gdb_on_fail));
}

// Scenario files and their report, the run's pictures, the board file.
void define_scenarios(CLI::App& app, Invocation& inv) {
  value_option(app, "--scenario", "FILE.yaml", "run a scenario file's steps and check its expectations", true,
               [&inv](const std::string& v) {
                 inv.scenarios.push_back(v);
                 return v.empty() ? std::string("needs a file name") : std::string();
               });
  value_option(app, "--junit", "FILE.xml", "write the scenarios' results as a JUnit XML report", false,
               file_into(inv.junit));
  value_option(app, "--svg", "FILE", "draw the run as an SVG timeline", false, file_into(inv.svg));
  value_option(app, "--png", "FILE", "draw the same picture as a PNG image", false, file_into(inv.png));
  value_option(app, "--board", "FILE.yaml|NAME",
               "the board around the chip: a board file, or the name of a board of the board files "
               "(default: the scenarios' board:, else the board file that recognises the image, else the "
               "chip alone)",
               false, file_into(inv.board));
  value_option(app, "--boards", "DIR",
               "the folder of board files (default: $VBOARD_BOARDS, else the source tree's boards/, else "
               "the copy built into vboard)",
               false, file_into(inv.boards));
}

// Dotted IPv4, four numbers 0..255: civetweb binds what it is given.
bool ipv4(const std::string& v) {
  const auto parts = split(v, '.');
  bool ok = parts.size() == 4;
  for (const std::string& p : parts)
    ok = ok && !p.empty() && p.size() <= 3 && p.find_first_not_of("0123456789") == std::string::npos &&
         std::stoi(p) <= 255;
  return ok;
}

// The live board in a browser.
void define_serve(CLI::App& app, Invocation& inv) {
  auto* serve =
      app.add_flag("--serve", inv.serve,
                   "the live board in a browser: prints a URL (127.0.0.1 only unless --serve-address)");
  value_option(app, "--serve-port", "PORT", "the live board's port (default 8765; 0: a free one)", false,
               port_into(inv.serve_port))
      ->needs(serve);
  value_option(app, "--serve-address", "ADDR",
               "listen on another IPv4 address than 127.0.0.1 (anyone who reaches it can drive the board)",
               false,
               [&inv](const std::string& v) {
                 if (!ipv4(v)) return quote(v) + ": not an IPv4 address like 127.0.0.1";
                 inv.serve_address = v;
                 inv.serve_address_given = true;
                 return std::string();
               })
      ->needs(serve);
  value_option(app, "--serve-for", "TIME", "end the live board after this much wall time (default: Ctrl-C)",
               false, time_into([&inv](ns_t t) { inv.serve_for = t; }))
      ->needs(serve);
}

void define_options(CLI::App& app, Invocation& inv) {
  define_run(app, inv);
  define_traces(app, inv);
  define_machine(app, inv);
  define_scenarios(app, inv);
  define_serve(app, inv);
}

// CLI11's own messages may span lines; user text in them is made printable.
std::string one_line(std::string s) {
  std::replace(s.begin(), s.end(), '\n', ' ');
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return values::printable(s);
}

}  // namespace

ParseOutcome parse_command_line(int argc, const char* const* argv, Invocation* inv) {
  ParseOutcome out;
  CLI::App app("Runs a firmware image on the virtual STM32G431 board and reports what its pins did.",
               "vboard");
  app.footer(footer());
  define_options(app, *inv);
  auto usage = [&](const std::string& why) {
    out.exit = exit_code::kUsage;
    out.error = "vboard: " + one_line(why);
    return out;
  };
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    out.out = app.help();
    return out;
  } catch (const CLI::ParseError& e) {
    return usage(e.what());
  }
  if (!inv->figures.empty()) {
    bool others = !inv->image.empty();
    for (const CLI::Option* o : app.get_options())
      others = others || (o->count() > 0 && o->get_name() != "--figures");
    if (others) return usage("--figures takes the two images and nothing else");
  } else if (inv->image.empty()) {
    return usage("no image given (vboard IMAGE.elf [options], or --help)");
  }
  if (!inv->scenarios.empty() && inv->run_for_given)
    return usage("--for and --scenario: the scenario's steps set the run's length");
  if (!inv->scenarios.empty() && inv->gdb_port)
    return usage("--gdb and --scenario: one at a time (a scenario drives the run itself)");
  if (inv->scenarios.empty() && !inv->junit.empty())
    return usage("--junit reports scenarios: give --scenario FILE too");
  if (inv->serve) {
    // The page drives the run: the options that set its inputs, its length or
    // its one report belong to the other modes.
    for (const char* o : {"--for", "--pulse", "--set", "--inject-irq", "--scenario", "--junit", "--gdb",
                          "--vcd", "--svg", "--png", "--json", "--profile", "--coverage"})
      if (app.count(o))
        return usage(
            std::string("--serve and ") + o +
            ": the page drives the live board (its inputs, its time; save it as a scenario to replay)");
  }
  if (inv->machine.timing == Timing::m4 && app.count("--cpi"))
    return usage("--cpi and --timing m4: the Cortex-M4 timing counts each instruction's own cycles");
  if (inv->stack_bound)
    for (const char* o :
         {"--scenario", "--junit", "--gdb", "--serve", "--vcd", "--svg", "--png", "--coverage"})
      if (app.count(o))
        return usage(std::string("--stack-bound and ") + o +
                     ": the bound is printed instead of a run's outputs");
  std::string clash = check_sources(inv->machine.pulses, inv->machine.levels);
  if (!clash.empty()) return usage(clash);
  out.proceed = true;
  return out;
}

}  // namespace vboard
