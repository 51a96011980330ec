// Contract between the virtual board's machine (CPU, NVIC, SCB, SysTick, virtual
// time) and its peripheral and outside-world models. The machine owns a Bus and
// asks a Board for its devices; devices never call into Unicorn themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vboard/chip_facts.h"

namespace vboard {

using ns_t = uint64_t;  // virtual time in nanoseconds since reset
inline constexpr ns_t kNever = std::numeric_limits<ns_t>::max();

class Device;
class PartView;
struct RunResult;
class StateVisitor;  // vboard/state.h

// What the machine offers the models.
class Bus {
 public:
  virtual ~Bus() = default;
  // Current virtual time. Inside an MMIO access this is the time of the access.
  virtual ns_t now() const = 0;
  // Level of a peripheral interrupt request line into the NVIC (0 .. ChipFacts::irq_count - 1).
  // While a line is high its IRQ is (re)pended, as on the chip: a handler that
  // does not clear its source is entered again after it returns.
  virtual void set_irq_line(unsigned irq, bool high) = 0;
  // Guest memory for DMA (flash, its alias, SRAM). False on an unmapped address.
  virtual bool read_mem(uint32_t addr, void* dst, size_t n) = 0;
  virtual bool write_mem(uint32_t addr, const void* src, size_t n) = 0;
  // An access to a register that no model implements: the machine records it
  // with the code position and the run fails.
  virtual void unmodelled(uint32_t addr, bool is_write, unsigned size, uint32_t value) = 0;
  // Any other modelling fault worth failing a run for (e.g. DMA to an unmapped address).
  virtual void fault(const std::string& what) = 0;
  // Memory [lo, hi) that `who` reads at its advance() for transfers due since
  // the last one (a DMA channel streaming from SRAM); lo == hi: none. Before a
  // CPU store into it lands, the machine advances every device to the store's
  // time, so that a transfer due earlier reads what was there before, however
  // the run is cut into slices.
  virtual void watch_stores(const void* who, uint32_t lo, uint32_t hi) {
    (void)who;
    (void)lo;
    (void)hi;
  }
  // Fault-injection switches given to the run (e.g. "pll_never_locks"): models
  // that support one read it once when they are built or at reset.
  virtual bool option(const std::string& name) const {
    (void)name;
    return false;
  }
};

// One memory-mapped peripheral or outside-world component (size 0: no MMIO).
class Device {
 public:
  virtual ~Device() = default;
  virtual std::string name() const = 0;  // fact-sheet name: "RCC", "GPIOA", "TIM17", "DMA1", ...
  virtual uint32_t base() const { return 0; }
  virtual uint32_t size() const { return 0; }  // bytes of address space claimed (0: none)
  // False while the RCC enable bit of this peripheral is clear: the machine then
  // ignores writes and reads 0 without calling read/write.
  virtual bool clocked() const { return true; }
  // offset from base(); size 1, 2 or 4. Unknown offsets call Bus::unmodelled.
  virtual uint32_t read(uint32_t offset, unsigned size) {
    (void)offset;
    (void)size;
    return 0;
  }
  virtual void write(uint32_t offset, uint32_t value, unsigned size) {
    (void)offset;
    (void)value;
    (void)size;
  }
  // Bring internal state up to virtual time `now` (never decreases). Called by
  // the machine before every MMIO access and at every scheduled event.
  virtual void advance(ns_t now) { (void)now; }
  // Earliest future time at which this device will change something the CPU can
  // observe without an MMIO access (raise an IRQ line, change an input pin).
  // Work the CPU cannot see (a PWM period, a DMA byte) is done lazily in advance().
  virtual ns_t next_event() const { return kNever; }
  // Final register values, by fact-sheet register name, for the JSON dump.
  virtual std::map<std::string, uint32_t> registers() const { return {}; }
  // Lists every mutable member (vboard/state.h): one listing saves, loads and
  // compares the model's state.
  virtual void state(StateVisitor& v) = 0;
};

// How the flash serves the core's instruction fetches (FLASH_ACR): its wait
// states, the prefetch buffer and the instruction cache.
struct FlashFetch {
  unsigned latency = 0;
  bool prefetch = false;
  bool icache = false;
};

// The clock tree as the RCC model computes it from its registers.
class ClockTree {
 public:
  virtual ~ClockTree() = default;
  virtual uint64_t sysclk_hz() const = 0;  // 16 MHz at reset
  virtual uint64_t hclk_hz() const = 0;    // core, SysTick (CLKSOURCE=1), AHB
  virtual uint64_t pclk1_hz() const = 0;
  virtual uint64_t pclk2_hz() const = 0;
  virtual uint64_t timer_clock_hz(const std::string& timer) const = 0;  // "TIM7" ...
  // What instruction fetches from flash cost beyond the core's own cycles.
  virtual FlashFetch flash_fetch() const { return {}; }
};

struct PinChange {
  ns_t t;
  int level;  // 0 or 1
  bool operator==(const PinChange&) const = default;
};

// A pin as it is now, exact for the whole run however long it is and kept in
// constant memory (the histories keep only the first changes): what verdicts,
// debugger answers and report totals read.
struct PinState {
  int level = 0;         // pad level now, 0 or 1
  ns_t since = 0;        // time of the last change (0: none since reset)
  uint64_t changes = 0;  // changes after t = 0
  bool operator==(const PinState&) const = default;
};

// Receives every pin level change while the run goes (a VCD writer). Changes of
// different pins may arrive out of time order, but every change reported before
// a call of settled() is earlier than or as early as every change after it.
class PinWatcher {
 public:
  virtual ~PinWatcher() = default;
  // pin: index into Board::pin_names().
  virtual void pin_changed(unsigned pin, ns_t t, int level) = 0;
  // A run of changes of one pin in time order (a timer working off many periods).
  virtual void pin_changes(unsigned pin, const PinChange* c, size_t n) {
    for (size_t i = 0; i < n; ++i) pin_changed(pin, c[i].t, c[i].level);
  }
  virtual void settled() = 0;
};

// A rule the real chip would enforce (or punish) but the models tolerate, e.g.
// too few flash wait states for the clock. Each distinct finding is kept once
// with the time it first happened and how often it happened.
struct Diagnostic {
  std::string kind;   // one of chip::diagnostic_kinds(), e.g. "flash_latency"
  std::string where;  // peripheral ("RCC") or pin ("PA7")
  ns_t first = 0;
  uint64_t count = 0;
  std::string message;
};

// The scenario the outside world plays.
struct PulseSpec {
  std::string pin;  // "PA0"
  ns_t width;       // high time
  ns_t period;
  ns_t start;          // first rising edge
  ns_t stop = kNever;  // no rising edge at or after this time
  ns_t jitter = 0;     // +- on each width, deterministic pseudo-random
};
struct LevelSpec {
  std::string pin;  // "PB5"
  int level;        // driven level from `at` on; -1 releases the line (pull-up decides)
  ns_t at;
  unsigned bounces = 0;  // extra toggles before settling
  ns_t bounce_ns = 0;    // spacing of the bounce toggles
};

// Everything outside the CPU core: the peripherals and the world around the chip.
class Board {
 public:
  virtual ~Board() = default;
  virtual std::vector<Device*> devices() = 0;  // MMIO ones and world ones
  // The chip's memory map, NVIC lines and reset clock, which the machine is
  // built for; they stay the same for the board's whole life.
  virtual const ChipFacts& chip_facts() const = 0;
  virtual ClockTree& clocks() = 0;
  virtual void add_pulse(const PulseSpec& p) = 0;
  virtual void add_level(const LevelSpec& l) = 0;
  // Pin level history (inputs as seen at the pad, outputs as driven), by name "PA8":
  // the level at reset, then the first changes (capped, see pin_history_total).
  virtual std::map<std::string, std::vector<PinChange>> pin_history() const = 0;
  // For every pin in pin_history(): how many entries its full history has.
  virtual std::map<std::string, uint64_t> pin_history_total() const { return {}; }
  // For every pin in pin_history(): its exact state now. The default derives it
  // from the history, which is exact only for a board that keeps it whole.
  virtual std::map<std::string, PinState> pin_states() const;
  // One pin's exact state now; nullopt for a pin the board does not have.
  virtual std::optional<PinState> pin_state(const std::string& pin) const;
  // Every pin of the package, and its level now; indices as PinWatcher sees them.
  virtual std::vector<std::string> pin_names() const { return {}; }
  virtual int pin_level(unsigned pin) const {
    (void)pin;
    return 0;
  }
  // Reports every later change to `w` (nullptr: stop); pin_watcher() is the one
  // set now, so that a second listener can pass the changes on to it.
  virtual void watch_pins(PinWatcher* w) { (void)w; }
  virtual PinWatcher* pin_watcher() const { return nullptr; }
  // peripheral name -> register name -> final value.
  virtual std::map<std::string, std::map<std::string, uint32_t>> register_dump() const = 0;
  // What the board's own parts observed (vboard/part.h) and the roles of its
  // pins go into the run result here, after pins and registers.
  virtual void report(RunResult& r) const { (void)r; }
  // The firmware's variable that holds the end of its heap (its sbrk break),
  // which the margins read; "" when the board does not say.
  virtual std::string heap_break_symbol() const { return {}; }
  // Rule findings of the models so far, in the order they first happened.
  virtual std::vector<Diagnostic> diagnostics() const { return {}; }

  // For steps that look at the board while a run goes on (scenario files).
  // Pad level of a pin now, 0 or 1; -1 for a pin the board does not have. The
  // default goes through the whole history.
  virtual int pin_level(const std::string& pin) const;
  // Disconnects every source on `pin` at `at` (the current time): a bouncing line
  // settles where it is; a pulse that is high ends after its width when
  // `finish_pulse`, else drops low at once (another source takes the line over).
  // False when the board cannot (unknown pin, or a board without signal sources).
  virtual bool stop_sources(const std::string& pin, ns_t at, bool finish_pulse) {
    (void)pin;
    (void)at;
    (void)finish_pulse;
    return false;
  }
  // The parts that watch their pins (vboard/part.h), in the order of the board
  // description; none on a board without such parts.
  virtual std::vector<PartView*> parts() { return {}; }
  // One of them by its name; nullptr when the board has no part of that name.
  PartView* part(const std::string& name);
  // Lists the board's own mutable state beside its devices' (vboard/state.h):
  // what its models share (rule findings, interrupt lines).
  virtual void state(StateVisitor& v) = 0;
};

// Builds the board a machine runs, on the machine's bus (vboard/board.h makes
// one from a board description).
using BoardFactory = std::function<std::unique_ptr<Board>(Bus&)>;

}  // namespace vboard
