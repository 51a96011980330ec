#include "core/nvic.h"
#include "vboard/state.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace vboard::core {

namespace {

// Addresses from scs::kBase. The IRQ state views have a bit per line the NVIC
// has (kNumIrq); the words past them read as 0 and ignore writes.
std::vector<RegDef> nvic_regs() {
  // INTLINESNUM: 32 lines for each count above 0 (kNumIrq of them).
  std::vector<RegDef> r = {{"ICTR", scs::ICTR, kNumIrq / 32 - 1, 0, scs::ictr::INTLINESNUM.mask()}};
  auto lines = [](unsigned k) -> uint32_t {
    if (32 * k >= kNumIrq) return 0;
    return kNumIrq - 32 * k >= 32 ? 0xFFFFFFFFu : (1u << (kNumIrq - 32 * k)) - 1u;
  };
  // Numbered register names, built once (thread-safe) and kept for the tables' pointers.
  static const std::vector<std::string> kNames = [] {
    std::vector<std::string> n;
    for (const char* view : {"ISER", "ICER", "ISPR", "ICPR", "IABR"})
      for (unsigned k = 0; k < 8; ++k) n.push_back(view + std::to_string(k));
    for (unsigned k = 0; k < Nvic::kIprWords; ++k) n.push_back("IPR" + std::to_string(k));
    return n;
  }();
  for (unsigned v = 0; v < 5; ++v)
    for (unsigned k = 0; k < 8; ++k) {
      RegDef d{kNames[8 * v + k].c_str(), nvic::ISERx(k) + (nvic::ICER0 - nvic::ISER0) * v, 0};
      if (v == 0 || v == 2) d.w1s = lines(k);  // set-enable, set-pending: a 1 sets
      if (v == 1 || v == 3) d.w1c = lines(k);  // clear-enable, clear-pending: a 1 clears
      if (v == 4) d.ro = lines(k);             // active
      r.push_back(d);
    }
  // Priorities: the implemented bits of each byte.
  constexpr Field kPrioBits = nvic::kImplementedPriority;
  constexpr uint32_t kPrio =
      kPrioBits.at(8, 0) | kPrioBits.at(8, 1) | kPrioBits.at(8, 2) | kPrioBits.at(8, 3);
  for (unsigned k = 0; k < Nvic::kIprWords; ++k)
    r.push_back({kNames[40 + k].c_str(), nvic::IPRx(k), 0, kPrio});
  r.push_back({"SHPR1", scb::SHPR1, 0, kPrio});
  r.push_back({"SHPR2", scb::SHPR2, 0, kPrio});
  r.push_back({"SHPR3", scb::SHPR3, 0, kPrio});
  r.push_back({.name = "STIR", .offset = nvic::STIR, .reset = 0, .wo = nvic::stir::INTID.mask()});
  return r;
}

}  // namespace

Nvic::Nvic(bool reversed_ties) : table_(scs::kBase, nvic_regs()), reversed_ties_(reversed_ties) {
  for (unsigned e = 0; e < kNumExc; ++e) enabled_[e] = e < 16;
}

bool Nvic::any_irq_pending() const {
  for (unsigned e = 16; e < kNumExc; ++e)
    if (pending_[e]) return true;
  return false;
}

size_t Nvic::active_count() const {
  return static_cast<size_t>(std::count(active_.begin(), active_.end(), true));
}

void Nvic::enter(unsigned e) {
  pending_[e] = false;
  active_[e] = true;
  active_stack_.push_back(e);
}

unsigned Nvic::leave() {
  const unsigned e = active_stack_.back();
  active_stack_.pop_back();
  active_[e] = false;
  if (e >= 16 && line_[e - 16]) pend(e);
  return e;
}

bool Nvic::exc_enabled(unsigned e) const {
  if (e >= 16) return enabled_[e];
  switch (e) {
    case kMemManage:
      return scb::shcsr::MEMFAULTENA.test(fault_enables_);
    case kBusFault:
      return scb::shcsr::BUSFAULTENA.test(fault_enables_);
    case kUsageFault:
      return scb::shcsr::USGFAULTENA.test(fault_enables_);
    default:
      return true;
  }
}

int Nvic::best_pending() const {
  int best = -1, bp = 0;
  for (unsigned e = 2; e < kNumExc; ++e) {
    // Called at block starts while anything is pending: skip eight clear
    // entries at a time.
    if (e % 8 == 0 && e + 8 <= kNumExc) {
      uint64_t eight = 0;
      std::memcpy(&eight, &pending_[e], 8);
      if (eight == 0) {
        e += 7;
        continue;
      }
    }
    if (!pending_[e] || !exc_enabled(e)) continue;
    int p = raw_prio(e);
    bool better = best < 0 || p < bp || (p == bp && reversed_ties_);
    if (better) best = static_cast<int>(e), bp = p;
  }
  return best;
}

int Nvic::active_prio() const {
  int p = 256;
  for (unsigned e : active_stack_) p = std::min(p, group(raw_prio(e)));
  return p;
}

int Nvic::exec_prio(const Cpu& cpu) const {
  int p = active_prio();
  uint32_t basepri = cpu.reg(UC_ARM_REG_BASEPRI) & nvic::kImplementedPriority.mask();
  if (basepri) p = std::min(p, group(static_cast<int>(basepri)));
  if (primask::PM.test(cpu.reg(UC_ARM_REG_PRIMASK))) p = std::min(p, 0);
  if (faultmask::FM.test(cpu.reg(UC_ARM_REG_FAULTMASK))) p = std::min(p, -1);
  return p;
}

int Nvic::takeable(const Cpu& cpu) {
  int b = best_pending();
  if (b < 0) {
    irq_check_ = false;
    return -1;
  }
  int g = group(raw_prio(static_cast<unsigned>(b)));
  if (g >= active_prio()) return -1;
  if (g >= exec_prio(cpu)) return -1;
  return b;
}

namespace {
// The gathering multiply of word_bits().
constexpr uint64_t kLowBitOfEachByte = 0x0101010101010101ull;
constexpr uint64_t kGatherToTopByte = 0x0102040810204080ull;
constexpr unsigned kTopByte = 56;
}  // namespace

uint32_t Nvic::word_bits(const bool* arr, unsigned k) {
  uint32_t v = 0;
  for (unsigned i = 0; i < 32; i += 8) {
    const unsigned e = 16 + 32 * k + i;
    if (e >= kNumExc) break;
    if (e + 8 <= kNumExc) {
      // Eight bools (bytes of 0 or 1) gathered into eight bits by one multiply:
      // byte j lands in bit 56 + j, and no partial product carries into the top byte.
      uint64_t eight = 0;
      std::memcpy(&eight, &arr[e], 8);
      v |= static_cast<uint32_t>(((eight & kLowBitOfEachByte) * kGatherToTopByte) >> kTopByte) << i;
    } else {
      for (unsigned j = 0; e + j < kNumExc; ++j)
        if (arr[e + j]) v |= 1u << (i + j);
    }
  }
  return v;
}

void Nvic::set_bits(bool* arr, unsigned k, uint32_t v, bool value) {
  for (unsigned i = 0; i < 32; ++i) {
    unsigned e = 16 + 32 * k + i;
    if (!(v & (1u << i)) || e >= kNumExc) continue;
    arr[e] = value;
  }
}

void Nvic::repend_lines() {
  for (unsigned i = 0; i < kNumIrq; ++i)
    if (line_[i] && !pending_[16 + i] && !active_[16 + i]) pend(16 + i);
}

bool Nvic::read(uint32_t addr, uint32_t& v) const {
  const int i = table_.index(addr);
  if (i < 0) return false;
  if (i == kICTR) {
    v = table_[i].reset;  // kNumIrq interrupts
  } else if (i < kIPR) {
    // ISER, ICER, ISPR, ICPR, IABR: the set and clear views read the same state.
    const int view = (i - kISER) / 8;
    const bool* state = view < 2 ? enabled_.data() : view < 4 ? pending_.data() : active_.data();
    v = word_bits(state, static_cast<unsigned>((i - kISER) % 8));
  } else if (i < kSHPR) {
    v = ipr_word(static_cast<unsigned>(i - kIPR));
  } else if (i < kSTIR) {
    v = shpr_word(static_cast<unsigned>(i - kSHPR));
  } else {
    v = 0;  // STIR is write-only
  }
  return true;
}

bool Nvic::write_priority(uint32_t addr, uint32_t v, unsigned size) {
  const int i = table_.index(addr & ~3u);
  if (i < kIPR || i >= kSTIR) return false;
  uint8_t* bytes =
      i < kSHPR ? &ipr_[4 * static_cast<unsigned>(i - kIPR)] : &shpr_[4 * static_cast<unsigned>(i - kSHPR)];
  const unsigned lane = addr & 3u;
  const Field lanes{8 * lane, 8 * size};
  const uint32_t word = written(table_[i], bytes_word(bytes, 0), lanes(v), lanes.mask());
  for (unsigned b = 0; b < 4; ++b) bytes[b] = static_cast<uint8_t>(Field{8 * b, 8}.get(word));
  return true;
}

bool Nvic::write(uint32_t addr, uint32_t v) {
  const int i = table_.index(addr);
  if (i < 0 || i == kICTR) return i == kICTR;  // ICTR is read-only
  if (i >= kIPR && i < kSTIR) return write_priority(addr, v, 4);
  if (i == kSTIR) {
    const uint32_t irq = v & table_[i].wo;
    if (irq < kNumIrq) pend(16 + irq);
    return true;
  }
  const int view = (i - kISER) / 8;
  const auto k = static_cast<unsigned>((i - kISER) % 8);
  const RegDef& def = table_[i];
  switch (view) {
    case 0:
      set_bits(enabled_.data(), k, v & def.w1s, true);
      break;
    case 1:
      set_bits(enabled_.data(), k, v & def.w1c, false);
      break;
    case 2:
      for (unsigned bit = 0; bit < 32; ++bit) {  // the ones that become pending now: their pend time
        const unsigned e = 16 + 32 * k + bit;
        if ((v & def.w1s & (1u << bit)) && e < kNumExc && !pending_[e])
          pended_at_[e] = clock_ ? clock_->now() : 0;
      }
      set_bits(pending_.data(), k, v & def.w1s, true);
      break;
    case 3:
      set_bits(pending_.data(), k, v & def.w1c, false);
      repend_lines();  // a line still high pends its IRQ again
      break;
    default:
      break;  // IABR is read-only
  }
  return true;
}

}  // namespace vboard::core

// ------------------------------------------------------------------ state

namespace vboard::core {

void Nvic::state(StateVisitor& v) {
  v("pending", pending_);
  v("active", active_);
  v("enabled", enabled_);
  v("line", line_);
  v("ipr", ipr_);
  v("shpr", shpr_);
  v("active_stack", active_stack_);
  v("prigroup", prigroup_);
  v("fault_enables", fault_enables_);
  v("irq_check", irq_check_);
  v("pended_at", pended_at_);
}

}  // namespace vboard::core
