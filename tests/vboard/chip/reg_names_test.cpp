// Register names (chip/stm32g431_regs.h, core/armv7m_regs.h): the Field
// arithmetic, the indexed families, the offsets against the models' own
// tables, and the models answering to the names.
#include "chip/stm32g431_regs.h"
#include "chip_fixture.h"
#include "core/armv7m_regs.h"
#include "core/nvic.h"
#include "core/scb.h"
#include "core/systick.h"

namespace vboard::chip_test {
namespace {

// The indexed forms land on the members they stand for, numbered as in the names.
static_assert(periph::tim::ccer::CCxE(1) == periph::tim::ccer::CC1E);
static_assert(periph::tim::ccer::CCxP(4) == periph::tim::ccer::CC4P);
static_assert(periph::tim::ccer::CCxE(6) == periph::tim::ccer::CC6E);
static_assert(periph::tim::ccmr2::OCxM(4) == periph::tim::ccmr2::OC4M);
static_assert(periph::tim::ccmr1::OCxM_1(2) == periph::tim::ccmr1::OC2M_1);
static_assert(periph::tim::CCRx(4) == periph::tim::CCR4);
static_assert(periph::dma::CCRx(6) == periph::dma::CCR6);
static_assert(periph::dmamux::CxCR(0) == periph::dmamux::C0CR &&
              periph::dmamux::CxCR(11) == periph::dmamux::C11CR);
static_assert(periph::gpio::afrh::AFRHx(15).mask() == 0xF0000000u);
static_assert(periph::gpio::moder::MODERx(0).mask() == 0x3u);
static_assert(periph::dma::isr::GIFx(1).mask() == 0x1u && periph::dma::isr::TEIFx(6).mask() == 1u << 23);
static_assert(core::nvic::IPRx(31) == 0x47C && core::nvic::irq_priority(39) == core::Field{24, 8});
static_assert(core::scb::SHPR_of(core::kSysTick) == core::scb::SHPR3 &&
              core::scb::exc_priority(core::kSysTick) == core::Field{24, 8});
static_assert(core::scb::SHPR_of(core::kMemManage) == core::scb::SHPR1);
// The fault masks core/layout.h keeps are the named CFSR fields.
static_assert(core::scb::cfsr::IBUSERR.mask() == core::kIbusErr);
static_assert(core::scb::cfsr::PRECISERR.mask() == core::kPreciseErr);
static_assert(core::scb::cfsr::BFARVALID.mask() == core::kBfarValid);
static_assert(core::scb::cfsr::UNDEFINSTR.mask() == core::kUndefInstr);
static_assert(core::scb::cfsr::INVSTATE.mask() == core::kInvState);
static_assert(core::scb::cfsr::INVPC.mask() == core::kInvPc);
static_assert(core::scb::cfsr::NOCP.mask() == core::kNoCp);
static_assert(core::scb::cfsr::UNALIGNED.mask() == core::kUnaligned);

TEST(RegNames, FieldReadsWritesAndTestsItsBitsOnly) {
  using core::Field;
  struct Case {
    Field f;
    uint32_t reg, value;
    uint32_t mask, got, put, placed;
    bool set;
  };
  const Case cases[] = {
      // One bit at each end of the word.
      {{0, 1}, 0xFFFFFFFE, 1, 0x00000001, 0, 0xFFFFFFFF, 0x00000001, false},
      {{31, 1}, 0x80000000, 0, 0x80000000, 1, 0x00000000, 0x00000000, true},
      // A middle field: a value wider than the field loses its upper bits and
      // the neighbours keep theirs.
      {{4, 3}, 0xFFFFFFDF, 0xF, 0x00000070, 5, 0xFFFFFFFF, 0x00000070, true},
      {{4, 3}, 0x0000008F, 0x9, 0x00000070, 0, 0x0000009F, 0x00000010, false},
      // The whole word.
      {{0, 32}, 0x12345678, 0xCAFEF00D, 0xFFFFFFFF, 0x12345678, 0xCAFEF00D, 0xCAFEF00D, true},
      // A top field of several bits.
      {{28, 4}, 0x0FFFFFFF, 0x1A, 0xF0000000, 0, 0xAFFFFFFF, 0xA0000000, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "field at " << c.f.pos << "/" << c.f.width);
    EXPECT_EQ(c.f.mask(), c.mask);
    EXPECT_EQ(c.f.get(c.reg), c.got);
    EXPECT_EQ(c.f.put(c.reg, c.value), c.put);
    EXPECT_EQ(c.f(c.value), c.placed);
    EXPECT_EQ(c.f.test(c.reg), c.set);
  }
  EXPECT_EQ(periph::dma::ccrx::EN | periph::dma::ccrx::CIRC | periph::dma::ccrx::MINC, 0xA1u);
}

TEST(RegNames, ChipOffsetsAreTheModelsOffsets) {
  namespace p = periph;
  struct Case {
    const char* block;
    const char* name;
    uint32_t offset;
  };
  const Case cases[] = {
      {"RCC", "APB1ENR1", p::rcc::APB1ENR1},
      {"RCC", "CCIPR2", p::rcc::CCIPR2},
      {"PWR", "CR5", p::pwr::CR5},
      {"PWR", "PDCRG", p::pwr::PDCRG},
      {"FLASH", "SEC1R", p::flash::SEC1R},
      {"SYSCFG", "EXTICR4", p::syscfg::EXTICRx(4)},
      {"SYSCFG", "SKR", p::syscfg::SKR},
      {"EXTI", "PR2", p::exti::PRx(2)},
      {"GPIOA", "BRR", p::gpio::BRR},
      {"GPIOB", "AFRH", p::gpio::AFRH},
      {"TIM1", "BDTR", p::tim::BDTR},
      {"TIM1", "CCMR3", p::tim::CCMR3},
      {"TIM2", "CCR4", p::tim::CCRx(4)},
      {"TIM4", "DMAR", p::tim::DMAR},
      {"TIM7", "ARR", p::tim::ARR},
      {"TIM17", "OR1", p::tim::OR1},
      {"DMAMUX", "C11CR", p::dmamux::CxCR(11)},
      {"DMAMUX", "RGCFR", p::dmamux::RGCFR},
      {"DMA1", "CCR1", p::dma::CCRx(1)},
      {"DMA1", "CMAR6", p::dma::CMARx(6)},
      {"USART3", "ISR", p::usart::ISR},
      {"USART3", "PRESC", p::usart::PRESC},
  };
  // The offset the model's table gives the register it names `name` (the
  // names a register dump shows), ~0 if the model has none.
  test::NullBus bus;
  const periph::Stm32g431 chip(bus);
  const auto model_offset = [&](std::string_view block, std::string_view name) {
    for (const periph::RegBlock* b : chip.mmio())
      for (const periph::RegDef& r : b->defs())
        if (b->name() == block && name == r.name) return r.offset;
    return ~0u;
  };
  for (const Case& c : cases) EXPECT_EQ(model_offset(c.block, c.name), c.offset) << c.block << "." << c.name;
}

TEST(RegNames, CoreOffsetsAreTheCoreModelsAddresses) {
  core::Nvic nvic(false);
  core::VirtualClock clock;
  const core::Scb scb(nvic, clock);
  const core::SysTick systick(clock, nvic);
  const uint32_t scs = core::scs::kBase;
  struct Case {
    const core::RegTable& table;
    const char* name;
    uint32_t addr;
  };
  const Case cases[] = {
      {scb.table(), "ACTLR", scs + core::scs::ACTLR},
      {scb.table(), "CPUID", scs + core::scb::CPUID},
      {scb.table(), "ICSR", scs + core::scb::ICSR},
      {scb.table(), "AIRCR", scs + core::scb::AIRCR},
      {scb.table(), "SHCSR", scs + core::scb::SHCSR},
      {scb.table(), "CFSR", scs + core::scb::CFSR},
      {scb.table(), "BFAR", scs + core::scb::BFAR},
      {scb.table(), "ID_PFR0", scs + core::scb::ID_PFR0},
      {scb.table(), "CPACR", scs + core::scb::CPACR},
      {scb.table(), "DEMCR", scs + core::coredebug::DEMCR},
      {scb.table(), "FPCCR", scs + core::fpu::FPCCR},
      {scb.table(), "MVFR1", scs + core::fpu::MVFR1},
      {scb.table(), "DWT_CTRL", core::dwt::kBase + core::dwt::CTRL},
      {scb.table(), "DWT_CYCCNT", core::dwt::kBase + core::dwt::CYCCNT},
      {nvic.table(), "ICTR", scs + core::scs::ICTR},
      {nvic.table(), "ISER7", scs + core::nvic::ISERx(7)},
      {nvic.table(), "ICPR0", scs + core::nvic::ICPRx(0)},
      {nvic.table(), "IABR3", scs + core::nvic::IABRx(3)},
      {nvic.table(), "IPR31", scs + core::nvic::IPRx(31)},
      {nvic.table(), "SHPR2", scs + core::scb::SHPR2},
      {nvic.table(), "STIR", scs + core::nvic::STIR},
      {systick.table(), "CTRL", scs + core::systick::CTRL},
      {systick.table(), "CALIB", scs + core::systick::CALIB},
  };
  for (const Case& c : cases) {
    int found = -1;
    for (size_t i = 0; i < c.table.defs().size(); ++i)
      if (std::string_view(c.table.defs()[i].name) == c.name) found = static_cast<int>(i);
    ASSERT_GE(found, 0) << c.name;
    EXPECT_EQ(c.table.address(found), c.addr) << c.name;
  }
}

// The models set and read the bits where the names put them.
TEST_F(Models, RegNamesAreWhereTheModelsKeepTheBits) {
  namespace p = periph;
  EXPECT_EQ(p::rcc::cfgr::SWS.get(rd(reg("RCC", rcc::CFGR))), p::rcc::cfgr::sws::HSI16);
  EXPECT_TRUE(p::rcc::cr::HSIRDY.test(rd(reg("RCC", rcc::CR))));

  set_bits(reg("RCC", rcc::APB1ENR1), p::rcc::apb1enr1::USART3EN.mask());
  const uint32_t usart = base("USART3");
  EXPECT_EQ(rd(usart + p::usart::ISR), p::usart::isr::TC | p::usart::isr::TXE);
  wr(usart + p::usart::CR1, p::usart::cr1::UE | p::usart::cr1::TE);
  const uint32_t isr = rd(usart + p::usart::ISR);
  EXPECT_TRUE(p::usart::isr::TEACK.test(isr));
  EXPECT_FALSE(p::usart::isr::REACK.test(isr));

  set_bits(reg("RCC", rcc::AHB1ENR), p::rcc::ahb1enr::DMA1EN.mask());
  const uint32_t ccr3 = base("DMA1") + p::dma::CCRx(3);
  const uint32_t cfg =
      p::dma::ccrx::PSIZE(2) | p::dma::ccrx::MSIZE(1) | p::dma::ccrx::DIR | p::dma::ccrx::CIRC;
  wr(ccr3, cfg);
  EXPECT_EQ(rd(ccr3), cfg);
  EXPECT_EQ(p::dma::ccrx::PSIZE.get(rd(ccr3)), 2u);

  set_bits(reg("RCC", rcc::APB2ENR), p::rcc::apb2enr::TIM1EN.mask());
  const uint32_t tim1 = base("TIM1");
  wr(tim1 + p::tim::CCMRx(1), p::tim::ccmr1::OCxM(2)(p::tim::ccmr1::ocxm::PwmMode1));
  EXPECT_EQ(rd(tim1 + p::tim::CCMR1), 0x6000u);
  wr(tim1 + p::tim::CCER, p::tim::ccer::CCxE(2) | p::tim::ccer::CCxP(2));
  EXPECT_EQ(rd(tim1 + p::tim::CCER), 0x30u);
  EXPECT_TRUE(board.diagnostics().empty());
}

}  // namespace
}  // namespace vboard::chip_test
