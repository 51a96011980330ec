// The register names of the chip implementation (platform/chip/src/regbits.h)
// against the vendor's SVD: each field's place and width, each flag's bit and
// each peripheral address the platform names. A wrong bit that no board
// happens to exercise today (a field written only as 0, a flag of a mode no
// board uses) is caught here, where no run of an image could tell.
#include <gtest/gtest.h>

#include <cstdint>

#include "regbits.h"

namespace {

struct Row {
  const char* name;   // in regbits.h
  const char* svd;    // what the SVD calls it
  uint64_t value;     // the compiled mask, field mask or address
  uint64_t expected;  // the same from the SVD
};

constexpr Row kRows[] = {
#include "regbits_svd_rows.inc"
};

TEST(RegisterNames, AgreeWithTheVendorsSvd) {
  for (const Row& r : kRows)
    EXPECT_EQ(r.value, r.expected) << r.name << " is not " << r.svd << " (mask or address, hex: " << std::hex
                                   << r.value << " against " << r.expected << ")";
}

}  // namespace
