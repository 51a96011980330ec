// The machine under a debugger, on the real images: stops, steps and reads
// leave the run as it would have been without them, watchpoints stop right
// after the access, and debugger accesses are never findings of the run.
#include <algorithm>
#include <set>

#include "core/armv7m_regs.h"
#include "support/chip_names.h"
#include "support/firmware.h"
#include "gdb/machine_target.h"
#include "world/strip.h"

namespace vboard::test {
namespace {

const std::function<bool()> kNoInterrupt = [] { return false; };

uint32_t symbol(const Image& img, const char* name) {
  const Symbol* s = img.find(name);
  EXPECT_NE(s, nullptr) << name;
  return s ? s->addr & ~1u : 0;
}

uint32_t pc_of(Machine& m) {
  uint64_t pc = 0;
  m.cpu_reg(CoreReg::pc, pc);
  return static_cast<uint32_t>(pc) & ~1u;
}

void expect_same_run(const RunResult& plain, const RunResult& debugged) {
  EXPECT_EQ(debugged.instructions, plain.instructions);
  EXPECT_EQ(debugged.virtual_ns, plain.virtual_ns);
  ASSERT_EQ(debugged.pins.size(), plain.pins.size());
  for (const auto& [pin, changes] : plain.pins) {
    const auto& other = debugged.pins.at(pin);
    ASSERT_EQ(other.size(), changes.size()) << pin;
    for (size_t i = 0; i < changes.size(); ++i) {
      EXPECT_EQ(other[i].t, changes[i].t) << pin << " change " << i;
      EXPECT_EQ(other[i].level, changes[i].level) << pin << " change " << i;
    }
  }
  ASSERT_EQ((strip_record(debugged) != nullptr), (strip_record(plain) != nullptr));
  if (!strip_record(plain)) return;
  ASSERT_EQ(strip_record(debugged)->frames.size(), strip_record(plain)->frames.size());
  for (size_t i = 0; i < strip_record(plain)->frames.size(); ++i) {
    EXPECT_EQ(strip_record(debugged)->frames[i].t, strip_record(plain)->frames[i].t);
    EXPECT_EQ(strip_record(debugged)->frames[i].colors, strip_record(plain)->frames[i].colors);
  }
}

MachineOptions rear_scenario() {
  MachineOptions o;
  o.run_for = 30 * kMs;
  o.levels = {{"PB5", 0, 5 * kMs, 3, 200 * kUs}};
  return o;
}

TEST(Debugger, BreakpointsAndStepsLeaveTheRunAsItWouldHaveBeen) {
  VBOARD_IMAGE(img, "rear_lamp.elf");
  RunResult plain = run_fw(*img, rear_scenario()).r;
  Machine m(*img, rear_scenario(), board_factory(default_board(*img)));
  uint32_t read_pin = symbol(*img, "cpp_loop");
  ASSERT_TRUE(m.set_breakpoint(read_pin, true));
  DebugStop s = m.debug_run(30 * kMs, false, kNoInterrupt);
  ASSERT_EQ(s.kind, DebugStop::Kind::breakpoint);
  EXPECT_EQ(pc_of(m), read_pin);
  ns_t t = m.now();
  uint64_t n = m.instructions();
  const MemoryRegion& sram = m.chip_facts().sram;
  std::vector<uint8_t> ram(sram.size);
  ASSERT_TRUE(m.debug_read(sram.base, ram.data(), ram.size()));
  EXPECT_EQ(m.now(), t) << "virtual time stands still while the core is halted";
  // Forty single steps, then continue with the breakpoint still there a few times.
  // A block's instructions are counted when the next block begins, steps or not.
  for (int i = 0; i < 40; ++i) {
    uint32_t pc = pc_of(m);
    s = m.debug_run(30 * kMs, true, kNoInterrupt);
    ASSERT_EQ(s.kind, DebugStop::Kind::step);
    EXPECT_NE(pc_of(m), pc);
    EXPECT_GE(m.instructions(), n);
    n = m.instructions();
  }
  EXPECT_GT(n, m.instructions() - 40) << "forty steps ran forty instructions at most";
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(m.debug_run(30 * kMs, false, kNoInterrupt).kind, DebugStop::Kind::breakpoint);
  m.clear_debug_points();
  EXPECT_EQ(m.debug_run(30 * kMs, false, kNoInterrupt).kind, DebugStop::Kind::end);
  expect_same_run(plain, m.result());
}

// Unicorn defers a stop inside an IT block to the end of its translated block
// (unless the block starts there): wherever the stop lands, the run stays the same.
TEST(Debugger, StopsAskedForInsideItBlocksLeaveTheRunAsItWouldHaveBeen) {
  VBOARD_IMAGE(img, "rear_lamp.elf");
  RunResult plain = run_fw(*img, rear_scenario()).r;
  Machine m(*img, rear_scenario(), board_factory(default_board(*img)));
  // A breakpoint on the first conditional instruction of every IT block in the image.
  std::set<uint32_t> inside;
  for (const Symbol& f : img->symbols()) {
    if (!f.is_func || f.size == 0) continue;
    for (uint32_t a = f.addr; a < f.addr + f.size;) {
      uint16_t hw = 0;
      m.debug_read(a, &hw, 2);
      a += (hw >> 11) >= 0x1D ? 4 : 2;
      if ((hw & 0xFF00) == 0xBF00 && (hw & 0xF) != 0) inside.insert(a);
    }
  }
  ASSERT_FALSE(inside.empty()) << "no IT block in the image";
  for (uint32_t a : inside) ASSERT_TRUE(m.set_breakpoint(a, true));
  for (int i = 0; i < 20; ++i) {
    DebugStop s = m.debug_run(30 * kMs, false, kNoInterrupt);
    ASSERT_EQ(s.kind, DebugStop::Kind::breakpoint);
    EXPECT_EQ(s.addr, pc_of(m)) << "reported where it landed";
  }
  m.clear_debug_points();
  m.run_until(30 * kMs);
  expect_same_run(plain, m.result());
}

TEST(Debugger, WatchpointsStopRightAfterTheAccessOnRamAndOnPeripheralRegisters) {
  VBOARD_IMAGE(img, "front_lamp.elf");
  MachineOptions o;
  o.run_for = 250 * kMs;
  o.pulses = {{"PA0", 1500 * kUs, 20 * kMs, 20 * kMs, ::vboard::kNever, 0}};
  RunResult plain = run_fw(*img, o).r;
  Machine m(*img, o, board_factory(default_board(*img)));
  uint32_t app = symbol(*img, "_app");
  ASSERT_TRUE(m.set_watchpoint(app, 4, WatchKind::write, true));
  // The start-up code clears it first (a write of 0), then cpp_setup stores the object.
  DebugStop s = m.debug_run(o.run_for, false, kNoInterrupt);
  ASSERT_EQ(s.kind, DebugStop::Kind::watchpoint);
  EXPECT_EQ(s.addr, app);
  EXPECT_EQ(m.image().containing(pc_of(m))->name, "Reset_Handler_Body");
  s = m.debug_run(o.run_for, false, kNoInterrupt);
  ASSERT_EQ(s.kind, DebugStop::Kind::watchpoint);
  EXPECT_NE(m.peek32(app), 0u) << "the store has happened when the stop is reported";
  EXPECT_EQ(m.image().containing(pc_of(m))->name, "cpp_setup");
  ASSERT_TRUE(m.set_watchpoint(app, 4, WatchKind::write, false));
  // The first write to GPIOA's BSRR sets the light outputs in setup().
  ASSERT_TRUE(m.set_watchpoint(reg("GPIOA", gpio::BSRR), 4, WatchKind::access, true));
  s = m.debug_run(o.run_for, false, kNoInterrupt);
  ASSERT_EQ(s.kind, DebugStop::Kind::watchpoint);
  EXPECT_EQ(s.watch, WatchKind::access);
  EXPECT_EQ(m.result().pins.at("PA9").back().level, 1) << "stopped after the write reached the pin";
  m.clear_debug_points();
  m.run_until(o.run_for);
  expect_same_run(plain, m.result());
}

TEST(Debugger, WatchedRangesEndAtTheTopOfTheAddressSpaceAtMost) {
  VBOARD_IMAGE(img, "front_lamp.elf");
  Machine m(*img, MachineOptions{}, board_factory(default_board(*img)));
  EXPECT_FALSE(m.set_watchpoint(0x20000000, 0xffffffff, WatchKind::write, true));
  EXPECT_FALSE(m.set_watchpoint(0xfffffffc, 5, WatchKind::write, true));
  // Up to the last byte: the NVIC and SCB registers the start-up code writes are in it.
  ASSERT_TRUE(m.set_watchpoint(core::scs::kBase, 0u - core::scs::kBase, WatchKind::write, true));
  DebugStop s = m.debug_run(50 * kMs, false, kNoInterrupt);
  EXPECT_EQ(s.kind, DebugStop::Kind::watchpoint);
  EXPECT_EQ(s.addr, core::scs::kBase);
}

// Each register name reaches its own register: a value written reads back
// there, the PC reads without the Thumb bit, xPSR takes only its flags, and a D
// register is its two S registers.
TEST(Debugger, CoreRegistersByName) {
  VBOARD_IMAGE(img, "rear_lamp.elf");
  Machine m(*img, rear_scenario(), board_factory(default_board(*img)));
  const struct {
    CoreReg reg;
    uint64_t write, reads;
  } cases[] = {
      {CoreReg::r0, 0x11111111, 0x11111111},
      {CoreReg::r7, 0x77777777, 0x77777777},
      {CoreReg::r12, 0xCCCCCCCC, 0xCCCCCCCC},
      {CoreReg::lr, 0x08000123, 0x08000123},
      {CoreReg::sp, 0x20001000, 0x20001000},
      {CoreReg::pc, 0x08000201, 0x08000200},
      {CoreReg::basepri, 0x40, 0x40},
      {CoreReg::s5, 0x3F800000, 0x3F800000},
      {CoreReg::d7, 0x0123456789ABCDEF, 0x0123456789ABCDEF},
      {CoreReg::fpscr, 0x00C00000, 0x00C00000},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(m.set_cpu_reg(c.reg, c.write)) << static_cast<int>(c.reg);
    uint64_t v = 0;
    ASSERT_TRUE(m.cpu_reg(c.reg, v));
    EXPECT_EQ(v, c.reads) << static_cast<int>(c.reg);
  }
  uint64_t lo = 0, hi = 0, r1 = 0;
  ASSERT_TRUE(m.cpu_reg(CoreReg::s14, lo));
  ASSERT_TRUE(m.cpu_reg(CoreReg::s15, hi));
  EXPECT_EQ(lo, 0x89ABCDEFu);
  EXPECT_EQ(hi, 0x01234567u);
  ASSERT_TRUE(m.cpu_reg(CoreReg::r1, r1));
  EXPECT_NE(r1, 0x11111111u) << "r0's value only in r0";
  uint64_t xpsr = 0;
  ASSERT_TRUE(m.set_cpu_reg(CoreReg::xpsr, 0xF0000000));
  ASSERT_TRUE(m.cpu_reg(CoreReg::xpsr, xpsr));
  EXPECT_EQ(xpsr & 0xF8000000u, 0xF0000000u) << "N Z C V set, Q clear";
  EXPECT_EQ(xpsr & 0x1FFu, 0u) << "still Thread mode";
}

TEST(Debugger, ResetGoesBackToPowerOnAndKeepsWhatTheDebuggerWroteToFlash) {
  VBOARD_IMAGE(img, "rear_lamp.elf");
  const MachineOptions o = rear_scenario();
  RunResult plain = run_fw(*img, o).r;
  Machine m(*img, o, board_factory(default_board(*img)));
  m.run_until(12 * kMs);
  const uint32_t unused = 0x0801FFF0, word = 0xC0DEFEED;  // the last bytes of flash hold no code
  ASSERT_TRUE(m.debug_write(unused, &word, 4));
  m.reset(*img);
  EXPECT_EQ(m.now(), 0u);
  EXPECT_EQ(m.instructions(), 0u);
  EXPECT_EQ(m.peek32(unused), word) << "a load survives the reset";
  m.run_until(o.run_for);
  expect_same_run(plain, m.result());
}

TEST(Debugger, ARunPastItsEndSaysWhy) {
  VBOARD_IMAGE(img, "front_lamp.elf");
  for (ns_t end : {ns_t{1}, 10 * kMs}) {
    MachineOptions o;
    o.run_for = end;
    RunResult r = run_fw(*img, o).r;
    const bool past = r.virtual_ns > end;
    EXPECT_EQ(past, end == 1)
        << "idle at 10 ms, the run ends on time; the first block takes longer than 1 ns";
    const bool said = std::any_of(r.notes.begin(), r.notes.end(), [&](const std::string& n) {
      return n.find("after the end asked for (" + format_ns(end) + ")") != std::string::npos;
    });
    EXPECT_EQ(said, past) << r.virtual_ns;
  }
}

TEST(Debugger, DebuggerAccessesAreNeverFindingsOfTheRun) {
  VBOARD_IMAGE(img, "front_lamp.elf");
  MachineOptions o;
  o.run_for = 5 * kMs;
  Machine m(*img, o, board_factory(default_board(*img)));
  m.run_until(1 * kMs);
  uint32_t v = 0;
  EXPECT_FALSE(m.debug_read(0x5FFFF000, &v, 4)) << "no model there";
  EXPECT_FALSE(m.debug_write(0x0801FFFE, &v, 4)) << "a write running past the end of flash";
  EXPECT_TRUE(m.debug_read(core::scs::kBase + core::scb::CPUID, &v, 4));
  EXPECT_EQ(v, core::scb::cpuid::kCortexM4r0p1) << "CPUID through the core register model";
  EXPECT_TRUE(m.debug_read(reg("GPIOA", gpio::MODER), &v, 4));
  RunResult r = m.run();
  EXPECT_TRUE(r.unmodelled.empty());
  EXPECT_TRUE(r.ok());
}

// Past the kept pin history (20 000 changes, 200 s of a 50 Hz pulse) the
// debugger's answers still come from the exact state of every pin.
TEST(DebugRun, MonitorAnswersStayExactPastTheKeptHistory) {
  VBOARD_IMAGE(img, "front_lamp.elf");
  MachineOptions o;
  o.pulses.push_back({"PA0", 1500 * kUs, 20 * kMs, 20 * kMs});
  Machine m(*img, o, board_factory(default_board(*img)));
  m.run_until(250 * kSec + 7 * kMs);
  gdb::MachineTarget target(m, 300 * kSec);
  std::string out;
  ASSERT_TRUE(target.monitor("pins PA0 PA9", out));
  // Rising at 20 ms, 40 ms, ... 250 s, each falling 1.5 ms later: 25 000 changes.
  EXPECT_NE(out.find("PA0 = 0 since 250.001500 s (25000 changes)"), std::string::npos) << out;
  EXPECT_NE(out.find("PA9 = 1 since "), std::string::npos) << out;
  const RunResult r = m.result();
  EXPECT_EQ(r.pins.at("PA0").size(), 20'001u) << "the history itself stays capped";
  EXPECT_EQ(r.pin_state.at("PA0"), (PinState{0, 250 * kSec + 1500 * kUs, 25'000}));
}

}  // namespace
}  // namespace vboard::test
