// DMAMUX request routing and DMA1 channels.
#pragma once

#include <functional>

#include "chip/dma_request.h"
#include "chip/regblock.h"

namespace vboard::periph {

class Dma;

class Dmamux : public RegBlock {
 public:
  Dmamux(Context& ctx, const desc::Peripheral& where);
  void attach(Dma* dma1) { dma1_ = dma1; }
  void register_source(unsigned req, RequestSource* src) { sources_[req] = src; }
  RequestSource* source(unsigned req) const { return req < kReqs ? sources_[req] : nullptr; }
  unsigned request_of(unsigned channel) const {
    return dmamux::cxcr::DMAREQ_ID.get(val(dmamux::CxCR(channel)));
  }
  // A peripheral raises request `req` at time t.
  void request(unsigned req, ns_t t);
  // DMA1 and its channel that serves request `req` (nullptr: none).
  Dma* dma_for(unsigned req, unsigned* ch) const;
  static constexpr unsigned kChannels = 12, kReqs = 128;
  // Its mutable state, for saving, loading and comparing (vboard/state.h).
  void state(StateVisitor& v) override;

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
  // Its mutable state, for saving, loading and comparing (vboard/state.h).
  void state(StateVisitor& v) override;

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
  static unsigned chan_of(uint32_t offset);
  static uint32_t as_chan1(uint32_t offset);
  void clear_flags(uint32_t v);
  void enable(unsigned ch);
  bool mem_read(Chan& c, uint32_t addr, unsigned n, uint32_t* v);
  bool mem_write(uint32_t addr, unsigned n, uint32_t v);
  void transfer_error(unsigned ch, const std::string& why);
  void update_irq(unsigned ch);
  void update_watch();
  void retarget(Chan& c);
  const Dmamux& mux_;
  std::function<RegBlock*(uint32_t, uint32_t*)> resolve_;
  std::array<Chan, kChannels> chan_;
  std::array<unsigned, kChannels> irq_{};  // NVIC line of each channel
  uint32_t isr_ = 0;
};

}  // namespace vboard::periph
