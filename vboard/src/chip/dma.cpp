// DMAMUX request routing and the DMA1 controller. Transfers run inside the
// requesting timer's advance(): each request moves one item at once.
#include <algorithm>
#include <cstring>

#include "chip/dma.h"

namespace vboard::periph {

// ---------------------------------------------------------------- DMAMUX

namespace {
std::vector<RegDef> dmamux_regs() {
  static const char* const kC[] = {"C0CR", "C1CR", "C2CR", "C3CR", "C4CR",  "C5CR",
                                   "C6CR", "C7CR", "C8CR", "C9CR", "C10CR", "C11CR"};
  std::vector<RegDef> r;
  // G431: 12 request-line channels; C12CR..C15CR are absent.
  // Only request routing is modelled: synchronisation, event generation and
  // the request generators are stored and reported when switched on.
  const UnmodelledField sync{0x00010200, "request synchronisation / event generation is not modelled"};
  const UnmodelledField gen{1u << 16, "request generators are not modelled"};
  for (unsigned i = 0; i < Dmamux::kChannels; ++i)
    r.push_back({kC[i], 4 * i, 0, 0x1FFE017F, 0, 0, 0, 0, {sync}});
  // Synchronisation overrun flags (never raised: synchronisation is not modelled).
  r.push_back({"CSR", 0x080, 0, 0, 0x0FFF});
  r.push_back({.name = "CFR", .offset = 0x084, .reset = 0, .wo = 0x0FFF});
  static const char* const kRg[] = {"RG0CR", "RG1CR", "RG2CR", "RG3CR"};
  for (unsigned i = 0; i < 4; ++i) r.push_back({kRg[i], 0x100 + 4 * i, 0, 0x00FE011F, 0, 0, 0, 0, {gen}});
  r.push_back({"RGSR", 0x140, 0, 0, 0xF});
  r.push_back({.name = "RGCFR", .offset = 0x144, .reset = 0, .wo = 0xF});
  return r;
}
}  // namespace

Dmamux::Dmamux(Context& ctx, const desc::Peripheral& where) : RegBlock(ctx, where, dmamux_regs()) {
  route_.fill(-1);
  sources_.fill(nullptr);
}

void Dmamux::on_write(unsigned idx, uint32_t value, uint32_t lanes) {
  plain_write(idx, value, lanes);  // status and clear registers: nothing is ever raised
  if (idx < kChannels) reroute();
}

void Dmamux::reroute() {
  route_.fill(-1);
  for (int c = kChannels - 1; c >= 0; --c) {
    const unsigned id = val_[c] & 0x7Fu;
    if (id != 0) route_[id] = static_cast<int16_t>(c);
  }
}

void Dmamux::request(unsigned req, ns_t t) {
  if (req >= kReqs) return;
  const int c = route_[req];
  // Channels 6..11 feed DMA2, which no image here uses.
  if (c >= 0 && c < static_cast<int>(Dma::kChannels) && dma1_) dma1_->request(static_cast<unsigned>(c), t);
}

Dma* Dmamux::dma_for(unsigned req, unsigned* ch) const {
  if (req >= kReqs || !dma1_) return nullptr;
  const int c = route_[req];
  if (c < 0 || c >= static_cast<int>(Dma::kChannels)) return nullptr;
  *ch = static_cast<unsigned>(c);
  return dma1_;
}

// ---------------------------------------------------------------- DMA1

namespace {
constexpr uint32_t kEN = 1u << 0, kDIR = 1u << 4, kCIRC = 1u << 5, kPINC = 1u << 6, kMINC = 1u << 7;
constexpr uint32_t kMEM2MEM = 1u << 14;
constexpr uint32_t kGIF = 1u, kTCIF = 2u, kHTIF = 4u, kTEIF = 8u;
constexpr unsigned kISR = 0, kIFCR = 1;
unsigned ccr_idx(unsigned ch) { return 2 + 4 * ch; }

std::vector<RegDef> dma_regs() {
  static const char* const kNames[Dma::kChannels][4] = {
      {"CCR1", "CNDTR1", "CPAR1", "CMAR1"}, {"CCR2", "CNDTR2", "CPAR2", "CMAR2"},
      {"CCR3", "CNDTR3", "CPAR3", "CMAR3"}, {"CCR4", "CNDTR4", "CPAR4", "CMAR4"},
      {"CCR5", "CNDTR5", "CPAR5", "CMAR5"}, {"CCR6", "CNDTR6", "CPAR6", "CMAR6"}};
  // G431: six channels; CCR7/CCR8 and their flags are absent.
  std::vector<RegDef> r = {{"ISR", 0x000, 0, 0, 0x00FFFFFF},
                           {.name = "IFCR", .offset = 0x004, .reset = 0, .wo = 0x00FFFFFF}};
  for (unsigned n = 0; n < Dma::kChannels; ++n) {
    const uint32_t o = 0x14 * n;
    r.push_back({kNames[n][0], 0x08 + o, 0, 0x7FFF});
    r.push_back({kNames[n][1], 0x0C + o, 0, 0xFFFF});
    r.push_back({kNames[n][2], 0x10 + o, 0, 0xFFFFFFFF});
    r.push_back({kNames[n][3], 0x14 + o, 0, 0xFFFFFFFF});
  }
  return r;
}
}  // namespace

Dma::Dma(Context& ctx, const desc::Peripheral& where, const Dmamux& mux,
         std::function<RegBlock*(uint32_t, uint32_t*)> resolve)
    : RegBlock(ctx, where, dma_regs()), mux_(mux), resolve_(std::move(resolve)) {
  irq_.fill(~0u);  // no line (IrqMux ignores it)
  for (const desc::IrqLine& l : where.irqs)
    for (unsigned ch = l.first; ch <= l.last && ch < kChannels; ++ch) irq_[ch] = l.irq;
}

uint32_t Dma::peek(unsigned idx) const {
  if (idx == kISR) return isr_;
  if (idx == kIFCR) return 0;
  const unsigned ch = (idx - 2) / 4, k = (idx - 2) % 4;
  if (k == 1 && chan_[ch].en) return chan_[ch].left;
  return val_[idx];
}

void Dma::on_write(unsigned idx, uint32_t value, uint32_t lanes) {
  const uint32_t v = value & lanes;
  if (idx == kISR) return;
  if (idx == kIFCR) {
    for (unsigned ch = 0; ch < kChannels; ++ch) {
      uint32_t clr = (v >> (4 * ch)) & 0xFu;
      if (clr & kGIF) clr = 0xFu;
      if (!clr) continue;
      isr_ &= ~(clr << (4 * ch));
      // GIF stays while any other flag of the channel does.
      if ((isr_ >> (4 * ch)) & 0xEu)
        isr_ |= kGIF << (4 * ch);
      else
        isr_ &= ~(kGIF << (4 * ch));
      update_irq(ch);
    }
    return;
  }
  const unsigned ch = (idx - 2) / 4, k = (idx - 2) % 4;
  Chan& c = chan_[ch];
  if (k == 0) {
    const uint32_t old = val_[idx];
    uint32_t nv = merged(idx, value, lanes);
    if ((old & kEN) && ((nv ^ old) & ~kEN & 0x7FFFu)) {
      finding(chip::diag::kLockedField,
              "CCR" + std::to_string(ch + 1) + " fields written while EN = 1 (ignored)");
      nv = (old & ~kEN) | (nv & kEN);
    }
    val_[idx] = nv;
    if ((nv & kEN) && !(old & kEN)) {
      enable(ch);
    } else if (!(nv & kEN) && (old & kEN)) {
      c.en = false;
      val_[idx + 1] = c.left;
      update_watch();
    }
    update_irq(ch);
    return;
  }
  if (c.en) {
    finding(chip::diag::kLockedField,
            std::string(regs_[idx].name) + " written while the channel is enabled (ignored)");
    return;
  }
  plain_write(idx, value, lanes);
}

void Dma::retarget(Chan& c) { c.target = resolve_ ? resolve_(c.paddr, &c.target_off) : nullptr; }

void Dma::enable(unsigned ch) {
  Chan& c = chan_[ch];
  c.ccr = val_[ccr_idx(ch)];
  c.ndt0 = val_[ccr_idx(ch) + 1] & 0xFFFFu;
  c.left = c.ndt0;
  c.paddr = val_[ccr_idx(ch) + 2];
  c.maddr = val_[ccr_idx(ch) + 3];
  const unsigned ps = (c.ccr >> 8) & 3u, ms = (c.ccr >> 10) & 3u;
  if (ps == 3 || ms == 3)
    finding(chip::diag::kReservedValue, "channel " + std::to_string(ch + 1) + ": reserved data size");
  c.psize = 1u << (ps == 3 ? 2 : ps);
  c.msize = 1u << (ms == 3 ? 2 : ms);
  c.cache_epoch = ~0ull;
  c.en = true;
  retarget(c);
  update_watch();
  if (c.ndt0 == 0)
    finding(chip::diag::kMisconfigured, "channel " + std::to_string(ch + 1) + " enabled with CNDTR = 0");
  if (c.ccr & kMEM2MEM) {
    while (c.en && c.left > 0) request(ch, now());
  }
}

bool Dma::mem_read(Chan& c, uint32_t addr, unsigned n, uint32_t* v) {
  if (c.cache_epoch != ctx_.epoch || addr < c.cache_addr || addr + n > c.cache_addr + c.cache_len) {
    // Fetch the rest of this pass at once: the CPU cannot change memory meanwhile.
    uint32_t len = n;
    if (c.ccr & kMINC) len = std::max<uint32_t>(n, std::min<uint32_t>(4096, c.left * c.msize));
    c.cache.resize(len);
    if (!ctx_.bus.read_mem(addr, c.cache.data(), len)) {
      if (len == n || !ctx_.bus.read_mem(addr, c.cache.data(), n)) return false;
      len = n;
    }
    c.cache_addr = addr;
    c.cache_len = len;
    c.cache_epoch = ctx_.epoch;
  }
  uint32_t x = 0;
  std::memcpy(&x, c.cache.data() + (addr - c.cache_addr), n);
  *v = x;
  return true;
}

bool Dma::mem_write(uint32_t addr, unsigned n, uint32_t v) {
  ++ctx_.epoch;
  return ctx_.bus.write_mem(addr, &v, n);
}

void Dma::transfer_error(unsigned ch, const std::string& why) {
  Chan& c = chan_[ch];
  c.en = false;
  val_[ccr_idx(ch)] &= ~kEN;
  val_[ccr_idx(ch) + 1] = c.left;
  update_watch();
  isr_ |= (kTEIF | kGIF) << (4 * ch);
  update_irq(ch);
  ctx_.bus.fault("DMA1 channel " + std::to_string(ch + 1) + ": " + why);
}

void Dma::request(unsigned ch, ns_t t) {
  (void)t;
  Chan& c = chan_[ch];
  if (!c.en || c.left == 0) return;
  uint32_t v = 0;
  const bool m2p = (c.ccr & kDIR) != 0;
  if (m2p) {
    if (!mem_read(c, c.maddr, c.msize, &v)) return transfer_error(ch, "read from unmapped memory");
    if (c.psize < 4) v &= (1u << (8 * c.psize)) - 1u;  // narrower destination keeps the low bytes
    if (c.target) {
      if (c.target->clocked()) c.target->dma_write(c.target_off, v, c.psize);
    } else if (!mem_write(c.paddr, c.psize, v)) {
      return transfer_error(ch, "write to unmapped address");
    }
  } else {
    if (c.target) {
      v = c.target->clocked() ? c.target->dma_read(c.target_off, c.psize) : 0;
    } else if (!ctx_.bus.read_mem(c.paddr, &v, c.psize)) {
      return transfer_error(ch, "read from unmapped address");
    }
    if (c.msize < 4) v &= (1u << (8 * c.msize)) - 1u;
    if (!mem_write(c.maddr, c.msize, v)) return transfer_error(ch, "write to unmapped memory");
  }
  if (c.ccr & kMINC) c.maddr += c.msize;
  if (c.ccr & kPINC) {
    c.paddr += c.psize;
    retarget(c);
  }
  ++c.transfers;
  --c.left;
  uint32_t fl = 0;
  if (c.left == c.ndt0 / 2) fl |= kHTIF;
  if (c.left == 0) {
    fl |= kTCIF;
    if (c.ccr & kCIRC) {
      c.left = c.ndt0;
      c.maddr = val_[ccr_idx(ch) + 3];
      if (c.paddr != val_[ccr_idx(ch) + 2]) {
        c.paddr = val_[ccr_idx(ch) + 2];
        retarget(c);
      }
    }
  }
  if (fl) {
    const uint32_t bits = (fl | kGIF) << (4 * ch);
    if ((isr_ & bits) != bits) {
      isr_ |= bits;
      update_irq(ch);
    }
  }
}

Dma::QuietItems Dma::quiet_items(unsigned ch, const RegBlock* target, uint32_t offset) {
  Chan& c = chan_[ch];
  QuietItems q;
  if (!c.en || c.left == 0 || !(c.ccr & kDIR) || (c.ccr & (kMEM2MEM | kPINC)) || c.target != target ||
      c.target_off != offset)
    return q;
  // The request that leaves `left` at half the count raises HT, the one that leaves 0 raises TC.
  const uint32_t half = c.ndt0 / 2;
  uint32_t n = c.left - 1;
  if (c.left > half) n = std::min(n, c.left - half - 1);
  if (n == 0) return q;
  uint32_t first = 0;
  if (!mem_read(c, c.maddr, c.msize, &first)) return q;  // fills the cache from maddr on
  q.stride = (c.ccr & kMINC) ? c.msize : 0;
  const uint32_t avail = (c.cache_addr + c.cache_len - c.maddr - c.msize) / std::max<uint32_t>(q.stride, 1);
  q.count = q.stride ? std::min(n, avail + 1) : n;
  q.data = c.cache.data() + (c.maddr - c.cache_addr);
  q.size = c.msize;
  q.mask = c.psize < 4 ? (1u << (8 * c.psize)) - 1u : 0xFFFFFFFFu;
  return q;
}

void Dma::quiet_done(unsigned ch, uint32_t k) {
  Chan& c = chan_[ch];
  if (c.ccr & kMINC) c.maddr += k * c.msize;
  c.transfers += k;
  c.left -= k;
}

// Memory-to-peripheral transfers run at the requesting timer's advance(), so
// they read guest memory late: the machine advances before a CPU store into
// the memory an enabled channel streams from.
void Dma::update_watch() {
  uint64_t lo = ~0ull, hi = 0;
  for (unsigned ch = 0; ch < kChannels; ++ch) {
    const Chan& c = chan_[ch];
    if (!c.en || !(c.ccr & kDIR) || (c.ccr & kMEM2MEM)) continue;
    const uint64_t first = val_[ccr_idx(ch) + 3];
    lo = std::min(lo, first);
    hi = std::max(hi, first + ((c.ccr & kMINC) ? uint64_t{c.ndt0} * c.msize : c.msize));
  }
  if (lo >= hi) lo = hi = 0;
  ctx_.bus.watch_stores(this, static_cast<uint32_t>(lo), static_cast<uint32_t>(std::min<uint64_t>(hi, ~0u)));
}

void Dma::update_irq(unsigned ch) {
  const uint32_t s = (isr_ >> (4 * ch)) & val_[ccr_idx(ch)] & 0xEu;
  ctx_.irq.set(irq_[ch], irq_src_, s != 0);
}

void Dma::on_advance(ns_t now) {
  for (unsigned ch = 0; ch < kChannels; ++ch) {
    if (!chan_[ch].en) continue;
    if (RequestSource* s = mux_.source(mux_.request_of(ch))) s->sync(now);
  }
}

ns_t Dma::next_event() const {
  ns_t best = kNever;
  for (unsigned ch = 0; ch < kChannels; ++ch) {
    const Chan& c = chan_[ch];
    if (!c.en || c.left == 0) continue;
    const unsigned req = mux_.request_of(ch);
    const RequestSource* src = mux_.source(req);
    if (!src) continue;
    const uint32_t ie = val_[ccr_idx(ch)], fl = isr_ >> (4 * ch);
    const uint32_t half = c.ndt0 / 2;
    if ((ie & kHTIF) && !(fl & kHTIF)) {
      uint64_t k = 0;
      if (c.left > half)
        k = c.left - half;
      else if (c.ccr & kCIRC)
        k = c.left + (c.ndt0 - half);
      if (k) best = std::min(best, src->request_time(req, k));
    }
    if ((ie & kTCIF) && !(fl & kTCIF)) best = std::min(best, src->request_time(req, c.left));
  }
  return best;
}

}  // namespace vboard::periph

// ------------------------------------------------------------------ state
#include "vboard/state.h"

namespace vboard::periph {

// The routing table is derived from the channel registers: rebuilt after a load.
void Dmamux::state(StateVisitor& v) {
  RegBlock::state(v);
  if (v.loading()) reroute();
}

// Each channel's target register block follows from its peripheral address
// and is looked up again after a load, as is the bus's watch of the memory the
// channels stream from; the memory a channel cached is read again.
void Dma::state(StateVisitor& v) {
  RegBlock::state(v);
  v("isr", isr_);
  for (unsigned ch = 0; ch < kChannels && !v.done(); ++ch) {
    StateVisitor::Scope at(v, "chan" + std::to_string(ch + 1));
    Chan& c = chan_[ch];
    v("en", c.en);
    v("ccr", c.ccr);
    v("ndt0", c.ndt0);
    v("left", c.left);
    v("maddr", c.maddr);
    v("paddr", c.paddr);
    v("msize", c.msize);
    v("psize", c.psize);
    v("transfers", c.transfers);
    if (v.loading()) {
      c.cache_epoch = ~0ull;
      retarget(c);
    }
  }
  if (v.loading() && v.ok()) update_watch();
}

}  // namespace vboard::periph
