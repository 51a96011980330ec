// The boards' Error_Handler lives in main.cpp, which the host tests do not link
// (it holds main). A board initialiser that reaches this stub has had a HAL call
// fail: the test process stops with a message naming the failure.
#include <cstdio>
#include <cstdlib>

#include "main.h"

extern "C" void Error_Handler(void) {
  std::fputs("Error_Handler: a board initialiser's platform call failed\n", stderr);
  std::abort();
}
