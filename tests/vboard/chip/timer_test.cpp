// Timers: counting, update events, PWM outputs on pins, compare preload, shared IRQ lines.
#include "chip/chip_fixture.h"

namespace vboard::chip_test {
namespace {

constexpr uint32_t kAlternate = 2;  // MODERx: alternate function

// ------------------------------------------------------------------ timers

TEST_F(Models, Tim7CountsMicrosecondsWrapsAndRaisesUpdate) {
  clock_150mhz();
  set_bits(reg("RCC", rcc::APB1ENR1), rcc::apb1enr1::TIM7EN.mask());
  wr(reg("TIM7", tim::PSC), 149);
  wr(reg("TIM7", tim::ARR), 0xFFFF);
  wr(reg("TIM7", tim::CR1), tim::cr1::ARPE.mask());
  wr(reg("TIM7", tim::EGR), tim::egr::UG.mask());  // PSC takes effect, UIF set
  EXPECT_EQ(rd(reg("TIM7", tim::SR)), tim::sr::UIF.mask());
  wr(reg("TIM7", tim::SR), 0);
  EXPECT_FALSE(bus.lines[irq("TIM7")]);
  const ns_t t0 = 1'000'000;
  bus.t = t0;
  wr(reg("TIM7", tim::DIER), tim::dier::UIE.mask());
  wr(reg("TIM7", tim::CR1), tim::cr1::ARPE | tim::cr1::CEN);
  bus.t = t0 + 1'000'000;
  EXPECT_EQ(rd(reg("TIM7", tim::CNT)), 1000u);
  bus.t = t0 + 1'000'999;
  EXPECT_EQ(rd(reg("TIM7", tim::CNT)), 1000u);
  bus.t = t0 + 1'001'000;
  EXPECT_EQ(rd(reg("TIM7", tim::CNT)), 1001u);
  EXPECT_EQ(board.chip().timer("TIM7").next_event(), t0 + 65'536'000u);
  run_events_to(t0 + 65'535'999);
  EXPECT_FALSE(bus.lines[irq("TIM7")]);
  EXPECT_EQ(rd(reg("TIM7", tim::CNT)), 65535u);
  run_events_to(t0 + 65'536'000);
  EXPECT_TRUE(bus.lines[irq("TIM7")]);
  EXPECT_EQ(rd(reg("TIM7", tim::CNT)), 0u);
  EXPECT_EQ(rd(reg("TIM7", tim::SR)), tim::sr::UIF.mask());
  wr(reg("TIM7", tim::SR), 0);
  EXPECT_FALSE(bus.lines[irq("TIM7")]);
  EXPECT_EQ(board.chip().timer("TIM7").next_event(), t0 + 2 * 65'536'000u);
}

TEST_F(Models, TimerEgrUgLoadsPreloadsAndUrsSuppressesFlag) {
  set_bits(reg("RCC", rcc::APB1ENR1), rcc::apb1enr1::TIM7EN.mask());
  wr(reg("TIM7", tim::PSC), 15);  // PSC preload only: 16 MHz / 16 = 1 MHz after UG
  wr(reg("TIM7", tim::CR1), tim::cr1::CEN.mask());
  bus.t = 1000;
  EXPECT_EQ(rd(reg("TIM7", tim::CNT)), 16u) << "prescaler not yet active";
  wr(reg("TIM7", tim::CR1), tim::cr1::CEN | tim::cr1::URS);
  wr(reg("TIM7", tim::EGR), tim::egr::UG.mask());
  EXPECT_EQ(rd(reg("TIM7", tim::SR)), 0u) << "URS: UG sets no UIF";
  EXPECT_EQ(rd(reg("TIM7", tim::CNT)), 0u);
  bus.t = 11'000;
  EXPECT_EQ(rd(reg("TIM7", tim::CNT)), 10u);
  // ARPE = 0: a new ARR acts at once; ARPE = 1: only from the next update.
  wr(reg("TIM7", tim::ARR), 19);
  bus.t = 31'000;
  EXPECT_EQ(rd(reg("TIM7", tim::CNT)), 10u);
  EXPECT_EQ(rd(reg("TIM7", tim::SR)), tim::sr::UIF.mask());
  wr(reg("TIM7", tim::CR1), tim::cr1::CEN | tim::cr1::ARPE);
  wr(reg("TIM7", tim::ARR), 99);
  bus.t = 40'500;
  EXPECT_EQ(rd(reg("TIM7", tim::CNT)), 19u) << "ARR 19 still active";
  bus.t = 41'000;
  EXPECT_EQ(rd(reg("TIM7", tim::CNT)), 0u);
  bus.t = 101'000;
  EXPECT_EQ(rd(reg("TIM7", tim::CNT)), 60u);
}

TEST_F(Models, Tim4Channel3PwmDrivesPb8) {
  set_bits(reg("RCC", rcc::APB1ENR1), rcc::apb1enr1::TIM4EN.mask());
  set_bits(reg("RCC", rcc::AHB2ENR), rcc::ahb2enr::GPIOBEN.mask());                         // GPIOB
  wr(reg("GPIOB", gpio::AFRH), gpio::afrh::AFRHx(8).put(rd(reg("GPIOB", gpio::AFRH)), 2));  // PB8 AF2
  wr(reg("GPIOB", gpio::MODER), gpio::moder::MODERx(8).put(rd(reg("GPIOB", gpio::MODER)), kAlternate));
  wr(reg("TIM4", tim::ARR), 999);  // 1000 ticks of 62.5 ns at 16 MHz
  wr(reg("TIM4", tim::CCMR2), tim::ccmr2::OCxM(3)(tim::ccmr2::ocxm::PwmMode1) | tim::ccmr2::OCxPE(3).mask());
  wr(reg("TIM4", tim::CCR3), 250);
  wr(reg("TIM4", tim::EGR), tim::egr::UG.mask());
  wr(reg("TIM4", tim::CCER), tim::ccer::CCxE(3).mask());
  bus.t = 10'000;
  wr(reg("TIM4", tim::CR1), tim::cr1::CEN.mask());
  run_to(10'000 + 1'000'000);
  const auto h = board.pin_history().at("PB8");
  // Enabling CC3 with CNT 0 < CCR3 already drives the pin high, before the counter runs.
  ASSERT_GE(h.size(), 3u);
  EXPECT_EQ(h[0].level, 1);
  EXPECT_EQ(h[1].t, 10'000u + 15'625u);
  std::vector<ns_t> rises, highs;
  for (size_t i = 2; i < h.size(); ++i) {
    if (h[i].level == 1)
      rises.push_back(h[i].t);
    else
      highs.push_back(h[i].t - h[i - 1].t);
  }
  ASSERT_EQ(rises.size(), 16u);  // 72.5 us ... 1010 us
  EXPECT_EQ(rises[0], 10'000u + 62'500u);
  for (size_t i = 1; i < rises.size(); ++i) EXPECT_EQ(rises[i] - rises[i - 1], 62'500u);
  for (ns_t w : highs) EXPECT_EQ(w, 15'625u);
}

// TIM4 channel 3 in PWM mode 1 on PB8 without compare preload, 62.5 us period,
// compare 900: 10 us into the period (count 160) the compare drops to 100.
// Returns PB8 right after that write, and the time PB8 next rises.
struct CompareDrop {
  int level_after_write;
  ns_t fall;  // when PB8 fell after the write (kNever if not)
};

class CompareWithoutPreload : public Models {
 protected:
  CompareDrop run() {
    set_bits(reg("RCC", rcc::APB1ENR1), rcc::apb1enr1::TIM4EN.mask());
    set_bits(reg("RCC", rcc::AHB2ENR), rcc::ahb2enr::GPIOBEN.mask());
    wr(reg("GPIOB", gpio::AFRH), gpio::afrh::AFRHx(8).put(rd(reg("GPIOB", gpio::AFRH)), 2));  // PB8 AF2
    wr(reg("GPIOB", gpio::MODER), gpio::moder::MODERx(8).put(rd(reg("GPIOB", gpio::MODER)), kAlternate));
    wr(reg("TIM4", tim::ARR), 999);
    wr(reg("TIM4", tim::CCMR2), tim::ccmr2::OCxM(3)(tim::ccmr2::ocxm::PwmMode1));  // no preload
    wr(reg("TIM4", tim::CCR3), 900);
    wr(reg("TIM4", tim::EGR), tim::egr::UG.mask());
    wr(reg("TIM4", tim::CCER), tim::ccer::CCxE(3).mask());
    bus.t = 10'000;
    wr(reg("TIM4", tim::CR1), tim::cr1::CEN.mask());
    run_to(20'000);
    EXPECT_EQ(board.chip().gpio(1).pad(8), 1);
    wr(reg("TIM4", tim::CCR3), 100);
    CompareDrop d{board.chip().gpio(1).pad(8), kNever};
    run_to(30'000);
    const auto history = board.pin_history();
    for (const PinChange& c : history.at("PB8"))
      if (c.t >= 20'000 && c.level == 0 && d.fall == kNever) d.fall = c.t;
    return d;
  }
};

TEST_F(CompareWithoutPreload, NewCompareValueActsAtOnce) {
  const CompareDrop d = run();
  EXPECT_EQ(d.level_after_write, 0) << "count 160 is past the new compare 100: PWM 1 output low at once";
  EXPECT_EQ(d.fall, 20'000u);
}

TEST_F(CompareWithoutPreload, CatchesTheModelThatPreloadsEveryCompare) {
  board.chip().timer("TIM4").set_compare_always_preloaded(true);
  const CompareDrop d = run();
  // The mutant keeps the old compare (900) until the next update: the check above fails on it.
  EXPECT_EQ(d.level_after_write, 1);
  EXPECT_NE(d.fall, 20'000u);
}

TEST_F(Models, SharedIrq26StaysHighWhileEitherTimerFlags) {
  set_bits(reg("RCC", rcc::APB2ENR), rcc::apb2enr::TIM1EN | rcc::apb2enr::TIM17EN);
  wr(reg("TIM1", tim::DIER), tim::dier::TIE.mask());   // trigger interrupt on IRQ 26
  wr(reg("TIM17", tim::DIER), tim::dier::UIE.mask());  // TIM17 update on IRQ 26
  wr(reg("TIM1", tim::EGR), tim::egr::TG.mask());
  wr(reg("TIM17", tim::EGR), tim::egr::UG.mask());
  EXPECT_TRUE(bus.lines[irq("TIM17")]);
  EXPECT_FALSE(bus.lines[irq("TIM1", periph::desc::kTimUpdate)]);
  wr(reg("TIM1", tim::SR), 0);
  EXPECT_TRUE(bus.lines[irq("TIM17")]) << "TIM17 still flags";
  wr(reg("TIM17", tim::SR), 0);
  EXPECT_FALSE(bus.lines[irq("TIM17")]);
  EXPECT_EQ(bus.raised[irq("TIM17")], 1u);
}

}  // namespace
}  // namespace vboard::chip_test
