#include "core/profiler.h"
#include "vboard/state.h"

namespace vboard::core {

void Profiler::watch(const std::vector<std::string>& names, const Image& image,
                     std::vector<std::string>& notes) {
  for (const std::string& name : names) {
    const Symbol* s = image.find(name);
    FunctionStat fs;
    fs.name = name;
    stats_.push_back(fs);
    if (s && s->is_func)
      entry_[s->addr] = stats_.size() - 1;
    else
      notes.push_back("profile: no function named " + name);
  }
}

void Profiler::on_block(uint32_t addr, const Cpu& cpu, uint64_t instr_done, ns_t now, size_t depth,
                        const std::array<uint64_t, 16>& incl_by_depth) {
  while (!calls_.empty() && calls_.back().ret == addr) {
    Call c = calls_.back();
    calls_.pop_back();
    uint64_t nested = c.depth + 1 < incl_by_depth.size() ? incl_by_depth[c.depth + 1] - c.nested0 : 0;
    FunctionStat& f = stats_[c.fn];
    f.samples.push_back(instr_done - c.instr0 - nested);
    f.returns.push_back(uint64_t{cpu.reg(UC_ARM_REG_R0)} | (uint64_t{cpu.reg(UC_ARM_REG_R1)} << 32));
    f.return_ns.push_back(now);
    f.in_handler.push_back(c.depth > 0);
  }
  auto it = entry_.find(addr);
  if (it == entry_.end()) return;
  uint64_t n0 = depth + 1 < incl_by_depth.size() ? incl_by_depth[depth + 1] : 0;
  calls_.push_back({it->second, cpu.reg(UC_ARM_REG_LR) & ~1u, instr_done, depth, n0});
}

}  // namespace vboard::core

// ------------------------------------------------------------------ state

namespace vboard::core {

// The functions watched (entry_) come from the options and the image: wiring.
void Profiler::state(StateVisitor& v) {
  v.items("calls", calls_, [](StateVisitor& s, Call& c) {
    s("fn", c.fn);
    s("ret", c.ret);
    s("instr0", c.instr0);
    s("depth", c.depth);
    s("nested0", c.nested0);
  });
  v("stats", stats_);
}

}  // namespace vboard::core
