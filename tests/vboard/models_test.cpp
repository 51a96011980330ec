// Unit tests of the STM32G431 peripheral and world models, driven through a fake
// bus that plays the machine: it advances every device before each register
// access, honours clock gating and keeps guest SRAM for DMA.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "world/lamp_board.h"

namespace vboard {
namespace {

using world::LampBoard;

class FakeBus : public Bus {
 public:
  ns_t now() const override { return t; }
  void set_irq_line(unsigned irq, bool high) override {
    lines.at(irq) = high;
    if (high) ++raised.at(irq);
  }
  bool read_mem(uint32_t addr, void* dst, size_t n) override {
    if (addr < kSram || addr + n > kSram + sram.size()) return false;
    std::memcpy(dst, sram.data() + (addr - kSram), n);
    return true;
  }
  bool write_mem(uint32_t addr, const void* src, size_t n) override {
    if (addr < kSram || addr + n > kSram + sram.size()) return false;
    std::memcpy(sram.data() + (addr - kSram), src, n);
    return true;
  }
  void unmodelled(uint32_t addr, bool is_write, unsigned, uint32_t) override {
    unmodelled_log.push_back({addr, is_write});
  }
  void fault(const std::string& what) override { faults.push_back(what); }
  bool option(const std::string& name) const override { return name == "pll_never_locks" && never_lock; }

  static constexpr uint32_t kSram = 0x20000000;
  ns_t t = 0;
  bool never_lock = false;
  std::vector<uint8_t> sram = std::vector<uint8_t>(32 * 1024);
  std::array<bool, 102> lines{};
  std::array<unsigned, 102> raised{};
  std::vector<std::pair<uint32_t, bool>> unmodelled_log;
  std::vector<std::string> faults;
};

// Register addresses from the fact sheet.
constexpr uint32_t RCC = 0x40021000, PWR = 0x40007000, FLASH = 0x40022000, SYSCFG = 0x40010000,
                   EXTI = 0x40010400, GPIOA = 0x48000000, GPIOB = 0x48000400, TIM7 = 0x40001400,
                   TIM17 = 0x40014800, DMA1 = 0x40020000, DMAMUX = 0x40020800, USART3 = 0x40004800;

class Models : public ::testing::Test {
 protected:
  Models() : board(bus), devs(board.devices()) {}

  Device* find(uint32_t addr) {
    for (Device* d : devs)
      if (d->size() && addr >= d->base() && addr - d->base() < d->size()) return d;
    return nullptr;
  }
  void run_to(ns_t t) {
    bus.t = t;
    for (Device* d : devs) d->advance(t);
  }
  // Advances like the machine: step from one device event to the next.
  void run_events_to(ns_t t) {
    for (;;) {
      ns_t next = kNever;
      for (Device* d : devs) next = std::min(next, d->next_event());
      if (next > t) break;
      run_to(next);
    }
    run_to(t);
  }
  uint32_t rd(uint32_t addr, unsigned size = 4) {
    Device* d = find(addr);
    EXPECT_NE(d, nullptr) << std::hex << addr;
    run_to(bus.t);
    return d->clocked() ? d->read(addr - d->base(), size) : 0;
  }
  void wr(uint32_t addr, uint32_t v, unsigned size = 4) {
    Device* d = find(addr);
    ASSERT_NE(d, nullptr) << std::hex << addr;
    run_to(bus.t);
    if (d->clocked()) d->write(addr - d->base(), v, size);
  }
  void set_bits(uint32_t addr, uint32_t bits) { wr(addr, rd(addr) | bits); }

  // The front/rear clock set-up: HSI16 / 4 * 75 / 2 = 150 MHz, done by the rules.
  void clock_150mhz() {
    set_bits(RCC + 0x058, 1u << 28);                            // PWREN
    set_bits(RCC + 0x060, 1u << 0);                             // SYSCFGEN
    wr(PWR + 0x000, (rd(PWR) & ~(3u << 9)) | (1u << 9));        // VOS range 1
    wr(RCC + 0x00C, 2u | (3u << 4) | (75u << 8) | (1u << 24));  // HSI, M /4, N 75, R /2, REN
    set_bits(RCC + 0x000, 1u << 24);                            // PLLON
    bus.t += 200'000;
    ASSERT_TRUE(rd(RCC) & (1u << 25));
    wr(FLASH + 0x000, (rd(FLASH) & ~0xFu) | 4u);
    wr(RCC + 0x008, (rd(RCC + 0x008) & ~0xF3u) | 0x80u | 3u);  // AHB /2, SW = PLL
    bus.t += 2'000;
    wr(RCC + 0x008, rd(RCC + 0x008) & ~0xF0u);  // AHB /1
  }

  FakeBus bus;
  LampBoard board;
  std::vector<Device*> devs;
};

// ------------------------------------------------------------------ RCC

TEST_F(Models, RccResetRunsFromHsi16) {
  EXPECT_EQ(rd(RCC + 0x000), 0x500u);  // HSION + HSIRDY
  EXPECT_EQ(rd(RCC + 0x008) & 0xFu, 0x5u);
  EXPECT_EQ(board.clocks().sysclk_hz(), 16'000'000u);
  EXPECT_EQ(board.clocks().timer_clock_hz("TIM7"), 16'000'000u);
  EXPECT_EQ(rd(RCC + 0x048), 0x100u);
  EXPECT_EQ(rd(RCC + 0x058), 0x400u);
}

TEST_F(Models, RccPllLocksAfterDelayAndSwitchGives150MHz) {
  set_bits(RCC + 0x058, 1u << 28);
  wr(PWR + 0x000, (rd(PWR) & ~(3u << 9)) | (1u << 9));
  wr(RCC + 0x00C, 2u | (3u << 4) | (75u << 8) | (1u << 24));
  bus.t = 1000;
  set_bits(RCC + 0x000, 1u << 24);
  bus.t = 1000 + periph::Rcc::kPllLockNs - 1;
  EXPECT_FALSE(rd(RCC) & (1u << 25)) << "PLLRDY before lock time";
  // Switching to an unlocked PLL leaves SWS on HSI until lock.
  wr(RCC + 0x008, rd(RCC + 0x008) | 3u);
  EXPECT_EQ((rd(RCC + 0x008) >> 2) & 3u, 1u);
  EXPECT_EQ(board.clocks().sysclk_hz(), 16'000'000u);
  EXPECT_EQ(board.chip().rcc().next_event(), 1000 + periph::Rcc::kPllLockNs);
  run_events_to(1000 + periph::Rcc::kPllLockNs);
  EXPECT_TRUE(rd(RCC) & (1u << 25));
  EXPECT_EQ((rd(RCC + 0x008) >> 2) & 3u, 3u);
  EXPECT_EQ(board.clocks().sysclk_hz(), 150'000'000u);
  EXPECT_EQ(board.clocks().hclk_hz(), 150'000'000u);
  EXPECT_EQ(board.clocks().timer_clock_hz("TIM17"), 150'000'000u);
  // Straight to 150 MHz with LATENCY 1 and no AHB /2 step: both are findings.
  std::string all;
  for (const auto& f : board.diagnostics()) all += f.message + "\n";
  EXPECT_NE(all.find("LATENCY 1 too low"), std::string::npos) << all;
  EXPECT_NE(all.find("without 1 us at AHB /2"), std::string::npos) << all;
}

TEST_F(Models, RccOrderedClockRaiseLeavesNoFindings) {
  clock_150mhz();
  EXPECT_EQ(board.clocks().hclk_hz(), 150'000'000u);
  for (const auto& f : board.diagnostics()) ADD_FAILURE() << f.message;
}

TEST_F(Models, RccApbPrescalerDoublesTimerClocks) {
  clock_150mhz();
  wr(RCC + 0x008, rd(RCC + 0x008) | (4u << 8) | (5u << 11));  // APB1 /2, APB2 /4
  EXPECT_EQ(board.clocks().pclk1_hz(), 75'000'000u);
  EXPECT_EQ(board.clocks().pclk2_hz(), 37'500'000u);
  EXPECT_EQ(board.clocks().timer_clock_hz("TIM7"), 150'000'000u);
  EXPECT_EQ(board.clocks().timer_clock_hz("TIM17"), 75'000'000u);
  wr(RCC + 0x008, (rd(RCC + 0x008) & ~0xF0u) | 0x90u);  // AHB /4
  EXPECT_EQ(board.clocks().hclk_hz(), 37'500'000u);
}

TEST_F(Models, PllNeverLocksWithFaultOptionOrBadConfig) {
  FakeBus b2;
  b2.never_lock = true;
  LampBoard stuck(b2);
  Device* rcc = stuck.devices()[0];
  rcc->write(0x00C, 2u | (3u << 4) | (75u << 8) | (1u << 24), 4);
  rcc->write(0x000, 0x500u | (1u << 24), 4);
  b2.t = 10'000'000;
  rcc->advance(b2.t);
  EXPECT_FALSE(rcc->read(0x000, 4) & (1u << 25));

  // VCO above 344 MHz (N = 100 from 4 MHz) never locks either.
  wr(RCC + 0x00C, 2u | (3u << 4) | (100u << 8) | (1u << 24));
  set_bits(RCC, 1u << 24);
  bus.t += 1'000'000;
  EXPECT_FALSE(rd(RCC) & (1u << 25));
}

TEST_F(Models, PwrVosfClearsAfterSettleAndClockGatingHidesRegisters) {
  EXPECT_FALSE(find(PWR)->clocked());
  set_bits(RCC + 0x058, 1u << 28);
  EXPECT_TRUE(find(PWR)->clocked());
  wr(PWR, (rd(PWR) & ~(3u << 9)) | (2u << 9));
  EXPECT_TRUE(rd(PWR + 0x014) & (1u << 10));
  bus.t += periph::Pwr::kVosSettleNs;
  EXPECT_FALSE(rd(PWR + 0x014) & (1u << 10));
  EXPECT_EQ(rd(PWR + 0x080), 0x100u);
  EXPECT_EQ(rd(PWR + 0x008), 0x8000u);
  EXPECT_EQ(rd(FLASH), 0x00040601u);
}

// ------------------------------------------------------------------ GPIO / EXTI

TEST_F(Models, GpioOutputsPullsAndIdr) {
  set_bits(RCC + 0x04C, 3u);  // GPIOA, GPIOB
  EXPECT_EQ(rd(GPIOA + 0x000), 0xABFFFFFFu);
  EXPECT_EQ(rd(GPIOB + 0x000), 0xFFFFFEBFu);
  EXPECT_EQ(rd(GPIOB + 0x00C), 0x100u);
  // PA8/PA9 outputs, PA0 input with pull-up, PA1 input with pull-down.
  wr(GPIOA + 0x018, (1u << 24) | (1u << 25));  // BSRR reset 8, 9
  wr(GPIOA + 0x000, (rd(GPIOA) & ~0x000F000Fu & ~(0xFu << 16)) | (1u << 16) | (1u << 18));
  wr(GPIOA + 0x00C, (rd(GPIOA + 0x00C) & ~0xFu) | 0x1u | (0x2u << 2));
  EXPECT_EQ(rd(GPIOA + 0x010) & 0x303u, 0x001u);
  bus.t = 5000;
  wr(GPIOA + 0x018, 1u << 9);
  EXPECT_EQ(rd(GPIOA + 0x014), 1u << 9);
  wr(GPIOA + 0x018, (1u << 8) | (1u << 25) | (1u << 24));  // set 8 wins over reset 8; reset 9
  EXPECT_EQ(rd(GPIOA + 0x010) & 0x300u, 0x100u);
  wr(GPIOA + 0x028, 1u << 8);  // BRR
  EXPECT_EQ(rd(GPIOA + 0x010) & 0x300u, 0u);
  EXPECT_EQ(rd(GPIOA + 0x018), 0u) << "BSRR reads 0";
  // An external driver overrides the pull; -1 releases it.
  board.chip().gpio(0).set_external(0, 0, 6000);
  EXPECT_EQ(rd(GPIOA + 0x010) & 1u, 0u);
  board.chip().gpio(0).set_external(0, -1, 7000);
  EXPECT_EQ(rd(GPIOA + 0x010) & 1u, 1u);
  // Analog pins read 0 in IDR.
  wr(GPIOA + 0x000, rd(GPIOA) | 3u);
  EXPECT_EQ(rd(GPIOA + 0x010) & 1u, 0u);

  const auto h = board.pin_history();
  ASSERT_TRUE(h.count("PA9"));
  const auto& pa9 = h.at("PA9");
  ASSERT_EQ(pa9.size(), 3u);
  EXPECT_EQ(pa9[0].t, 0u);
  EXPECT_EQ(pa9[0].level, 0);
  EXPECT_EQ(pa9[1].t, 5000u);
  EXPECT_EQ(pa9[1].level, 1);
  ASSERT_TRUE(h.count("PA0"));
  EXPECT_EQ(h.at("PA0").back().level, 0);
  EXPECT_FALSE(h.count("PA5")) << "untouched pins have no history";
}

TEST_F(Models, ExtiEdgeRoutedBySyscfgPendsAndRaisesSharedLine) {
  set_bits(RCC + 0x04C, 3u);
  set_bits(RCC + 0x060, 1u);
  // PB5, PB6 inputs with pull-up, EXTI lines 5/6 routed to port B, both edges, unmasked.
  wr(GPIOB + 0x000, rd(GPIOB) & ~(0xFu << 10));
  wr(GPIOB + 0x00C, (rd(GPIOB + 0x00C) & ~(0xFu << 10)) | (0x5u << 10));
  wr(SYSCFG + 0x00C, (1u << 4) | (1u << 8));
  wr(EXTI + 0x008, rd(EXTI + 0x008) | 0x60u);
  wr(EXTI + 0x00C, rd(EXTI + 0x00C) | 0x60u);
  EXPECT_EQ(rd(EXTI + 0x014), 0u) << "configuration itself makes no edge";
  wr(EXTI + 0x000, rd(EXTI) | 0x20u);  // only line 5 unmasked

  LevelSpec low{"PB6", 0, 10'000};
  board.add_level(low);
  run_events_to(20'000);
  EXPECT_EQ(rd(EXTI + 0x014), 0x40u) << "masked line still latches its pending bit";
  EXPECT_FALSE(bus.lines[23]);

  board.add_level({"PB5", 0, 30'000});
  run_events_to(40'000);
  EXPECT_EQ(rd(EXTI + 0x014), 0x60u);
  EXPECT_TRUE(bus.lines[23]);
  wr(EXTI + 0x014, 0x20u);  // write 1 clears line 5 only
  EXPECT_EQ(rd(EXTI + 0x014), 0x40u);
  EXPECT_FALSE(bus.lines[23]);

  // A line routed to another port ignores this port's edges.
  wr(SYSCFG + 0x00C, 0u);  // line 5 -> port A
  board.add_level({"PB5", -1, 50'000});
  run_events_to(60'000);
  EXPECT_EQ(rd(EXTI + 0x014) & 0x20u, 0u);
}

TEST_F(Models, LevelBounceAndPulseSourceTiming) {
  set_bits(RCC + 0x04C, 1u);
  wr(GPIOA + 0x000, rd(GPIOA) & ~0xFu);
  wr(GPIOA + 0x00C, (rd(GPIOA + 0x00C) & ~0xFu) | 0x5u);
  board.add_level({"PA1", 0, 1000, 2, 100});
  board.add_pulse({"PA0", 1500'000, 20'000'000, 2'000'000, 45'000'000, 0});
  run_events_to(100'000'000);
  const auto h = board.pin_history();
  const auto& pa1 = h.at("PA1");
  // Pulled up at configuration (t = 0), 0 at 1000, bounces 1,0,1,0 at 100 ns spacing: low at 1400.
  ASSERT_EQ(pa1.size(), 6u);
  EXPECT_EQ(pa1[1].t, 1000u);
  EXPECT_EQ(pa1[2].level, 1);
  EXPECT_EQ(pa1.back().t, 1400u);
  EXPECT_EQ(pa1.back().level, 0);
  const auto& pa0 = h.at("PA0");
  // Driven low when connected, then pulses at 2, 22, 42 ms (stop at 45 ms).
  std::vector<ns_t> rises;
  for (size_t i = 1; i < pa0.size(); ++i)
    if (pa0[i].level == 1) rises.push_back(pa0[i].t);
  EXPECT_EQ(rises, (std::vector<ns_t>{2'000'000, 22'000'000, 42'000'000}));
  EXPECT_EQ(pa0.back().t, 43'500'000u);
}

// ------------------------------------------------------------------ timers

TEST_F(Models, Tim7CountsMicrosecondsWrapsAndRaisesUpdate) {
  clock_150mhz();
  set_bits(RCC + 0x058, 1u << 5);
  wr(TIM7 + 0x028, 149);
  wr(TIM7 + 0x02C, 0xFFFF);
  wr(TIM7 + 0x000, 1u << 7);  // ARPE
  wr(TIM7 + 0x014, 1);        // UG: PSC takes effect, UIF set
  EXPECT_EQ(rd(TIM7 + 0x010), 1u);
  wr(TIM7 + 0x010, 0);
  EXPECT_FALSE(bus.lines[55]);
  const ns_t t0 = 1'000'000;
  bus.t = t0;
  wr(TIM7 + 0x00C, 1);               // UIE
  wr(TIM7 + 0x000, (1u << 7) | 1u);  // CEN
  bus.t = t0 + 1'000'000;
  EXPECT_EQ(rd(TIM7 + 0x024), 1000u);
  bus.t = t0 + 1'000'999;
  EXPECT_EQ(rd(TIM7 + 0x024), 1000u);
  bus.t = t0 + 1'001'000;
  EXPECT_EQ(rd(TIM7 + 0x024), 1001u);
  EXPECT_EQ(board.chip().timer("TIM7").next_event(), t0 + 65'536'000u);
  run_events_to(t0 + 65'535'999);
  EXPECT_FALSE(bus.lines[55]);
  EXPECT_EQ(rd(TIM7 + 0x024), 65535u);
  run_events_to(t0 + 65'536'000);
  EXPECT_TRUE(bus.lines[55]);
  EXPECT_EQ(rd(TIM7 + 0x024), 0u);
  EXPECT_EQ(rd(TIM7 + 0x010), 1u);
  wr(TIM7 + 0x010, 0);
  EXPECT_FALSE(bus.lines[55]);
  EXPECT_EQ(board.chip().timer("TIM7").next_event(), t0 + 2 * 65'536'000u);
}

TEST_F(Models, TimerEgrUgLoadsPreloadsAndUrsSuppressesFlag) {
  set_bits(RCC + 0x058, 1u << 5);
  wr(TIM7 + 0x028, 15);  // PSC preload only: 16 MHz / 16 = 1 MHz after UG
  wr(TIM7 + 0x000, 1);
  bus.t = 1000;
  EXPECT_EQ(rd(TIM7 + 0x024), 16u) << "prescaler not yet active";
  wr(TIM7 + 0x000, 1u | (1u << 2));  // URS
  wr(TIM7 + 0x014, 1);
  EXPECT_EQ(rd(TIM7 + 0x010), 0u) << "URS: UG sets no UIF";
  EXPECT_EQ(rd(TIM7 + 0x024), 0u);
  bus.t = 11'000;
  EXPECT_EQ(rd(TIM7 + 0x024), 10u);
  // ARPE = 0: a new ARR acts at once; ARPE = 1: only from the next update.
  wr(TIM7 + 0x02C, 19);
  bus.t = 31'000;
  EXPECT_EQ(rd(TIM7 + 0x024), 10u);
  EXPECT_EQ(rd(TIM7 + 0x010), 1u);
  wr(TIM7 + 0x000, 1u | (1u << 7));
  wr(TIM7 + 0x02C, 99);
  bus.t = 40'500;
  EXPECT_EQ(rd(TIM7 + 0x024), 19u) << "ARR 19 still active";
  bus.t = 41'000;
  EXPECT_EQ(rd(TIM7 + 0x024), 0u);
  bus.t = 101'000;
  EXPECT_EQ(rd(TIM7 + 0x024), 60u);
}

TEST_F(Models, Tim4Channel3PwmDrivesPb8) {
  set_bits(RCC + 0x058, 1u << 2);  // TIM4
  set_bits(RCC + 0x04C, 2u);       // GPIOB
  constexpr uint32_t TIM4 = 0x40000800;
  wr(GPIOB + 0x024, (rd(GPIOB + 0x024) & ~0xFu) | 2u);  // PB8 AF2
  wr(GPIOB + 0x000, (rd(GPIOB) & ~(3u << 16)) | (2u << 16));
  wr(TIM4 + 0x02C, 999);                    // 1000 ticks of 62.5 ns at 16 MHz
  wr(TIM4 + 0x01C, (6u << 4) | (1u << 3));  // OC3M PWM 1, preload
  wr(TIM4 + 0x03C, 250);
  wr(TIM4 + 0x014, 1);
  wr(TIM4 + 0x020, 1u << 8);  // CC3E
  bus.t = 10'000;
  wr(TIM4 + 0x000, 1);
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
    constexpr uint32_t TIM4 = 0x40000800;
    set_bits(RCC + 0x058, 1u << 2);
    set_bits(RCC + 0x04C, 2u);
    wr(GPIOB + 0x024, (rd(GPIOB + 0x024) & ~0xFu) | 2u);  // PB8 AF2
    wr(GPIOB + 0x000, (rd(GPIOB) & ~(3u << 16)) | (2u << 16));
    wr(TIM4 + 0x02C, 999);
    wr(TIM4 + 0x01C, 6u << 4);  // OC3M PWM 1, no preload
    wr(TIM4 + 0x03C, 900);
    wr(TIM4 + 0x014, 1);
    wr(TIM4 + 0x020, 1u << 8);
    bus.t = 10'000;
    wr(TIM4 + 0x000, 1);
    run_to(20'000);
    EXPECT_EQ(board.chip().gpio(1).pad(8), 1);
    wr(TIM4 + 0x03C, 100);
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
  set_bits(RCC + 0x060, (1u << 11) | (1u << 18));
  constexpr uint32_t TIM1 = 0x40012C00;
  wr(TIM1 + 0x00C, 1u << 6);  // TIE: trigger interrupt on IRQ 26
  wr(TIM17 + 0x00C, 1u);      // UIE: TIM17 update on IRQ 26
  wr(TIM1 + 0x014, 1u << 6);  // TG
  wr(TIM17 + 0x014, 1u);      // UG
  EXPECT_TRUE(bus.lines[26]);
  EXPECT_FALSE(bus.lines[25]);
  wr(TIM1 + 0x010, 0);
  EXPECT_TRUE(bus.lines[26]) << "TIM17 still flags";
  wr(TIM17 + 0x010, 0);
  EXPECT_FALSE(bus.lines[26]);
  EXPECT_EQ(bus.raised[26], 1u);
}

TEST_F(Models, UsartIsrResetAndEnableAcknowledge) {
  set_bits(RCC + 0x058, 1u << 18);
  EXPECT_EQ(rd(USART3 + 0x01C), 0xC0u);
  wr(USART3 + 0x00C, 163);
  wr(USART3 + 0x000, 0xDu);  // UE, RE, TE
  EXPECT_EQ(rd(USART3 + 0x01C), 0xC0u | (1u << 21) | (1u << 22));
  EXPECT_TRUE(board.diagnostics().empty());
  wr(USART3 + 0x008, 0u);
  wr(USART3 + 0x008, 1u << 29);  // TXFTCFG with UE = 1
  ASSERT_FALSE(board.diagnostics().empty());
  EXPECT_NE(board.diagnostics().back().message.find("thresholds"), std::string::npos);
}

// ------------------------------------------------------------------ TIM17 + DMA + WS2815

class Stream : public Models {
 protected:
  static constexpr uint32_t kFrame = FakeBus::kSram + 0x101;  // any byte address
  static constexpr unsigned kSlots = 2 * 24 + 240;
  static constexpr uint8_t kHigh = 118, kLow = 43;

  void fill(uint8_t r0, uint8_t g0, uint8_t b0, uint8_t r1, uint8_t g1, uint8_t b1) {
    uint8_t* f = bus.sram.data() + (kFrame - FakeBus::kSram);
    std::memset(f, 0, kSlots);
    const uint8_t c[6] = {g0, r0, b0, g1, r1, b1};
    for (unsigned i = 0; i < 48; ++i) f[i] = (c[i / 8] >> (7 - i % 8)) & 1u ? kHigh : kLow;
  }
  // The rear board's strip path, as the firmware sets it up.
  void start_stream(uint32_t ccr_extra = 0) {
    clock_150mhz();
    set_bits(RCC + 0x048, 0x5u);                                         // DMA1, DMAMUX
    set_bits(RCC + 0x060, 1u << 18);                                     // TIM17
    set_bits(RCC + 0x04C, 1u);                                           // GPIOA
    wr(GPIOA + 0x020, (rd(GPIOA + 0x020) & ~0xF0000000u) | (1u << 28));  // PA7 AF1
    wr(GPIOA + 0x000, (rd(GPIOA) & ~(3u << 14)) | (2u << 14));
    wr(TIM17 + 0x02C, 186);
    wr(TIM17 + 0x018, (6u << 4) | (1u << 3));  // PWM 1, preload
    wr(TIM17 + 0x034, 0);
    wr(TIM17 + 0x014, 1);
    wr(TIM17 + 0x000, 1);
    wr(DMAMUX + 0x000, 84);
    wr(DMA1 + 0x00C, kSlots);
    wr(DMA1 + 0x010, TIM17 + 0x034);
    wr(DMA1 + 0x014, kFrame);
    wr(DMA1 + 0x008, (1u << 4) | (1u << 5) | (1u << 7) | (2u << 8) | 0x6u | ccr_extra);
    set_bits(DMA1 + 0x008, 1u);
    wr(TIM17 + 0x00C, 1u << 9);   // CC1DE
    wr(TIM17 + 0x020, 1);         // CC1E
    wr(TIM17 + 0x044, 1u << 15);  // MOE
  }
};

TEST_F(Stream, Ws2815DecodesColoursAndTiming) {
  fill(0x80, 0x01, 0xFF, 0x12, 0x34, 0x56);
  start_stream();
  const ns_t t0 = bus.t;
  run_to(t0 + 2'000'000);  // one lazy batch of ~1600 periods
  const StripReport r = board.strip();
  ASSERT_GE(r.frames.size(), 3u);
  for (size_t i = 1; i < r.frames.size(); ++i) {
    const StripFrame& f = r.frames[i];
    EXPECT_EQ(f.bits, 48u);
    ASSERT_EQ(f.colors.size(), 2u);
    EXPECT_EQ(f.colors[0], (std::array<uint8_t, 3>{0x80, 0x01, 0xFF}));
    EXPECT_EQ(f.colors[1], (std::array<uint8_t, 3>{0x12, 0x34, 0x56}));
    // One pass is 288 periods of 187 ticks at 150 MHz.
    EXPECT_EQ(f.t - r.frames[i - 1].t, 288u * 187u * 20u / 3u);
  }
  // 118/43 ticks high of 187 (6.667 ns per tick), ceil-rounded edges.
  EXPECT_GE(r.t1h_min, 786u);
  EXPECT_LE(r.t1h_max, 787u);
  EXPECT_GE(r.t0h_min, 286u);
  EXPECT_LE(r.t0h_max, 287u);
  EXPECT_GE(r.t1l_min, 460u);
  EXPECT_LE(r.t1l_max, 461u);
  EXPECT_GE(r.t0l_min, 960u);
  EXPECT_LE(r.t0l_max, 961u);
  // 240 empty slots (299.2 us) plus the low phase of the frame's last bit.
  EXPECT_GE(r.latch_min, 299'200u + 460u);
  EXPECT_LE(r.latch_min, 299'200u + 961u);
  // 460 ns low after a 1 bit is outside the datasheet's T1L (220-420) but accepted by real parts.
  bool t1l = false, real_bit = false;
  for (const auto& v : r.violations) {
    t1l = t1l || (v.datasheet && v.what.rfind("T1L 46", 0) == 0);
    real_bit = real_bit || (!v.datasheet && v.what.rfind("high", 0) == 0);
  }
  EXPECT_TRUE(t1l);
  EXPECT_FALSE(real_bit);
  EXPECT_EQ(board.strip_model().count(world::Ws2815Strip::kT0H), 0u);
  EXPECT_EQ(board.strip_model().count(world::Ws2815Strip::kT1H), 0u);
  EXPECT_TRUE(bus.faults.empty());
}

TEST_F(Stream, SteppedRunDecodesTheSameAsOneBatch) {
  fill(1, 2, 3, 200, 100, 50);
  start_stream();
  const ns_t t0 = bus.t;
  for (ns_t t = t0; t < t0 + 2'000'000; t += 777) run_to(t);
  const StripReport r = board.strip();
  ASSERT_GE(r.frames.size(), 3u);
  EXPECT_EQ(r.frames.back().colors[1], (std::array<uint8_t, 3>{200, 100, 50}));
  EXPECT_EQ(r.frames.back().colors[0], (std::array<uint8_t, 3>{1, 2, 3}));
}

// The whole-period path against the event-by-event one (the reference): the
// same stream on two fresh boards, sliced at uneven times so that passes end,
// flags rise and slices cut periods anywhere.
class StreamRig : public Stream {
 public:
  void TestBody() override {}
  using Models::board;
  using Models::bus;
  using Models::rd;
  using Models::run_to;
  using Models::wr;
  using Stream::fill;
  using Stream::start_stream;
  struct Outcome {
    std::vector<PinChange> pa7;
    uint64_t pa7_total;
    StripReport strip;
    std::vector<uint32_t> regs;
    unsigned exti_raised, dma_raised;
    std::vector<uint32_t> dma_flags;  // DMA1 ISR at the end of each slice
  };
  // Between two slices: what the slice (0..39) ends with.
  using Action = std::function<void(StreamRig&, unsigned slice)>;
  Outcome play(bool whole_periods, uint32_t ccmr1, uint32_t ccer, bool exti_on_pa7,
               const Action& between = {}, const std::vector<uint8_t>& frame = {}) {
    board.chip().timer("TIM17").set_whole_periods(whole_periods);
    fill(0x80, 0x01, 0xFF, 0x12, 0x34, 0x56);
    if (!frame.empty()) std::memcpy(bus.sram.data() + (kFrame - FakeBus::kSram), frame.data(), frame.size());
    std::vector<uint32_t> dma_flags;
    if (exti_on_pa7) {  // line 7 from port A (the reset routing), both edges, unmasked
      set_bits(EXTI + 0x008, 1u << 7);
      set_bits(EXTI + 0x00C, 1u << 7);
      set_bits(EXTI + 0x000, 1u << 7);
    }
    start_stream();
    if (ccmr1) wr(TIM17 + 0x018, ccmr1);
    if (ccer) wr(TIM17 + 0x020, ccer);
    ns_t t = bus.t;
    for (unsigned i = 0; i < 40; ++i) {
      t += 371'234 + i * 11'111;
      run_to(t);
      if (exti_on_pa7) wr(EXTI + 0x014, 1u << 7);  // the handlers clear what they serve
      if (between) between(*this, i);
      dma_flags.push_back(rd(DMA1 + 0x000));
      wr(DMA1 + 0x004, 0xFu);
    }
    Outcome o{board.pin_history().at("PA7"),
              board.pin_history_total().at("PA7"),
              board.strip(),
              {},
              bus.raised[23],
              bus.raised[11],
              dma_flags};
    for (uint32_t a : {DMA1 + 0x000, DMA1 + 0x00C, TIM17 + 0x010, TIM17 + 0x024, TIM17 + 0x034, EXTI + 0x014})
      o.regs.push_back(rd(a));
    return o;
  }
};

void expect_same_outcome(const StreamRig::Outcome& a, const StreamRig::Outcome& b, uint64_t min_changes);

TEST(StreamWholePeriods, SameWaveformStripAndRegistersAsEventByEvent) {
  struct Case {
    const char* what;
    uint32_t ccmr1, ccer;
    bool exti;
  };
  const Case cases[] = {{"PWM 1, preload", 0, 0, false},
                        {"PWM 2, inverted output", (7u << 4) | (1u << 3), 0x3, false},
                        {"EXTI watching the strip pin", 0, 0, true},
                        {"no preload: event path only", 6u << 4, 0, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StreamRig ref, fast;
    expect_same_outcome(ref.play(false, c.ccmr1, c.ccer, c.exti), fast.play(true, c.ccmr1, c.ccer, c.exti),
                        5'000);
  }
}

// Edge cases of the whole-period path: compare values of 0, at ARR and beyond
// it (no match in that period) in the stream, and configuration changing
// between slices, i.e. in the middle of a DMA pass.
TEST(StreamWholePeriods, EdgeCasesRunExactlyAsEventByEvent) {
  // Bits of both values, empty slots inside the frame and a compare at ARR (186).
  std::vector<uint8_t> odd(2 * 24 + 240, 0);
  const uint8_t pattern[] = {118, 43, 0, 186, 118, 0, 43, 186, 186, 43, 118};
  for (size_t i = 0; i < 48; ++i) odd[i] = pattern[i % sizeof pattern];
  // A compare beyond ARR never matches: the stream stops there until ARR grows.
  std::vector<uint8_t> beyond = odd;
  beyond[20] = 187;
  beyond[41] = 255;
  struct Case {
    const char* what;
    uint32_t ccmr1, ccer;
    StreamRig::Action between;
    std::vector<uint8_t> frame;
  };
  const auto at = [](unsigned slice, std::function<void(StreamRig&)> f) -> StreamRig::Action {
    return [slice, f](StreamRig& r, unsigned i) {
      if (i == slice) f(r);
    };
  };
  const Case cases[] = {
      {"compare 0 and at ARR", 0, 0, {}, odd},
      {"PWM 2 with compare 0 and at ARR", (7u << 4) | (1u << 3), 0, {}, odd},
      {"inverted PWM 2, compare 0 and at ARR", (7u << 4) | (1u << 3), 0x3, {}, odd},
      {"compare beyond ARR, ARR raised and lowered", 0, 0,
       [](StreamRig& r, unsigned i) {
         if (i >= 3) r.wr(TIM17 + 0x02C, i % 2 ? 255 : 186);
       },
       beyond},
      {"PWM 2, compare beyond ARR", (7u << 4) | (1u << 3), 0,
       [](StreamRig& r, unsigned i) {
         if (i >= 2) r.wr(TIM17 + 0x02C, i % 3 ? 255 : 186);
       },
       beyond},
      {"output disabled and enabled again",
       0,
       0,
       [](StreamRig& r, unsigned i) {
         if (i == 5 || i == 9) r.wr(TIM17 + 0x020, 0);
         if (i == 7 || i == 12) r.wr(TIM17 + 0x020, 1);
       },
       {}},
      {"polarity flipped", 0, 0,
       [](StreamRig& r, unsigned i) {
         if (i % 6 == 3) r.wr(TIM17 + 0x020, r.rd(TIM17 + 0x020) ^ 0x2u);
       },
       odd},
      {"main output off", 0, 0, at(8, [](StreamRig& r) { r.wr(TIM17 + 0x044, 0); }), {}},
      {"DMA stopped", 0, 0, at(6, [](StreamRig& r) { r.wr(DMA1 + 0x008, r.rd(DMA1 + 0x008) & ~1u); }), {}},
      {"PWM 2 switched to mid-stream", 0, 0,
       at(4, [](StreamRig& r) { r.wr(TIM17 + 0x018, (7u << 4) | (1u << 3)); }), odd},
      {"prescaler and period changed (new time offsets)", 0, 0,
       [](StreamRig& r, unsigned i) {
         if (i == 4) r.wr(TIM17 + 0x028, 2);
         if (i == 11) r.wr(TIM17 + 0x02C, 150);
         if (i == 17) r.wr(TIM17 + 0x028, 0);
       },
       odd},
      {"timer clock changed (APB2 prescaler)",
       0,
       0,
       at(10, [](StreamRig& r) { r.wr(RCC + 0x008, r.rd(RCC + 0x008) | (4u << 11)); }),
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StreamRig ref, fast;
    expect_same_outcome(ref.play(false, c.ccmr1, c.ccer, false, c.between, c.frame),
                        fast.play(true, c.ccmr1, c.ccer, false, c.between, c.frame), 500);
  }
}

// Slices of about three periods whose ends step through every nanosecond of a
// period: the whole-period path must stop exactly where the event path would
// (a period ending 1 ns after the slice is not worked off yet), seen through
// CNT and the pad after each slice.
TEST(StreamWholePeriods, SliceEndsAtEveryPhaseSeeTheSameCounterAndPad) {
  std::vector<std::pair<uint32_t, uint32_t>> seen[2];
  for (const bool whole : {false, true}) {
    StreamRig r;
    r.board.chip().timer("TIM17").set_whole_periods(whole);
    r.fill(0x80, 0x01, 0xFF, 0x12, 0x34, 0x56);
    r.start_stream();
    // A period is 187 ticks of 20/3 ns: 1246.67 ns; three of them 3740 ns.
    for (ns_t t = r.bus.t + 10'000, end = t + 1'400 * 3'741; t < end; t += 3'741) {
      r.run_to(t);
      seen[whole].emplace_back(r.rd(TIM17 + 0x024), r.rd(GPIOA + 0x010) & 0x80u);
    }
  }
  ASSERT_EQ(seen[0].size(), seen[1].size());
  unsigned pad_changes = 0;
  for (size_t i = 0; i < seen[0].size(); ++i) {
    ASSERT_EQ(seen[0][i], seen[1][i]) << "at " << i << " ns";
    pad_changes += i > 0 && seen[0][i].second != seen[0][i - 1].second;
  }
  EXPECT_GE(pad_changes, 20u) << "the slices see the pad high and low";
}

void expect_same_outcome(const StreamRig::Outcome& a, const StreamRig::Outcome& b, uint64_t min_changes) {
  ASSERT_GT(a.pa7_total, min_changes) << "the slices cover many passes";
  EXPECT_EQ(a.pa7_total, b.pa7_total);
  ASSERT_EQ(a.pa7.size(), b.pa7.size());
  for (size_t i = 0; i < a.pa7.size(); ++i) {
    ASSERT_EQ(a.pa7[i].t, b.pa7[i].t) << "change " << i;
    ASSERT_EQ(a.pa7[i].level, b.pa7[i].level) << "change " << i;
  }
  EXPECT_EQ(a.regs, b.regs);
  EXPECT_EQ(a.exti_raised, b.exti_raised);
  EXPECT_EQ(a.dma_raised, b.dma_raised);
  EXPECT_EQ(a.dma_flags, b.dma_flags);
  ASSERT_EQ(a.strip.frames.size(), b.strip.frames.size());
  for (size_t i = 0; i < a.strip.frames.size(); ++i) {
    EXPECT_EQ(a.strip.frames[i].t, b.strip.frames[i].t);
    EXPECT_EQ(a.strip.frames[i].bits, b.strip.frames[i].bits);
    EXPECT_EQ(a.strip.frames[i].colors, b.strip.frames[i].colors);
  }
  EXPECT_EQ(a.strip.violations_total, b.strip.violations_total);
  ASSERT_EQ(a.strip.violations.size(), b.strip.violations.size());
  for (size_t i = 0; i < a.strip.violations.size(); ++i) {
    EXPECT_EQ(a.strip.violations[i].t, b.strip.violations[i].t) << "violation " << i;
    EXPECT_EQ(a.strip.violations[i].what, b.strip.violations[i].what) << "violation " << i;
  }
  EXPECT_EQ(a.strip.t0h_max, b.strip.t0h_max);
  EXPECT_EQ(a.strip.t1h_min, b.strip.t1h_min);
  EXPECT_EQ(a.strip.t0l_max, b.strip.t0l_max);
  EXPECT_EQ(a.strip.t1l_min, b.strip.t1l_min);
  EXPECT_EQ(a.strip.latch_min, b.strip.latch_min);
}

TEST_F(Stream, DmaHalfAndCompleteFlagsArriveWhenPredicted) {
  fill(0, 0, 0, 0, 0, 0);
  start_stream();
  const ns_t t0 = bus.t;
  // The machine's loop: wake at the earliest device event until the line rises.
  ns_t t = t0;
  unsigned wakes = 0;
  while (!bus.lines[11] && wakes < 100) {
    ns_t next = kNever;
    for (Device* d : devs) next = std::min(next, d->next_event());
    ASSERT_GT(next, t);
    t = next;
    run_to(t);
    ++wakes;
  }
  ASSERT_TRUE(bus.lines[11]);
  EXPECT_LE(wakes, 4u);
  EXPECT_EQ(rd(DMA1) & 0xFu, 0x5u) << "GIF1 + HTIF1";
  EXPECT_EQ(rd(DMA1 + 0x00C), kSlots / 2);
  // The 144th request is a compare match at CCR = 0 (all-low frame), i.e. at a period start:
  // its time is a whole number of 187-tick periods after some period start; one period earlier
  // the flag must not have been set.
  const uint64_t t144 = t;
  wr(DMA1 + 0x004, 0x4u);
  EXPECT_FALSE(bus.lines[11]);
  // The TC flag follows 144 periods later.
  for (wakes = 0; !bus.lines[11] && wakes < 100; ++wakes) {
    ns_t next = kNever;
    for (Device* d : devs) next = std::min(next, d->next_event());
    run_to(next);
    t = next;
  }
  EXPECT_EQ(rd(DMA1) & 0xFu, 0x3u) << "GIF1 + TCIF1";
  const ns_t period144 = t - t144;
  const ns_t expect = 144u * 187u * 20u / 3u;
  EXPECT_LE(period144 > expect ? period144 - expect : expect - period144, 1u);
  EXPECT_EQ(rd(DMA1 + 0x00C), kSlots) << "circular reload";
  EXPECT_EQ(board.chip().dma1().transfers(0), kSlots);
}

TEST_F(Stream, CompareDmaWithoutPreloadStillStreams) {
  fill(0xFF, 0, 0, 0, 0, 0);
  start_stream();
  // Without OC1PE each DMA write lands in the active compare register at its match.
  wr(TIM17 + 0x018, 6u << 4);
  run_to(bus.t + 1'000'000);
  EXPECT_GT(board.pin_history().at("PA7").size(), 100u);
  EXPECT_TRUE(bus.faults.empty());
}

TEST_F(Stream, Pa7FollowsTim17OnlyWithMainOutputAndAf1) {
  fill(0xFF, 0xFF, 0xFF, 0, 0, 0);
  start_stream();
  wr(TIM17 + 0x044, 0);  // MOE off: a break-stage timer drives nothing
  const uint64_t c0 = board.chip().gpio(0).changes(7);
  run_to(bus.t + 500'000);
  EXPECT_EQ(board.chip().gpio(0).changes(7), c0);
  EXPECT_EQ(board.chip().gpio(0).pad(7), 0);
  wr(TIM17 + 0x044, 1u << 15);
  run_to(bus.t + 500'000);
  EXPECT_GT(board.chip().gpio(0).changes(7), c0 + 50);
  // Another alternate function on PA7 disconnects the timer.
  wr(GPIOA + 0x020, (rd(GPIOA + 0x020) & ~0xF0000000u) | (2u << 28));
  const uint64_t c1 = board.chip().gpio(0).changes(7);
  run_to(bus.t + 500'000);
  EXPECT_LE(board.chip().gpio(0).changes(7), c1 + 1);
  EXPECT_EQ(board.chip().gpio(0).pad(7), 0);
}

TEST_F(Stream, DmaLocksConfigurationWhileEnabled) {
  fill(0, 0, 0, 0, 0, 0);
  start_stream();
  const uint32_t ccr = rd(DMA1 + 0x008);
  wr(DMA1 + 0x008, ccr & ~0x6u);  // try to drop the interrupt enables while EN = 1
  wr(DMA1 + 0x00C, 5);            // and to change the count
  EXPECT_EQ(rd(DMA1 + 0x008), ccr);
  EXPECT_NE(rd(DMA1 + 0x00C), 5u);
  EXPECT_GE(board.diagnostics().size(), 2u);
  // Disabling keeps the remaining count readable; a re-enable restarts from CNDTR.
  wr(DMA1 + 0x008, ccr & ~1u);
  const uint32_t left = rd(DMA1 + 0x00C);
  run_to(bus.t + 100'000);
  EXPECT_EQ(rd(DMA1 + 0x00C), left) << "no transfers while disabled";
}

TEST_F(Models, UnmodelledOffsetsAreReported) {
  set_bits(RCC + 0x048, 0x5u);
  rd(DMA1 + 0x080);       // CCR7: the G431 has six channels
  wr(DMAMUX + 0x030, 1);  // C12CR: twelve request-line channels
  wr(RCC + 0x010, 0);     // hole in the RCC map
  ASSERT_EQ(bus.unmodelled_log.size(), 3u);
  EXPECT_EQ(bus.unmodelled_log[0], std::make_pair(DMA1 + 0x080, false));
  EXPECT_EQ(bus.unmodelled_log[1], std::make_pair(DMAMUX + 0x030, true));
  EXPECT_EQ(bus.unmodelled_log[2], std::make_pair(RCC + 0x010, true));
  // Byte and half-word accesses reach the right lanes.
  set_bits(RCC + 0x04C, 1u);
  wr(GPIOA + 0x015, 0x3, 1);  // ODR bits 8, 9 through the second byte
  EXPECT_EQ(rd(GPIOA + 0x014), 0x300u);
  EXPECT_EQ(rd(GPIOA + 0x002, 2), 0xABFFu);
}

TEST_F(Stream, StripReportsBadBitsLongLowsAndShortFrames) {
  fill(0xFF, 0xFF, 0xFF, 0, 0, 0);
  uint8_t* f = bus.sram.data() + (kFrame - FakeBus::kSram);
  f[3] = 80;                                    // 533 ns high: neither a clear 0 nor a clear 1
  for (unsigned i = 30; i < 35; ++i) f[i] = 0;  // five empty slots: a 7 us low inside the frame
  start_stream();
  run_to(bus.t + 2'000'000);
  using S = world::Ws2815Strip;
  const S& strip = board.strip_model();
  EXPECT_GT(strip.count(S::kAmbiguous), 0u);
  EXPECT_GT(strip.count(S::kLongLow), 0u);
  EXPECT_EQ(strip.count(S::kFrameBits), strip.frames_total()) << "every frame is short of 1440 bits";
  const StripReport r = board.strip();
  ASSERT_GE(r.frames.size(), 2u);
  EXPECT_EQ(r.frames.back().bits, 43u);
  bool long_low = false;
  for (const auto& v : r.violations) long_low = long_low || (!v.datasheet && v.what.rfind("low 7.", 0) == 0);
  EXPECT_TRUE(long_low);
}

// Not a correctness check: the figure for the report (ns of host time per PWM period).
TEST_F(Stream, LongStreamInManySlicesKeepsDecodingFrames) {
  fill(0x55, 0xAA, 0x0F, 0xF0, 0x33, 0xCC);
  start_stream();
  const ns_t t0 = bus.t;
  const ns_t span = 1'000'000'000;                            // 1 s virtual, ~800,000 PWM periods
  for (ns_t t = t0; t <= t0 + span; t += 500'000) run_to(t);  // a machine wake every 500 us
  EXPECT_GT(board.strip_model().frames_total(), 500u);
}

}  // namespace
}  // namespace vboard
