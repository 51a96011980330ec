// DMAMUX request routing and the DMA1 controller. Transfers run inside the
// requesting timer's advance(): each request moves one item at once.
#include <algorithm>
#include <cstring>

#include "chip/dma.h"
#include "vboard/state.h"

namespace vboard::periph {

// ---------------------------------------------------------------- DMAMUX

namespace {
std::vector<RegDef> dmamux_regs() {
  using namespace dmamux;
  static const char* const kC[] = {"C0CR", "C1CR", "C2CR", "C3CR", "C4CR",  "C5CR",
                                   "C6CR", "C7CR", "C8CR", "C9CR", "C10CR", "C11CR"};
  std::vector<RegDef> r;
  // G431: 12 request-line channels; C12CR..C15CR are absent.
  // Only request routing is modelled: synchronisation, event generation and
  // the request generators are stored and reported when switched on.
  const UnmodelledField sync{cxcr::SE | cxcr::EGE,
                             "request synchronisation / event generation is not modelled"};
  const UnmodelledField gen{rgxcr::GE.mask(), "request generators are not modelled"};
  const uint32_t routing = cxcr::DMAREQ_ID | cxcr::SOIE | cxcr::SPOL | cxcr::NBREQ | cxcr::SYNC_ID.mask();
  for (unsigned i = 0; i < Dmamux::kChannels; ++i)
    r.push_back({.name = kC[i], .offset = CxCR(i), .reset = 0, .rw = routing, .unmodelled = {sync}});
  // Synchronisation overrun flags (never raised: synchronisation is not modelled), one per channel.
  const uint32_t overrun = Field{csr::SOF.pos, Dmamux::kChannels}.mask();
  r.push_back({.name = "CSR", .offset = CSR, .reset = 0, .ro = overrun});
  r.push_back({.name = "CFR", .offset = CFR, .reset = 0, .wo = overrun});
  static const char* const kRg[] = {"RG0CR", "RG1CR", "RG2CR", "RG3CR"};
  const uint32_t generator = rgxcr::SIG_ID | rgxcr::OIE | rgxcr::GPOL | rgxcr::GNBREQ.mask();
  for (unsigned i = 0; i < 4; ++i)
    r.push_back({.name = kRg[i], .offset = RGxCR(i), .reset = 0, .rw = generator, .unmodelled = {gen}});
  r.push_back({.name = "RGSR", .offset = RGSR, .reset = 0, .ro = rgsr::OF.mask()});
  r.push_back({.name = "RGCFR", .offset = RGCFR, .reset = 0, .wo = rgcfr::COF.mask()});
  return r;
}
}  // namespace

Dmamux::Dmamux(Context& ctx, const desc::Peripheral& where) : RegBlock(ctx, where, dmamux_regs()) {
  route_.fill(-1);
  sources_.fill(nullptr);
}

void Dmamux::on_write(unsigned idx, uint32_t value, uint32_t lanes) {
  plain_write(idx, value, lanes);  // status and clear registers: nothing is ever raised
  if (offset_of(idx) <= dmamux::CxCR(kChannels - 1)) reroute();
}

void Dmamux::reroute() {
  route_.fill(-1);
  for (int c = kChannels - 1; c >= 0; --c) {
    const unsigned id = request_of(static_cast<unsigned>(c));
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
using dma::ccrx::CIRC;
using dma::ccrx::DIR;
using dma::ccrx::EN;
using dma::ccrx::MEM2MEM;
using dma::ccrx::MINC;
using dma::ccrx::PINC;
// A channel's flags as ISR and IFCR hold channel 1's; channel ch's sit
// kFlagStep * ch bits higher.
constexpr uint32_t kGIF = dma::isr::GIFx(1).mask(), kTCIF = dma::isr::TCIFx(1).mask();
constexpr uint32_t kHTIF = dma::isr::HTIFx(1).mask(), kTEIF = dma::isr::TEIFx(1).mask();
constexpr uint32_t kChanFlags = kGIF | kTCIF | kHTIF | kTEIF;
constexpr unsigned kFlagStep = dma::isr::GIFx(2).pos - dma::isr::GIFx(1).pos;
// CCR's interrupt enables sit where the channel's flags do.
constexpr uint32_t kIrqFlags = kTCIF | kHTIF | kTEIF;
static_assert((dma::ccrx::TCIE | dma::ccrx::HTIE | dma::ccrx::TEIE.mask()) == kIrqFlags);
constexpr uint32_t kChanStride = dma::CCRx(2) - dma::CCRx(1);
// A data size code of CCR.PSIZE/MSIZE that is reserved, and the one the model takes for it (32 bits).
constexpr unsigned kSizeReserved = 3, kSizeWord = 2;

uint32_t chan_flags(uint32_t reg, unsigned ch) { return (reg >> (kFlagStep * ch)) & kChanFlags; }
uint32_t at_chan(uint32_t flags, unsigned ch) { return flags << (kFlagStep * ch); }
// The bits of an item of `bytes` bytes.
uint32_t item_mask(unsigned bytes) { return Field{0, 8 * bytes}.mask(); }

std::vector<RegDef> dma_regs() {
  using namespace dma;
  static const char* const kNames[Dma::kChannels][4] = {
      {"CCR1", "CNDTR1", "CPAR1", "CMAR1"}, {"CCR2", "CNDTR2", "CPAR2", "CMAR2"},
      {"CCR3", "CNDTR3", "CPAR3", "CMAR3"}, {"CCR4", "CNDTR4", "CPAR4", "CMAR4"},
      {"CCR5", "CNDTR5", "CPAR5", "CMAR5"}, {"CCR6", "CNDTR6", "CPAR6", "CMAR6"}};
  // G431: six channels; CCR7/CCR8 and their flags are absent.
  uint32_t flags = 0;
  for (unsigned ch = 0; ch < Dma::kChannels; ++ch) flags |= at_chan(kChanFlags, ch);
  std::vector<RegDef> r = {{.name = "ISR", .offset = ISR, .reset = 0, .ro = flags},
                           {.name = "IFCR", .offset = IFCR, .reset = 0, .wo = flags}};
  const uint32_t ccr = ccrx::EN | ccrx::TCIE | ccrx::HTIE | ccrx::TEIE | ccrx::DIR | ccrx::CIRC | ccrx::PINC |
                       ccrx::MINC | ccrx::PSIZE | ccrx::MSIZE | ccrx::PL | ccrx::MEM2MEM.mask();
  for (unsigned n = 0; n < Dma::kChannels; ++n) {
    r.push_back({.name = kNames[n][0], .offset = CCRx(n + 1), .reset = 0, .rw = ccr});
    r.push_back({.name = kNames[n][1], .offset = CNDTRx(n + 1), .reset = 0, .rw = cndtrx::NDT.mask()});
    r.push_back({.name = kNames[n][2], .offset = CPARx(n + 1), .reset = 0, .rw = cparx::PA.mask()});
    r.push_back({.name = kNames[n][3], .offset = CMARx(n + 1), .reset = 0, .rw = cmarx::MA.mask()});
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

// The channel (from 0) a channel register belongs to, and its offset as channel 1's (CCR1, CNDTR1, ...).
unsigned Dma::chan_of(uint32_t offset) { return (offset - dma::CCR1) / kChanStride; }
uint32_t Dma::as_chan1(uint32_t offset) { return offset - kChanStride * chan_of(offset); }

uint32_t Dma::peek(unsigned idx) const {
  const uint32_t off = offset_of(idx);
  if (off == dma::ISR) return isr_;
  if (off == dma::IFCR) return 0;
  const Chan& c = chan_[chan_of(off)];
  if (as_chan1(off) == dma::CNDTR1 && c.en) return c.left;
  return val_[idx];
}

void Dma::clear_flags(uint32_t v) {
  for (unsigned ch = 0; ch < kChannels; ++ch) {
    uint32_t clr = chan_flags(v, ch);
    if (clr & kGIF) clr = kChanFlags;
    if (!clr) continue;
    isr_ &= ~at_chan(clr, ch);
    // GIF stays while any other flag of the channel does.
    if (chan_flags(isr_, ch) & kIrqFlags)
      isr_ |= at_chan(kGIF, ch);
    else
      isr_ &= ~at_chan(kGIF, ch);
    update_irq(ch);
  }
}

void Dma::on_write(unsigned idx, uint32_t value, uint32_t lanes) {
  const uint32_t off = offset_of(idx);
  if (off == dma::ISR) return;
  if (off == dma::IFCR) return clear_flags(value & lanes);
  const unsigned ch = chan_of(off);
  Chan& c = chan_[ch];
  if (as_chan1(off) == dma::CCR1) {
    const uint32_t old = val_[idx];
    uint32_t nv = merged(idx, value, lanes);
    if (EN.test(old) && ((nv ^ old) & ~EN.mask() & regs_[idx].stored())) {
      finding(chip::diag::kLockedField,
              "CCR" + std::to_string(ch + 1) + " fields written while EN = 1 (ignored)");
      nv = EN.put(old, EN.get(nv));
    }
    val_[idx] = nv;
    if (EN.test(nv) && !EN.test(old)) {
      enable(ch);
    } else if (!EN.test(nv) && EN.test(old)) {
      c.en = false;
      set(dma::CNDTRx(ch + 1), c.left);
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
  c.ccr = val(dma::CCRx(ch + 1));
  c.ndt0 = dma::cndtrx::NDT.get(val(dma::CNDTRx(ch + 1)));
  c.left = c.ndt0;
  c.paddr = val(dma::CPARx(ch + 1));
  c.maddr = val(dma::CMARx(ch + 1));
  const unsigned ps = dma::ccrx::PSIZE.get(c.ccr), ms = dma::ccrx::MSIZE.get(c.ccr);
  if (ps == kSizeReserved || ms == kSizeReserved)
    finding(chip::diag::kReservedValue, "channel " + std::to_string(ch + 1) + ": reserved data size");
  // Size code n moves 2^n bytes.
  c.psize = 1u << (ps == kSizeReserved ? kSizeWord : ps);
  c.msize = 1u << (ms == kSizeReserved ? kSizeWord : ms);
  c.cache_epoch = ~0ull;
  c.en = true;
  retarget(c);
  update_watch();
  if (c.ndt0 == 0)
    finding(chip::diag::kMisconfigured, "channel " + std::to_string(ch + 1) + " enabled with CNDTR = 0");
  if (MEM2MEM.test(c.ccr)) {
    while (c.en && c.left > 0) request(ch, now());
  }
}

bool Dma::mem_read(Chan& c, uint32_t addr, unsigned n, uint32_t* v) {
  if (c.cache_epoch != ctx_.epoch || addr < c.cache_addr || addr + n > c.cache_addr + c.cache_len) {
    // Fetch the rest of this pass at once: the CPU cannot change memory meanwhile.
    uint32_t len = n;
    if (MINC.test(c.ccr)) len = std::max<uint32_t>(n, std::min<uint32_t>(4096, c.left * c.msize));
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
  set(dma::CCRx(ch + 1), EN.put(val(dma::CCRx(ch + 1)), 0));
  set(dma::CNDTRx(ch + 1), c.left);
  update_watch();
  isr_ |= at_chan(kTEIF | kGIF, ch);
  update_irq(ch);
  ctx_.bus.fault("DMA1 channel " + std::to_string(ch + 1) + ": " + why);
}

void Dma::request(unsigned ch, ns_t t) {
  (void)t;
  Chan& c = chan_[ch];
  if (!c.en || c.left == 0) return;
  uint32_t v = 0;
  const bool m2p = DIR.test(c.ccr);
  if (m2p) {
    if (!mem_read(c, c.maddr, c.msize, &v)) return transfer_error(ch, "read from unmapped memory");
    v &= item_mask(c.psize);  // narrower destination keeps the low bytes
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
    v &= item_mask(c.msize);
    if (!mem_write(c.maddr, c.msize, v)) return transfer_error(ch, "write to unmapped memory");
  }
  if (MINC.test(c.ccr)) c.maddr += c.msize;
  if (PINC.test(c.ccr)) {
    c.paddr += c.psize;
    retarget(c);
  }
  ++c.transfers;
  --c.left;
  uint32_t fl = 0;
  if (c.left == c.ndt0 / 2) fl |= kHTIF;
  if (c.left == 0) {
    fl |= kTCIF;
    if (CIRC.test(c.ccr)) {
      c.left = c.ndt0;
      c.maddr = val(dma::CMARx(ch + 1));
      if (c.paddr != val(dma::CPARx(ch + 1))) {
        c.paddr = val(dma::CPARx(ch + 1));
        retarget(c);
      }
    }
  }
  if (fl) {
    const uint32_t bits = at_chan(fl | kGIF, ch);
    if ((isr_ & bits) != bits) {
      isr_ |= bits;
      update_irq(ch);
    }
  }
}

Dma::QuietItems Dma::quiet_items(unsigned ch, const RegBlock* target, uint32_t offset) {
  Chan& c = chan_[ch];
  QuietItems q;
  if (!c.en || c.left == 0 || !DIR.test(c.ccr) || (c.ccr & (MEM2MEM | PINC)) || c.target != target ||
      c.target_off != offset)
    return q;
  // The request that leaves `left` at half the count raises HT, the one that leaves 0 raises TC.
  const uint32_t half = c.ndt0 / 2;
  uint32_t n = c.left - 1;
  if (c.left > half) n = std::min(n, c.left - half - 1);
  if (n == 0) return q;
  uint32_t first = 0;
  if (!mem_read(c, c.maddr, c.msize, &first)) return q;  // fills the cache from maddr on
  q.stride = MINC.test(c.ccr) ? c.msize : 0;
  const uint32_t avail = (c.cache_addr + c.cache_len - c.maddr - c.msize) / std::max<uint32_t>(q.stride, 1);
  q.count = q.stride ? std::min(n, avail + 1) : n;
  q.data = c.cache.data() + (c.maddr - c.cache_addr);
  q.size = c.msize;
  q.mask = item_mask(c.psize);
  return q;
}

void Dma::quiet_done(unsigned ch, uint32_t k) {
  Chan& c = chan_[ch];
  if (MINC.test(c.ccr)) c.maddr += k * c.msize;
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
    if (!c.en || !DIR.test(c.ccr) || MEM2MEM.test(c.ccr)) continue;
    const uint64_t first = val(dma::CMARx(ch + 1));
    lo = std::min(lo, first);
    hi = std::max(hi, first + (MINC.test(c.ccr) ? uint64_t{c.ndt0} * c.msize : c.msize));
  }
  if (lo >= hi) lo = hi = 0;
  ctx_.bus.watch_stores(this, static_cast<uint32_t>(lo), static_cast<uint32_t>(std::min<uint64_t>(hi, ~0u)));
}

void Dma::update_irq(unsigned ch) {
  const uint32_t s = chan_flags(isr_, ch) & val(dma::CCRx(ch + 1)) & kIrqFlags;
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
    const uint32_t ie = val(dma::CCRx(ch + 1)), fl = chan_flags(isr_, ch);
    const uint32_t half = c.ndt0 / 2;
    if (dma::ccrx::HTIE.test(ie) && !(fl & kHTIF)) {
      uint64_t k = 0;
      if (c.left > half)
        k = c.left - half;
      else if (CIRC.test(c.ccr))
        k = c.left + (c.ndt0 - half);
      if (k) best = std::min(best, src->request_time(req, k));
    }
    if (dma::ccrx::TCIE.test(ie) && !(fl & kTCIF)) best = std::min(best, src->request_time(req, c.left));
  }
  return best;
}

}  // namespace vboard::periph

// ------------------------------------------------------------------ state

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
