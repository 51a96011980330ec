// Register-level models of the STM32G431 peripherals the two lamp images touch.
// Each model is a vboard::Device over a table of named registers (names as in the
// register fact sheet); the chip (chip/stm32g431.cpp) builds them and wires them
// together: RCC gates and clocks them, GPIO pads feed EXTI and the outside world,
// timers feed GPIO alternate functions and DMAMUX requests, DMA writes timers.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "chip/stm32g431_desc.h"
#include "vboard/chip.h"
#include "vboard/device.h"

namespace vboard::periph {

// Things the real chip would punish but the model tolerates (clock rules, writes
// to locked fields). Each distinct finding (kind, where, message) is kept once,
// with its first time and how often it happened. Kinds: chip::diag.
class Findings {
 public:
  void add(std::string_view kind, const std::string& where, ns_t t, const std::string& message);
  const std::vector<Diagnostic>& entries() const { return entries_; }

 private:
  std::vector<Diagnostic> entries_;
  std::map<std::string, size_t> index_;
};

// Several sources may share one NVIC line (TIM1 trigger/commutation and TIM17 on
// IRQ 26): the line is high while any of its sources is.
class IrqMux {
 public:
  explicit IrqMux(Bus& bus) : bus_(bus) {}
  void set(unsigned irq, uint32_t source_bit, bool high);
  bool line(unsigned irq) const { return irq < kLines && state_[irq] != 0; }

 private:
  static constexpr unsigned kLines = 102;
  Bus& bus_;
  std::array<uint32_t, kLines> state_{};
};

// Shared by every model of one board.
struct Context {
  explicit Context(Bus& b) : bus(b), irq(b) {}
  Bus& bus;
  Findings findings;
  IrqMux irq;
  // Bumped at every entry from the machine (and by DMA memory writes): a DMA
  // channel may keep guest memory it has read for as long as this is unchanged,
  // because the CPU cannot run inside one call.
  uint64_t epoch = 0;
  // Told about every pad change while set (VCD streaming); pins as port * 16 + pin.
  PinWatcher* watcher = nullptr;
  // Next free IrqMux source bit (one per device that raises interrupts).
  unsigned next_irq_source = 0;
  uint32_t new_irq_source() { return 1u << (next_irq_source++ % 32u); }
};

struct RegDef {
  const char* name;
  uint32_t offset;
  uint32_t reset;
  uint32_t wmask;  // bits a plain write changes
};

class Rcc;

// One memory-mapped block of named registers with byte/half-word/word access.
class RegBlock : public Device {
 public:
  // Placed and gated as the chip description's entry says.
  RegBlock(Context& ctx, const desc::Peripheral& where, std::vector<RegDef> regs);
  std::string name() const override { return name_; }
  uint32_t base() const override { return base_; }
  uint32_t size() const override { return size_; }
  bool clocked() const override;
  uint32_t read(uint32_t offset, unsigned size) override;
  void write(uint32_t offset, uint32_t value, unsigned size) override;
  void advance(ns_t now) override;
  std::map<std::string, uint32_t> registers() const override;

  // Clock gate: the entry's enable bit in `rcc` (none: always clocked).
  void set_gate(const Rcc* rcc);
  // Write coming from a DMA channel (no machine entry: keeps the DMA's memory view).
  void dma_write(uint32_t offset, uint32_t value, unsigned size) { access_write(offset, value, size); }
  uint32_t dma_read(uint32_t offset, unsigned size) { return access_read(offset, size); }
  // Register value as a read would see it, by fact-sheet name (tests, dump).
  uint32_t reg(const std::string& name) const;
  const std::vector<RegDef>& defs() const { return regs_; }
  const desc::Peripheral& entry() const { return entry_; }

 protected:
  virtual uint32_t on_read(unsigned idx) { return peek(idx); }
  virtual void on_write(unsigned idx, uint32_t value, uint32_t lanes) { plain_write(idx, value, lanes); }
  virtual uint32_t peek(unsigned idx) const { return val_[idx]; }
  virtual void on_advance(ns_t now) { (void)now; }
  void plain_write(unsigned idx, uint32_t value, uint32_t lanes) {
    const uint32_t m = lanes & regs_[idx].wmask;
    val_[idx] = (val_[idx] & ~m) | (value & m);
  }
  uint32_t merged(unsigned idx, uint32_t value, uint32_t lanes) const {
    const uint32_t m = lanes & regs_[idx].wmask;
    return (val_[idx] & ~m) | (value & m);
  }
  ns_t now() const { return ctx_.bus.now(); }
  void finding(std::string_view kind, const std::string& what) {
    ctx_.findings.add(kind, name_, now(), what);
  }

  Context& ctx_;
  const desc::Peripheral& entry_;
  const uint32_t irq_src_;
  std::vector<RegDef> regs_;
  std::vector<uint32_t> val_;

 private:
  uint32_t access_read(uint32_t offset, unsigned size);
  void access_write(uint32_t offset, uint32_t value, unsigned size);
  std::string name_;
  uint32_t base_;
  uint32_t size_;
  std::vector<int16_t> lookup_;  // word index -> register index, -1 unmodelled
  const Rcc* gate_rcc_ = nullptr;
};

class Pwr;
class Flash;

// Reset and clock control: oscillator ready bits, PLL lock, system clock switch,
// bus prescalers; also the board's clock tree.
class Rcc : public RegBlock, public ClockTree {
 public:
  Rcc(Context& ctx, const desc::Peripheral& where);
  void attach(Pwr* pwr, Flash* flash) {
    pwr_ = pwr;
    flash_ = flash;
  }
  // Fault injection: the PLL never reports lock (the firmware ends in its error path).
  void set_pll_never_locks(bool v) { pll_never_locks_ = v; }
  static constexpr ns_t kPllLockNs = 150'000;
  bool enabled(uint32_t enr_offset, unsigned bit) const;
  // Called with the time of every change of the clock tree (after it changed).
  void on_clock_change(std::function<void(ns_t)> f) { listeners_.push_back(std::move(f)); }
  // Re-check the clock rules (flash latency, voltage range) after PWR/FLASH writes.
  void check_rules(ns_t t);

  uint64_t sysclk_hz() const override { return sysclk_; }
  uint64_t hclk_hz() const override { return hclk_; }
  uint64_t pclk1_hz() const override { return pclk1_; }
  uint64_t pclk2_hz() const override { return pclk2_; }
  uint64_t timer_clock_hz(const std::string& timer) const override;
  uint64_t pll_r_hz() const;
  ns_t next_event() const override;

 protected:
  uint32_t on_read(unsigned idx) override;
  void on_write(unsigned idx, uint32_t value, uint32_t lanes) override;
  uint32_t peek(unsigned idx) const override;
  void on_advance(ns_t now) override;

 private:
  bool pll_sane(std::string* why) const;
  bool pll_ready_at(ns_t t) const;
  bool source_ready(unsigned sw, ns_t t) const;
  void settle(ns_t t);  // apply PLL lock and a pending clock switch up to t
  void recompute(ns_t t);
  Pwr* pwr_ = nullptr;
  Flash* flash_ = nullptr;
  bool pll_never_locks_ = false;
  bool pll_on_ = false;
  ns_t pll_lock_at_ = kNever;
  unsigned sws_ = 1;
  ns_t sw_write_t_ = 0;
  uint64_t sysclk_ = 16'000'000, hclk_ = 16'000'000, pclk1_ = 16'000'000, pclk2_ = 16'000'000;
  unsigned ppre1_div_ = 1, ppre2_div_ = 1, hpre_div_ = 1;
  ns_t last_change_t_ = 0;
  std::vector<std::function<void(ns_t)>> listeners_;
};

class Pwr : public RegBlock {
 public:
  Pwr(Context& ctx, const desc::Peripheral& where);
  void attach(Rcc* rcc) { rcc_ = rcc; }
  unsigned vos() const { return (val_[0] >> 9) & 3u; }
  bool boost() const;  // range 1 boost mode (R1MODE = 0)
  static constexpr ns_t kVosSettleNs = 20'000;
  // VOSF falling is visible to a polling CPU.
  ns_t next_event() const override { return vos_busy_until_ > now() ? vos_busy_until_ : kNever; }

 protected:
  uint32_t peek(unsigned idx) const override;
  void on_write(unsigned idx, uint32_t value, uint32_t lanes) override;

 private:
  Rcc* rcc_ = nullptr;
  ns_t vos_busy_until_ = 0;
};

class Flash : public RegBlock {
 public:
  Flash(Context& ctx, const desc::Peripheral& where);
  void attach(Rcc* rcc) { rcc_ = rcc; }
  unsigned latency() const { return val_[0] & 0xFu; }

 protected:
  void on_write(unsigned idx, uint32_t value, uint32_t lanes) override;

 private:
  Rcc* rcc_ = nullptr;
};

class Syscfg : public RegBlock {
 public:
  Syscfg(Context& ctx, const desc::Peripheral& where);
  // Port (0 = A ... 6 = G) routed to EXTI line 0..15.
  unsigned port_for_line(unsigned line) const { return (val_[2 + line / 4] >> (4 * (line % 4))) & 0xFu; }
};

class Exti : public RegBlock {
 public:
  Exti(Context& ctx, const desc::Peripheral& where, const Syscfg& syscfg);
  // A pad of port `port` (0 = A) changed level.
  void pad_edge(unsigned port, unsigned pin, bool rising);
  // Whether any edge of that pad can latch a pending bit (its line is routed
  // to the port and has an edge trigger).
  bool watches(unsigned port, unsigned pin) const;

 protected:
  void on_write(unsigned idx, uint32_t value, uint32_t lanes) override;

 private:
  void update_lines();
  const Syscfg& syscfg_;
  // NVIC line and the EXTI lines (pending bits) that raise it.
  std::vector<std::pair<unsigned, uint32_t>> irq_masks_;
};

// Receives pad level changes of one pin (a part of the board watching a line).
class PinListener {
 public:
  virtual ~PinListener() = default;
  virtual void pin_changed(int level, ns_t t) = 0;
  // A run of changes in time order.
  virtual void pin_changes(const PinChange* c, size_t n) {
    for (size_t i = 0; i < n; ++i) pin_changed(c[i].level, c[i].t);
  }
};

// A peripheral output that a pad can select as alternate function.
class AfSource {
 public:
  virtual ~AfSource() = default;
  virtual int af_level(unsigned channel) const = 0;
};

class Gpio : public RegBlock {
 public:
  Gpio(Context& ctx, const desc::Peripheral& where, unsigned port);
  unsigned port() const { return port_; }
  void set_exti(Exti* exti) { exti_ = exti; }
  // External driver on a pin: 0/1 drive, -1 releases to the pull.
  void set_external(unsigned pin, int level, ns_t t);
  // Wires alternate function `af` of `pin` to channel `ch` of `src`.
  void connect_af(unsigned pin, unsigned af, AfSource* src, unsigned ch);
  // Whether alternate function `af` of `pin` has a modelled output.
  bool af_connected(unsigned pin, unsigned af) const { return af_src_[pin][af] != nullptr; }
  // The connected source changed its output level.
  void af_output(unsigned pin, int level, ns_t t) {
    if ((af_live_ >> pin) & 1u) drive_pad(pin, level, t);
  }
  // The same for a run of changes in time order (a timer working off many periods).
  void af_outputs(unsigned pin, const PinChange* c, size_t n);
  void set_listener(unsigned pin, PinListener* l) { listeners_[pin] = l; }
  bool has_listener(unsigned pin) const { return listeners_[pin] != nullptr; }
  int pad(unsigned pin) const { return (pads_ >> pin) & 1u; }
  // History per touched pin: the level at reset (t = 0), then its changes; the
  // first kHistoryKept changes are kept, history_total() counts every entry.
  std::map<std::string, std::vector<PinChange>> history() const;
  std::map<std::string, uint64_t> history_total() const;
  static constexpr size_t kHistoryKept = 20'000;  // per pin (PA7 changes 1.4 M times a second)
  uint64_t changes(unsigned pin) const { return change_count_[pin]; }
  // Exact for the whole run: level now, last change and changes after t = 0.
  PinState state(unsigned pin) const { return {pad(pin), last_change_[pin], hist_total_[pin]}; }
  bool touched(unsigned pin) const { return (touched_ >> pin) & 1u; }

 protected:
  void on_write(unsigned idx, uint32_t value, uint32_t lanes) override;
  uint32_t peek(unsigned idx) const override;

 private:
  int level_of(unsigned pin) const;
  void refresh(ns_t t);
  void drive_pad(unsigned pin, int level, ns_t t);
  unsigned port_;
  Exti* exti_ = nullptr;
  uint32_t pads_ = 0;
  uint32_t touched_ = 0;
  uint32_t af_live_ = 0;  // pins whose pad currently follows their connected source
  std::array<int, 16> ext_{};
  std::array<std::array<AfSource*, 16>, 16> af_src_{};  // [pin][af]
  std::array<std::array<unsigned, 16>, 16> af_ch_{};
  std::array<PinListener*, 16> listeners_{};
  std::string pin_name(unsigned pin) const;
  std::array<std::vector<PinChange>, 16> hist_;  // changes after t = 0 (the first kHistoryKept)
  std::array<int, 16> level_at_zero_{};          // level at reset, or as changed at t = 0
  std::array<uint64_t, 16> change_count_{};
  std::array<uint64_t, 16> hist_total_{};  // changes after t = 0, kept or not
  std::array<ns_t, 16> last_change_{};     // time of the last change after t = 0
};

class Dmamux;
class Dma;

// Who issues a DMA request line: lets the DMA predict when its k-th next
// request (and so its half/complete flags) will come.
class RequestSource {
 public:
  virtual ~RequestSource() = default;
  virtual void sync(ns_t t) = 0;
  // Earliest time of the k-th (k >= 1) future request `req`; kNever if none.
  virtual ns_t request_time(unsigned req, uint64_t k) const = 0;
};

// A timer's description entry in the form the model works with.
struct TimerInfo {
  explicit TimerInfo(const desc::Peripheral& p);
  const char* name;
  unsigned channels;  // capture/compare channels with outputs
  bool bits32;
  bool has_rcr;
  bool has_break;  // main output enable (BDTR.MOE) gates the outputs
  // IRQ lines: update, capture/compare, trigger/commutation, break.
  std::array<unsigned, 4> irq{};
  // DMAMUX request ids: update, CC1..CC4 (0: none).
  unsigned req_up = 0;
  std::array<unsigned, 4> req_cc{};
};

// Up-counting timer (basic, general purpose, advanced) computed lazily from time.
class Timer : public RegBlock, public AfSource, public RequestSource {
 public:
  Timer(Context& ctx, const desc::Peripheral& where, const ClockTree& clocks, Dmamux* mux);
  const TimerInfo& info() const { return info_; }
  // The timer clock changed at t (RCC): count with the new rate from t on.
  void clock_changed(ns_t t);
  // Channel `ch`'s output reaches `pin` of `gpio` (one of the pins that can carry it).
  void connect_output(unsigned ch, Gpio* gpio, unsigned pin);
  uint32_t counter_at(ns_t t) const;
  // Off: every PWM period is worked off event by event (the reference the
  // whole-period path is checked against).
  void set_whole_periods(bool on) { whole_periods_ = on; }
  // A deliberately broken variant for the model tests to catch: every compare
  // value is taken as preloaded, whatever OCxPE says (never a run option).
  void set_compare_always_preloaded(bool on) {
    compare_always_preloaded_ = on;
    decode_config();
  }

  int af_level(unsigned channel) const override { return (out_levels_ >> channel) & 1u; }
  void sync(ns_t t) override { process(t); }
  ns_t request_time(unsigned req, uint64_t k) const override;
  ns_t next_event() const override;

 protected:
  uint32_t on_read(unsigned idx) override;
  void on_write(unsigned idx, uint32_t value, uint32_t lanes) override;
  uint32_t peek(unsigned idx) const override;
  void on_advance(ns_t now) override { process(now); }

 private:
  enum Reg : int {
    kCR1,
    kCR2,
    kSMCR,
    kDIER,
    kSR,
    kEGR,
    kCCMR1,
    kCCMR2,
    kCCER,
    kCNT,
    kPSC,
    kARR,
    kRCR,
    kCCR1,
    kCCR2,
    kCCR3,
    kCCR4,
    kBDTR,
    kCount
  };
  void process(ns_t t);
  void start(ns_t t);
  void rebase(ns_t t, uint32_t cnt);
  void load_rate();
  ns_t tick_time(uint64_t tick) const;
  uint64_t ticks_at(ns_t t) const;
  uint32_t top() const { return cyc_cnt0_ <= arr_act_ ? arr_act_ : cnt_max_; }
  void overflow(uint64_t tick, ns_t t);
  void update_event(ns_t t, bool from_ug);
  void matches(uint32_t value, ns_t t);
  bool oc_preload(unsigned ch) const;
  void set_ref(unsigned ch, int ref, ns_t t);
  void refresh_outputs(ns_t t);
  void update_irq();
  void set_flags(uint32_t bits);
  void decode_config();
  bool dma_fed_channel(unsigned* ch, Dma** dma, unsigned* dch) const;
  bool pwm_periods(ns_t t);
  // Time offsets of compare values within a period (quotient and remainder of
  // c * num_ / den_), kept while the rate stays: a DMA-fed stream uses a few.
  struct Offset {
    uint64_t tag = 0;  // compare value + 1; 0: empty
    uint64_t q = 0, r = 0;
  };
  static constexpr uint32_t kOffsetSlots = 256;
  // State of a run of whole periods (pwm_periods).
  struct PwmPass {
    ns_t base = 0;
    uint64_t q = 0, r = 0, pq = 0, pr = 0;  // period start and length as quotient and remainder
    uint32_t c = 0, keep = 0, wmask = 0, arr = 0;
    int out = 0, at_match = 0, at_start = 0;
    PinChange* batch = nullptr;
    Offset* offsets = nullptr;
  };
  template <unsigned Size, bool Edges>
  uint32_t pwm_run(PwmPass& p, const uint8_t* data, uint32_t stride, uint32_t n);
  void split(unsigned __int128 x, uint64_t* q, uint64_t* r) const;

  TimerInfo info_;
  const ClockTree& clocks_;
  Dmamux* mux_;
  std::array<int, kCount> idx_{};
  uint32_t cnt_max_;
  // Counting state: relative tick k happens at base_t_ + ceil(k * num_ / den_).
  bool run_ = false;
  uint64_t num_ = 1, den_ = 1, fast_limit_ = 0;
  ns_t base_t_ = 0;
  uint64_t cyc_tick_ = 0;  // tick at which the current cycle began
  uint32_t cyc_cnt0_ = 0;  // counter value at cyc_tick_
  uint64_t pos_ = 0;       // compare matches below this value are done in this cycle
  uint32_t stopped_cnt_ = 0;
  ns_t done_t_ = 0;
  bool busy_ = false;  // inside process(): register writes come from DMA at ev_t_
  ns_t ev_t_ = 0;
  uint32_t psc_act_ = 0, arr_act_ = 0, rep_left_ = 0;
  std::array<uint32_t, 4> ccr_act_{};
  std::array<int, 4> ref_{};
  uint32_t out_levels_ = 0;
  struct OutPin {
    Gpio* gpio;
    unsigned pin;
  };
  std::array<std::vector<OutPin>, 4> out_pins_;
  // Decoded configuration (refreshed on register writes).
  uint32_t cmp_mask_ = 0;     // channels in output-compare mode
  uint32_t out_en_mask_ = 0;  // channels whose output reaches the pin
  uint32_t dma_cc_mask_ = 0;
  std::array<unsigned, 4> mode_{};
  uint32_t preload_mask_ = 0;
  // Whole-period path: output changes of the fed channel, handed to the pin in runs.
  bool whole_periods_ = true;
  bool compare_always_preloaded_ = false;
  std::vector<PinChange> batch_;
  std::vector<Offset> offsets_;
  uint64_t offsets_num_ = 0, offsets_den_ = 0;
};

class Dma;

class Dmamux : public RegBlock {
 public:
  Dmamux(Context& ctx, const desc::Peripheral& where);
  void attach(Dma* dma1) { dma1_ = dma1; }
  void register_source(unsigned req, RequestSource* src) { sources_[req] = src; }
  RequestSource* source(unsigned req) const { return req < kReqs ? sources_[req] : nullptr; }
  unsigned request_of(unsigned channel) const { return val_[channel] & 0x7Fu; }
  // A peripheral raises request `req` at time t.
  void request(unsigned req, ns_t t);
  // DMA1 and its channel that serves request `req` (nullptr: none).
  Dma* dma_for(unsigned req, unsigned* ch) const;
  static constexpr unsigned kChannels = 12, kReqs = 128;

 protected:
  void on_write(unsigned idx, uint32_t value, uint32_t lanes) override;

 private:
  void reroute();
  Dma* dma1_ = nullptr;
  std::array<int16_t, kReqs> route_{};
  std::array<RequestSource*, kReqs> sources_{};
};

// DMA1: six channels fed by DMAMUX channels 0..5.
class Dma : public RegBlock {
 public:
  Dma(Context& ctx, const desc::Peripheral& where, const Dmamux& mux,
      std::function<RegBlock*(uint32_t, uint32_t*)> resolve);
  void request(unsigned ch, ns_t t);
  ns_t next_event() const override;
  static constexpr unsigned kChannels = 6;
  uint64_t transfers(unsigned ch) const { return chan_[ch].transfers; }
  // The next requests of channel `ch` that each move one item from memory to
  // `target` at `offset` and do nothing else (no flag, no end of the pass), for
  // a timer that works them off in one go: their items as guest memory holds
  // them now (the CPU cannot write meanwhile). Empty when the channel does
  // anything else or the memory cannot be read (the request path then reports it).
  struct QuietItems {
    const uint8_t* data = nullptr;  // item i at data + i * stride, `size` bytes, little-endian
    uint32_t count = 0, stride = 0, size = 0, mask = 0;  // mask: narrowed to the peripheral size
  };
  QuietItems quiet_items(unsigned ch, const RegBlock* target, uint32_t offset);
  // `k` of those requests are done: the channel's bookkeeping as after each of them.
  void quiet_done(unsigned ch, uint32_t k);
  unsigned psize(unsigned ch) const { return chan_[ch].psize; }

 protected:
  uint32_t peek(unsigned idx) const override;
  void on_write(unsigned idx, uint32_t value, uint32_t lanes) override;
  void on_advance(ns_t now) override;

 private:
  struct Chan {
    bool en = false;
    uint32_t ccr = 0, ndt0 = 0, left = 0, maddr = 0, paddr = 0;
    unsigned msize = 1, psize = 1;
    RegBlock* target = nullptr;  // peripheral register block at paddr (memory if null)
    uint32_t target_off = 0;
    uint64_t transfers = 0;
    // Guest memory already read in this epoch.
    uint64_t cache_epoch = ~0ull;
    uint32_t cache_addr = 0, cache_len = 0;
    std::vector<uint8_t> cache;
  };
  void enable(unsigned ch);
  bool mem_read(Chan& c, uint32_t addr, unsigned n, uint32_t* v);
  bool mem_write(uint32_t addr, unsigned n, uint32_t v);
  void transfer_error(unsigned ch, const std::string& why);
  void update_irq(unsigned ch);
  void retarget(Chan& c);
  const Dmamux& mux_;
  std::function<RegBlock*(uint32_t, uint32_t*)> resolve_;
  std::array<Chan, kChannels> chan_;
  std::array<unsigned, kChannels> irq_{};  // NVIC line of each channel
  uint32_t isr_ = 0;
};

class Usart : public RegBlock {
 public:
  Usart(Context& ctx, const desc::Peripheral& where);

 protected:
  uint32_t peek(unsigned idx) const override;
  void on_write(unsigned idx, uint32_t value, uint32_t lanes) override;
};

}  // namespace vboard::periph
