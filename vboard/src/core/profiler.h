// Instructions per call of named functions: a call is seen at the function's
// first block, its return when the core comes back to the return address;
// instructions of exceptions taken meanwhile are left out.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/cpu.h"
#include "vboard/image.h"
#include "vboard/run_result.h"

namespace vboard::core {

class Profiler {
 public:
  // One FunctionStat per name; a note for each name that is not a function.
  void watch(const std::vector<std::string>& names, const Image& image, std::vector<std::string>& notes);
  bool active() const { return !entry_.empty(); }
  // At each block start. incl_by_depth: instructions of completed exceptions
  // per nesting depth (from the exception unit).
  void on_block(uint32_t addr, const Cpu& cpu, uint64_t instr_done, ns_t now, size_t depth,
                const std::array<uint64_t, 16>& incl_by_depth);
  const std::vector<FunctionStat>& stats() const { return stats_; }
  // Its mutable state, for saving, loading and comparing (vboard/state.h).
  void state(StateVisitor& v);

 private:
  struct Call {
    size_t fn;
    uint32_t ret;
    uint64_t instr0;
    size_t depth;
    uint64_t nested0;
  };
  std::unordered_map<uint32_t, size_t> entry_;
  std::vector<Call> calls_;
  std::vector<FunctionStat> stats_;
};

}  // namespace vboard::core
