// The command line: the option table (CLI11) and the value parsers behind it.
// Values are checked whole: a number must be all digits with a known unit and
// inside its range, a name must exist. Nothing is rounded, clamped or guessed.
#include "vboard/cli.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <functional>
#include <map>

#include "vboard/chip.h"

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

// Unsigned decimal integer, digits only, at most `max`.
std::optional<uint64_t> parse_count(std::string_view text, uint64_t max) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > max) return std::nullopt;
  return v;
}

// "12.345" times `scale`: all digits with at most one point, and whole after scaling.
enum class Fixed { ok, malformed, fractional, too_big };
Fixed parse_fixed(std::string_view text, uint64_t scale, uint64_t max, uint64_t* out) {
  const size_t dot = text.find('.');
  const std::string_view whole = text.substr(0, dot);
  const std::string_view frac = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
  const auto digits = [](std::string_view d) {
    return !d.empty() && d.find_first_not_of("0123456789") == std::string_view::npos;
  };
  if (!digits(whole) || (dot != std::string_view::npos && !digits(frac))) return Fixed::malformed;
  auto w = parse_count(whole, max / scale);
  if (!w) return Fixed::too_big;
  uint64_t f = 0;
  if (!frac.empty()) {
    // At most 18 digits after the point; 1.5ns is not a whole nanosecond.
    if (frac.size() > 18) return Fixed::fractional;
    uint64_t den = 1;
    for (size_t i = 0; i < frac.size(); ++i) den *= 10;
    const unsigned __int128 num = static_cast<unsigned __int128>(*parse_count(frac, ~uint64_t{0})) * scale;
    if (num % den != 0) return Fixed::fractional;
    f = static_cast<uint64_t>(num / den);
  }
  if (*w * scale + f > max) return Fixed::too_big;
  *out = *w * scale + f;
  return Fixed::ok;
}

// A limit for messages: "3600 s", "1 us" (limits are whole units).
std::string short_ns(ns_t t) {
  static const std::pair<ns_t, const char*> kUnits[] = {{kSec, " s"}, {kMs, " ms"}, {kUs, " us"}};
  for (const auto& [scale, unit] : kUnits)
    if (t % scale == 0) return std::to_string(t / scale) + unit;
  return std::to_string(t) + " ns";
}

bool is_pin(const std::string& pin, std::string* error) {
  if (chip::package_has_pin(pin)) return true;
  *error = "no pin '" + pin +
           "' on the 48-pin package (PA0..PA15, PB0..PB15, PC4, PC6, PC10, PC11, PC13..PC15, "
           "PF0, PF1, PG10)";
  return false;
}

// "VALUE@TIME" or "VALUE" (time 0).
bool split_at(const std::string& rhs, std::string* value, ns_t* at, std::string* error) {
  const auto p = rhs.find('@');
  *value = rhs.substr(0, p);
  *at = 0;
  if (p == std::string::npos) return true;
  auto t = parse_time(rhs.substr(p + 1), error);
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
  *pin = first.substr(0, eq);
  *rest = first.substr(eq + 1);
  return is_pin(*pin, error);
}

// Options "key=value" after the first part, each at most once.
bool key_values(const std::vector<std::string>& parts, std::map<std::string, std::string>* out,
                std::string* error) {
  for (size_t i = 1; i < parts.size(); ++i) {
    const auto e = parts[i].find('=');
    if (e == std::string::npos || e == 0) {
      *error = "expected key=value, got '" + parts[i] + "'";
      return false;
    }
    if (!out->emplace(parts[i].substr(0, e), parts[i].substr(e + 1)).second) {
      *error = "'" + parts[i].substr(0, e) + "' given twice";
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
  static const struct {
    const char* unit;
    ns_t scale;
  } kUnits[] = {{"ns", 1}, {"us", kUs}, {"ms", kMs}, {"s", kSec}};
  const std::string quoted = "'" + std::string(text) + "'";
  if (text == "0") return 0;
  for (const auto& u : kUnits) {
    const std::string_view unit(u.unit);
    if (text.size() <= unit.size() || text.substr(text.size() - unit.size()) != unit) continue;
    uint64_t v = 0;
    switch (parse_fixed(text.substr(0, text.size() - unit.size()), u.scale, max, &v)) {
      case Fixed::ok:
        return v;
      case Fixed::fractional:
        *error = quoted + " is not a whole number of nanoseconds";
        return std::nullopt;
      case Fixed::too_big:
        *error = quoted + " is above the limit of " + short_ns(max);
        return std::nullopt;
      case Fixed::malformed:
        break;  // "5ms" ends in "s" too: try the next unit
    }
  }
  *error = quoted + " is not a time (a number with ns, us, ms or s, e.g. 20ms)";
  return std::nullopt;
}

std::optional<PulseSpec> parse_pulse(const std::string& text, std::string* error) {
  const auto parts = split(text, ',');
  PulseSpec p{};
  std::string rest, width;
  if (!pin_and_rest(parts[0], "PIN=WIDTH@START", &p.pin, &rest, error)) return std::nullopt;
  if (!split_at(rest, &width, &p.start, error)) return std::nullopt;
  auto w = parse_time(width, error);
  if (!w) return std::nullopt;
  p.width = *w;
  p.period = 20 * kMs;
  std::map<std::string, std::string> kv;
  if (!key_values(parts, &kv, error)) return std::nullopt;
  for (const auto& [k, v] : kv) {
    ns_t* slot = k == "period" ? &p.period : k == "stop" ? &p.stop : k == "jitter" ? &p.jitter : nullptr;
    if (!slot) {
      *error = "unknown pulse option '" + k + "' (period, stop, jitter)";
      return std::nullopt;
    }
    auto d = parse_time(v, error);
    if (!d) return std::nullopt;
    *slot = *d;
  }
  if (p.width == 0)
    *error = "the pulse width must be above 0";
  else if (p.period < limits::kMinPeriod)
    *error = "the period must be at least " + short_ns(limits::kMinPeriod);
  else if (p.width >= p.period)
    *error = "the pulse width must be shorter than its period";
  else if (p.stop != kNever && p.stop <= p.start)
    *error = "stop must come after the start";
  else if (p.jitter >= p.width || p.jitter >= p.period - p.width)
    *error = "the jitter must be smaller than the width and than the low time";
  else
    return p;
  return std::nullopt;
}

std::optional<LevelSpec> parse_level(const std::string& text, std::string* error) {
  const auto parts = split(text, ',');
  LevelSpec l{};
  std::string rest, v;
  if (!pin_and_rest(parts[0], "PIN=0|1|z@TIME", &l.pin, &rest, error)) return std::nullopt;
  if (!split_at(rest, &v, &l.at, error)) return std::nullopt;
  if (v == "0" || v == "1") {
    l.level = v == "1";
  } else if (v == "z") {
    l.level = -1;
  } else {
    *error = "the level must be 0, 1 or z, not '" + v + "'";
    return std::nullopt;
  }
  std::map<std::string, std::string> kv;
  if (!key_values(parts, &kv, error)) return std::nullopt;
  for (const auto& [k, val] : kv) {
    if (k != "bounce") {
      *error = "unknown level option '" + k + "' (bounce)";
      return std::nullopt;
    }
    const auto x = val.find('x');
    auto n = parse_count(val.substr(0, x), limits::kMaxBounces);
    if (x == std::string::npos || !n || *n == 0) {
      *error = "bounce needs COUNTxSPACING with a count of 1.." + std::to_string(limits::kMaxBounces) +
               ", e.g. 5x200us";
      return std::nullopt;
    }
    auto d = parse_time(val.substr(x + 1), error, limits::kMaxBounceSpacing);
    if (!d) return std::nullopt;
    if (*d == 0) {
      *error = "the bounce spacing must be above 0";
      return std::nullopt;
    }
    if (l.level < 0) {
      *error = "a released line (z) does not bounce";
      return std::nullopt;
    }
    l.bounces = static_cast<unsigned>(*n);
    l.bounce_ns = *d;
  }
  return l;
}

std::optional<IrqInjection> parse_irq(const std::string& text, std::string* error) {
  std::string num;
  ns_t at = 0;
  if (!split_at(text, &num, &at, error)) return std::nullopt;
  auto n = parse_count(num, chip::kIrqCount - 1);
  if (!n) {
    *error = "'" + num + "' is not an IRQ number 0.." + std::to_string(chip::kIrqCount - 1);
    return std::nullopt;
  }
  return IrqInjection{static_cast<unsigned>(*n), at};
}

std::optional<uint32_t> parse_cpi(const std::string& text, std::string* error) {
  uint64_t v = 0;
  if (parse_fixed(text, 1000, limits::kMaxCpiMilli, &v) != Fixed::ok || v < limits::kMinCpiMilli) {
    *error = "'" + text + "' is not a number of cycles per instruction from 0.001 to " +
             std::to_string(limits::kMaxCpiMilli / 1000) + " (at most 3 decimals)";
    return std::nullopt;
  }
  return static_cast<uint32_t>(v);
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

int run_exit_status(const RunResult& r, const std::set<std::string>& allowed) {
  if (const int status = r.exit_status(); status != exit_code::kOk) return status;
  for (const Diagnostic& d : r.diagnostics)
    if (!allowed.count(d.kind)) return exit_code::kDiagnostics;
  return exit_code::kOk;
}

namespace {

using Apply = std::function<std::string(const std::string&)>;  // "" or why the value is bad

// The option table: one line per option. `repeat`: may be given more than once.
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
    if (!x) return err.rfind("'" + v + "'", 0) == 0 ? err : "'" + v + "': " + err;
    store(*x);
    return std::string();
  };
}

std::string footer() {
  std::string s = "\nTimes: a decimal number with ns, us, ms or s (whole nanoseconds), at most " +
                  short_ns(limits::kMaxTime) + ".\nPulse period at least " + short_ns(limits::kMinPeriod) +
                  "; bounce count 1.." + std::to_string(limits::kMaxBounces) + ", spacing at most " +
                  short_ns(limits::kMaxBounceSpacing) +
                  ". Two sources may share a pin only one after the other.\n\nFaults (--fault):\n";
  for (const auto& f : chip::faults()) s += "  " + f.name + ": " + f.what + "\n";
  s += "\nRule findings (--allow KIND):\n";
  for (const auto& k : chip::diagnostic_kinds()) s += "  " + k.name + ": " + k.what + "\n";
  s += "\nExit status: 0 ran without findings; 1 unmodelled access or model fault; 2 the image stopped in a\n"
       "halt loop; 3 a rule finding of a kind not allowed; 4 a scenario expectation failed; 64 bad command\n"
       "line; 65 image not loadable, or a scenario file rejected; 66 image cannot be opened; 74 a report,\n"
       "trace or picture could not be written.\n";
  return s;
}

void define_options(CLI::App& app, Invocation& inv) {
  MachineOptions& m = inv.machine;
  app.add_option("image", inv.image, "firmware ELF to run")->type_name("IMAGE.elf");
  app.add_option("--figures", inv.figures, "measure the figures on the two real images")
      ->type_name("FRONT.elf REAR.elf")
      ->expected(2)
      ->allow_extra_args(false);
  value_option(app, "--for", "TIME", "virtual time to run (default 300ms)", false,
               into<ns_t>([](const std::string& v, std::string* e) { return parse_time(v, e); },
                          [&m, &inv](ns_t t) {
                            m.run_for = t;
                            inv.run_for_given = true;
                          }));
  value_option(app, "--pulse", "PIN=WIDTH@START[,period=T][,stop=T][,jitter=T]",
               "pulse train on an input pin (period 20ms unless given)", true,
               into<PulseSpec>(parse_pulse, [&m](PulseSpec p) { m.pulses.push_back(p); }));
  value_option(app, "--set", "PIN=0|1|z@TIME[,bounce=NxSPACING]", "drive or release an input pin", true,
               into<LevelSpec>(parse_level, [&m](LevelSpec l) { m.levels.push_back(l); }));
  auto* vcd = value_option(app, "--vcd", "FILE", "write the pin history as a VCD trace", false,
                           [&inv](const std::string& v) {
                             inv.vcd = v;
                             return v.empty() ? std::string("needs a file name") : std::string();
                           });
  value_option(app, "--vcd-pins", "PIN,PIN,...", "pins in the VCD trace (default: all with a history)", false,
               [&inv](const std::string& v) {
                 std::string err;
                 for (const std::string& pin : split(v, ',')) {
                   if (!is_pin(pin, &err)) return "'" + v + "': " + err;
                   if (std::count(inv.vcd_pins.begin(), inv.vcd_pins.end(), pin))
                     return "'" + v + "': " + pin + " listed twice";
                   inv.vcd_pins.push_back(pin);
                 }
                 return std::string();
               })
      ->needs(vcd);
  value_option(app, "--coverage", "FILE", "write the lines and functions of the image that ran as an lcov tracefile",
               false, [&inv](const std::string& v) {
                 inv.coverage = v;
                 return v.empty() ? std::string("needs a file name") : std::string();
               });
  app.add_flag("--json", inv.json, "print the run as one JSON document");
  value_option(app, "--fault", "NAME", "inject a fault (see below)", true, [&m](const std::string& v) {
    if (!chip::has_name(chip::faults(), v))
      return "'" + v + "': no such fault (" + names_of(chip::faults()) + ")";
    m.faults.insert(v);
    return std::string();
  });
  value_option(app, "--allow", "KIND", "do not fail the run for rule findings of this kind", true,
               [&inv](const std::string& v) {
                 if (!chip::has_name(chip::diagnostic_kinds(), v))
                   return "'" + v + "': no such kind of finding (" + names_of(chip::diagnostic_kinds()) + ")";
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
  app.add_flag_callback(
      "--no-idle-skip", [&m] { m.idle_skip = false; }, "run idle loops instruction by instruction");
  app.add_flag("--no-color", inv.no_color, "no colours in the text report");
  value_option(app, "--gdb", "PORT",
               "GDB server on 127.0.0.1:PORT (0: a free port); the image waits at reset", false,
               [&inv](const std::string& v) {
                 auto port = parse_count(v, 65535);
                 if (!port) return "'" + v + "' is not a port number 0..65535";
                 inv.gdb_port = static_cast<uint16_t>(*port);
                 return std::string();
               });
  auto file = [](std::string& into_field) {
    return [&into_field](const std::string& v) {
      into_field = v;
      return v.empty() ? std::string("needs a file name") : std::string();
    };
  };
  value_option(app, "--scenario", "FILE.yaml", "run a scenario file's steps and check its expectations", true,
               [&inv](const std::string& v) {
                 inv.scenarios.push_back(v);
                 return v.empty() ? std::string("needs a file name") : std::string();
               });
  value_option(app, "--junit", "FILE.xml", "write the scenarios' results as a JUnit XML report", false,
               file(inv.junit));
  value_option(app, "--svg", "FILE", "draw the run as an SVG timeline", false, file(inv.svg));
}

std::string one_line(std::string s) {
  std::replace(s.begin(), s.end(), '\n', ' ');
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
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
  std::string clash = check_sources(inv->machine.pulses, inv->machine.levels);
  if (!clash.empty()) return usage(clash);
  out.proceed = true;
  return out;
}

}  // namespace vboard
