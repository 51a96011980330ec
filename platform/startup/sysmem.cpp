// Heap growth for newlib's allocator. The heap starts at _end (the end of
// .bss) and may grow up to _Min_Stack_Size bytes below the top of RAM; the
// stack below _estack is not guarded beyond that reservation.
#include <cerrno>
#include <cstddef>
#include <cstdint>

extern "C" {

// Linker-script symbols: only their addresses carry meaning.
extern uint8_t _end;             // first byte after .bss
extern uint32_t _estack;         // top of RAM
extern uint8_t _Min_Stack_Size;  // absolute symbol: its address is the stack reservation in bytes

// Current end of the heap; null until the first request. Foreground only: the
// allocator is never used from an interrupt handler.
uint8_t* __sbrk_heap_end = nullptr;

// Returns the previous heap end and advances it by incr, or sets ENOMEM and
// returns (void*)-1 with the heap end unchanged if the new end would lie above
// the stack reservation. Reaching the limit exactly is allowed.
void* _sbrk(ptrdiff_t incr) {
  const uintptr_t limit =
      reinterpret_cast<uintptr_t>(&_estack) - reinterpret_cast<uintptr_t>(&_Min_Stack_Size);

  if (__sbrk_heap_end == nullptr) {
    __sbrk_heap_end = &_end;
  }

  // Unsigned address arithmetic, as the chip sees it.
  if (reinterpret_cast<uintptr_t>(__sbrk_heap_end) + static_cast<uintptr_t>(incr) > limit) {
    errno = ENOMEM;
    return reinterpret_cast<void*>(-1);
  }

  uint8_t* const previous_end = __sbrk_heap_end;
  __sbrk_heap_end =
      reinterpret_cast<uint8_t*>(reinterpret_cast<uintptr_t>(previous_end) + static_cast<uintptr_t>(incr));
  return previous_end;
}

}  // extern "C"
