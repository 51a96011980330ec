// The register view (chip/reg_view.h): its generated table against the chip
// description, and the text it makes from register values a fake reader gives.
#include <gtest/gtest.h>

#include <map>

#include "chip/reg_view.h"
#include "chip/stm32g431_desc.h"
#include "support/line_of.h"

namespace vboard::chip_test {
namespace {

using periph::regview::table;
using test::line_of;

// Registers as words at addresses; an address not held cannot be read.
struct FakeBus {
  std::map<uint32_t, uint32_t> words;
  periph::regview::ReadWord reader() {
    return [this](uint32_t addr, uint32_t& v) {
      const auto it = words.find(addr);
      if (it == words.end()) return false;
      v = it->second;
      return true;
    };
  }
};

constexpr uint32_t kRcc = 0x40021000, kTim17 = 0x40014800, kApb2enr = 0x060;

TEST(RegView, TableHoldsThePeripheralsOfTheChipDescriptionAtTheirBases) {
  const auto& desc = periph::desc::peripherals();
  ASSERT_EQ(table().peripherals.size(), desc.size());
  for (size_t i = 0; i < desc.size(); ++i) {
    const auto& row = table().peripherals[i];
    EXPECT_STREQ(row.name, desc[i].name);
    EXPECT_EQ(row.base, desc[i].base) << row.name;
    // Each register inside the block, its fields inside the word and apart,
    // each named value one the field can hold.
    for (const auto& r : table().registers.subspan(row.first_register, row.registers)) {
      EXPECT_LT(r.offset, desc[i].size) << row.name << " " << r.name;
      uint32_t seen = 0;
      for (const auto& f : table().fields.subspan(r.first_field, r.fields)) {
        ASSERT_LE(f.pos + f.width, 32u) << r.name << "." << f.name;
        const uint32_t mask = static_cast<uint32_t>(((uint64_t{1} << f.width) - 1) << f.pos);
        EXPECT_EQ(seen & mask, 0u) << row.name << " " << r.name << "." << f.name << " overlaps";
        seen |= mask;
        for (const auto& v : table().values.subspan(f.first_value, f.values))
          EXPECT_LT(uint64_t{v.value}, uint64_t{1} << f.width) << r.name << "." << f.name;
      }
    }
  }
}

TEST(RegView, OneRegisterShowsEachFieldWithTheMeaningOfItsValue) {
  FakeBus bus;
  bus.words = {{kTim17 + 0x00, 0x00000281},  // CR1: CEN, ARPE, CKD = 2
               {kTim17 + 0x18, 0x00000068},  // CCMR1: OC1PE, OC1M = 6
               {kTim17 + 0x2C, 0x0000012B},  // ARR = 299
               {kTim17 + 0x14, 0},           // EGR
               {kRcc + 0x08, 0x0000000F}};   // CFGR: SW = SWS = 3
  const struct {
    const char *periph, *reg, *field, *line;
  } rows[] = {
      {"TIM17", "CR1", "TIM17", "TIM17 CR1 = 0x00000281 at 0x40014800 (read-write, reset 0x00000000)"},
      {"TIM17", "CR1", "CEN", "CEN [0] 1 Counter enabled"},
      {"TIM17", "CR1", "UDIS", "UDIS [1] 0 UEV enabled"},
      {"tim17", "cr1", "CKD", "CKD [9:8] 2 tDTS=4*ttim_ker_ck"},
      {"TIM17", "CCMR1", "OC1M", "OC1M [6:4] 6 PWM mode 1 - Channel 1 is active as long as..."},
      {"TIM17", "CCMR1", "OC1PE", "OC1PE [3] 1 Preload register on TIMx_CCR1 enabled"},
      {"TIM17", "ARR", "ARR", "ARR [19:0] 299 (0x0012B)"},
      {"TIM17", "EGR", "UG", "UG [0] - write-only (reads 0)"},
      {"RCC", "CFGR", "SWS", "SWS [3:2] 3 PLL used as system clock"},
      {"TIM17", "RCR", "TIM17",
       "TIM17 RCR: cannot be read (no model implements it) at 0x40014830 (read-write, "
       "reset 0x00000000)"},
  };
  for (const auto& row : rows) {
    std::string out;
    ASSERT_TRUE(periph::regview::describe(row.periph, row.reg, bus.reader(), out)) << row.reg;
    EXPECT_EQ(line_of(out, row.field), row.line) << out;
  }
}

TEST(RegView, APeripheralShowsItsRegistersAndWhetherItsClockRuns) {
  FakeBus bus;
  for (uint32_t off = 0; off < 0x400; off += 4) bus.words[kTim17 + off] = 0;
  bus.words[kTim17] = 0x81;
  bus.words[kTim17 + 0x2C] = 0x12345;
  for (const bool on : {false, true}) {
    bus.words[kRcc + kApb2enr] = on ? 1u << 18 : 0u;
    std::string out;
    ASSERT_TRUE(periph::regview::describe("TIM17", "", bus.reader(), out));
    EXPECT_EQ(line_of(out, "TIM17"), on ? "TIM17 at 0x40014800; clock on (RCC APB2ENR.TIM17EN = 1)"
                                        : "TIM17 at 0x40014800; clock off (RCC APB2ENR.TIM17EN = 0): its "
                                          "registers read 0 and writes to them are lost");
    EXPECT_EQ(line_of(out, "CR1"),
              "CR1 = 0x00000081 CEN=1 UDIS=0 URS=0 OPM=0 ARPE=1 CKD=0 UIFREMAP=0 DITHEN=0");
    EXPECT_EQ(line_of(out, "ARR"), "ARR = 0x00012345 ARR=0x12345") << "wide fields in hex";
    EXPECT_EQ(line_of(out, "EGR"), "EGR write-only (reads 0)");
  }
  std::string out;
  ASSERT_TRUE(periph::regview::describe("RCC", "", bus.reader(), out));
  EXPECT_EQ(line_of(out, "RCC"), "RCC at 0x40021000") << "RCC has no clock gate";
}

TEST(RegView, AnUnknownNameIsAnsweredWithWhatExists) {
  FakeBus bus;
  const struct {
    const char *periph, *reg, *starts;
  } rows[] = {
      {"TIM3", "", "monitor regs: no peripheral 'TIM3' (peripherals: RCC, PWR, FLASH, SYSCFG, EXTI, GPIOA, "},
      {"", "", "monitor regs PERIPH [REG]: name a peripheral (peripherals: RCC, PWR, "},
      {"TIM17", "CCR2", "monitor regs: TIM17 has no register 'CCR2' (registers: CR1, CR2, DIER, SR, EGR, "},
  };
  for (const auto& row : rows) {
    std::string out;
    EXPECT_FALSE(periph::regview::describe(row.periph, row.reg, bus.reader(), out));
    EXPECT_EQ(out.rfind(row.starts, 0), 0u) << out;
    EXPECT_EQ(out.find('\n'), out.size() - 1) << "one line: " << out;
  }
}

}  // namespace
}  // namespace vboard::chip_test
