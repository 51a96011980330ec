// vboard: runs a firmware image on the virtual STM32G431 board and reports what
// its pins did.
#include <cmath>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <sstream>

#include "gdb/run.h"
#include "gdb/server.h"
#include "vboard/cli.h"
#include "vboard/lamp_board.h"
#include "vboard/machine.h"
#include "vboard/report.h"
#include "vboard/svg.h"
#include "vboard/workbench.h"

namespace {

void usage() {
  std::fprintf(
      stderr,
      "usage: vboard IMAGE.elf [--for 300ms] [--pulse PA0=1500us@20ms[,period=20ms][,stop=T][,jitter=T]]...\n"
      "              [--set PB5=0|1|z@10ms[,bounce=5x200us]]... [--vcd FILE [--vcd-pins PA0,PA8]] [--json]\n"
      "              [--fault pll_never_locks] [--inject-irq N@T] [--profile SYMBOL]... [--cpi 1.0]\n"
      "              [--no-idle-skip] [--no-color] [--gdb PORT] [--svg FILE]\n"
      "              [--scenario FILE.yaml]... [--junit FILE.xml]   (the steps set the run's length)\n"
      "       vboard --figures FRONT.elf REAR.elf\n"
      "Durations take ns, us, ms or s. Exit status: 0 ran, 1 unmodelled access or model fault,\n"
      "2 the image stopped in a halt loop (Error_Handler, Default_Handler, a fault handler, _exit),\n"
      "4 a scenario expectation failed, 64 bad command line, 65 a scenario file was rejected.\n"
      "--gdb PORT: GDB server on 127.0.0.1:PORT (0: a free port); the image waits at reset for the "
      "debugger.\n");
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vboard;
  if (argc >= 2 && std::strcmp(argv[1], "--figures") == 0) {
    if (argc != 4) return usage(), 64;
    return run_figures(argv[2], argv[3]);
  }
  if (argc < 2 || argv[1][0] == '-') return usage(), 64;
  std::string elf = argv[1];
  MachineOptions opt;
  std::string vcd;
  std::vector<std::string> vcd_pins;
  bool json = false, color = isatty(1), run_for_given = false;
  std::optional<uint16_t> gdb_port;
  ScenarioCli scen;
  std::string svg;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    auto need = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", a.c_str());
        std::exit(64);
      }
      return argv[++i];
    };
    std::string err;
    if (a == "--for") {
      auto d = parse_duration(need());
      if (!d) return std::fprintf(stderr, "bad duration\n"), 64;
      opt.run_for = *d;
      run_for_given = true;
    } else if (a == "--pulse") {
      auto p = parse_pulse(need(), &err);
      if (!p) return std::fprintf(stderr, "%s\n", err.c_str()), 64;
      opt.pulses.push_back(*p);
    } else if (a == "--set") {
      auto l = parse_level(need(), &err);
      if (!l) return std::fprintf(stderr, "%s\n", err.c_str()), 64;
      opt.levels.push_back(*l);
    } else if (a == "--vcd") {
      vcd = need();
    } else if (a == "--vcd-pins") {
      std::stringstream ss(need());
      std::string p;
      while (std::getline(ss, p, ',')) vcd_pins.push_back(p);
    } else if (a == "--json") {
      json = true;
    } else if (a == "--fault") {
      opt.faults.insert(need());
    } else if (a == "--inject-irq") {
      std::string v = need();
      auto at = v.find('@');
      auto t = parse_duration(at == std::string::npos ? "0" : v.substr(at + 1));
      if (!t) return std::fprintf(stderr, "bad --inject-irq\n"), 64;
      opt.inject_irqs.push_back({static_cast<unsigned>(std::stoul(v.substr(0, at))), *t});
    } else if (a == "--profile") {
      opt.profile_functions.push_back(need());
    } else if (a == "--cpi") {
      opt.cpi_milli = static_cast<uint32_t>(std::lround(std::stod(need()) * 1000.0));
      if (opt.cpi_milli == 0) return std::fprintf(stderr, "--cpi must be positive\n"), 64;
    } else if (a == "--no-idle-skip") {
      opt.idle_skip = false;
    } else if (a == "--gdb") {
      uint16_t port = 0;
      if (!gdb::parse_port(need(), port))
        return std::fprintf(stderr, "--gdb needs a port number 0..65535\n"), 64;
      gdb_port = port;
    } else if (a == "--scenario") {
      scen.files.push_back(need());
    } else if (a == "--junit") {
      scen.junit = need();
    } else if (a == "--svg") {
      svg = need();
    } else if (a == "--no-color") {
      color = false;
    } else {
      usage();
      return 64;
    }
  }
  if (!scen.files.empty() && run_for_given)
    return std::fprintf(stderr, "--for and --scenario: the scenario's steps set the run's length\n"), 64;
  if (!scen.files.empty() && gdb_port)
    return std::fprintf(stderr, "--gdb and --scenario: one at a time (a scenario drives the run itself)\n"),
           64;
  if (scen.files.empty() && !scen.junit.empty())
    return std::fprintf(stderr, "--junit reports scenarios: give --scenario FILE too\n"), 64;
  std::string err;
  auto img = Image::load(elf, &err);
  if (!img) return std::fprintf(stderr, "%s\n", err.c_str()), 1;
  if (!scen.files.empty()) {
    scen.svg = svg;
    scen.vcd = vcd;
    scen.vcd_pins = vcd_pins;
    scen.json = json;
    scen.color = color;
    return run_scenarios(*img, elf, opt, scen, std::cout, std::cerr);
  }
  Machine m(*img, opt, lamp_board_factory());
  VcdWriter trace;
  if (!vcd.empty()) {
    if (!trace.open(vcd, m.board(), vcd_pins, m.now(), &err))
      return std::fprintf(stderr, "%s\n", err.c_str()), 1;
    m.board().watch_pins(&trace);
  }
  if (gdb_port) {
    if (!gdb::serve_gdb(m, *gdb_port, opt.run_for, &err)) return std::fprintf(stderr, "%s\n", err.c_str()), 1;
  } else {
    m.run_until(opt.run_for);
  }
  RunResult r = m.result();
  m.board().watch_pins(nullptr);
  ReportInfo info;
  info.image = elf;
  if (json)
    std::cout << to_json(r, info);
  else
    std::cout << to_text(r, info, color);
  bool written = true;
  if (!vcd.empty() && !trace.finish(r.virtual_ns, &err)) {
    std::fprintf(stderr, "%s\n", err.c_str());
    written = false;
  }
  if (!svg.empty()) {
    SvgOptions so;
    so.title = svg_title(elf, "run of " + format_ns(r.virtual_ns));
    if (!write_svg(r, so, svg, &err)) {
      std::fprintf(stderr, "%s\n", err.c_str());
      written = false;
    }
  }
  if (!written) return 1;
  return r.exit_status();
}
