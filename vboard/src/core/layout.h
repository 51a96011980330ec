// The Cortex-M4 core's fixed facts the machine's parts share: its fixed memory
// map (peripheral space, private peripheral bus; flash and SRAM are the chip's
// and come as values, vboard/chip_facts.h), the NVIC lines it implements, the
// exception numbers and the fault status bits.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace vboard::core {

constexpr uint32_t kPeriphBase = 0x40000000;
constexpr uint32_t kPeriphSize = 0x20000000;
constexpr uint32_t kPpbBase = 0xE0000000;
constexpr uint32_t kPpbSize = 0x00100000;
constexpr unsigned kNumIrq = 128;
constexpr unsigned kNumExc = 16 + kNumIrq;

// Exception numbers.
constexpr unsigned kNmi = 2, kHardFault = 3, kMemManage = 4, kBusFault = 5, kUsageFault = 6, kSvc = 11,
                   kDebugMon = 12, kPendSv = 14, kSysTick = 15;

// CFSR bits.
constexpr uint32_t kIbusErr = 1u << 8, kPreciseErr = 1u << 9, kBfarValid = 1u << 15;
constexpr uint32_t kUndefInstr = 1u << 16, kInvState = 1u << 17, kInvPc = 1u << 18, kNoCp = 1u << 19,
                   kUnaligned = 1u << 24;

inline std::string hex(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08x", v);
  return b;
}

// (A product that fits 64 bits, as most do, takes the 64-bit division, which
// the 128-bit one's library call costs several times.)
inline uint64_t mul_div(uint64_t a, uint64_t b, uint64_t c) {
  const unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
  if (static_cast<uint64_t>(p >> 64) == 0) return static_cast<uint64_t>(p) / c;
  return static_cast<uint64_t>(p / c);
}
inline uint64_t mul_div_ceil(uint64_t a, uint64_t b, uint64_t c) {
  const unsigned __int128 p = static_cast<unsigned __int128>(a) * b + (c - 1);
  if (static_cast<uint64_t>(p >> 64) == 0) return static_cast<uint64_t>(p) / c;
  return static_cast<uint64_t>(p / c);
}

}  // namespace vboard::core
