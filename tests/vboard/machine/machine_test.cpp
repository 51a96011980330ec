// Tests of the machine core on the self-test image (fixtures/selftest.cpp) under
// a fake board: exception entry and return with and without FP context,
// priority order, tail-chaining, SysTick timing across clock changes, faults,
// halts, unmodelled registers, sleep, and the deliberately broken variants.
#include <gtest/gtest.h>

#include "core/address_space.h"
#include "core/blocks.h"
#include "core/nvic.h"
#include "core/scb.h"
#include "core/systick.h"
#include "support/chip_names.h"
#include "support/fake_board.h"
#include "vboard/machine.h"

namespace vboard::test {
namespace {

const Image& selftest_image() {
  static std::optional<Image> img = [] {
    std::string err;
    auto i = Image::load(SELFTEST_ELF, kChip, &err);
    if (!i) ADD_FAILURE() << err;
    return i;
  }();
  return *img;
}

struct Run {
  std::unique_ptr<Machine> m;
  RunResult r;
  std::vector<uint32_t> log;
  std::vector<LogEntry> entries;
};

Run run_scenario(uint32_t scenario, MachineOptions o = {},
                 std::vector<std::pair<ns_t, unsigned>> schedule = {}) {
  Run run;
  if (o.run_for == 300 * kMs) o.run_for = 200 * kMs;
  run.m =
      std::make_unique<Machine>(selftest_image(), o, [](Bus& b) { return std::make_unique<FakeBoard>(b); });
  auto& board = static_cast<FakeBoard&>(run.m->board());
  board.dev.scenario = scenario;
  board.dev.schedule = std::move(schedule);
  run.r = run.m->run();
  run.entries = board.dev.log;
  for (const auto& e : board.dev.log) run.log.push_back(e.value);
  return run;
}

constexpr uint32_t kEnd = 0xE0D;

TEST(MachineCore, FpContextSurvivesAnInterruptOnAMisalignedStack) {
  auto run = run_scenario(1, {}, {{2 * kMs, 0}});
  ASSERT_TRUE(run.r.ok());
  ASSERT_GE(run.log.size(), 3u);
  EXPECT_EQ(run.log[0], 0u) << "S0..S15 registers changed by the handler";
  EXPECT_EQ(run.log[1], 0u) << "SP differs after the exception return";
  EXPECT_EQ(run.log[2], kEnd);
  EXPECT_EQ(run.r.exceptions.at(16).count, 1u);
}

TEST(MachineCore, MutationWithoutFpFrameIsCaught) {
  MachineOptions o;
  o.break_no_fp_frame = true;
  auto run = run_scenario(1, o, {{2 * kMs, 0}});
  ASSERT_FALSE(run.log.empty());
  EXPECT_NE(run.log[0], 0u);
}

const std::vector<uint32_t> kOrder = {5,  10,    0x107, 8,     0x207, 0x109, 0x209,
                                      11, 0x10C, 14,    0x20C, 13,    0xD0,  kEnd};

TEST(MachineCore, PriorityNumberPreemptionAndGroupingDecideHandlerOrder) {
  auto run = run_scenario(2);
  EXPECT_TRUE(run.r.ok());
  EXPECT_EQ(run.log, kOrder);
  EXPECT_FALSE(run.r.halt);
}

TEST(MachineCore, MutationWithReversedTieOrderIsCaught) {
  MachineOptions o;
  o.break_tail_chain_order = true;
  EXPECT_NE(run_scenario(2, o).log, kOrder);
}

TEST(MachineCore, MutationWithoutFlagRebuildIsCaught) {
  MachineOptions o;
  o.break_no_flag_restore = true;
  auto run = run_scenario(2, o);
  EXPECT_NE(run.log, kOrder);
}

TEST(MachineCore, SysTickFollowsClockChangesAndSourceAndBusyWaitsAreSkipped) {
  auto run = run_scenario(3);
  ASSERT_TRUE(run.r.ok());
  ASSERT_GE(run.log.size(), 5u);
  // 100 ticks of 1 ms at 16 MHz, 50 at 64 MHz, 10 at 64 MHz / 8, each wait
  // ending on the tick after its start (up to one tick early at the start).
  EXPECT_NEAR(run.log[0], 100000, 1000);
  EXPECT_NEAR(run.log[1], 150000, 1000);
  EXPECT_NEAR(run.log[2], 160000, 1000);
  EXPECT_EQ(run.log[3], 0x12345678u) << "initialised data not copied";
  EXPECT_EQ(run.r.exceptions.at(15).count, 160u);
  EXPECT_EQ(run.r.registers.at("SysTick").at("LOAD"), 7999u);
  // Busy-waiting on the tick counter is skipped: far fewer instructions than cycles.
  EXPECT_LT(run.r.instructions, 2000000u);
  EXPECT_GT(run.r.idle_ns, 100 * kMs);
}

// Idle detection compares only what may have changed: RAM the CPU wrote and FP
// registers after an FP instruction. A loop whose core registers repeat while
// it counts in RAM or in an FP register must run every pass: 2 ms at 16 MHz
// and one cycle per instruction is 32,000 instructions, 7 per RAM pass and 4
// per FP pass.
TEST(MachineCore, LoopsCountingInRamOrFpRegistersAreNotIdle) {
  auto ram = run_scenario(12);
  ASSERT_TRUE(ram.r.ok());
  ASSERT_GE(ram.log.size(), 1u);
  EXPECT_NEAR(ram.log[0], 32000 / 7, 200);
  auto fp = run_scenario(13);
  ASSERT_TRUE(fp.r.ok());
  ASSERT_GE(fp.log.size(), 1u);
  EXPECT_NEAR(fp.log[0], 32000 / 4, 300);
  // The same loops with nothing left to do are idle: the SysTick wait before
  // them is skipped (fewer instructions than a busy wait would take).
  EXPECT_GT(ram.r.idle_ns, 100 * kMs);
}

// The chip drops a write to a peripheral whose clock is off; the firmware's
// setting is lost, so the run fails with a finding that names the peripheral.
TEST(MachineCore, WritesToAPeripheralWithoutClockAreLostAndReported) {
  Machine m(selftest_image(), MachineOptions{}, [](Bus& b) { return std::make_unique<FakeBoard>(b); });
  auto& board = static_cast<FakeBoard&>(m.board());
  board.dev.scenario = 2;
  board.dev.gated = true;
  const RunResult r = m.run();
  EXPECT_TRUE(board.dev.log.empty()) << "a write reached the device";
  ASSERT_EQ(r.diagnostics.size(), 1u);
  EXPECT_EQ(r.diagnostics[0].kind, "clock_off");
  EXPECT_EQ(r.diagnostics[0].where, "TESTDEV");
}

TEST(MachineCore, RunsAreRepeatable) {
  auto a = run_scenario(3);
  auto b = run_scenario(3);
  EXPECT_EQ(a.r.instructions, b.r.instructions);
  ASSERT_EQ(a.entries.size(), b.entries.size());
  for (size_t i = 0; i < a.entries.size(); ++i) EXPECT_EQ(a.entries[i].t, b.entries[i].t);
}

TEST(MachineCore, UnmappedReadTakesHardFaultThroughTheVector) {
  auto run = run_scenario(4);
  ASSERT_TRUE(run.r.halt);
  EXPECT_EQ(run.r.halt->reason, "hard_fault");
  EXPECT_EQ(run.r.halt->symbol, "HardFault_Handler");
  EXPECT_EQ(run.r.halt->exception, 3u);
  ASSERT_EQ(run.log.size(), 3u);
  EXPECT_TRUE(run.log[0] & (1u << 9)) << "CFSR PRECISERR";
  EXPECT_TRUE(run.log[1] & (1u << 30)) << "HFSR FORCED";
  EXPECT_EQ(run.log[2], 0x30000000u) << "BFAR";
  EXPECT_LT(run.r.virtual_ns, 10 * kMs) << "a halted run ends early";
}

TEST(MachineCore, EnabledInterruptWithoutHandlerStopsInDefaultHandler) {
  auto run = run_scenario(5);
  ASSERT_TRUE(run.r.halt);
  EXPECT_EQ(run.r.halt->reason, "default_handler");
  EXPECT_EQ(run.r.halt->exception, 16u + 20);
  EXPECT_FALSE(run.r.halt->primask);
}

TEST(MachineCore, ErrorHandlerIsReportedWithInterruptsMasked) {
  auto run = run_scenario(6);
  ASSERT_TRUE(run.r.halt);
  EXPECT_EQ(run.r.halt->reason, "error_handler");
  EXPECT_EQ(run.r.halt->symbol, "Error_Handler");
  EXPECT_TRUE(run.r.halt->primask);
  auto inlined = run_scenario(11);
  ASSERT_TRUE(inlined.r.halt);
  EXPECT_EQ(inlined.r.halt->reason, "error_handler");
  EXPECT_EQ(inlined.r.halt->symbol, "Error_Handler");
  EXPECT_TRUE(inlined.r.halt->primask);
}

// The self-test image reads a word of its test device that the device does
// not serve and writes where the fake board has no device (fixtures/selftest.cpp).
TEST(MachineCore, UnmodelledRegistersAreRecordedWithCodePosition) {
  auto run = run_scenario(7);
  EXPECT_FALSE(run.r.ok());
  ASSERT_EQ(run.r.unmodelled.size(), 2u);
  EXPECT_EQ(run.r.unmodelled[0].addr, 0x40000100u);
  EXPECT_FALSE(run.r.unmodelled[0].is_write);
  EXPECT_EQ(run.r.unmodelled[0].device, "TESTDEV");
  EXPECT_EQ(run.r.unmodelled[1].addr, 0x40013000u);
  EXPECT_TRUE(run.r.unmodelled[1].is_write);
  EXPECT_NE(run.r.unmodelled[1].where.find("main"), std::string::npos) << run.r.unmodelled[1].where;
}

TEST(MachineCore, WfiSleepsUntilTheNextInterrupt) {
  auto run = run_scenario(8, {}, {{5 * kMs, 1}});
  ASSERT_GE(run.log.size(), 2u);
  EXPECT_NEAR(run.log[0], 5000, 5);
  EXPECT_LT(run.r.instructions, 10000u);
}

TEST(MachineCore, FloatingPointBeforeCpacrFaultsLikeTheChip) {
  auto run = run_scenario(9);
  ASSERT_TRUE(run.r.halt);
  EXPECT_EQ(run.r.halt->reason, "hard_fault");
  ASSERT_FALSE(run.log.empty());
  EXPECT_TRUE(core::scb::cfsr::NOCP.test(run.log[0]));
  EXPECT_FALSE(run.r.ok());
}

TEST(MachineCore, SupervisorCallRunsItsHandlerAndReturns) {
  auto run = run_scenario(10);
  EXPECT_EQ(run.log, (std::vector<uint32_t>{0x5C, 0x5D, kEnd}));
}

TEST(AddressSpace, WriteLogKeepsTheFirstWritesAndCountsThemAll) {
  core::AddressSpace space{kChip};
  const size_t n = core::AddressSpace::kWritesKept + 7;
  const uint32_t rcc_cr = reg("RCC", rcc::CR);
  for (size_t i = 0; i < n; ++i) space.log_write(i, rcc_cr, static_cast<uint32_t>(i), 4, 0);
  ASSERT_EQ(space.writes().size(), core::AddressSpace::kWritesKept) << "bounded";
  EXPECT_EQ(space.mmio_writes(), n) << "idle detection still sees every write";
  EXPECT_EQ(space.writes().back().seq, core::AddressSpace::kWritesKept - 1);
  EXPECT_EQ(space.writes().back().value, core::AddressSpace::kWritesKept - 1);
}

// Which granules a write marks, including writes that straddle an end of SRAM
// and host writes through poke_ram.
TEST(AddressSpace, RamWritesMarkExactlyTheGranulesTheyTouch) {
  using core::AddressSpace;
  constexpr uint32_t kGranule = 1u << AddressSpace::kGranuleBits;
  AddressSpace space{kChip};
  const uint32_t kRamBase = kChip.sram.base, kRamSize = kChip.sram.size;
  const auto marked = [&](uint64_t since) {
    std::vector<uint32_t> g;
    for (uint32_t i = 0; i < space.granules(); ++i)
      if (space.granule_write(i) > since) g.push_back(i);
    return g;
  };
  space.note_ram_write(kRamBase + kGranule - 2, 4);  // straddles granules 0 and 1
  EXPECT_EQ(marked(0), (std::vector<uint32_t>{0, 1}));
  uint64_t t = space.ram_writes();
  space.note_ram_write(kRamBase - 4, 8);  // starts below SRAM
  EXPECT_EQ(marked(t), (std::vector<uint32_t>{0}));
  t = space.ram_writes();
  space.note_ram_write(kRamBase + kRamSize - 2, 8);  // runs past its end
  EXPECT_EQ(marked(t), (std::vector<uint32_t>{space.granules() - 1}));
  t = space.ram_writes();
  space.note_ram_write(kRamBase + kRamSize, 4);  // outside: nothing
  space.note_ram_write(core::kPeriphBase, 4);
  EXPECT_EQ(space.ram_writes(), t);
  const uint32_t v = 7;
  ASSERT_TRUE(space.poke_ram(kRamBase + 5 * kGranule, &v, 4));
  EXPECT_EQ(marked(t), (std::vector<uint32_t>{5}));
  // A group's count is the latest of its granules'.
  EXPECT_EQ(space.group_write(0), space.granule_write(5));
  EXPECT_EQ(space.group_write(space.groups() - 1), space.granule_write(space.granules() - 1));
}

// CPU stores reach SRAM with no hook: a scan finds what changed by content,
// cold pages are passed over until a store warms them, a page warmed again
// waits four times as long, and host writes keep the scanned copy in step.
TEST(AddressSpace, ScansFindStoresByContentAndPassOverColdPages) {
  using core::AddressSpace;
  constexpr uint32_t kGranule = 1u << AddressSpace::kGranuleBits, kPage = 1024;
  AddressSpace space{kChip};
  space.set_scan_page(kPage);
  const auto marked = [&](uint64_t since) {
    std::vector<uint32_t> g;
    for (uint32_t i = 0; i < space.granules(); ++i)
      if (space.granule_write(i) > since) g.push_back(i);
    return g;
  };
  const auto store = [&](uint32_t off, uint8_t v) { space.ram()[off] = v; };  // as the engine does
  const auto scans = [&](uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) space.scan_ram();
  };
  store(3 * kGranule + 5, 0xA5);
  EXPECT_EQ(marked(0), std::vector<uint32_t>{});
  space.scan_ram();
  EXPECT_EQ(marked(0), (std::vector<uint32_t>{3}));  // the host wrote nothing: the scan finds it
  uint64_t t = space.ram_writes();
  store(3 * kGranule + 5, 0xA5);  // the same value again: nothing changed
  space.scan_ram();
  EXPECT_EQ(space.ram_writes(), t);
  const uint8_t v = 9;
  ASSERT_TRUE(space.poke_ram(kChip.sram.base + 9 * kGranule, &v, 1));
  t = space.ram_writes();
  space.scan_ram();
  EXPECT_EQ(marked(t), std::vector<uint32_t>{}) << "the host's write was counted when made";
  // Every page quiet for kQuietScans scans turns cold when the machine settles them.
  scans(AddressSpace::kQuietScans - 1);
  EXPECT_TRUE(space.pages_changed());
  space.settle_pages();
  ASSERT_TRUE(space.page_cold(0));
  // A store to a cold page traps in the machine, which warms the page first.
  space.warm_page(0);
  store(2 * kGranule, 1);
  t = space.ram_writes();
  space.scan_ram();
  EXPECT_EQ(marked(t), (std::vector<uint32_t>{2}));
  scans(AddressSpace::kQuietScans);
  space.settle_pages();
  EXPECT_FALSE(space.page_cold(0)) << "a page warmed again waits four times as long";
  scans(3 * AddressSpace::kQuietScans);
  space.settle_pages();
  EXPECT_TRUE(space.page_cold(0));
}

// Which instructions make a block one that may store (and so a scan after
// it): every store encoding of Thumb and Thumb-2, none of the loads beside them.
TEST(BlockCache, BlocksThatMayStoreAreTheOnesWithAStoreInstruction) {
  struct Case {
    std::vector<uint16_t> code;
    bool stores;
    const char* what;
  };
  const Case cases[] = {
      {{0x6001}, true, "str r1, [r0]"},
      {{0x6801}, false, "ldr r1, [r0]"},
      {{0x7001}, true, "strb r1, [r0]"},
      {{0x8001}, true, "strh r1, [r0]"},
      {{0x8801}, false, "ldrh r1, [r0]"},
      {{0x5081}, true, "str r1, [r0, r2]"},
      {{0x5481}, true, "strb r1, [r0, r2]"},
      {{0x5681}, false, "ldrsb r1, [r0, r2]"},
      {{0x9100}, true, "str r1, [sp]"},
      {{0x9900}, false, "ldr r1, [sp]"},
      {{0xB500}, true, "push {lr}"},
      {{0xBD00}, false, "pop {pc}"},
      {{0xC006}, true, "stmia r0!, {r1, r2}"},
      {{0xC806}, false, "ldmia r0!, {r1, r2}"},
      {{0xF8C0, 0x1000}, true, "str.w r1, [r0]"},
      {{0xF8D0, 0x1000}, false, "ldr.w r1, [r0]"},
      {{0xF800, 0x1C01}, true, "strb r1, [r0, #-1]"},
      {{0xE9C0, 0x1200}, true, "strd r1, r2, [r0]"},
      {{0xE9D0, 0x1200}, false, "ldrd r1, r2, [r0]"},
      {{0xE92D, 0x4000}, true, "push.w {lr}"},
      {{0xE8BD, 0x8000}, false, "pop.w {pc}"},
      {{0xE840, 0x1200}, true, "strex r2, r1, [r0]"},
      {{0xED80, 0x0A00}, true, "vstr s0, [r0]"},
      {{0xED90, 0x0A00}, false, "vldr s0, [r0]"},
      {{0xED2D, 0x8B02}, true, "vpush {d8}"},
      {{0x3101, 0x4291}, false, "adds; cmp"},
  };
  for (const Case& c : cases) {
    core::AddressSpace space{kChip};
    const uint32_t at = kChip.flash.base + 0x1000;
    ASSERT_TRUE(space.poke_flash(at, c.code.data(), 2 * c.code.size()));
    core::BlockCache blocks{space, selftest_image()};
    EXPECT_EQ(blocks.block(at, static_cast<uint32_t>(2 * c.code.size())).may_store, c.stores) << c.what;
  }
}

// The address space is the chip's its facts describe: another map moves flash,
// its alias and SRAM with it.
TEST(AddressSpace, FollowsTheMemoryMapItIsGiven) {
  const ChipFacts other{.flash = {0x00800000, 8 * 1024}, .sram = {0x30000000, 4 * 1024}};
  struct Case {
    const ChipFacts& chip;
    uint32_t addr, n;
    bool readable, ram;
  };
  const Case cases[] = {
      {kChip, kChip.flash.base + kChip.flash.size - 4, 4, true, false},
      {kChip, kChip.flash.size - 2, 4, false, false},  // runs off the alias
      {kChip, kChip.sram.base + kChip.sram.size - 4, 4, true, true},
      {other, 0x00800000 + 8 * 1024 - 4, 4, true, false},
      {other, 8 * 1024 - 4, 4, true, false},  // the alias is as large as that flash
      {other, 8 * 1024, 4, false, false},
      {other, 0x30000000 + 4 * 1024 - 4, 4, true, true},
      {other, kChip.sram.base, 4, false, false},
  };
  for (const Case& c : cases) {
    core::AddressSpace space{c.chip};
    uint32_t v = 0;
    EXPECT_EQ(space.peek(c.addr, &v, c.n), c.readable) << std::hex << c.addr;
    EXPECT_EQ(space.ram_range(c.addr, c.n), c.ram) << std::hex << c.addr;
    EXPECT_EQ(space.poke_ram(c.addr, &v, c.n), c.ram) << std::hex << c.addr;
  }
  EXPECT_EQ(core::AddressSpace{other}.granules(), 4u * 1024 >> core::AddressSpace::kGranuleBits);
}

// ISER/ISPR/IABR words are built eight entries at a time; compare with a bit
// by bit reading for patterns that include the last, partial word.
TEST(Nvic, RegisterWordsMatchTheStateBitByBit) {
  std::array<bool, core::kNumExc> state{};
  uint32_t seed = 12345;
  for (int round = 0; round < 200; ++round) {
    for (auto& b : state) {
      seed = seed * 1103515245u + 12345u;
      b = (seed >> 16) % (round % 5 + 2) == 0;
    }
    for (unsigned k = 0; k * 32 < core::kNumIrq; ++k) {
      uint32_t want = 0;
      for (unsigned i = 0; i < 32 && 16 + 32 * k + i < core::kNumExc; ++i)
        if (state[16 + 32 * k + i]) want |= 1u << i;
      ASSERT_EQ(core::Nvic::word_bits(state.data(), k), want) << "round " << round << " word " << k;
    }
  }
}

// The core's registers are declared like the chip's: every one reads, no bit has
// two access kinds, and a field the core does not implement is reported when a
// write sets it (and only then), with the register keeping the value.
TEST(CoreRegisters, DeclaredByAccessKind) {
  core::VirtualClock clock;
  core::Nvic nvic(false);
  core::SysTick systick(clock, nvic);
  core::Scb scb(nvic, clock);
  for (const core::RegTable* t : {&nvic.table(), &systick.table(), &scb.table()})
    for (size_t i = 0; i < t->defs().size(); ++i) {
      const core::RegDef& d = t->defs()[i];
      const uint32_t addr = t->address(static_cast<int>(i));
      uint32_t v = 0;
      EXPECT_TRUE(nvic.read(addr, v) || systick.read(addr, 0, v) || scb.read(addr, v)) << d.name;
      const uint32_t kinds[] = {d.stored(), d.ro, d.w0c, d.w1c, d.wo, d.w1s};
      for (size_t a = 0; a < std::size(kinds); ++a)
        for (size_t b = a + 1; b < std::size(kinds); ++b) EXPECT_EQ(kinds[a] & kinds[b], 0u) << d.name;
    }
  namespace cfsr = core::scb::cfsr;
  const uint32_t scr = core::scs::kBase + core::scb::SCR;
  core::Findings findings;
  scb.set_findings(&findings);
  EXPECT_EQ(scb.write(scr, 0), core::Scb::Write::done);
  EXPECT_TRUE(findings.entries().empty());
  EXPECT_EQ(scb.write(scr, core::scb::scr::SLEEPDEEP.mask()), core::Scb::Write::done);
  ASSERT_EQ(findings.entries().size(), 1u);
  EXPECT_EQ(findings.entries()[0].kind, "not_modelled");
  EXPECT_EQ(findings.entries()[0].where, "SCB");
  EXPECT_NE(findings.entries()[0].message.find("SCR.SLEEPDEEP"), std::string::npos);
  EXPECT_EQ(scb.reg("SCR"), core::scb::scr::SLEEPDEEP.mask());
  // Fault status flags clear by a 1; CCR.STKALIGN stays set.
  scb.raise_cfsr(cfsr::UNDEFINSTR | cfsr::IBUSERR);
  scb.write(core::scs::kBase + core::scb::CFSR, cfsr::IBUSERR.mask());
  EXPECT_EQ(scb.reg("CFSR"), cfsr::UNDEFINSTR.mask());
  scb.write(core::scs::kBase + core::scb::CCR, 0);
  EXPECT_TRUE(scb.stack_align8());
}

}  // namespace
}  // namespace vboard::test
