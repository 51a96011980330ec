#include "core/address_space.h"
#include "vboard/state.h"

#include <algorithm>

namespace vboard::core {

void AddressSpace::load(const Image& image, std::vector<std::string>& faults) {
  for (const Segment& s : image.segments()) {
    // 64-bit sums: a segment near the top of the address space must not wrap into flash.
    uint64_t a = s.paddr;
    const uint64_t n = s.bytes.size();
    if (a < flash_map_.size) a += flash_map_.base;
    if (flash_map_.holds(a, n))
      std::memcpy(&flash_[a - flash_map_.base], s.bytes.data(), n);
    else if (sram_map_.holds(a, n))
      poke_ram(static_cast<uint32_t>(a), s.bytes.data(), n);
    else
      faults.push_back("segment at " + hex(s.paddr) + " (" + std::to_string(n) +
                       " bytes) outside flash and RAM");
  }
}

void AddressSpace::map_devices(const std::vector<Device*>& devices, std::vector<std::string>& faults) {
  for (size_t i = 0; i < devices.size(); ++i) {
    Device* dev = devices[i];
    if (dev->size() == 0) continue;
    uint32_t b = dev->base();
    if (b < kPeriphBase || b - kPeriphBase + dev->size() > kPeriphSize) {
      faults.push_back("device " + dev->name() + " outside the peripheral space at " + hex(b));
      continue;
    }
    windows_.push_back({b, b + dev->size(), static_cast<int>(i)});
  }
  std::sort(windows_.begin(), windows_.end(), [](const auto& a, const auto& b) { return a.base < b.base; });
  for (size_t i = 1; i < windows_.size(); ++i)
    if (windows_[i].base < windows_[i - 1].end)
      faults.push_back("device windows overlap: " + devices[static_cast<size_t>(windows_[i].dev)]->name() +
                       " and " + devices[static_cast<size_t>(windows_[i - 1].dev)]->name());
  page_first_.assign(kPeriphSize >> 12, -1);
  for (size_t i = windows_.size(); i-- > 0;) {
    uint32_t p0 = (windows_[i].base - kPeriphBase) >> 12, p1 = (windows_[i].end - 1 - kPeriphBase) >> 12;
    for (uint32_t p = p0; p <= p1; ++p) page_first_[p] = static_cast<int32_t>(i);
  }
}

void AddressSpace::scan_ram() {
  constexpr size_t kGranule = size_t{1} << kGranuleBits;
  const uint8_t* now = ram_.data();
  uint8_t* was = shadow_.data();
  bool counted = false;
  cpu_stored_ = false;
  const auto scan = [&](size_t g0, size_t g1) {
    bool changed = false;
    for (size_t g = g0; g < g1; ++g) {
      const size_t off = g * kGranule;
      if (std::memcmp(now + off, was + off, kGranule) == 0) continue;
      std::memcpy(was + off, now + off, kGranule);
      if (!counted) ++ram_writes_;
      counted = true;
      changed = true;
      granule_write_[g] = group_write_[g >> kGroupBits] = ram_writes_;
    }
    return changed;
  };
  if (scan_page_ == 0) {
    scan(0, granules());
    return;
  }
  // Page by page, the cold ones passed over: most of SRAM is unchanged
  // between two scans.
  const size_t per_page = scan_page_ / kGranule;
  for (size_t p = 0; p < page_cold_.size(); ++p) {
    if (page_cold_[p]) continue;
    const size_t at = p * scan_page_;
    if (std::memcmp(now + at, was + at, scan_page_) != 0 && scan(p * per_page, (p + 1) * per_page)) {
      page_quiet_[p] = 0;
    } else if (++page_quiet_[p] == page_wait_[p]) {
      pages_changed_ = true;
    }
  }
  scan(page_cold_.size() * per_page, granules());
}

void AddressSpace::set_scan_page(uint32_t bytes) {
  const bool usable = bytes != 0 && bytes % (1u << kGranuleBits) == 0;
  scan_page_ = usable ? bytes : 0;
  page_cold_.assign(usable ? sram_map_.size / bytes : 0, 0);
  page_quiet_.assign(page_cold_.size(), 0);
  page_wait_.assign(page_cold_.size(), kQuietScans);
}

void AddressSpace::settle_pages() {
  pages_changed_ = false;
  for (size_t p = 0; p < page_cold_.size(); ++p)
    if (page_quiet_[p] >= page_wait_[p]) page_cold_[p] = 1;
}

int AddressSpace::device_at(uint32_t addr) const {
  uint32_t page = (addr - kPeriphBase) >> 12;
  if (page >= page_first_.size()) return -1;
  for (int32_t w = page_first_[page]; w >= 0 && static_cast<size_t>(w) < windows_.size(); ++w) {
    const Window& win = windows_[static_cast<size_t>(w)];
    if (win.base > addr) break;
    if (addr < win.end) return win.dev;
  }
  return -1;
}

}  // namespace vboard::core

// ------------------------------------------------------------------ state

namespace vboard::core {

// The device windows are wiring (map_devices builds them from the devices).
void AddressSpace::state(StateVisitor& v) {
  v("flash", flash_);
  v("sram", ram_);
  v("sram_scanned", shadow_);
  v("cpu_stored", cpu_stored_);
  if (v.loading()) {
    // A cold page is one whose SRAM equals its scanned copy: after a load
    // every page is scanned again until it is quiet.
    std::fill(page_cold_.begin(), page_cold_.end(), 0);
    std::fill(page_quiet_.begin(), page_quiet_.end(), 0);
    pages_changed_ = true;
  }
  v("ram_writes", ram_writes_);
  v("granule_write", granule_write_);
  v("group_write", group_write_);
  v("writes", writes_);
  v("write_seq", write_seq_);
  v("mmio_writes", mmio_writes_);
  v("read_changes", read_changes_);
  v("last_read", last_read_);
  v("first_write", first_write_);
}

}  // namespace vboard::core
