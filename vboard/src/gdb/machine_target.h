// The virtual board as a GDB target: the machine's core registers and memory,
// break- and watchpoints, runs that stop where the debugger asks, and the
// `monitor` commands (virtual time, pin levels, the chip's registers by name,
// the run's diagnostics).
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <functional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "gdb/target.h"
#include "machine/history.h"
#include "vboard/machine.h"

namespace vboard::gdb {

class MachineTarget final : public Target {
 public:
  // Puts the machine back to power-on (`monitor reset`) and says how in `output`;
  // false, with the reason in `output`, when it cannot.
  using Reset = std::function<bool(std::string& output)>;

  // The run stops at `run_end` (virtual time; kNever: no end) and says so to GDB;
  // resuming from there ends it, and GDB sees the command's exit status.
  // Runs are recorded into `history` (one kept for this target when none is
  // given), which the reverse commands and `monitor goto` go back in.
  MachineTarget(Machine& machine, ns_t run_end, Reset reset = {}, History* history = nullptr);
  ~MachineTarget() override;

  bool read_register(unsigned n, uint64_t& value) override;
  bool write_register(unsigned n, uint64_t value) override;
  size_t read_memory(uint32_t addr, uint8_t* dst, size_t n) override;
  size_t write_memory(uint32_t addr, const uint8_t* src, size_t n) override;
  bool insert_point(PointKind kind, uint32_t addr, uint32_t len) override;
  bool remove_point(PointKind kind, uint32_t addr, uint32_t len) override;
  StopInfo resume(bool step, const std::function<bool()>& interrupted) override;
  bool can_reverse() const override { return true; }
  StopInfo reverse(bool step, const std::function<bool()>& interrupted) override;
  bool monitor(const std::string& command, std::string& output) override;
  void detach() override;
  void kill() override { killed_ = true; }

  bool killed() const { return killed_; }
  History& history() { return *history_; }

 private:
  Machine& m_;
  ns_t end_;
  Reset reset_;
  std::unique_ptr<History> own_history_;
  History* history_;
  bool killed_ = false;
  bool halt_reported_ = false, end_reported_ = false;
  std::map<uint32_t, std::pair<unsigned, unsigned>> breakpoints_;   // addr -> (software, hardware) inserts
  std::vector<std::tuple<PointKind, uint32_t, uint32_t>> watches_;  // kind, addr, len

  bool reset(const std::string& how, std::string& output);
  void keep_history();
  void insert_points();
  StopInfo stop_info(const DebugStop& d);
  // machine_reverse.cpp: `monitor checkpoint|goto|goto-instruction|history`;
  // false when `verb` is none of them.
  bool travel_command(const std::string& verb, const std::string& rest, std::string& output, bool& known);
  bool guessed_wrong() const;
  std::optional<DebugStop> step_first(const std::function<bool()>& interrupted);

  std::string describe_time() const;
  std::string describe_pins(const std::string& which);
  // Every part's state now, each after its name; or the named one's alone (it exists).
  // `monitor part NAME`: that part, or which parts there are.
  std::string describe_part(const std::string& name);
  std::string describe_parts(const std::string& name);
  std::string describe_diagnostics() const;
  // `monitor regs PERIPH [REG]`: chip/reg_view.h's text, the registers read
  // without side effects; false for an unknown name.
  bool describe_registers(const std::string& periph, const std::string& reg, std::string& output);
};

}  // namespace vboard::gdb
