#include "core/nvic.h"

#include <algorithm>
#include <cstring>

namespace vboard::core {

bool Nvic::exc_enabled(unsigned e) const {
  if (e >= 16) return enabled[e];
  switch (e) {
    case kMemManage:
      return shcsr_enables & (1u << 16);
    case kBusFault:
      return shcsr_enables & (1u << 17);
    case kUsageFault:
      return shcsr_enables & (1u << 18);
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
      std::memcpy(&eight, &pending[e], 8);
      if (eight == 0) {
        e += 7;
        continue;
      }
    }
    if (!pending[e] || !exc_enabled(e)) continue;
    int p = raw_prio(e);
    bool better = best < 0 || p < bp || (p == bp && reversed_ties_);
    if (better) best = static_cast<int>(e), bp = p;
  }
  return best;
}

int Nvic::active_prio() const {
  int p = 256;
  for (unsigned e : active_stack) p = std::min(p, group(raw_prio(e)));
  return p;
}

int Nvic::exec_prio(const Cpu& cpu) const {
  int p = active_prio();
  uint32_t basepri = cpu.reg(UC_ARM_REG_BASEPRI) & 0xF0;
  if (basepri) p = std::min(p, group(static_cast<int>(basepri)));
  if (cpu.reg(UC_ARM_REG_PRIMASK) & 1) p = std::min(p, 0);
  if (cpu.reg(UC_ARM_REG_FAULTMASK) & 1) p = std::min(p, -1);
  return p;
}

int Nvic::takeable(const Cpu& cpu) {
  int b = best_pending();
  if (b < 0) {
    irq_check = false;
    return -1;
  }
  int g = group(raw_prio(static_cast<unsigned>(b)));
  if (g >= active_prio()) return -1;
  if (g >= exec_prio(cpu)) return -1;
  return b;
}

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
      v |= static_cast<uint32_t>(((eight & 0x0101010101010101ull) * 0x0102040810204080ull) >> 56) << i;
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
    if (line[i] && !pending[16 + i] && !active[16 + i]) pend(16 + i);
}

bool Nvic::read(uint32_t addr, uint32_t& v) const {
  // ISER, ICER, ISPR, ICPR, IABR: the set and clear views read the same state.
  static const struct {
    uint32_t base;
    const std::array<bool, kNumExc> Nvic::*state;
  } words[] = {{0xE000E100, &Nvic::enabled},
               {0xE000E180, &Nvic::enabled},
               {0xE000E200, &Nvic::pending},
               {0xE000E280, &Nvic::pending},
               {0xE000E300, &Nvic::active}};
  for (const auto& w : words) {
    if (addr < w.base || addr >= w.base + 0x20) continue;
    v = word_bits((this->*w.state).data(), (addr - w.base) / 4);
    return true;
  }
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
  if (addr != 0xE000E004) return false;
  v = 3;  // ICTR: up to 128 interrupts
  return true;
}

bool Nvic::write_priority(uint32_t addr, uint32_t v, unsigned size) {
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
  return false;
}

bool Nvic::write(uint32_t addr, uint32_t v) {
  static const struct {
    uint32_t base;
    std::array<bool, kNumExc> Nvic::*state;
    bool value;
  } words[] = {{0xE000E100, &Nvic::enabled, true},
               {0xE000E180, &Nvic::enabled, false},
               {0xE000E200, &Nvic::pending, true}};
  for (const auto& w : words) {
    if (addr < w.base || addr >= w.base + 0x20) continue;
    set_bits((this->*w.state).data(), (addr - w.base) / 4, v, w.value);
    return true;
  }
  if (addr >= 0xE000E280 && addr < 0xE000E2A0) {
    set_bits(pending.data(), (addr - 0xE000E280) / 4, v, false);
    repend_lines();
    return true;
  }
  if (addr >= 0xE000E300 && addr < 0xE000E320) return true;  // IABR is read-only
  if (addr == 0xE000EF00) {                                  // STIR
    if ((v & 0x1FF) < kNumIrq) pend(16 + (v & 0x1FF));
    return true;
  }
  return false;
}

}  // namespace vboard::core
