// The machine core: Unicorn as the CPU, the host doing what Unicorn lacks for
// an M-profile core (exception entry and return, NVIC, SCB, SysTick), and
// deterministic virtual time counted per translated block.
//
// Time: every instruction costs cpi_milli/1000 cycles of HCLK. Instructions are
// counted per translated block in the block hook, from a cached decode of the
// block's Thumb instruction lengths. Emulation is stopped from the block hook
// before the first block that would start at or after the next scheduled event
// (device events, SysTick underflow, injections, end of run), so slice
// boundaries and therefore whole runs are exactly repeatable.
#include "vboard/machine.h"

#include <cmath>
#include <unicorn/unicorn.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <unordered_map>

namespace vboard {

namespace {

constexpr uint32_t kFlashBase = 0x08000000;
constexpr uint32_t kFlashSize = 128 * 1024;
constexpr uint32_t kRamBase = 0x20000000;
constexpr uint32_t kRamSize = 32 * 1024;
constexpr uint32_t kPeriphBase = 0x40000000;
constexpr uint32_t kPeriphSize = 0x20000000;
constexpr uint32_t kPpbBase = 0xE0000000;
constexpr uint32_t kPpbSize = 0x00100000;
constexpr unsigned kNumIrq = 128;
constexpr unsigned kNumExc = 16 + kNumIrq;
constexpr unsigned kChipIrqs = 102;
constexpr ns_t kIdleJumpCap = kMs;

// Exception numbers.
constexpr unsigned kNmi = 2, kHardFault = 3, kMemManage = 4, kBusFault = 5, kUsageFault = 6, kSvc = 11,
                   kDebugMon = 12, kPendSv = 14, kSysTick = 15;

// CFSR bits.
constexpr uint32_t kIbusErr = 1u << 8, kPreciseErr = 1u << 9, kBfarValid = 1u << 15;
constexpr uint32_t kUndefInstr = 1u << 16, kInvState = 1u << 17, kInvPc = 1u << 18, kNoCp = 1u << 19,
                   kUnaligned = 1u << 24;

enum class HaltKind : uint8_t {
  none,
  error_handler,
  default_handler,
  fault_handler,
  exit_loop,
  inlined_error,  // "cpsid i; b ." inlined from Error_Handler into its caller
  self_loop       // any other branch to itself
};

struct BlockInfo {
  uint32_t size = 0;
  uint32_t count = 0;
  bool has_fp = false;
  HaltKind halt = HaltKind::none;
  uint64_t last_visit = ~0ull;
  uint32_t tight = 0;
  uint32_t check_at = 2;
};

enum class Stop { none, event, irq, halt, idle, nocp };

enum class FaultKind { undef, invstate, nocp, invpc, unaligned, bus, ibus };

uint64_t mul_div(uint64_t a, uint64_t b, uint64_t c) {
  return static_cast<uint64_t>(static_cast<unsigned __int128>(a) * b / c);
}
uint64_t mul_div_ceil(uint64_t a, uint64_t b, uint64_t c) {
  unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
  return static_cast<uint64_t>((p + c - 1) / c);
}

// A 32-bit coprocessor instruction for cp10/cp11 (the FPU) in Thumb-2.
bool is_fp_insn(uint16_t hw1, uint16_t hw2) {
  return (hw1 & 0xEC00) == 0xEC00 && (hw1 & 0x1000) == 0 && ((hw2 >> 9) & 7) == 5;
}

}  // namespace

struct Machine::Impl {
  Machine& m;
  uc_engine* uc = nullptr;
  std::vector<uint8_t> flash, ram;

  // Device windows in the peripheral space.
  struct Window {
    uint32_t base, end;
    int dev;
  };
  std::vector<Window> windows;
  std::vector<int32_t> page_first;  // per 4 KiB page of the peripheral space
  ClockTree* clocks = nullptr;

  // Time.
  uint64_t hclk = 16000000;
  ns_t base_ns = 0;
  uint64_t cycles_milli = 0;  // since base_ns, committed blocks only
  uint64_t total_cycles_milli = 0;
  uint64_t instr_done = 0;
  uint32_t cur_instr = 0;
  uint64_t cur_cycles = 0;
  uint64_t stop_cycles = ~0ull;
  ns_t stop_at = kNever;
  ns_t run_end = kNever;
  ns_t min_stop = 0;
  ns_t idle_ns = 0;
  ns_t last_advance = kNever;
  bool events_dirty = true;

  // Block decode cache.
  std::vector<int32_t> flash_block_index;  // per halfword of flash
  std::unordered_map<uint32_t, int32_t> other_block_index;
  std::vector<BlockInfo> blocks;
  uint32_t cur_pc = 0, prev_block = 0;
  Stop stop = Stop::none;
  uint32_t unmapped_addr = 0;
  bool unmapped_fetch = false;

  // Exceptions.
  std::array<bool, kNumExc> pending{}, active{}, enabled{};
  std::array<bool, kNumIrq> line{};
  std::array<uint8_t, kNumIrq> ipr{};
  std::array<uint8_t, 12> shpr{};  // exceptions 4..15
  std::vector<unsigned> active_stack;
  unsigned prigroup = 0;
  bool irq_check = false;  // something is pending: look at each block start
  bool sleeping = false;
  struct ExcFrame {
    unsigned exc;
    uint64_t instr0;
    uint64_t nested;
  };
  std::vector<ExcFrame> exc_frames;
  std::array<uint64_t, 16> incl_by_depth{};
  std::map<unsigned, ExceptionStat> exc_stats;
  std::vector<ExceptionEntry> exc_trace;
  bool tail_chaining = false;

  // SCB and friends.
  uint32_t vtor = 0, ccr = 0x200, scr = 0, shcsr = 0, cfsr = 0, hfsr = 0, dfsr = 0, mmfar = 0, bfar = 0,
           afsr = 0, cpacr = 0, actlr = 0, demcr = 0, fpccr = 0xC0000000, fpcar = 0, fpdscr = 0;
  uint32_t dwt_ctrl = 0x40000000, dwt_cyccnt_base = 0;
  uint64_t dwt_enabled_at = 0;
  bool fpu_enabled = false;

  // SysTick.
  uint32_t st_ctrl = 0, st_load = 0, st_v0 = 0;
  ns_t st_t0 = 0, st_last = 0;
  bool st_countflag = false;

  // Idle detection.
  struct IdleRef {
    std::array<uint64_t, 40> regs{};
    uint64_t ram = 0, writes = 0, read_changes = 0;
    bool valid = false;
  };
  std::unordered_map<uint32_t, IdleRef> idle_refs;
  uint64_t mmio_writes = 0;   // MMIO writes so far
  uint64_t read_changes = 0;  // MMIO reads that returned a new value
  std::unordered_map<uint32_t, uint32_t> last_read;

  // Injections.
  std::vector<IrqInjection> injections;
  size_t next_injection = 0;

  // Profiling.
  std::unordered_map<uint32_t, size_t> prof_entry;
  struct Call {
    size_t fn;
    uint32_t ret;
    uint64_t instr0;
    size_t depth;
    uint64_t nested0;
  };
  std::vector<Call> calls;
  std::vector<FunctionStat> fn_stats;

  std::vector<Unmodelled> unmodelled;
  std::vector<std::string> faults, notes;
  std::map<std::string, ns_t> first_write;
  uint64_t write_seq = 0;
  unsigned gated_writes = 0;
  double wall_s = 0;

  explicit Impl(Machine& mm) : m(mm) {}

  // ---------------------------------------------------------------- time
  ns_t now() const { return base_ns + mul_div(cycles_milli, 1000000, hclk); }
  uint64_t instr_now() const { return instr_done + cur_instr; }

  void set_stop_at(ns_t t) {
    stop_at = t;
    if (t == kNever) {
      stop_cycles = ~0ull;
      return;
    }
    ns_t d = t > base_ns ? t - base_ns : 0;
    stop_cycles = mul_div_ceil(d, hclk, 1000000);
  }
  void rebase() {
    base_ns = now();
    cycles_milli = 0;
    set_stop_at(stop_at);
  }
  void jump_to(ns_t t) {
    ns_t n = now();
    if (t <= n) return;
    idle_ns += t - n;
    base_ns = t;
    cycles_milli = 0;
    set_stop_at(stop_at);
  }
  void commit_block() {
    instr_done += cur_instr;
    cycles_milli += cur_cycles;
    total_cycles_milli += cur_cycles;
    cur_instr = 0;
    cur_cycles = 0;
  }
  void check_clock() {
    if (!clocks) return;
    uint64_t h = clocks->hclk_hz();
    if (h == 0 || h == hclk) return;
    ns_t t = now();
    st_rebase(t);
    rebase();
    hclk = h;
    rebase();
    events_dirty = true;
  }

  void advance_devices(ns_t t) {
    if (t == last_advance) return;
    last_advance = t;
    for (Device* d : m.devices_) d->advance(t);
  }

  // ------------------------------------------------------------- SysTick
  uint64_t st_rate() const { return (st_ctrl & 4) ? hclk : hclk / 8; }
  uint64_t st_ticks(ns_t t) const { return t <= st_t0 ? 0 : mul_div(t - st_t0, st_rate(), 1000000000); }
  uint32_t st_value(ns_t t) const {
    if (!(st_ctrl & 1)) return st_v0;
    uint64_t e = st_ticks(t);
    if (st_v0 > 0 && e <= st_v0) return static_cast<uint32_t>(st_v0 - e);
    uint64_t e2 = st_v0 > 0 ? e - st_v0 : e;
    if (e2 == 0 || st_load == 0) return 0;
    return static_cast<uint32_t>(st_load - (e2 - 1) % (uint64_t{st_load} + 1));
  }
  // Tick index of the k-th zero crossing after t0 (k from 0); ~0 if none.
  uint64_t st_zero_tick_after(uint64_t e) const {
    uint64_t period = uint64_t{st_load} + 1;
    uint64_t z0 = st_v0 > 0 ? st_v0 : period;
    if (st_v0 == 0 && st_load == 0) return ~0ull;
    if (e < z0) return z0;
    if (st_load == 0) return ~0ull;
    uint64_t k = (e - z0) / period + 1;
    return z0 + k * period;
  }
  uint64_t st_zeros_between(uint64_t e1, uint64_t e2) const {  // in (e1, e2]
    uint64_t period = uint64_t{st_load} + 1;
    uint64_t z0 = st_v0 > 0 ? st_v0 : period;
    if (st_v0 == 0 && st_load == 0) return 0;
    auto upto = [&](uint64_t e) -> uint64_t {  // zeros at ticks <= e
      if (e < z0) return 0;
      if (st_load == 0) return 1;
      return (e - z0) / period + 1;
    };
    return upto(e2) - upto(e1);
  }
  void st_process(ns_t t) {
    if (!(st_ctrl & 1) || t <= st_last) {
      if (t > st_last) st_last = t;
      return;
    }
    uint64_t n = st_zeros_between(st_ticks(st_last), st_ticks(t));
    st_last = t;
    if (n > 0) {
      st_countflag = true;
      if (st_ctrl & 2) pend(kSysTick);
    }
  }
  void st_rebase(ns_t t) {
    st_process(t);
    st_v0 = st_value(t);
    st_t0 = t;
    st_last = t;
  }
  ns_t st_next_event(ns_t t) const {
    if ((st_ctrl & 3) != 3) return kNever;
    uint64_t z = st_zero_tick_after(st_ticks(t));
    if (z == ~0ull) return kNever;
    return st_t0 + mul_div_ceil(z, 1000000000, st_rate());
  }

  // ----------------------------------------------------------- exceptions
  int raw_prio(unsigned e) const {
    if (e == kNmi) return -2;
    if (e == kHardFault) return -1;
    if (e < 16) return e >= 4 ? (shpr[e - 4] & 0xF0) : 0;
    return ipr[e - 16] & 0xF0;
  }
  int group(int p) const {
    if (p < 0) return p;
    int mask = (0xFF << (prigroup + 1)) & 0xFF;
    return p & mask;
  }
  bool exc_enabled(unsigned e) const {
    if (e >= 16) return enabled[e];
    switch (e) {
      case kMemManage:
        return shcsr & (1u << 16);
      case kBusFault:
        return shcsr & (1u << 17);
      case kUsageFault:
        return shcsr & (1u << 18);
      default:
        return true;
    }
  }
  void pend(unsigned e) {
    pending[e] = true;
    irq_check = true;
  }
  // Highest-priority pending exception, -1 if none.
  int best_pending() const {
    int best = -1, bp = 0;
    for (unsigned e = 2; e < kNumExc; ++e) {
      if (!pending[e] || !exc_enabled(e)) continue;
      int p = raw_prio(e);
      bool better = best < 0 || p < bp || (p == bp && m.opt_.break_tail_chain_order);
      if (better) best = static_cast<int>(e), bp = p;
    }
    return best;
  }
  int active_prio() const {
    int p = 256;
    for (unsigned e : active_stack) p = std::min(p, group(raw_prio(e)));
    return p;
  }
  uint32_t reg(int r) const {
    uint32_t v = 0;
    uc_reg_read(uc, r, &v);
    return v;
  }
  void set_reg(int r, uint32_t v) { uc_reg_write(uc, r, &v); }
  int exec_prio() const {
    int p = active_prio();
    uint32_t basepri = reg(UC_ARM_REG_BASEPRI) & 0xF0;
    if (basepri) p = std::min(p, group(static_cast<int>(basepri)));
    if (reg(UC_ARM_REG_PRIMASK) & 1) p = std::min(p, 0);
    if (reg(UC_ARM_REG_FAULTMASK) & 1) p = std::min(p, -1);
    return p;
  }
  // Pending exception that may be taken now, -1 if none.
  int takeable() {
    int b = best_pending();
    if (b < 0) {
      irq_check = false;
      return -1;
    }
    int g = group(raw_prio(static_cast<unsigned>(b)));
    if (g >= active_prio()) return -1;
    if (g >= exec_prio()) return -1;
    return b;
  }

  void rebuild_flags() {
    if (m.opt_.break_no_flag_restore) return;
    uint32_t f = reg(UC_ARM_REG_APSR_NZCV);
    set_reg(UC_ARM_REG_APSR_NZCV, f);
  }

  bool ram_range(uint32_t a, uint32_t n) const { return a >= kRamBase && a - kRamBase + n <= kRamSize; }
  uint32_t vector(unsigned e) {
    uint32_t v = 0;
    m.read_mem(vtor + 4 * e, &v, 4);
    return v;
  }

  // Exception entry: stack the frame, switch to handler mode, jump to the vector.
  bool enter_exception(unsigned e, uint32_t ret_pc) {
    uint32_t r[5];
    int ids[5] = {UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3, UC_ARM_REG_R12};
    for (int i = 0; i < 5; ++i) r[i] = reg(ids[i]);
    uint32_t lr = reg(UC_ARM_REG_LR), xpsr = reg(UC_ARM_REG_XPSR), control = reg(UC_ARM_REG_CONTROL);
    bool handler = (xpsr & 0x1FF) != 0;
    bool use_psp = !handler && (control & 2);
    uint32_t sp = use_psp ? reg(UC_ARM_REG_PSP) : reg(UC_ARM_REG_SP);
    // FPCCR.ASPEN off: the core never marks an FP context, so none is stacked.
    bool fp = (control & 4) && (fpccr & (1u << 31)) && !m.opt_.break_no_fp_frame;
    uint32_t frame = fp ? 0x68 : 0x20;
    uint32_t sp1 = sp - frame;
    bool pad = (ccr & 0x200) && (sp1 & 4);
    if (pad) sp1 -= 4;
    uint32_t w[26] = {};
    w[0] = r[0], w[1] = r[1], w[2] = r[2], w[3] = r[3], w[4] = r[4], w[5] = lr, w[6] = ret_pc & ~1u;
    w[7] = (xpsr & ~(1u << 9)) | (pad ? (1u << 9) : 0);
    if (fp) {
      for (int i = 0; i < 8; ++i) {
        uint64_t dv = 0;
        uc_reg_read(uc, UC_ARM_REG_D0 + i, &dv);
        w[8 + 2 * i] = static_cast<uint32_t>(dv);
        w[9 + 2 * i] = static_cast<uint32_t>(dv >> 32);
      }
      w[24] = reg(UC_ARM_REG_FPSCR);
    }
    if (!ram_range(sp1, frame)) {
      lockup("stacking outside RAM at sp=" + hex(sp1));
      return false;
    }
    std::memcpy(&ram[sp1 - kRamBase], w, frame);
    uint32_t excret = 0xFFFFFFE1u | (fp ? 0 : 0x10u) | (handler ? 0 : 0x8u) | (use_psp ? 0x4u : 0);
    uint32_t new_control = control & ~4u & ~2u;
    if (use_psp) {
      set_reg(UC_ARM_REG_CONTROL, new_control);
      set_reg(UC_ARM_REG_PSP, sp1);
    } else {
      set_reg(UC_ARM_REG_SP, sp1);
      set_reg(UC_ARM_REG_CONTROL, new_control);
    }
    set_reg(UC_ARM_REG_LR, excret);
    activate(e);
    return jump_vector(e, xpsr);
  }

  // Core cycles outside instructions: exception entry 12, return 10, tail-chain 6.
  void spend_cycles(uint32_t n) {
    cycles_milli += uint64_t{n} * 1000;
    total_cycles_milli += uint64_t{n} * 1000;
  }

  void activate(unsigned e) {
    spend_cycles(tail_chaining ? 6 : 12);
    pending[e] = false;
    active[e] = true;
    active_stack.push_back(e);
    exc_frames.push_back({e, instr_now(), 0});
    if (exc_trace.size() < 100000) {
      ExceptionEntry x{now(), e, tail_chaining, {}};
      for (unsigned k = 0; k < 4; ++k) x.irqs_pending[k] = word_bits(pending.data(), k);
      exc_trace.push_back(x);
    }
    if (e == kHardFault || e >= 16) irq_check = true;
    sleeping = false;
  }

  bool jump_vector(unsigned e, uint32_t xpsr) {
    uint32_t nx = (xpsr & 0xF80F0000u) | (1u << 24) | e;
    set_reg(UC_ARM_REG_XPSR_NZCVQG, nx);
    rebuild_flags();
    uint32_t v = vector(e);
    if (!(v & 1)) {
      lockup("vector " + std::to_string(e) + " without Thumb bit: " + hex(v));
      return false;
    }
    set_reg(UC_ARM_REG_PC, v);
    irq_check = true;
    return true;
  }

  void exc_done(unsigned e) {
    if (exc_frames.empty()) return;
    ExcFrame f = exc_frames.back();
    exc_frames.pop_back();
    uint64_t incl = instr_now() - f.instr0;
    uint64_t excl = incl - f.nested;
    size_t depth = exc_frames.size() + 1;
    if (depth < incl_by_depth.size()) incl_by_depth[depth] += incl;
    if (!exc_frames.empty()) exc_frames.back().nested += incl;
    ExceptionStat& s = exc_stats[e];
    if (s.count == 0 || excl < s.instr_min) s.instr_min = excl;
    s.instr_max = std::max(s.instr_max, excl);
    s.count++;
    s.instr_total += excl;
  }

  // Called from the interrupt hook with the EXC_RETURN value the core branched to.
  void exception_return(uint32_t excret) {
    if (active_stack.empty() || (excret & 0xFFFFFFE0u) != 0xFFFFFFE0u) {
      take_fault(FaultKind::invpc, reg(UC_ARM_REG_PC),
                 "exception return " + hex(excret) + " outside a handler");
      return;
    }
    unsigned e = active_stack.back();
    active_stack.pop_back();
    active[e] = false;
    exc_done(e);
    if (e >= 16 && line[e - 16]) pend(e);
    // Tail-chain: a pending exception that beats the priority we would return to.
    int b = best_pending();
    if (b >= 0 && group(raw_prio(static_cast<unsigned>(b))) < exec_prio()) {
      uint32_t control = reg(UC_ARM_REG_CONTROL);
      set_reg(UC_ARM_REG_CONTROL, control & ~4u);
      set_reg(UC_ARM_REG_LR, excret);
      tail_chaining = true;
      activate(static_cast<unsigned>(b));
      tail_chaining = false;
      jump_vector(static_cast<unsigned>(b), reg(UC_ARM_REG_XPSR));
      return;
    }
    bool to_psp = excret & 4, to_thread = excret & 8, fp = !(excret & 0x10);
    uint32_t sp = to_psp ? reg(UC_ARM_REG_PSP) : reg(UC_ARM_REG_MSP);
    uint32_t frame = fp ? 0x68 : 0x20;
    if (!ram_range(sp, frame)) {
      lockup("unstacking outside RAM at sp=" + hex(sp));
      return;
    }
    uint32_t w[26];
    std::memcpy(w, &ram[sp - kRamBase], frame);
    int ids[6] = {UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3, UC_ARM_REG_R12, UC_ARM_REG_LR};
    for (int i = 0; i < 6; ++i) set_reg(ids[i], w[i]);
    if (fp) {
      for (int i = 0; i < 8; ++i) {
        uint64_t dv = uint64_t{w[8 + 2 * i]} | (uint64_t{w[9 + 2 * i]} << 32);
        uc_reg_write(uc, UC_ARM_REG_D0 + i, &dv);
      }
      set_reg(UC_ARM_REG_FPSCR, w[24]);
    }
    uint32_t xpsr = w[7];
    uint32_t new_sp = sp + frame + ((xpsr & (1u << 9)) ? 4 : 0);
    uint32_t ipsr = xpsr & 0x1FF;
    if ((ipsr == 0) != to_thread) {
      take_fault(FaultKind::invpc, w[6], "EXC_RETURN mode does not match the stacked IPSR");
      return;
    }
    set_reg(UC_ARM_REG_XPSR_NZCVQG, xpsr & ~(1u << 9));
    uint32_t control = (reg(UC_ARM_REG_CONTROL) & ~4u & ~2u) | (fp ? 4u : 0) | (to_psp ? 2u : 0);
    set_reg(UC_ARM_REG_CONTROL, control);
    if (to_psp)
      set_reg(UC_ARM_REG_PSP, new_sp);
    else
      set_reg(UC_ARM_REG_MSP, new_sp);
    rebuild_flags();
    set_reg(UC_ARM_REG_PC, w[6] | 1u);
    spend_cycles(10);
    irq_check = true;
  }

  void lockup(const std::string& why) {
    notes.push_back("lockup: " + why);
    set_halt("lockup", cur_pc);
    uc_emu_stop(uc);
  }

  void take_fault(FaultKind k, uint32_t ret_pc, const std::string& detail) {
    unsigned target = kUsageFault;
    uint32_t bit = 0;
    const char* name = "UsageFault";
    switch (k) {
      case FaultKind::undef:
        bit = kUndefInstr;
        break;
      case FaultKind::invstate:
        bit = kInvState;
        break;
      case FaultKind::nocp:
        bit = kNoCp;
        break;
      case FaultKind::invpc:
        bit = kInvPc;
        break;
      case FaultKind::unaligned:
        bit = kUnaligned;
        break;
      case FaultKind::bus:
        bit = kPreciseErr | kBfarValid;
        bfar = unmapped_addr;
        target = kBusFault;
        name = "BusFault";
        break;
      case FaultKind::ibus:
        bit = kIbusErr;
        target = kBusFault;
        name = "BusFault";
        break;
    }
    cfsr |= bit;
    int ep = exec_prio();
    bool escalate = !exc_enabled(target) || group(raw_prio(target)) >= ep;
    notes.push_back(std::string(name) + " (" + detail + ") at " + m.image_.describe(ret_pc) +
                    ", t=" + format_ns(now()) + (escalate ? ", escalated to HardFault" : ""));
    if (escalate) {
      if (ep <= -1) {
        lockup("fault inside HardFault or NMI: " + detail);
        return;
      }
      hfsr |= 1u << 30;
      target = kHardFault;
    }
    enter_exception(target, ret_pc);
  }

  // ------------------------------------------------------------------ halt
  void set_halt(const std::string& reason, uint32_t pc) {
    if (m.halt_) return;
    Halt h;
    h.reason = reason;
    const Symbol* s = m.image_.containing(pc);
    h.symbol = s ? s->name : hex(pc);
    h.primask = reg(UC_ARM_REG_PRIMASK) & 1;
    h.exception = reg(UC_ARM_REG_XPSR) & 0x1FF;
    h.pc = pc;
    h.t = now();
    m.halt_ = h;
  }

  HaltKind halt_kind_at(uint32_t addr, std::string* reason) const {
    const Symbol* s = m.image_.containing(addr);
    if (!s) return HaltKind::none;
    // All names at that address (weak aliases share one body).
    HaltKind best = HaltKind::none;
    int best_rank = 99;
    for (const Symbol& o : m.image_.symbols()) {
      if (!o.is_func || o.addr != s->addr) continue;
      static const struct {
        const char* name;
        HaltKind kind;
        const char* reason;
      } table[] = {{"Error_Handler", HaltKind::error_handler, "error_handler"},
                   {"Default_Handler", HaltKind::default_handler, "default_handler"},
                   {"_exit", HaltKind::exit_loop, "exit"},
                   {"HardFault_Handler", HaltKind::fault_handler, "hard_fault"},
                   {"NMI_Handler", HaltKind::fault_handler, "nmi"},
                   {"MemManage_Handler", HaltKind::fault_handler, "mem_manage"},
                   {"BusFault_Handler", HaltKind::fault_handler, "bus_fault"},
                   {"UsageFault_Handler", HaltKind::fault_handler, "usage_fault"}};
      for (int i = 0; i < 8; ++i)
        if (i < best_rank && o.name == table[i].name) {
          best_rank = i;
          best = table[i].kind;
          if (reason) *reason = table[i].reason;
        }
    }
    return best;
  }

  // ------------------------------------------------------------ blocks
  BlockInfo& block(uint32_t addr, uint32_t size) {
    int32_t* slot = nullptr;
    if (addr >= kFlashBase && addr - kFlashBase < kFlashSize)
      slot = &flash_block_index[(addr - kFlashBase) >> 1];
    else
      slot = &other_block_index.try_emplace(addr, -1).first->second;
    if (*slot >= 0 && blocks[static_cast<size_t>(*slot)].size == size)
      return blocks[static_cast<size_t>(*slot)];
    BlockInfo b;
    b.size = size;
    uint32_t a = addr, end = addr + size;
    while (a < end) {
      uint16_t hw1 = 0, hw2 = 0;
      m.peek(a, &hw1, 2);
      bool wide = (hw1 >> 11) >= 0x1D;
      if (wide) {
        m.peek(a + 2, &hw2, 2);
        if (is_fp_insn(hw1, hw2)) b.has_fp = true;
      }
      a += wide ? 4 : 2;
      b.count++;
    }
    if (b.count == 0) b.count = 1;
    b.halt = halt_kind_at(addr, nullptr);
    uint16_t hw = 0, before = 0;
    m.peek(addr, &hw, 2);
    m.peek(addr - 2, &before, 2);
    if (b.halt == HaltKind::none && size == 2 && hw == 0xE7FE)  // "b ." outside the named stop functions
      b.halt = before == 0xB672 ? HaltKind::inlined_error : HaltKind::self_loop;
    if (*slot >= 0) {
      blocks[static_cast<size_t>(*slot)] = b;
    } else {
      *slot = static_cast<int32_t>(blocks.size());
      blocks.push_back(b);
    }
    return blocks[static_cast<size_t>(*slot)];
  }

  void request_stop(Stop s) {
    stop = s;
    uc_emu_stop(uc);
  }

  void on_block(uint32_t addr, uint32_t size) {
    commit_block();
    BlockInfo& b = block(addr, size);
    cur_pc = addr;
    if (events_dirty) {
      events_dirty = false;
      set_stop_at(std::max(std::min(next_event(), run_end), min_stop));
    }
    if (cycles_milli >= stop_cycles) return request_stop(Stop::event);
    if (m.halt_ && m.opt_.stop_on_halt) return request_stop(Stop::halt);
    if (b.halt != HaltKind::none && addr == prev_block && !m.halt_) {
      std::string reason;
      if (b.halt == HaltKind::inlined_error) {
        set_halt("error_handler", addr);
        notes.push_back("Error_Handler's loop inlined into " + m.image_.describe(addr));
        m.halt_->symbol = "Error_Handler";
      } else if (b.halt == HaltKind::self_loop) {
        // Interrupt handlers may still do the work of a program that ends in
        // "b ."; only with interrupts masked nothing can happen any more.
        if (reg(UC_ARM_REG_PRIMASK) & 1) set_halt("self_loop", addr);
      } else {
        halt_kind_at(addr, &reason);
        set_halt(reason, addr);
      }
      if (m.halt_ && m.opt_.stop_on_halt) return request_stop(Stop::halt);
    }
    if (b.has_fp && !fpu_enabled) return request_stop(Stop::nocp);
    if (irq_check && takeable() >= 0) return request_stop(Stop::irq);
    if (!prof_entry.empty()) profile(addr);
    if (m.opt_.idle_skip) {
      uint64_t since = instr_done - b.last_visit;
      b.last_visit = instr_done;
      if (since <= 512 && ++b.tight >= b.check_at) {
        b.tight = 0;
        if (check_idle(addr, b)) return request_stop(Stop::idle);
      }
    }
    prev_block = addr;
    cur_instr = b.count;
    cur_cycles = uint64_t{b.count} * m.opt_.cpi_milli;
  }

  void snapshot_regs(std::array<uint64_t, 40>& out) const {
    static const int ids[] = {UC_ARM_REG_R0,      UC_ARM_REG_R1,      UC_ARM_REG_R2,      UC_ARM_REG_R3,
                              UC_ARM_REG_R4,      UC_ARM_REG_R5,      UC_ARM_REG_R6,      UC_ARM_REG_R7,
                              UC_ARM_REG_R8,      UC_ARM_REG_R9,      UC_ARM_REG_R10,     UC_ARM_REG_R11,
                              UC_ARM_REG_R12,     UC_ARM_REG_SP,      UC_ARM_REG_LR,      UC_ARM_REG_XPSR,
                              UC_ARM_REG_CONTROL, UC_ARM_REG_PRIMASK, UC_ARM_REG_BASEPRI, UC_ARM_REG_FPSCR};
    out.fill(0);
    size_t i = 0;
    for (int id : ids) out[i++] = reg(id);
    for (int k = 0; k < 16; ++k) uc_reg_read(uc, UC_ARM_REG_D0 + k, &out[i++]);
  }

  uint64_t ram_hash() const {
    uint64_t h = 0xcbf29ce484222325ull;
    const uint8_t* p = ram.data();
    for (uint32_t i = 0; i < kRamSize; i += 8) {
      uint64_t w;
      std::memcpy(&w, p + i, 8);
      h = (h ^ w) * 0x100000001b3ull;
      h ^= h >> 29;
    }
    return h;
  }

  // A loop that comes back to the same block with the same registers and RAM,
  // no MMIO writes and unchanged MMIO read values in between waits for
  // something only an event can change: time may jump to that event. Each
  // block keeps its own reference state, so a helper called from several
  // places in one loop pass does not hide the loop head.
  bool check_idle(uint32_t addr, BlockInfo& b) {
    IdleRef cur;
    snapshot_regs(cur.regs);
    cur.ram = ram_hash();
    cur.writes = mmio_writes;
    cur.read_changes = read_changes;
    cur.valid = true;
    IdleRef& ref = idle_refs[addr];
    bool same = ref.valid && ref.writes == cur.writes && ref.read_changes == cur.read_changes &&
                ref.regs == cur.regs && ref.ram == cur.ram;
    if (same) {
      b.check_at = 2;
      ref.valid = false;
      return true;
    }
    if (ref.valid) b.check_at = std::min<uint32_t>(b.check_at * 2, 64);
    ref = cur;
    return false;
  }

  void profile(uint32_t addr) {
    while (!calls.empty() && calls.back().ret == addr) {
      Call c = calls.back();
      calls.pop_back();
      uint64_t nested = c.depth + 1 < incl_by_depth.size() ? incl_by_depth[c.depth + 1] - c.nested0 : 0;
      FunctionStat& f = fn_stats[c.fn];
      f.samples.push_back(instr_done - c.instr0 - nested);
      f.returns.push_back(uint64_t{reg(UC_ARM_REG_R0)} | (uint64_t{reg(UC_ARM_REG_R1)} << 32));
      f.return_ns.push_back(now());
      f.in_handler.push_back(c.depth > 0);
    }
    auto it = prof_entry.find(addr);
    if (it == prof_entry.end()) return;
    size_t depth = active_stack.size();
    uint64_t n0 = depth + 1 < incl_by_depth.size() ? incl_by_depth[depth + 1] : 0;
    calls.push_back({it->second, reg(UC_ARM_REG_LR) & ~1u, instr_done, depth, n0});
  }

  // ------------------------------------------------------------- MMIO
  int find_window(uint32_t addr) const {
    uint32_t page = (addr - kPeriphBase) >> 12;
    if (page >= page_first.size()) return -1;
    for (int32_t w = page_first[page]; w >= 0 && static_cast<size_t>(w) < windows.size(); ++w) {
      const Window& win = windows[static_cast<size_t>(w)];
      if (win.base > addr) break;
      if (addr < win.end) return w;
    }
    return -1;
  }

  void before_access() {
    ns_t t = now();
    st_process(t);
    advance_devices(t);
    events_dirty = true;
  }

  uint32_t dev_read(uint32_t addr, unsigned size, bool from_cpu) {
    before_access();
    int w = find_window(addr);
    if (w < 0) {
      m.unmodelled(addr, false, size, 0);
      return 0;
    }
    Device* d = m.devices_[static_cast<size_t>(windows[static_cast<size_t>(w)].dev)];
    uint32_t v = d->clocked() ? d->read(addr - d->base(), size) : 0;
    if (from_cpu) {
      auto [it, fresh] = last_read.try_emplace(addr, v);
      if (!fresh && it->second != v) {
        ++read_changes;
        it->second = v;
      }
      if (fresh) ++read_changes;
    }
    return v;
  }

  void dev_write(uint32_t addr, uint32_t v, unsigned size) {
    before_access();
    ++mmio_writes;
    int w = find_window(addr);
    int dev = w < 0 ? -1 : windows[static_cast<size_t>(w)].dev;
    ns_t t = now();
    m.writes_.push_back({t, write_seq++, addr, v, static_cast<uint8_t>(size), dev});
    if (dev < 0) {
      m.unmodelled(addr, true, size, v);
      return;
    }
    Device* d = m.devices_[static_cast<size_t>(dev)];
    first_write.try_emplace(d->name(), t);
    if (d->clocked())
      d->write(addr - d->base(), v, size);
    else if (gated_writes++ < 20)
      notes.push_back("write to " + d->name() + " while its clock is off (ignored): " + hex(addr) + " <- " +
                      hex(v) + " from " + m.image_.describe(cur_pc));
    check_clock();
  }

  // --------------------------------------------------- core peripherals
  uint32_t icsr() const {
    uint32_t v = active_stack.empty() ? 0 : active_stack.back();
    size_t nactive = std::count(active.begin(), active.end(), true);
    if (nactive <= 1) v |= 1u << 11;
    int b = best_pending();
    if (b > 0) v |= static_cast<uint32_t>(b) << 12;
    for (unsigned e = 16; e < kNumExc; ++e)
      if (pending[e]) v |= 1u << 22;
    if (pending[kSysTick]) v |= 1u << 26;
    if (pending[kPendSv]) v |= 1u << 28;
    if (pending[kNmi]) v |= 1u << 31;
    return v;
  }
  uint32_t shcsr_read() const {
    uint32_t v = shcsr & 0x70000u;
    if (active[kMemManage]) v |= 1u << 0;
    if (active[kBusFault]) v |= 1u << 1;
    if (active[kUsageFault]) v |= 1u << 3;
    if (active[kSvc]) v |= 1u << 7;
    if (active[kDebugMon]) v |= 1u << 8;
    if (active[kPendSv]) v |= 1u << 10;
    if (active[kSysTick]) v |= 1u << 11;
    if (pending[kUsageFault]) v |= 1u << 12;
    if (pending[kMemManage]) v |= 1u << 13;
    if (pending[kBusFault]) v |= 1u << 14;
    if (pending[kSvc]) v |= 1u << 15;
    return v;
  }
  uint32_t word_bits(const bool* arr, unsigned k) const {
    uint32_t v = 0;
    for (unsigned i = 0; i < 32; ++i)
      if (16 + 32 * k + i < kNumExc && arr[16 + 32 * k + i]) v |= 1u << i;
    return v;
  }

  // Returns false for an address no core register lives at.
  bool core_read(uint32_t addr, uint32_t& v) {
    ns_t t = now();
    if (addr >= 0xE000E100 && addr < 0xE000E120)
      return v = word_bits(enabled.data(), (addr - 0xE000E100) / 4), true;
    if (addr >= 0xE000E180 && addr < 0xE000E1A0)
      return v = word_bits(enabled.data(), (addr - 0xE000E180) / 4), true;
    if (addr >= 0xE000E200 && addr < 0xE000E220)
      return v = word_bits(pending.data(), (addr - 0xE000E200) / 4), true;
    if (addr >= 0xE000E280 && addr < 0xE000E2A0)
      return v = word_bits(pending.data(), (addr - 0xE000E280) / 4), true;
    if (addr >= 0xE000E300 && addr < 0xE000E320)
      return v = word_bits(active.data(), (addr - 0xE000E300) / 4), true;
    if (addr >= 0xE000E400 && addr < 0xE000E480) {
      uint32_t i = addr - 0xE000E400;
      v = uint32_t{ipr[i]} | uint32_t{ipr[i + 1]} << 8 | uint32_t{ipr[i + 2]} << 16 |
          uint32_t{ipr[i + 3]} << 24;
      return true;
    }
    if (addr >= 0xE000ED18 && addr < 0xE000ED24) {
      uint32_t i = addr - 0xE000ED18;
      v = uint32_t{shpr[i]} | uint32_t{shpr[i + 1]} << 8 | uint32_t{shpr[i + 2]} << 16 |
          uint32_t{shpr[i + 3]} << 24;
      return true;
    }
    switch (addr) {
      case 0xE000E004:
        v = 3;
        return true;  // ICTR: up to 128 interrupts
      case 0xE000E008:
        v = actlr;
        return true;
      case 0xE000E010:
        st_process(t);
        v = st_ctrl | (st_countflag ? 1u << 16 : 0);
        st_countflag = false;
        return true;
      case 0xE000E014:
        v = st_load;
        return true;
      case 0xE000E018:
        st_process(t);
        v = st_value(t);
        return true;
      case 0xE000E01C:
        v = (1u << 30) | static_cast<uint32_t>((hclk / 8 / 100 - 1) & 0xFFFFFF);
        return true;
      case 0xE000ED00:
        v = 0x410FC241;
        return true;
      case 0xE000ED04:
        v = icsr();
        return true;
      case 0xE000ED08:
        v = vtor;
        return true;
      case 0xE000ED0C:
        v = 0xFA050000u | (prigroup << 8);
        return true;
      case 0xE000ED10:
        v = scr;
        return true;
      case 0xE000ED14:
        v = ccr;
        return true;
      case 0xE000ED24:
        v = shcsr_read();
        return true;
      case 0xE000ED28:
        v = cfsr;
        return true;
      case 0xE000ED2C:
        v = hfsr;
        return true;
      case 0xE000ED30:
        v = dfsr;
        return true;
      case 0xE000ED34:
        v = mmfar;
        return true;
      case 0xE000ED38:
        v = bfar;
        return true;
      case 0xE000ED3C:
        v = afsr;
        return true;
      case 0xE000ED88:
        v = cpacr;
        return true;
      case 0xE000EDF0:
        v = 0;
        return true;  // DHCSR: no debugger
      case 0xE000EDFC:
        v = demcr;
        return true;
      case 0xE000EF34:
        v = fpccr;
        return true;
      case 0xE000EF38:
        v = fpcar;
        return true;
      case 0xE000EF3C:
        v = fpdscr;
        return true;
      case 0xE000EF40:
        v = 0x10110021;
        return true;  // MVFR0
      case 0xE000EF44:
        v = 0x11000011;
        return true;  // MVFR1
      case 0xE0001000:
        v = dwt_ctrl;
        return true;
      case 0xE0001004:
        v = dwt_cyccnt();
        return true;
      default:
        break;
    }
    if (addr >= 0xE000ED40 && addr < 0xE000ED80) return v = 0, true;  // feature registers
    return false;
  }
  uint32_t dwt_cyccnt() const {
    if (!(dwt_ctrl & 1)) return dwt_cyccnt_base;
    return static_cast<uint32_t>(dwt_cyccnt_base + (total_cycles_milli - dwt_enabled_at) / 1000);
  }

  void set_bits(bool* arr, unsigned k, uint32_t v, bool value) {
    for (unsigned i = 0; i < 32; ++i) {
      unsigned e = 16 + 32 * k + i;
      if (!(v & (1u << i)) || e >= kNumExc) continue;
      arr[e] = value;
    }
  }
  void repend_lines() {
    for (unsigned i = 0; i < kNumIrq; ++i)
      if (line[i] && !pending[16 + i] && !active[16 + i]) pend(16 + i);
  }

  bool core_write(uint32_t addr, uint32_t v, unsigned size) {
    ns_t t = now();
    irq_check = true;
    if (addr >= 0xE000E400 && addr < 0xE000E480) {
      for (unsigned i = 0; i < size; ++i)
        ipr[addr - 0xE000E400 + i] = static_cast<uint8_t>((v >> (8 * i)) & 0xF0);
      return true;
    }
    if (addr >= 0xE000ED18 && addr < 0xE000ED24) {
      for (unsigned i = 0; i < size; ++i)
        shpr[addr - 0xE000ED18 + i] = static_cast<uint8_t>((v >> (8 * i)) & 0xF0);
      return true;
    }
    if (size != 4) {  // the rest is word access only
      notes.push_back("sub-word write to core register " + hex(addr));
    }
    if (addr >= 0xE000E100 && addr < 0xE000E120)
      return set_bits(enabled.data(), (addr - 0xE000E100) / 4, v, true), true;
    if (addr >= 0xE000E180 && addr < 0xE000E1A0)
      return set_bits(enabled.data(), (addr - 0xE000E180) / 4, v, false), true;
    if (addr >= 0xE000E200 && addr < 0xE000E220)
      return set_bits(pending.data(), (addr - 0xE000E200) / 4, v, true), true;
    if (addr >= 0xE000E280 && addr < 0xE000E2A0) {
      set_bits(pending.data(), (addr - 0xE000E280) / 4, v, false);
      repend_lines();
      return true;
    }
    if (addr >= 0xE000E300 && addr < 0xE000E320) return true;  // IABR is read-only
    switch (addr) {
      case 0xE000E008:
        actlr = v;
        return true;
      case 0xE000E010:
        st_rebase(t);
        if (!(st_ctrl & 1) && (v & 1)) st_t0 = st_last = t;
        st_ctrl = v & 7;
        events_dirty = true;
        return true;
      case 0xE000E014:
        st_rebase(t);
        st_load = v & 0xFFFFFF;
        events_dirty = true;
        return true;
      case 0xE000E018:
        st_rebase(t);
        st_v0 = 0;
        st_countflag = false;
        events_dirty = true;
        return true;
      case 0xE000E01C:
        return true;
      case 0xE000ED04:
        if (v & (1u << 31)) pend(kNmi);
        if (v & (1u << 28)) pend(kPendSv);
        if (v & (1u << 27)) pending[kPendSv] = false;
        if (v & (1u << 26)) pend(kSysTick);
        if (v & (1u << 25)) pending[kSysTick] = false;
        return true;
      case 0xE000ED08:
        vtor = v & 0xFFFFFF80u;
        return true;
      case 0xE000ED0C:
        if ((v >> 16) != 0x05FA) {
          notes.push_back("AIRCR write without key ignored: " + hex(v));
          return true;
        }
        prigroup = (v >> 8) & 7;
        if (v & 4) set_halt("reset_request", cur_pc);  // the block hook stops the run
        return true;
      case 0xE000ED10:
        scr = v & 0x16;
        return true;
      case 0xE000ED14:
        ccr = (v & 0x31B) | 0x200;
        return true;
      case 0xE000ED24:
        shcsr = v & 0x70000u;
        return true;
      case 0xE000ED28:
        cfsr &= ~v;
        return true;
      case 0xE000ED2C:
        hfsr &= ~v;
        return true;
      case 0xE000ED30:
        dfsr &= ~v;
        return true;
      case 0xE000ED34:
        mmfar = v;
        return true;
      case 0xE000ED38:
        bfar = v;
        return true;
      case 0xE000ED3C:
        afsr = v;
        return true;
      case 0xE000ED88: {
        cpacr = v & 0x00F00000u;
        uint32_t cp10 = (v >> 20) & 3, cp11 = (v >> 22) & 3;
        bool en = (cp10 == 1 || cp10 == 3) && cp11 == cp10;
        if (en && !fpu_enabled)
          notes.push_back("FPU enabled (CPACR) at " + m.image_.describe(cur_pc) + ", t=" + format_ns(t));
        fpu_enabled = en;
        return true;
      }
      case 0xE000EDFC:
        demcr = v;
        return true;
      case 0xE000EF00:
        if ((v & 0x1FF) < kNumIrq) pend(16 + (v & 0x1FF));
        return true;
      case 0xE000EF34:
        fpccr = v;
        return true;
      case 0xE000EF38:
        fpcar = v;
        return true;
      case 0xE000EF3C:
        fpdscr = v & 0x07C00000u;
        return true;
      case 0xE0001000:
        if ((v & 1) && !(dwt_ctrl & 1)) dwt_enabled_at = total_cycles_milli;
        if (!(v & 1) && (dwt_ctrl & 1)) dwt_cyccnt_base = dwt_cyccnt();
        dwt_ctrl = (dwt_ctrl & 0xF0000000u) | (v & 0x0FFFFFFFu);
        return true;
      case 0xE0001004:
        dwt_cyccnt_base = v;
        dwt_enabled_at = total_cycles_milli;
        return true;
      default:
        return false;
    }
  }

  uint32_t ppb_read(uint32_t addr, unsigned size) {
    uint32_t aligned = addr & ~3u, v = 0;
    if (!core_read(aligned, v)) {
      m.unmodelled(addr, false, size, 0);
      return 0;
    }
    v >>= 8 * (addr & 3);
    if (size < 4) v &= (1u << (8 * size)) - 1;
    return v;
  }
  void ppb_write(uint32_t addr, uint32_t v, unsigned size) {
    ns_t t = now();
    ++mmio_writes;
    m.writes_.push_back({t, write_seq++, addr, v, static_cast<uint8_t>(size), -1});
    const char* group_name = addr >= 0xE000E010 && addr < 0xE000E020   ? "SysTick"
                             : addr >= 0xE000E100 && addr < 0xE000E500 ? "NVIC"
                             : addr == 0xE000EF00                      ? "NVIC"
                                                                       : "SCB";
    first_write.try_emplace(group_name, t);
    bool ok;
    if ((addr >= 0xE000E400 && addr < 0xE000E480) || (addr >= 0xE000ED18 && addr < 0xE000ED24))
      ok = core_write(addr, v, size);
    else
      ok = core_write(addr & ~3u, v << (8 * (addr & 3)), size);
    if (!ok) m.unmodelled(addr, true, size, v);
    events_dirty = true;
  }

  // ------------------------------------------------------------ events
  ns_t next_event() {
    ns_t t = now();
    ns_t n = st_next_event(t);
    for (Device* d : m.devices_) n = std::min(n, d->next_event());
    if (next_injection < injections.size()) n = std::min(n, injections[next_injection].at);
    return n;
  }

  void service_events() {
    ns_t t = now();
    st_process(t);
    advance_devices(t);
    while (next_injection < injections.size() && injections[next_injection].at <= t) {
      unsigned irq = injections[next_injection++].irq;
      if (irq < kNumIrq) {
        enabled[16 + irq] = true;
        pend(16 + irq);
        notes.push_back("injected IRQ " + std::to_string(irq) + " at " + format_ns(t));
      }
    }
    events_dirty = true;
  }

  static std::string hex(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08x", v);
    return b;
  }
};

// ---------------------------------------------------------------- hooks
namespace {

void hook_block(uc_engine*, uint64_t addr, uint32_t size, void* user) {
  static_cast<Machine::Impl*>(user)->on_block(static_cast<uint32_t>(addr), size);
}

void hook_intr(uc_engine*, uint32_t intno, void* user) {
  auto* d = static_cast<Machine::Impl*>(user);
  uint32_t pc = d->reg(UC_ARM_REG_PC);
  switch (intno) {
    case 8:  // exception return through EXC_RETURN
      d->exception_return(pc | 1u);
      break;
    case 2: {  // SVC
      int ep = d->exec_prio();
      if (d->group(d->raw_prio(kSvc)) < ep) {
        d->enter_exception(kSvc, pc);
      } else {
        d->hfsr |= 1u << 30;
        d->notes.push_back("SVC at priority that cannot be taken: HardFault");
        d->enter_exception(kHardFault, pc);
      }
      break;
    }
    case 7:  // BKPT without a debugger
      d->hfsr |= 1u << 31;
      d->enter_exception(kHardFault, pc);
      break;
    case 4:
      d->take_fault(FaultKind::bus, pc, "data abort");
      break;
    case 3:
      d->take_fault(FaultKind::invpc, pc, "prefetch abort");
      break;
    case 17:
      d->take_fault(FaultKind::nocp, pc, "coprocessor access");
      break;
    case 18:
      d->take_fault(FaultKind::invstate, pc, "invalid state");
      break;
    case 22:
      d->take_fault(FaultKind::unaligned, pc, "unaligned access");
      break;
    default:
      d->take_fault(FaultKind::undef, pc, "exception " + std::to_string(intno));
      break;
  }
}

bool hook_unmapped(uc_engine*, uc_mem_type type, uint64_t addr, int, int64_t, void* user) {
  auto* d = static_cast<Machine::Impl*>(user);
  d->unmapped_addr = static_cast<uint32_t>(addr);
  d->unmapped_fetch = type == UC_MEM_FETCH_UNMAPPED;
  return false;
}

uint64_t periph_read(uc_engine*, uint64_t off, unsigned size, void* user) {
  return static_cast<Machine::Impl*>(user)->dev_read(kPeriphBase + static_cast<uint32_t>(off), size, true);
}
void periph_write(uc_engine*, uint64_t off, unsigned size, uint64_t value, void* user) {
  static_cast<Machine::Impl*>(user)->dev_write(kPeriphBase + static_cast<uint32_t>(off),
                                               static_cast<uint32_t>(value), size);
}
uint64_t ppb_read_cb(uc_engine*, uint64_t off, unsigned size, void* user) {
  return static_cast<Machine::Impl*>(user)->ppb_read(kPpbBase + static_cast<uint32_t>(off), size);
}
void ppb_write_cb(uc_engine*, uint64_t off, unsigned size, uint64_t value, void* user) {
  static_cast<Machine::Impl*>(user)->ppb_write(kPpbBase + static_cast<uint32_t>(off),
                                               static_cast<uint32_t>(value), size);
}

}  // namespace

// --------------------------------------------------------------- Machine
Machine::Machine(const Image& image, MachineOptions options, const BoardFactory& factory)
    : image_(image), opt_(std::move(options)), d_(std::make_unique<Impl>(*this)) {
  Impl& d = *d_;
  d.flash.assign(kFlashSize, 0xFF);
  d.ram.assign(kRamSize, 0);
  d.flash_block_index.assign(kFlashSize / 2, -1);
  for (const Segment& s : image_.segments()) {
    uint32_t a = s.paddr, n = static_cast<uint32_t>(s.bytes.size());
    if (a < kFlashSize) a += kFlashBase;
    if (a >= kFlashBase && a - kFlashBase + n <= kFlashSize)
      std::memcpy(&d.flash[a - kFlashBase], s.bytes.data(), n);
    else if (a >= kRamBase && a - kRamBase + n <= kRamSize)
      std::memcpy(&d.ram[a - kRamBase], s.bytes.data(), n);
    else
      d.faults.push_back("segment at " + Impl::hex(s.paddr) + " (" + std::to_string(n) +
                         " bytes) outside flash and RAM");
  }

  board_ = factory(*this);
  devices_ = board_->devices();
  d.clocks = &board_->clocks();
  d.hclk = d.clocks->hclk_hz();
  if (d.hclk == 0) d.hclk = 16000000;
  for (size_t i = 0; i < devices_.size(); ++i) {
    Device* dev = devices_[i];
    if (dev->size() == 0) continue;
    uint32_t b = dev->base();
    if (b < kPeriphBase || b - kPeriphBase + dev->size() > kPeriphSize) {
      d.faults.push_back("device " + dev->name() + " outside the peripheral space at " + Impl::hex(b));
      continue;
    }
    d.windows.push_back({b, b + dev->size(), static_cast<int>(i)});
  }
  std::sort(d.windows.begin(), d.windows.end(), [](const auto& a, const auto& b) { return a.base < b.base; });
  for (size_t i = 1; i < d.windows.size(); ++i)
    if (d.windows[i].base < d.windows[i - 1].end)
      d.faults.push_back(
          "device windows overlap: " + devices_[static_cast<size_t>(d.windows[i].dev)]->name() + " and " +
          devices_[static_cast<size_t>(d.windows[i - 1].dev)]->name());
  d.page_first.assign(kPeriphSize >> 12, -1);
  for (size_t i = d.windows.size(); i-- > 0;) {
    uint32_t p0 = (d.windows[i].base - kPeriphBase) >> 12, p1 = (d.windows[i].end - 1 - kPeriphBase) >> 12;
    for (uint32_t p = p0; p <= p1; ++p) d.page_first[p] = static_cast<int32_t>(i);
  }

  for (const auto& p : opt_.pulses) board_->add_pulse(p);
  for (const auto& l : opt_.levels) board_->add_level(l);
  d.injections = opt_.inject_irqs;
  std::sort(d.injections.begin(), d.injections.end(),
            [](const auto& a, const auto& b) { return a.at < b.at; });
  for (const std::string& name : opt_.profile_functions) {
    const Symbol* s = image_.find(name);
    FunctionStat fs;
    fs.name = name;
    d.fn_stats.push_back(fs);
    if (s && s->is_func)
      d.prof_entry[s->addr] = d.fn_stats.size() - 1;
    else
      d.notes.push_back("profile: no function named " + name);
  }

  uc_err err = uc_open(UC_ARCH_ARM, UC_MODE_THUMB, &d.uc);
  if (err != UC_ERR_OK) {
    d.faults.push_back(std::string("uc_open: ") + uc_strerror(err));
    d.uc = nullptr;
    return;
  }
  uc_ctl_set_cpu_model(d.uc, UC_CPU_ARM_CORTEX_M4);
  uc_mem_map_ptr(d.uc, kFlashBase, kFlashSize, UC_PROT_READ | UC_PROT_EXEC, d.flash.data());
  uc_mem_map_ptr(d.uc, 0, kFlashSize, UC_PROT_READ | UC_PROT_EXEC, d.flash.data());
  uc_mem_map_ptr(d.uc, kRamBase, kRamSize, UC_PROT_ALL, d.ram.data());
  uc_mmio_map(d.uc, kPeriphBase, kPeriphSize, periph_read, &d, periph_write, &d);
  uc_mmio_map(d.uc, kPpbBase, kPpbSize, ppb_read_cb, &d, ppb_write_cb, &d);
  uc_hook h;
  uc_hook_add(d.uc, &h, UC_HOOK_BLOCK, reinterpret_cast<void*>(hook_block), &d, 1, 0);
  uc_hook_add(d.uc, &h, UC_HOOK_INTR, reinterpret_cast<void*>(hook_intr), &d, 1, 0);
  uc_hook_add(d.uc, &h, UC_HOOK_MEM_UNMAPPED, reinterpret_cast<void*>(hook_unmapped), &d, 1, 0);

  uint32_t sp = 0, pc = 0;
  std::memcpy(&sp, &d.flash[0], 4);
  std::memcpy(&pc, &d.flash[4], 4);
  d.set_reg(UC_ARM_REG_MSP, sp);
  d.set_reg(UC_ARM_REG_SP, sp);
  d.set_reg(UC_ARM_REG_PC, pc);
  d.vtor = 0;
  for (unsigned e = 0; e < kNumExc; ++e) d.enabled[e] = e < 16;
}

Machine::~Machine() {
  if (d_ && d_->uc) uc_close(d_->uc);
}

ns_t Machine::now() const { return d_->now(); }
uint64_t Machine::instructions() const { return d_->instr_now(); }

void Machine::set_irq_line(unsigned irq, bool high) {
  Impl& d = *d_;
  if (irq >= kNumIrq) {
    d.faults.push_back("IRQ line " + std::to_string(irq) + " does not exist");
    return;
  }
  bool was = d.line[irq];
  d.line[irq] = high;
  if (high && !was) d.pend(16 + irq);
  d.events_dirty = true;
}

bool Machine::peek(uint32_t addr, void* dst, size_t n) const {
  const Impl& d = *d_;
  if (addr < kFlashSize && addr + n <= kFlashSize) return std::memcpy(dst, &d.flash[addr], n), true;
  if (addr >= kFlashBase && addr - kFlashBase + n <= kFlashSize)
    return std::memcpy(dst, &d.flash[addr - kFlashBase], n), true;
  if (addr >= kRamBase && addr - kRamBase + n <= kRamSize)
    return std::memcpy(dst, &d.ram[addr - kRamBase], n), true;
  return false;
}

uint32_t Machine::peek32(uint32_t addr) const {
  uint32_t v = 0;
  peek(addr, &v, 4);
  return v;
}

bool Machine::read_mem(uint32_t addr, void* dst, size_t n) {
  if (peek(addr, dst, n)) return true;
  if (addr >= kPeriphBase && addr - kPeriphBase < kPeriphSize && (n == 1 || n == 2 || n == 4)) {
    uint32_t v = d_->dev_read(addr, static_cast<unsigned>(n), false);
    std::memcpy(dst, &v, n);
    return true;
  }
  return false;
}

bool Machine::write_mem(uint32_t addr, const void* src, size_t n) {
  Impl& d = *d_;
  if (addr >= kRamBase && addr - kRamBase + n <= kRamSize) {
    std::memcpy(&d.ram[addr - kRamBase], src, n);
    return true;
  }
  if (addr >= kPeriphBase && addr - kPeriphBase < kPeriphSize && (n == 1 || n == 2 || n == 4)) {
    uint32_t v = 0;
    std::memcpy(&v, src, n);
    int w = d.find_window(addr);
    if (w < 0) return false;
    Device* dev = devices_[static_cast<size_t>(d.windows[static_cast<size_t>(w)].dev)];
    if (dev->clocked()) dev->write(addr - dev->base(), v, static_cast<unsigned>(n));
    return true;
  }
  return false;
}

void Machine::unmodelled(uint32_t addr, bool is_write, unsigned size, uint32_t value) {
  Impl& d = *d_;
  Unmodelled u;
  u.addr = addr;
  u.is_write = is_write;
  u.size = size;
  u.value = value;
  u.pc = d.cur_pc;
  u.where = image_.describe(d.cur_pc);
  u.t = d.now();
  int w = d.find_window(addr);
  if (w >= 0) u.device = devices_[static_cast<size_t>(d.windows[static_cast<size_t>(w)].dev)]->name();
  if (d.unmodelled.size() < 1000) d.unmodelled.push_back(u);
}

void Machine::fault(const std::string& what) {
  if (d_->faults.size() < 1000) d_->faults.push_back(what + " (t=" + format_ns(d_->now()) + ")");
}

bool Machine::option(const std::string& name) const { return opt_.faults.count(name) != 0; }

bool Machine::run_until(ns_t t_end) {
  Impl& d = *d_;
  if (!d.uc) return false;
  auto wall0 = std::chrono::steady_clock::now();
  unsigned stalls = 0;
  while (!(halt_ && opt_.stop_on_halt)) {
    d.service_events();
    ns_t t = d.now();
    if (t >= t_end) break;
    int e = d.takeable();
    if (e >= 0) {
      d.enter_exception(static_cast<unsigned>(e), d.reg(UC_ARM_REG_PC));
      if (halt_) break;
      continue;
    }
    ns_t next = std::min(d.next_event(), t_end);
    if (next <= t) next = t + 1;
    d.run_end = t_end;
    d.min_stop = t + 1;
    d.set_stop_at(next);
    d.events_dirty = false;
    if (d.sleeping) {
      // A pending interrupt wakes the core even while PRIMASK masks it.
      int b = d.best_pending();
      if (b >= 0 && d.group(d.raw_prio(static_cast<unsigned>(b))) < d.active_prio()) {
        d.sleeping = false;
        continue;
      }
      d.jump_to(next);
      continue;
    }
    d.stop = Stop::none;
    uint32_t pc = d.reg(UC_ARM_REG_PC);
    uint64_t instr_before = d.instr_now();
    uc_err err = uc_emu_start(d.uc, pc | 1u, 0, 0, 0);
    if (d.stop == Stop::none) d.commit_block();
    d.cur_instr = 0;
    d.cur_cycles = 0;
    pc = d.reg(UC_ARM_REG_PC);
    if (halt_ && opt_.stop_on_halt) break;
    switch (d.stop) {
      case Stop::event:
      case Stop::irq:
      case Stop::halt:
        continue;
      case Stop::idle:
        d.jump_to(std::min(next, t + kIdleJumpCap));
        continue;
      case Stop::nocp:
        d.take_fault(FaultKind::nocp, pc, "floating-point instruction before CPACR enabled the FPU");
        d.faults.push_back("floating-point instruction at " + image_.describe(pc) +
                           " before CPACR enabled the FPU");
        continue;
      case Stop::none:
        break;
    }
    uint16_t prev_hw = 0;
    peek(pc - 2, &prev_hw, 2);
    if (d.instr_now() == instr_before && d.now() == t && ++stalls > 1000) {
      d.faults.push_back("emulator makes no progress at " + image_.describe(pc) + " (" + uc_strerror(err) +
                         ")");
      d.set_halt("emulator_error", pc);
      break;
    }
    if (d.instr_now() != instr_before) stalls = 0;
    if (err == UC_ERR_OK) {
      if (pc == 0) {
        d.take_fault(FaultKind::invstate, 0, "branch to address 0");
      } else if (prev_hw == 0xBF30) {  // WFI
        d.sleeping = true;
      }
      continue;
    }
    switch (err) {
      case UC_ERR_READ_UNMAPPED:
      case UC_ERR_WRITE_UNMAPPED:
      case UC_ERR_WRITE_PROT:
      case UC_ERR_READ_PROT:
        d.take_fault(FaultKind::bus, pc, std::string(uc_strerror(err)) + " at " + Impl::hex(d.unmapped_addr));
        break;
      case UC_ERR_FETCH_UNMAPPED:
      case UC_ERR_FETCH_PROT:
        d.unmapped_addr = pc;
        d.take_fault(FaultKind::ibus, pc, "instruction fetch from " + Impl::hex(pc));
        break;
      case UC_ERR_INSN_INVALID:
        if (prev_hw == 0xBF20 || prev_hw == 0xBF10) {  // WFE, YIELD: hints
          if (prev_hw == 0xBF20) d.sleeping = true;
          d.set_reg(UC_ARM_REG_PC, pc | 1u);
        } else {
          d.take_fault(FaultKind::undef, pc, "undefined instruction");
        }
        break;
      case UC_ERR_EXCEPTION:
        d.take_fault(FaultKind::invstate, pc, "invalid state");
        break;
      case UC_ERR_READ_UNALIGNED:
      case UC_ERR_WRITE_UNALIGNED:
      case UC_ERR_FETCH_UNALIGNED:
        d.take_fault(FaultKind::unaligned, pc, "unaligned access");
        break;
      default:
        d.faults.push_back(std::string("emulator error: ") + uc_strerror(err) + " at " + image_.describe(pc));
        d.set_halt("emulator_error", pc);
        break;
    }
  }
  d.wall_s += std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  return !halt_;
}

RunResult Machine::run() {
  run_until(opt_.run_for);
  return result();
}

std::map<std::string, std::map<std::string, uint32_t>> Machine::core_registers() const {
  const Impl& d = *d_;
  std::map<std::string, std::map<std::string, uint32_t>> r;
  auto& nvic = r["NVIC"];
  for (unsigned k = 0; k < 4; ++k) {
    nvic["ISER" + std::to_string(k)] = d.word_bits(d.enabled.data(), k);
    nvic["ISPR" + std::to_string(k)] = d.word_bits(d.pending.data(), k);
    nvic["IABR" + std::to_string(k)] = d.word_bits(d.active.data(), k);
  }
  for (unsigned k = 0; k < (kChipIrqs + 3) / 4; ++k) {
    uint32_t v = 0;
    for (unsigned i = 0; i < 4; ++i) v |= uint32_t{d.ipr[4 * k + i]} << (8 * i);
    nvic["IPR" + std::to_string(k)] = v;
  }
  auto& scb = r["SCB"];
  scb["CPUID"] = 0x410FC241;
  scb["ICSR"] = d.icsr();
  scb["VTOR"] = d.vtor;
  scb["AIRCR"] = 0xFA050000u | (d.prigroup << 8);
  scb["SCR"] = d.scr;
  scb["CCR"] = d.ccr;
  for (unsigned k = 0; k < 3; ++k) {
    uint32_t v = 0;
    for (unsigned i = 0; i < 4; ++i) v |= uint32_t{d.shpr[4 * k + i]} << (8 * i);
    scb["SHPR" + std::to_string(k + 1)] = v;
  }
  scb["SHCSR"] = d.shcsr_read();
  scb["CFSR"] = d.cfsr;
  scb["HFSR"] = d.hfsr;
  scb["MMFAR"] = d.mmfar;
  scb["BFAR"] = d.bfar;
  scb["CPACR"] = d.cpacr;
  auto& st = r["SysTick"];
  st["CTRL"] = d.st_ctrl | (d.st_countflag ? 1u << 16 : 0);
  st["LOAD"] = d.st_load;
  st["VAL"] = d.st_value(d.now());
  st["CALIB"] = (1u << 30) | static_cast<uint32_t>((d.hclk / 8 / 100 - 1) & 0xFFFFFF);
  auto& fpu = r["FPU"];
  fpu["FPCCR"] = d.fpccr;
  fpu["FPCAR"] = d.fpcar;
  fpu["FPDSCR"] = d.fpdscr;
  return r;
}

RunResult Machine::result() const {
  const Impl& d = *d_;
  RunResult r;
  r.instructions = d.instr_now();
  r.virtual_ns = d.now();
  r.idle_ns = d.idle_ns;
  r.wall_s = d.wall_s;
  r.cpi_milli = opt_.cpi_milli;
  r.halt = halt_;
  r.unmodelled = d.unmodelled;
  r.faults = d.faults;
  r.notes = d.notes;
  if (board_) {
    r.pins = board_->pin_history();
    r.strip = board_->strip();
    r.registers = board_->register_dump();
  }
  for (auto& [k, v] : core_registers()) r.registers[k] = v;
  r.exceptions = d.exc_stats;
  r.exception_trace = d.exc_trace;
  r.functions = d.fn_stats;
  r.first_write_ns = d.first_write;
  return r;
}

std::optional<ns_t> parse_duration(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (std::isdigit(static_cast<unsigned char>(text[i])) || text[i] == '.')) ++i;
  if (i == 0) return std::nullopt;
  double v = 0;
  try {
    v = std::stod(text.substr(0, i));
  } catch (...) {
    return std::nullopt;
  }
  std::string unit = text.substr(i);
  while (!unit.empty() && unit.front() == ' ') unit.erase(0, 1);
  double mul = 1;
  if (unit.empty() || unit == "ns")
    mul = 1;
  else if (unit == "us")
    mul = 1e3;
  else if (unit == "ms")
    mul = 1e6;
  else if (unit == "s")
    mul = 1e9;
  else
    return std::nullopt;
  return static_cast<ns_t>(std::llround(v * mul));
}

std::string format_ns(ns_t t) {
  char b[48];
  if (t == kNever) return "never";
  if (t >= kSec)
    std::snprintf(b, sizeof b, "%.6f s", static_cast<double>(t) / 1e9);
  else if (t >= kMs)
    std::snprintf(b, sizeof b, "%.6f ms", static_cast<double>(t) / 1e6);
  else if (t >= kUs)
    std::snprintf(b, sizeof b, "%.3f us", static_cast<double>(t) / 1e3);
  else
    std::snprintf(b, sizeof b, "%llu ns", static_cast<unsigned long long>(t));
  return b;
}

}  // namespace vboard
