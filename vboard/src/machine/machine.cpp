// The machine's construction, its reset to power-on and its end: the board
// from its factory, the image in flash, the engine (cpu_hooks.cpp) and the
// reset vector; at the end, the observers of ended machines (coverage).
#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

#include "machine/machine_impl.h"

namespace vboard {

using namespace core;

namespace {

// What Unicorn 2.0 reserves for translated code on a 64-bit host.
constexpr size_t kTranslatorBuffer = size_t{1} << 30;

struct EndObservers {
  std::mutex mu;
  std::vector<Machine::EndObserver> all;
};

EndObservers& end_observers() {
  static EndObservers o;
  return o;
}

}  // namespace

Machine::Impl::Impl(Machine& mm, const ChipFacts& chip)
    : m(mm),
      facts(chip),
      nvic(mm.opt_.break_tail_chain_order),
      exc({cpu, clock, nvic, scb, space, mm, log, *mm.image_, mm.opt_, margins}),
      blocks(space, *mm.image_) {
  scb.set_findings(&core_findings);
  nvic.stamp_pends(&clock);
}

Machine::Machine(const Image& image, MachineOptions options, const BoardFactory& factory)
    : image_(&image), opt_(std::move(options)), factory_(factory) {
  init();
}

void Machine::reset(const Image& image) {
  if (flash_written_) {
    const MemoryRegion& flash = d_->space.flash_map();
    opt_.flash.resize(flash.size);
    peek(flash.base, opt_.flash.data(), flash.size);
  }
  if (d_ && d_->cpu.uc) uc_close(d_->cpu.uc);
  d_.reset();
  devices_.clear();
  board_.reset();
  image_ = &image;
  init();
}

void Machine::reset(Image&& reread) {
  kept_images_.push_back(std::make_unique<const Image>(std::move(reread)));
  reset(*kept_images_.back());
}

void Machine::init() {
  // The board first: the chip it carries says what memory the core has. Its
  // models only read the run's options while they are built, so nothing is
  // logged before the image is loaded, as before.
  board_ = factory_(*this);
  d_ = std::make_unique<Impl>(*this, board_->chip_facts());
  Impl& d = *d_;
  d.space.load(*image_, d.log.faults);
  if (!opt_.flash.empty()) d.space.poke_flash(d.facts.flash.base, opt_.flash.data(), opt_.flash.size());

  devices_ = board_->devices();
  d.clocks = &board_->clocks();
  d.clock.hclk = d.clocks->hclk_hz();
  if (d.clock.hclk == 0) d.clock.hclk = d.facts.hsi_hz;
  d.space.map_devices(devices_, d.log.faults);
  // Faults of loading and mapping, before the run.
  d.log.tally.faults = d.log.faults.size();
  if (!d.log.faults.empty()) d.log.tally.last_fault = d.log.faults.back();

  for (const auto& p : opt_.pulses) board_->add_pulse(p);
  for (const auto& l : opt_.levels) board_->add_level(l);
  d.injections = opt_.inject_irqs;
  std::sort(d.injections.begin(), d.injections.end(),
            [](const auto& a, const auto& b) { return a.at < b.at; });
  d.prof.watch(opt_.profile_functions, *image_, d.log.notes);

  // Unicorn reserves its code translation buffer in uc_open and ends the whole
  // process when the system refuses it; asking first turns that into an
  // ordinary allocation failure the command line reports.
  void* probe = mmap(nullptr, kTranslatorBuffer, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (probe == MAP_FAILED) throw OutOfMemory("the emulator's 1 GiB code translation buffer");
  munmap(probe, kTranslatorBuffer);
  if (!d.open_engine()) return;

  // The reset vector: the initial main stack pointer and the entry point.
  uint32_t sp = 0, pc = 0;
  std::memcpy(&sp, d.space.flash(), 4);
  std::memcpy(&pc, d.space.flash() + 4, 4);
  d.cpu.set_reg(UC_ARM_REG_MSP, sp);
  d.cpu.set_reg(UC_ARM_REG_SP, sp);
  d.cpu.set_reg(UC_ARM_REG_PC, pc);
  d.margins.start(sp);
  if (const Symbol* s = image_->find(board_->heap_break_symbol()); s && !board_->heap_break_symbol().empty())
    d.margins.watch_heap_break(s->addr);
}

void Machine::observe_ends(EndObserver observer) {
  EndObservers& o = end_observers();
  std::lock_guard lock(o.mu);
  o.all.push_back(std::move(observer));
}

Machine::~Machine() {
  if (d_) {
    EndObservers& o = end_observers();
    std::vector<EndObserver> all;
    {
      std::lock_guard lock(o.mu);
      all = o.all;
    }
    if (!all.empty()) {
      const std::vector<BlockRun> runs = block_runs();
      for (const EndObserver& f : all) f(*image_, runs);
    }
  }
  if (d_ && d_->cpu.uc) uc_close(d_->cpu.uc);
}

ns_t Machine::now() const { return d_->now(); }
std::vector<BlockRun> Machine::block_runs() const { return d_->blocks.runs(); }
uint64_t Machine::instructions() const { return d_->clock.instr_now(); }
const std::vector<MmioWrite>& Machine::mmio_writes() const { return d_->space.writes(); }
const std::optional<Halt>& Machine::halt() const { return d_->log.halt; }
const RunTally& Machine::tally() const { return d_->log.tally; }

}  // namespace vboard
