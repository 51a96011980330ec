// A DMA request line's issuer, as the DMA sees it: the one type the DMA
// needs from the peripherals that feed it.
#pragma once

#include <cstdint>

#include "vboard/device.h"

namespace vboard::periph {

// Who issues a DMA request line: lets the DMA predict when its k-th next
// request (and so its half/complete flags) will come.
class RequestSource {
 public:
  virtual ~RequestSource() = default;
  virtual void sync(ns_t t) = 0;
  // Earliest time of the k-th (k >= 1) future request `req`; kNever if none.
  virtual ns_t request_time(unsigned req, uint64_t k) const = 0;
};

}  // namespace vboard::periph
