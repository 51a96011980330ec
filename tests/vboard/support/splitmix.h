// The fixed-seed generator of the fuzz runs: splitmix64, the same sequence on
// every platform and library, so that a failing run is the same run again.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vboard::test {

struct Rng {
  uint64_t s;
  uint64_t next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  size_t below(size_t n) { return static_cast<size_t>(next() % n); }
  bool one_in(size_t n) { return below(n) == 0; }
};

}  // namespace vboard::test
