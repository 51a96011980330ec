// USART: configuration registers, status flags and locked fields (no data path).
#include "chip/usart.h"

#include <string>

namespace vboard::periph {

namespace {
// Transmit and receive are idle: TC and TXE read 1 (after reset too: the SVD's 0 is wrong).
constexpr uint32_t kIdle = usart::isr::TC | usart::isr::TXE;

// CR1's frame, oversampling, driver enable and FIFO fields: they may only
// change while the USART is disabled (UE = 0).
constexpr uint32_t kCr1Locked = [] {
  using namespace usart::cr1;
  uint32_t m = PS | PCE | WAKE | M0 | OVER8 | M1 | FIFOEN.mask();
  for (unsigned n = 0; n < 5; ++n) m |= DEDTx(n) | DEATx(n);
  return m;
}();
}  // namespace

Usart::Usart(Context& ctx, const desc::Peripheral& where)
    : RegBlock(
          ctx, where,
          {
              {.name = "CR1", .offset = usart::CR1, .reset = 0, .rw = kWord},
              {.name = "CR2", .offset = usart::CR2, .reset = 0, .rw = usart::cr2::kFields},
              {.name = "CR3", .offset = usart::CR3, .reset = 0, .rw = usart::cr3::kFields},
              {.name = "BRR",
               .offset = usart::BRR,
               .reset = 0,
               .rw = usart::brr::DIV_Fraction | usart::brr::DIV_Mantissa},
              {.name = "GTPR", .offset = usart::GTPR, .reset = 0, .rw = usart::gtpr::PSC | usart::gtpr::GT},
              {.name = "RTOR", .offset = usart::RTOR, .reset = 0, .rw = kWord},
              {.name = "RQR", .offset = usart::RQR, .reset = 0, .wo = usart::rqr::kFields},
              {.name = "ISR", .offset = usart::ISR, .reset = kIdle, .ro = usart::isr::kFields},
              {.name = "ICR", .offset = usart::ICR, .reset = 0, .wo = usart::icr::kFields},
              {.name = "RDR", .offset = usart::RDR, .reset = 0, .ro = usart::rdr::RDR.mask()},
              {.name = "TDR", .offset = usart::TDR, .reset = 0, .rw = usart::tdr::TDR.mask()},
              {.name = "PRESC", .offset = usart::PRESC, .reset = 0, .rw = usart::presc::PRESCALER.mask()},
          }) {}

uint32_t Usart::peek(unsigned idx) const {
  switch (offset_of(idx)) {
    case usart::ISR: {
      using namespace usart;
      const uint32_t cr = val(CR1);
      const bool ue = cr1::UE.test(cr);
      return kIdle | isr::TXFE(cr1::FIFOEN.get(cr))  // transmit FIFO empty
             | isr::TEACK(ue && cr1::TE.test(cr)) | isr::REACK(ue && cr1::RE.test(cr));
    }
    case usart::RQR:
    case usart::ICR:
      return 0;
    default:
      return val_[idx];
  }
}

void Usart::on_write(unsigned idx, uint32_t value, uint32_t lanes) {
  const uint32_t off = offset_of(idx);
  if (off == usart::ISR || off == usart::RDR || off == usart::RQR || off == usart::ICR) return;
  const bool ue = usart::cr1::UE.test(val(usart::CR1));
  const uint32_t old = val_[idx];
  plain_write(idx, value, lanes);
  const uint32_t diff = old ^ val_[idx];
  if (!ue || diff == 0) return;
  // Fields that may only change while the USART is disabled (UE = 0).
  if (off == usart::CR1 && (diff & kCr1Locked))
    finding(chip::diag::kLockedField, "CR1 frame/FIFO fields changed while UE = 1");
  if (off == usart::CR2) finding(chip::diag::kLockedField, "CR2 changed while UE = 1");
  if (off == usart::CR3 && (diff & (usart::cr3::RXFTCFG | usart::cr3::TXFTCFG)))
    finding(chip::diag::kLockedField, "CR3 FIFO thresholds changed while UE = 1");
  if (off == usart::BRR || off == usart::PRESC)
    finding(chip::diag::kLockedField, std::string(regs_[idx].name) + " changed while UE = 1");
}

}  // namespace vboard::periph
