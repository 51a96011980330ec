// The guest address space: flash (also at its alias at 0), SRAM, the device
// windows of the peripheral space, and the one log of every MMIO write (device
// and core registers) with the counters idle detection compares.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/layout.h"
#include "vboard/chip_facts.h"
#include "vboard/image.h"
#include "vboard/run_result.h"

namespace vboard::core {

class AddressSpace {
 public:
  // The chip's flash and SRAM, as its facts give them.
  explicit AddressSpace(const ChipFacts& chip)
      : flash_map_(chip.flash),
        sram_map_(chip.sram),
        flash_(chip.flash.size, 0xFF),
        ram_(chip.sram.size, 0),
        shadow_(chip.sram.size, 0),
        granule_write_(granules(), 0),
        group_write_(groups(), 0) {}

  const MemoryRegion& flash_map() const { return flash_map_; }
  const MemoryRegion& sram_map() const { return sram_map_; }

  // Copies the image's segments; one fault line per segment outside flash and RAM.
  void load(const Image& image, std::vector<std::string>& faults);
  // Maps each device with a register window; faults for windows outside the
  // peripheral space or overlapping another.
  void map_devices(const std::vector<Device*>& devices, std::vector<std::string>& faults);

  uint8_t* flash() { return flash_.data(); }
  uint8_t* ram() { return ram_.data(); }
  const uint8_t* ram() const { return ram_.data(); }
  bool ram_range(uint32_t a, uint32_t n) const { return sram_map_.holds(a, n); }
  static bool periph(uint32_t a) { return a >= kPeriphBase && a - kPeriphBase < kPeriphSize; }
  // Flash, its alias and SRAM; false elsewhere.
  bool peek(uint32_t addr, void* dst, size_t n) const {
    const uint8_t* src = nullptr;
    if (MemoryRegion{0, flash_map_.size}.holds(addr, n))
      src = &flash_[addr];
    else if (flash_map_.holds(addr, n))
      src = &flash_[addr - flash_map_.base];
    else if (sram_map_.holds(addr, n))
      src = &ram_[addr - sram_map_.base];
    if (src == nullptr) return false;
    std::memcpy(dst, src, n);
    return true;
  }
  // Flash or its alias, as a debugger programs it.
  bool poke_flash(uint32_t addr, const void* src, size_t n) {
    if (addr < flash_map_.size) addr += flash_map_.base;
    if (!flash_map_.holds(addr, n)) return false;
    std::memcpy(&flash_[addr - flash_map_.base], src, n);
    return true;
  }
  bool poke_ram(uint32_t addr, const void* src, size_t n) {
    if (!sram_map_.holds(addr, n)) return false;
    std::memcpy(&ram_[addr - sram_map_.base], src, n);
    note_ram_write(addr, n);
    return true;
  }

  // Where SRAM may have changed, so that idle detection compares only that:
  // the host's writes (poke_ram or here) count when made, the CPU's when
  // scan_ram finds them, and each 128-byte granule keeps the count at its
  // last write. A granule whose count is not above a reference count holds
  // what it held then; one never written (count 0) holds zeros, as SRAM starts
  // zeroed and the image's RAM segments count as writes. Addresses outside SRAM
  // are clipped.
  static constexpr uint32_t kGranuleBits = 7;
  static constexpr uint32_t kGroupBits = 4;  // granules per group, as a power of two; a group
                                             // keeps its granules' latest count
  uint32_t granules() const { return sram_map_.size >> kGranuleBits; }
  uint32_t groups() const { return granules() >> kGroupBits; }
  void note_ram_write(uint64_t addr, size_t n) {
    const uint64_t base = sram_map_.base;
    if (n == 0 || addr >= sram_map_.end() || addr + n <= base) return;
    const uint32_t lo = addr < base ? 0 : static_cast<uint32_t>(addr - base);
    const uint64_t end = std::min<uint64_t>(addr + n - base, sram_map_.size);
    ++ram_writes_;
    const uint32_t g0 = lo >> kGranuleBits, g1 = static_cast<uint32_t>((end - 1) >> kGranuleBits);
    for (uint32_t g = g0; g <= g1; ++g) granule_write_[g] = group_write_[g >> kGroupBits] = ram_writes_;
    // What a marked granule holds now is what the next scan compares with.
    const size_t from = size_t{g0} << kGranuleBits,
                 to = std::min<size_t>(size_t{g1 + 1} << kGranuleBits, ram_.size());
    std::memcpy(shadow_.data() + from, ram_.data() + from, to - from);
  }
  // A block that may store ran: the next scan_ram has something to look for.
  void note_cpu_store() { cpu_stored_ = true; }
  bool cpu_stored() const { return cpu_stored_; }
  // Cold pages: SRAM the scans found unchanged for a long while, which the
  // machine makes read-only so that a CPU store there is seen (warm_page)
  // and the scans may pass over it. set_scan_page gives the page size (a
  // multiple of the granule; 0: no cold pages).
  // Unchanged scans before a page may turn cold; each time a store warms it
  // again a page waits four times as long (a read-only switch costs the
  // engine a flush of its whole TLB).
  static constexpr uint32_t kQuietScans = 64, kMostQuietScans = 1u << 24;
  void set_scan_page(uint32_t bytes);
  uint32_t scan_page() const { return scan_page_; }
  size_t pages() const { return page_cold_.size(); }
  bool page_cold(size_t p) const { return page_cold_[p] != 0; }
  // Pages the scans found quiet long enough to turn cold now, or a state
  // load warmed them all: the machine's page protection has to follow.
  bool pages_changed() const { return pages_changed_; }
  void settle_pages();  // turns the quiet pages cold and clears pages_changed
  void warm_page(size_t p) {
    page_cold_[p] = 0;
    page_quiet_[p] = 0;
    page_wait_[p] = std::min(page_wait_[p] * 4, kMostQuietScans);
    cpu_stored_ = true;
  }
  // The CPU stores to SRAM without a hook (a write hook would take every store
  // off the emulator's fast path): SRAM is compared with a copy of itself as of
  // the last scan, and every granule that differs counts as written now. A
  // granule the scans found unchanged holds what it held at any earlier scan.
  void scan_ram();
  uint64_t ram_writes() const { return ram_writes_; }
  uint64_t granule_write(uint32_t g) const { return granule_write_[g]; }
  uint64_t group_write(uint32_t k) const { return group_write_[k]; }
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
  // Its mutable state, for saving, loading and comparing (vboard/state.h).
  void state(StateVisitor& v);

 private:
  struct Window {
    uint32_t base, end;
    int dev;
  };
  MemoryRegion flash_map_, sram_map_;
  std::vector<uint8_t> flash_, ram_;
  std::vector<uint8_t> shadow_;  // SRAM as of the last scan_ram or mark
  bool cpu_stored_ = false;      // a block that may store ran since the last scan_ram
  uint32_t scan_page_ = 0;
  std::vector<uint8_t> page_cold_;    // per scan page: read-only for the CPU, not scanned
  std::vector<uint32_t> page_quiet_;  // per scan page: scans in a row that found it unchanged
  std::vector<uint32_t> page_wait_;   // per scan page: the quiet scans it needs to turn cold
  bool pages_changed_ = false;
  uint64_t ram_writes_ = 0;
  std::vector<uint64_t> granule_write_;
  std::vector<uint64_t> group_write_;
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
