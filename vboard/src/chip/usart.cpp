// USART: configuration registers, status flags and locked fields (no data path).
#include "chip/usart.h"

#include <string>

namespace vboard::periph {

namespace {
constexpr uint32_t kUE = 1u << 0, kRE = 1u << 2, kTE = 1u << 3, kFIFOEN = 1u << 29;
}  // namespace

Usart::Usart(Context& ctx, const desc::Peripheral& where)
    : RegBlock(ctx, where,
               {
                   {"CR1", 0x000, 0, 0xFFFFFFFF},
                   {"CR2", 0x004, 0, 0xFFFFFF79},
                   {"CR3", 0x008, 0, 0xFFFEFFFF},
                   {"BRR", 0x00C, 0, 0xFFFF},
                   {"GTPR", 0x010, 0, 0xFFFF},
                   {"RTOR", 0x014, 0, 0xFFFFFFFF},
                   {.name = "RQR", .offset = 0x018, .reset = 0, .wo = 0x1F},
                   // TC and TXE set after reset (the SVD's 0 is wrong).
                   {"ISR", 0x01C, 0x000000C0, 0, 0x0FFFFFFF},
                   {.name = "ICR", .offset = 0x020, .reset = 0, .wo = 0x00123BFF},
                   {"RDR", 0x024, 0, 0, 0x1FF},
                   {"TDR", 0x028, 0, 0x1FF},
                   {"PRESC", 0x02C, 0, 0xF},
               }) {}

uint32_t Usart::peek(unsigned idx) const {
  if (idx == kUISR) {
    const uint32_t cr1 = val_[kCR1];
    uint32_t v = 0xC0u;
    if (cr1 & kFIFOEN) v |= 1u << 23;               // TXFE: transmit FIFO empty
    if ((cr1 & kUE) && (cr1 & kTE)) v |= 1u << 21;  // TEACK
    if ((cr1 & kUE) && (cr1 & kRE)) v |= 1u << 22;  // REACK
    return v;
  }
  if (idx == kRQR || idx == kICR) return 0;
  return val_[idx];
}

void Usart::on_write(unsigned idx, uint32_t value, uint32_t lanes) {
  const bool ue = val_[kCR1] & kUE;
  const uint32_t old = val_[idx];
  if (idx == kUISR || idx == kRDR || idx == kRQR || idx == kICR) return;
  plain_write(idx, value, lanes);
  const uint32_t diff = old ^ val_[idx];
  // Fields that may only change while the USART is disabled (UE = 0).
  if (ue && idx == kCR1 && (diff & 0x33FF9E00u & ~kUE))
    finding(chip::diag::kLockedField, "CR1 frame/FIFO fields changed while UE = 1");
  if (ue && idx == kCR2 && diff) finding(chip::diag::kLockedField, "CR2 changed while UE = 1");
  if (ue && idx == kCR3 && (diff & 0xEE000000u))
    finding(chip::diag::kLockedField, "CR3 FIFO thresholds changed while UE = 1");
  if (ue && (idx == kBRR || idx == kPRESC) && diff)
    finding(chip::diag::kLockedField, std::string(regs_[idx].name) + " changed while UE = 1");
}

}  // namespace vboard::periph
