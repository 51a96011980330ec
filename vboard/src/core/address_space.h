// The guest address space: flash (also at its alias at 0), SRAM, the device
// windows of the peripheral space, and the one log of every MMIO write (device
// and core registers) with the counters idle detection compares.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/layout.h"
#include "vboard/image.h"
#include "vboard/machine.h"

namespace vboard::core {

class AddressSpace {
 public:
  AddressSpace() : flash_(kFlashSize, 0xFF), ram_(kRamSize, 0) {}

  // Copies the image's segments; one fault line per segment outside flash and RAM.
  void load(const Image& image, std::vector<std::string>& faults);
  // Maps each device with a register window; faults for windows outside the
  // peripheral space or overlapping another.
  void map_devices(const std::vector<Device*>& devices, std::vector<std::string>& faults);

  uint8_t* flash() { return flash_.data(); }
  uint8_t* ram() { return ram_.data(); }
  const uint8_t* ram() const { return ram_.data(); }
  static bool ram_range(uint32_t a, uint32_t n) { return a >= kRamBase && a - kRamBase + n <= kRamSize; }
  static bool periph(uint32_t a) { return a >= kPeriphBase && a - kPeriphBase < kPeriphSize; }
  // Flash, its alias and SRAM; false elsewhere.
  bool peek(uint32_t addr, void* dst, size_t n) const {
    if (addr < kFlashSize && addr + n <= kFlashSize) return std::memcpy(dst, &flash_[addr], n), true;
    if (addr >= kFlashBase && addr - kFlashBase + n <= kFlashSize)
      return std::memcpy(dst, &flash_[addr - kFlashBase], n), true;
    if (addr >= kRamBase && addr - kRamBase + n <= kRamSize)
      return std::memcpy(dst, &ram_[addr - kRamBase], n), true;
    return false;
  }
  bool poke_ram(uint32_t addr, const void* src, size_t n) {
    if (!(addr >= kRamBase && addr - kRamBase + n <= kRamSize)) return false;
    std::memcpy(&ram_[addr - kRamBase], src, n);
    return true;
  }
  // Index into the device list of the device whose window holds addr, -1 if none.
  int device_at(uint32_t addr) const;

  // The MMIO writes in order, the first kWritesKept of them (a long run writes
  // without end; start-up order is what the log is read for); dev -1 for core
  // registers and unmapped addresses. mmio_writes() counts them all.
  static constexpr size_t kWritesKept = 100'000;
  void log_write(ns_t t, uint32_t addr, uint32_t v, unsigned size, int dev) {
    ++mmio_writes_;
    if (writes_.size() < kWritesKept)
      writes_.push_back({t, write_seq_, addr, v, static_cast<uint8_t>(size), dev});
    ++write_seq_;
  }
  // A CPU read of a device register; counts reads that returned a new value.
  void note_read(uint32_t addr, uint32_t v) {
    auto [it, fresh] = last_read_.try_emplace(addr, v);
    if (!fresh && it->second != v) {
      ++read_changes_;
      it->second = v;
    }
    if (fresh) ++read_changes_;
  }
  void note_first_write(const std::string& who, ns_t t) { first_write_.try_emplace(who, t); }

  const std::vector<MmioWrite>& writes() const { return writes_; }
  uint64_t mmio_writes() const { return mmio_writes_; }
  uint64_t read_changes() const { return read_changes_; }
  const std::map<std::string, ns_t>& first_write() const { return first_write_; }

 private:
  struct Window {
    uint32_t base, end;
    int dev;
  };
  std::vector<uint8_t> flash_, ram_;
  std::vector<Window> windows_;
  std::vector<int32_t> page_first_;  // per 4 KiB page of the peripheral space
  std::vector<MmioWrite> writes_;
  uint64_t write_seq_ = 0;
  uint64_t mmio_writes_ = 0;   // MMIO writes so far
  uint64_t read_changes_ = 0;  // MMIO reads that returned a new value
  std::unordered_map<uint32_t, uint32_t> last_read_;
  std::map<std::string, ns_t> first_write_;
};

}  // namespace vboard::core
