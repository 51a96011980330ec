// What a run reports: counts and times, the log's halt, faults and notes, the
// board's pins, registers and findings, the core's own registers, exceptions
// and profiled functions.
#include "machine/machine_impl.h"

namespace vboard {

using namespace core;

std::map<std::string, std::map<std::string, uint32_t>> Machine::core_registers() const {
  const Impl& d = *d_;
  std::map<std::string, std::map<std::string, uint32_t>> r;
  auto& nvic = r["NVIC"];
  for (unsigned k = 0; k < 4; ++k) {
    nvic["ISER" + std::to_string(k)] = d.nvic.enabled_word(k);
    nvic["ISPR" + std::to_string(k)] = d.nvic.pending_word(k);
    nvic["IABR" + std::to_string(k)] = d.nvic.active_word(k);
  }
  for (unsigned k = 0; k < (d.facts.irq_count + 3) / 4; ++k)
    nvic["IPR" + std::to_string(k)] = d.nvic.ipr_word(k);
  auto& scb = r["SCB"];
  scb["CPUID"] = d.scb.reg("CPUID");
  scb["ICSR"] = d.scb.reg("ICSR");
  scb["VTOR"] = d.scb.reg("VTOR");
  scb["AIRCR"] = d.scb.reg("AIRCR");
  scb["SCR"] = d.scb.reg("SCR");
  scb["CCR"] = d.scb.reg("CCR");
  for (unsigned k = 0; k < 3; ++k) scb["SHPR" + std::to_string(k + 1)] = d.nvic.shpr_word(k);
  scb["SHCSR"] = d.scb.reg("SHCSR");
  scb["CFSR"] = d.scb.reg("CFSR");
  scb["HFSR"] = d.scb.reg("HFSR");
  scb["MMFAR"] = d.scb.reg("MMFAR");
  scb["BFAR"] = d.scb.reg("BFAR");
  scb["CPACR"] = d.scb.reg("CPACR");
  auto& st = r["SysTick"];
  st["CTRL"] = d.systick.ctrl_peek();
  st["LOAD"] = d.systick.load();
  st["VAL"] = d.systick.value(d.now());
  st["CALIB"] = d.systick.calib();
  auto& fpu = r["FPU"];
  fpu["FPCCR"] = d.scb.reg("FPCCR");
  fpu["FPCAR"] = d.scb.reg("FPCAR");
  fpu["FPDSCR"] = d.scb.reg("FPDSCR");
  return r;
}

// The margins: the core's measures, the heap between the linker's standard
// symbols (_end, _estack, _Min_Stack_Size) and the time the core was busy.
namespace {
void fill_margins(const Machine::Impl& d, const Image& image, const Board* board, RunResult& r) {
  Margins& m = r.margins;
  d.margins.fill(m);
  m.busy_ns = r.virtual_ns > r.idle_ns ? r.virtual_ns - r.idle_ns : 0;
  if (board) m.heap_break_symbol = board->heap_break_symbol();
  const Symbol* end = image.find("_end");
  const Symbol* top = image.find("_estack");
  const std::optional<uint32_t> reserve = image.absolute("_Min_Stack_Size");
  if (reserve) m.stack_reserve = *reserve;
  if (end && top && reserve) {
    m.heap_start = end->addr;
    m.heap_limit = top->addr - *reserve;
  }
}
}  // namespace

RunResult Machine::result() const {
  const Impl& d = *d_;
  RunResult r;
  r.instructions = d.clock.instr_now();
  r.virtual_ns = d.now();
  r.idle_ns = d.clock.idle_ns;
  r.wall_s = d.wall_s;
  r.cpi_milli = opt_.cpi_milli;
  r.timing = opt_.timing;
  r.cycles = (d.clock.total_cycles_milli + d.clock.cur_cycles) / 1000;
  r.halt = d.log.halt;
  r.unmodelled = d.log.unmodelled;
  r.faults = d.log.faults;
  r.tally = d.log.tally;
  r.notes = d.log.notes;
  // Time moves per translated block: one that begins before the end runs whole.
  if (d.asked_end != kNever && r.virtual_ns > d.asked_end)
    r.notes.push_back("the run ended at " + format_ns(r.virtual_ns) + ", " +
                      format_ns(r.virtual_ns - d.asked_end) + " after the end asked for (" +
                      format_ns(d.asked_end) +
                      "): its last translated block began before that and ran whole");
  if (d.space.mmio_writes() > d.space.writes().size())
    r.notes.push_back("MMIO write log: the first " + std::to_string(d.space.writes().size()) + " of " +
                      std::to_string(d.space.mmio_writes()) + " writes kept");
  if (board_) {
    r.pins = board_->pin_history();
    r.pins_total = board_->pin_history_total();
    r.pin_state = board_->pin_states();
    r.registers = board_->register_dump();
    board_->report(r);
    r.diagnostics = board_->diagnostics();
  }
  const auto& core = d.core_findings.entries();
  r.diagnostics.insert(r.diagnostics.end(), core.begin(), core.end());
  for (auto& [k, v] : core_registers()) r.registers[k] = v;
  r.exceptions = d.exc.stats();
  r.exception_trace = d.exc.trace();
  r.functions = d.prof.stats();
  r.first_write_ns = d.space.first_write();
  fill_margins(d, *image_, board_.get(), r);
  return r;
}

}  // namespace vboard
