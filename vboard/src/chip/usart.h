// USART: configuration registers, status flags and locked fields (no data path).
#pragma once

#include "chip/regblock.h"

namespace vboard::periph {

class Usart : public RegBlock {
 public:
  Usart(Context& ctx, const desc::Peripheral& where);

 protected:
  uint32_t peek(unsigned idx) const override;
  void on_write(unsigned idx, uint32_t value, uint32_t lanes) override;
};

}  // namespace vboard::periph
