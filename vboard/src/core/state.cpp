// The archive's byte plumbing, and the state of the core's plain structs
// (virtual clock, run log, findings, the CPU's registers).
#include "vboard/state.h"

#include "core/clock.h"
#include "core/cpu.h"
#include "core/debugger.h"
#include "core/registers.h"
#include "core/run_log.h"

namespace vboard {

void StateVisitor::raw(void* p, size_t n) {
  // An empty list has no storage (its data() may be null): nothing to copy.
  if (done() || n == 0) return;
  if (mode_ == Mode::save) {
    const auto* b = static_cast<const uint8_t*>(p);
    out_->insert(out_->end(), b, b + n);
    return;
  }
  if (bytes_.size() - pos_ < n) {
    fail("the archive ends here");
    return;
  }
  std::memcpy(p, bytes_.data() + pos_, n);
  pos_ += n;
}

void StateVisitor::bulk(void* data, size_t n, size_t size) {
  const size_t total = n * size;
  if (done() || total == 0) return;
  if (mode_ != Mode::compare) return raw(data, total);
  if (bytes_.size() - pos_ < total) {
    fail("the archive ends here");
    return;
  }
  const uint8_t* saved = bytes_.data() + pos_;
  const auto* live = static_cast<const uint8_t*>(data);
  if (std::memcmp(saved, live, total) != 0) {
    size_t i = 0;
    while (std::memcmp(saved + i * size, live + i * size, size) == 0) ++i;
    Scope e(*this, i);
    difference_ = path();
    return;
  }
  pos_ += total;
}

std::string StateVisitor::path() const {
  std::string out;
  for (const Seg& s : segs_) {
    if (s.is_index) {
      out += '[' + std::to_string(s.index) + ']';
    } else {
      if (!out.empty()) out += '.';
      out += s.name;
    }
  }
  return out;
}

void StateVisitor::mismatch(bool as_error) {
  if (as_error)
    fail("the archive was made for another wiring");
  else if (difference_.empty())
    difference_ = path();
}

}  // namespace vboard

namespace vboard::core {

void VirtualClock::state(StateVisitor& v) {
  v("hclk", hclk);
  v("base_ns", base_ns);
  v("cycles_milli", cycles_milli);
  v("total_cycles_milli", total_cycles_milli);
  v("instr_done", instr_done);
  v("cur_instr", cur_instr);
  v("cur_cycles", cur_cycles);
  v("cur_next", cur_next);
  v("cur_taken", cur_taken);
  v("stop_cycles", stop_cycles);
  v("stop_at", stop_at);
  v("run_end", run_end);
  v("min_stop", min_stop);
  v("idle_ns", idle_ns);
  v("events_dirty", events_dirty);
}

void Debugger::state(StateVisitor& v) {
  v("continuation", continuation_);
  v("continuation_pc", continuation_pc_);
  v("mid_slice", mid_slice_);
  v("slice_t0", slice_t0_);
}

void RunLog::state(StateVisitor& v) {
  v("halt", halt);
  v("unmodelled", unmodelled);
  v("faults", faults);
  v("notes", notes);
  v("tally", tally);
}

// The index is a cache of the entries: rebuilt after a load.
void Findings::state(StateVisitor& v) {
  v("entries", entries_);
  if (!v.loading()) return;
  index_.clear();
  for (size_t i = 0; i < entries_.size(); ++i) {
    const Diagnostic& d = entries_[i];
    index_.emplace(d.kind + '\0' + d.where + '\0' + d.message, i);
  }
}

namespace {

struct CpuReg {
  const char* name;
  int id;
};

// In the order a load writes them: the mode (xPSR with IPSR, then CONTROL)
// before the banked stack pointers it selects between, then the rest.
constexpr CpuReg kCpuRegs[] = {
    {"xpsr", UC_ARM_REG_XPSR},
    {"control", UC_ARM_REG_CONTROL},
    {"msp", UC_ARM_REG_MSP},
    {"psp", UC_ARM_REG_PSP},
    {"r0", UC_ARM_REG_R0},
    {"r1", UC_ARM_REG_R1},
    {"r2", UC_ARM_REG_R2},
    {"r3", UC_ARM_REG_R3},
    {"r4", UC_ARM_REG_R4},
    {"r5", UC_ARM_REG_R5},
    {"r6", UC_ARM_REG_R6},
    {"r7", UC_ARM_REG_R7},
    {"r8", UC_ARM_REG_R8},
    {"r9", UC_ARM_REG_R9},
    {"r10", UC_ARM_REG_R10},
    {"r11", UC_ARM_REG_R11},
    {"r12", UC_ARM_REG_R12},
    {"sp", UC_ARM_REG_SP},
    {"lr", UC_ARM_REG_LR},
    {"pc", UC_ARM_REG_PC},
    {"primask", UC_ARM_REG_PRIMASK},
    {"basepri", UC_ARM_REG_BASEPRI},
    {"faultmask", UC_ARM_REG_FAULTMASK},
    {"fpscr", UC_ARM_REG_FPSCR},
    {"fpexc", UC_ARM_REG_FPEXC},
};

}  // namespace

// The core's registers by name through Unicorn (explicit registers rather than
// its opaque context, so that a comparison can name the register that differs).
void Cpu::state(StateVisitor& v) {
  if (uc == nullptr) return v.fail("the emulator did not start");
  for (const CpuReg& r : kCpuRegs) {
    uint32_t x = 0;
    if (!v.loading()) uc_reg_read(uc, r.id, &x);
    v(r.name, x);
    if (!v.loading() || v.done()) continue;
    if (r.id == UC_ARM_REG_XPSR) {
      uc_reg_write(uc, UC_ARM_REG_XPSR_NZCVQG, &x);
    } else if (r.id == UC_ARM_REG_PC) {
      x |= 1u;  // the Thumb state goes with the PC's bit 0
      uc_reg_write(uc, r.id, &x);
    } else {
      uc_reg_write(uc, r.id, &x);
    }
  }
  for (int i = 0; i < 16; ++i) {
    uint64_t d = 0;
    if (!v.loading()) uc_reg_read(uc, UC_ARM_REG_D0 + i, &d);
    v("d" + std::to_string(i), d);
    if (v.loading() && !v.done()) uc_reg_write(uc, UC_ARM_REG_D0 + i, &d);
  }
  if (v.loading() && !v.done()) {
    // Unicorn rebuilds its cached handler-mode flag on an APSR write.
    uint32_t apsr = reg(UC_ARM_REG_APSR_NZCV);
    uc_reg_write(uc, UC_ARM_REG_APSR_NZCV, &apsr);
  }
  v("block_pc", block_pc);
  v("sleeping", sleeping);
  v("host_fp_writes", host_fp_writes);
}

}  // namespace vboard::core
