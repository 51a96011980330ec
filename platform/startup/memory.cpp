// Block fill and copy for the images, one byte at a time. The C library's
// versions are unrolled for speed and cost some 600 bytes of flash; the images
// fill one 2036-byte frame once and move a few pointers when the pin registry
// grows, so the small loops cost microseconds once and save that flash.
// The compiler must not turn the loops back into calls of these very functions.
#include <cstddef>
#include <cstdint>

#define TESSEL_PLAIN_LOOP __attribute__((optimize("no-tree-loop-distribute-patterns")))

extern "C" {

TESSEL_PLAIN_LOOP void* memset(void* dest, int value, size_t n) {
  auto* d = static_cast<uint8_t*>(dest);
  for (size_t i = 0; i < n; ++i) {
    d[i] = static_cast<uint8_t>(value);
  }
  return dest;
}

// Copies forwards when the destination lies below the source and backwards
// otherwise, so overlapping blocks come out right either way.
TESSEL_PLAIN_LOOP void* memmove(void* dest, const void* src, size_t n) {
  auto* d = static_cast<uint8_t*>(dest);
  const auto* s = static_cast<const uint8_t*>(src);
  if (d < s) {
    for (size_t i = 0; i < n; ++i) {
      d[i] = s[i];
    }
  } else {
    while (n != 0U) {
      --n;
      d[n] = s[n];
    }
  }
  return dest;
}

TESSEL_PLAIN_LOOP void* memcpy(void* dest, const void* src, size_t n) { return memmove(dest, src, n); }

}  // extern "C"
