// A minimal image around the boards' shared start-up code and system-call
// stubs, run on the virtual board and checked through its GDB server by
// tests/vboard/system/board_runtime_test.py. Its main only records that it ran; the
// globals below show whether the reset path copied .data, zeroed .bss and ran
// the static initialisers, in that order.
#include <sys/stat.h>

#include <cstdint>

extern "C" {

// Initialised data, including an odd-sized block.
volatile uint32_t probe_data_word = 0x12345678U;
volatile uint8_t probe_data_bytes[7] = {1, 2, 3, 4, 5, 6, 7};

// Zero-initialised data.
volatile uint32_t probe_bss_words[16];
volatile uint32_t probe_main_calls;

// Set by a static initialiser; zeroing .bss after it ran would undo it.
volatile uint32_t probe_ctor_value;

int _write(int file, char* ptr, int len);
int _read(int file, char* ptr, int len);
int _close(int file);
int _fstat(int file, struct stat* st);
int _isatty(int file);
int _lseek(int file, int ptr, int dir);
int _getpid();
int _kill(int pid, int sig);
void _exit(int status);
void* _sbrk(ptrdiff_t incr);

// st_mode as _fstat leaves it, so the test need not know newlib's layout.
uint32_t probe_fstat_mode(int file) {
  struct stat st = {};
  (void)_fstat(file, &st);
  return st.st_mode;
}

// Keeps every stub in the image for the test to call.
__attribute__((used)) void* const probe_stubs[] = {
    reinterpret_cast<void*>(_write), reinterpret_cast<void*>(_read),
    reinterpret_cast<void*>(_close), reinterpret_cast<void*>(_isatty),
    reinterpret_cast<void*>(_lseek), reinterpret_cast<void*>(_getpid),
    reinterpret_cast<void*>(_kill),  reinterpret_cast<void*>(_exit),
    reinterpret_cast<void*>(_sbrk),  reinterpret_cast<void*>(probe_fstat_mode),
};
}

__attribute__((constructor)) static void probe_ctor() { probe_ctor_value = 0xC0FFEEU; }

// Everything the test inspects is referenced from here, so the linker's
// section garbage collection keeps it.
volatile uintptr_t probe_sink;

int main() {
  probe_main_calls = probe_main_calls + 1U;
  uintptr_t sum = probe_data_word + probe_data_bytes[6] + probe_bss_words[15];
  for (void* const stub : probe_stubs) {
    sum += reinterpret_cast<uintptr_t>(stub);
  }
  probe_sink = sum;
  return 0;
}
