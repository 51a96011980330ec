// The conformance cases by name, in the order the test image runs them; read
// by the suite (declared in cases_common.h, tabled in cases_common.cpp) and by
// the runners that report per case.
#pragma once

#define CONFORMANCE_CASES(X)                   \
  X(GpioWriteReadToggle)                       \
  X(ExtiOneCallbackPerEdgePendingClearedFirst) \
  X(TimerUpdateAfterPscTimesArrTicks)          \
  X(PwmDmaHalfAndFullEachPass)                 \
  X(PwmDmaStopDisablesTheChannel)              \
  X(PwmDmaSinglePassReleasesTheChannel)        \
  X(PwmChannelsKeepTheirOwnFields)             \
  X(TimerErrors)                               \
  X(UartErrors)                                \
  X(DmaErrors)                                 \
  X(ClockConfiguration)                        \
  X(ClockErrors)                               \
  X(PllLockTimeOut)                            \
  X(NvicTickAndDelay)
