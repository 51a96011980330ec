// The minimal system calls that newlib's reentrant wrappers need on a board
// without an operating system. There is no console: output is discarded and
// input carries no data unless the image links a character hook
// (__io_putchar / __io_getchar), which neither board does.
#include <sys/stat.h>

#include <cerrno>
#include <csignal>

extern "C" {

// Optional character hooks. Weak and undefined unless some module supplies
// them, in which case the address is 0 and must not be called.
int __io_putchar(int ch) __attribute__((weak));
int __io_getchar() __attribute__((weak));

int _getpid() { return 1; }

int _kill(int pid, int sig) {
  (void)pid;
  (void)sig;
  errno = EINVAL;
  return -1;
}

// Reached from abort() (for instance when operator new finds the heap full).
// Interrupts stay enabled, so handlers keep running while the foreground stops.
__attribute__((noreturn)) void _exit(int status) {
  (void)_kill(status, -1);
  for (;;) {
    __asm volatile("" ::: "memory");
  }
}

// What the C library's abort does here, without its signal tables: no handler
// is ever installed, so raising SIGABRT goes straight to _kill (which fails),
// then the program ends in _exit(1). operator new calls this when the heap is
// full.
__attribute__((noreturn)) void abort() {
  (void)_kill(_getpid(), SIGABRT);
  _exit(1);
}

// Hands every byte to the output hook and reports all of them written. Without
// a hook the bytes are discarded.
int _write(int file, char* ptr, int len) {
  (void)file;
  if (__io_putchar != nullptr) {
    for (int i = 0; i < len; ++i) {
      (void)__io_putchar(ptr[i]);
    }
  }
  return len;
}

// Fills the buffer from the input hook and reports all of it read. Without a
// hook there is no input source: the bytes are set to 0 (they carry no data) and
// the length is still returned, as the run-time library expects of this stub.
int _read(int file, char* ptr, int len) {
  (void)file;
  for (int i = 0; i < len; ++i) {
    ptr[i] = __io_getchar != nullptr ? static_cast<char>(__io_getchar()) : '\0';
  }
  return len;
}

int _close(int file) {
  (void)file;
  return -1;
}

int _fstat(int file, struct stat* st) {
  (void)file;
  st->st_mode = S_IFCHR;
  return 0;
}

int _isatty(int file) {
  (void)file;
  return 1;
}

int _lseek(int file, int ptr, int dir) {
  (void)file;
  (void)ptr;
  (void)dir;
  return 0;
}

// The image is linked without the toolchain's crti/crtn start files, but
// __libc_init_array still calls _init (and exit would call _fini): both have
// nothing to do here.
void _init() {}
void _fini() {}

}  // extern "C"
