// Register names of the Cortex-M4's own peripherals, written from the ARMv7-M
// Architecture Reference Manual (B3.2 System Control Space, B3.3 SysTick, B3.4
// NVIC, C1.6 debug registers, C1.8 DWT) and the Cortex-M4 TRM (ACTLR, the FPU's
// registers): the vendor's SVD covers none of them. Same form as
// chip/stm32g431_regs.h: a namespace per block, register offsets, a nested
// namespace per register with its fields (core::Field).
//
// Offsets of the blocks inside the System Control Space (SysTick, NVIC, SCB,
// FPU, debug) count from scs::kBase, as the ARM ARM's table of the SCS and the
// NVIC and SysTick register tables do; the DWT's from dwt::kBase. The private
// peripheral bus itself (kPpbBase), the exception numbers and the CFSR masks
// the fault code uses are in core/layout.h.
#pragma once

#include <cstdint>

#include "core/layout.h"
#include "core/reg_field.h"

namespace vboard::core {

// The System Control Space: ACTLR, SysTick, NVIC, SCB, debug, FPU, STIR.
namespace scs {
inline constexpr uint32_t kBase = kPpbBase + 0xE000;  // 0xE000E000
inline constexpr uint32_t ICTR = 0x004;               // interrupt controller type
inline constexpr uint32_t ACTLR = 0x008;              // auxiliary control (Cortex-M4 TRM 4.3.1)

namespace ictr {
inline constexpr Field INTLINESNUM{0, 4};  // 32 * (n + 1) interrupt lines
}  // namespace ictr

namespace actlr {
inline constexpr Field DISMCYCINT{0, 1};
inline constexpr Field DISDEFWBUF{1, 1};
inline constexpr Field DISFOLD{2, 1};
inline constexpr Field DISFPCA{8, 1};
inline constexpr Field DISOOFP{9, 1};
}  // namespace actlr
}  // namespace scs

// SysTick timer (from scs::kBase).
namespace systick {
inline constexpr uint32_t CTRL = 0x010;
inline constexpr uint32_t LOAD = 0x014;
inline constexpr uint32_t VAL = 0x018;
inline constexpr uint32_t CALIB = 0x01C;

namespace ctrl {
inline constexpr Field ENABLE{0, 1};
inline constexpr Field TICKINT{1, 1};
inline constexpr Field CLKSOURCE{2, 1};  // 1: the processor clock; 0: the external reference
inline constexpr Field COUNTFLAG{16, 1};
}  // namespace ctrl

namespace load {
inline constexpr Field RELOAD{0, 24};
}  // namespace load

namespace val {
inline constexpr Field CURRENT{0, 24};
}  // namespace val

namespace calib {
inline constexpr Field TENMS{0, 24};
inline constexpr Field SKEW{30, 1};
inline constexpr Field NOREF{31, 1};
}  // namespace calib
}  // namespace systick

// NVIC (from scs::kBase). The state views hold a bit per interrupt: IRQ m is
// irq_bit(m) of word m / 32 (ISERx(m / 32), ICERx(m / 32), ...); the priority
// registers a byte per interrupt: irq_priority(m) of IPRx(m / 4).
namespace nvic {
inline constexpr uint32_t ISER0 = 0x100;  // set-enable, words 0..7
inline constexpr uint32_t ICER0 = 0x180;  // clear-enable
inline constexpr uint32_t ISPR0 = 0x200;  // set-pending
inline constexpr uint32_t ICPR0 = 0x280;  // clear-pending
inline constexpr uint32_t IABR0 = 0x300;  // active
inline constexpr uint32_t IPR0 = 0x400;   // priority, words 0..123
inline constexpr uint32_t STIR = 0xF00;   // software trigger
constexpr uint32_t ISERx(unsigned n) { return ISER0 + 4u * n; }
constexpr uint32_t ICERx(unsigned n) { return ICER0 + 4u * n; }
constexpr uint32_t ISPRx(unsigned n) { return ISPR0 + 4u * n; }
constexpr uint32_t ICPRx(unsigned n) { return ICPR0 + 4u * n; }
constexpr uint32_t IABRx(unsigned n) { return IABR0 + 4u * n; }
constexpr uint32_t IPRx(unsigned n) { return IPR0 + 4u * n; }
constexpr Field irq_bit(unsigned irq) { return {irq % 32u, 1}; }
constexpr Field irq_priority(unsigned irq) { return {8u * (irq % 4u), 8}; }
// The STM32G4 implements the upper four bits of each priority byte (16 levels);
// the same bits of BASEPRI.
inline constexpr Field kImplementedPriority{4, 4};

namespace stir {
inline constexpr Field INTID{0, 9};
}  // namespace stir
}  // namespace nvic

// System control block (from scs::kBase).
namespace scb {
inline constexpr uint32_t CPUID = 0xD00;
inline constexpr uint32_t ICSR = 0xD04;
inline constexpr uint32_t VTOR = 0xD08;
inline constexpr uint32_t AIRCR = 0xD0C;
inline constexpr uint32_t SCR = 0xD10;
inline constexpr uint32_t CCR = 0xD14;
inline constexpr uint32_t SHPR1 = 0xD18;  // priorities of exceptions 4..7
inline constexpr uint32_t SHPR2 = 0xD1C;  // 8..11
inline constexpr uint32_t SHPR3 = 0xD20;  // 12..15
inline constexpr uint32_t SHCSR = 0xD24;
inline constexpr uint32_t CFSR = 0xD28;
inline constexpr uint32_t HFSR = 0xD2C;
inline constexpr uint32_t DFSR = 0xD30;
inline constexpr uint32_t MMFAR = 0xD34;
inline constexpr uint32_t BFAR = 0xD38;
inline constexpr uint32_t AFSR = 0xD3C;
inline constexpr uint32_t ID_PFR0 = 0xD40;  // processor features: ID_PFR0 .. ID_ISAR4 at 0xD40..0xD70
inline constexpr uint32_t CPACR = 0xD88;
// The SHPR word holding system exception `exc`'s priority (4 <= exc <= 15), and its byte there.
constexpr uint32_t SHPR_of(unsigned exc) { return SHPR1 + 4u * (exc / 4u - 1u); }
constexpr Field exc_priority(unsigned exc) { return {8u * (exc % 4u), 8}; }

namespace cpuid {
inline constexpr Field REVISION{0, 4};
inline constexpr Field PARTNO{4, 12};
inline constexpr Field ARCHITECTURE{16, 4};
inline constexpr Field VARIANT{20, 4};
inline constexpr Field IMPLEMENTER{24, 8};
// What the STM32G4's core reads: ARM (0x41), Cortex-M4 (0xC24), r0p1.
inline constexpr uint32_t kCortexM4r0p1 = 0x410FC241;
}  // namespace cpuid

namespace icsr {
inline constexpr Field VECTACTIVE{0, 9};
inline constexpr Field RETTOBASE{11, 1};
inline constexpr Field VECTPENDING{12, 9};
inline constexpr Field ISRPENDING{22, 1};
inline constexpr Field ISRPREEMPT{23, 1};
inline constexpr Field PENDSTCLR{25, 1};
inline constexpr Field PENDSTSET{26, 1};
inline constexpr Field PENDSVCLR{27, 1};
inline constexpr Field PENDSVSET{28, 1};
inline constexpr Field NMIPENDSET{31, 1};
}  // namespace icsr

namespace vtor {
inline constexpr Field TBLOFF{7, 25};
}  // namespace vtor

namespace aircr {
inline constexpr Field VECTRESET{0, 1};
inline constexpr Field VECTCLRACTIVE{1, 1};
inline constexpr Field SYSRESETREQ{2, 1};
inline constexpr Field PRIGROUP{8, 3};
inline constexpr Field ENDIANNESS{15, 1};
inline constexpr Field VECTKEY{16, 16};
inline constexpr uint32_t kVectKey = 0x05FA;      // what a write must hold in VECTKEY
inline constexpr uint32_t kVectKeyStat = 0xFA05;  // what VECTKEY reads
}  // namespace aircr

namespace scr {
inline constexpr Field SLEEPONEXIT{1, 1};
inline constexpr Field SLEEPDEEP{2, 1};
inline constexpr Field SEVONPEND{4, 1};
}  // namespace scr

namespace ccr {
inline constexpr Field NONBASETHRDENA{0, 1};
inline constexpr Field USERSETMPEND{1, 1};
inline constexpr Field UNALIGN_TRP{3, 1};
inline constexpr Field DIV_0_TRP{4, 1};
inline constexpr Field BFHFNMIGN{8, 1};
inline constexpr Field STKALIGN{9, 1};
}  // namespace ccr

namespace shcsr {
inline constexpr Field MEMFAULTACT{0, 1};
inline constexpr Field BUSFAULTACT{1, 1};
inline constexpr Field USGFAULTACT{3, 1};
inline constexpr Field SVCALLACT{7, 1};
inline constexpr Field MONITORACT{8, 1};
inline constexpr Field PENDSVACT{10, 1};
inline constexpr Field SYSTICKACT{11, 1};
inline constexpr Field USGFAULTPENDED{12, 1};
inline constexpr Field MEMFAULTPENDED{13, 1};
inline constexpr Field BUSFAULTPENDED{14, 1};
inline constexpr Field SVCALLPENDED{15, 1};
inline constexpr Field MEMFAULTENA{16, 1};
inline constexpr Field BUSFAULTENA{17, 1};
inline constexpr Field USGFAULTENA{18, 1};
}  // namespace shcsr

// MemManage (MMFSR), BusFault (BFSR) and UsageFault (UFSR) status in one word.
namespace cfsr {
inline constexpr Field MMFSR{0, 8};
inline constexpr Field BFSR{8, 8};
inline constexpr Field UFSR{16, 16};
inline constexpr Field IACCVIOL{0, 1};
inline constexpr Field DACCVIOL{1, 1};
inline constexpr Field MUNSTKERR{3, 1};
inline constexpr Field MSTKERR{4, 1};
inline constexpr Field MLSPERR{5, 1};
inline constexpr Field MMARVALID{7, 1};
inline constexpr Field IBUSERR{8, 1};
inline constexpr Field PRECISERR{9, 1};
inline constexpr Field IMPRECISERR{10, 1};
inline constexpr Field UNSTKERR{11, 1};
inline constexpr Field STKERR{12, 1};
inline constexpr Field LSPERR{13, 1};
inline constexpr Field BFARVALID{15, 1};
inline constexpr Field UNDEFINSTR{16, 1};
inline constexpr Field INVSTATE{17, 1};
inline constexpr Field INVPC{18, 1};
inline constexpr Field NOCP{19, 1};
inline constexpr Field UNALIGNED{24, 1};
inline constexpr Field DIVBYZERO{25, 1};
}  // namespace cfsr

namespace hfsr {
inline constexpr Field VECTTBL{1, 1};
inline constexpr Field FORCED{30, 1};
inline constexpr Field DEBUGEVT{31, 1};
}  // namespace hfsr

namespace dfsr {
inline constexpr Field HALTED{0, 1};
inline constexpr Field BKPT{1, 1};
inline constexpr Field DWTTRAP{2, 1};
inline constexpr Field VCATCH{3, 1};
inline constexpr Field EXTERNAL{4, 1};
}  // namespace dfsr

// Access to coprocessor n is CPx(n); the FPU is CP10 and CP11, granted alike.
namespace cpacr {
constexpr Field CPx(unsigned n) { return {2u * n, 2}; }
inline constexpr Field CP10 = CPx(10);
inline constexpr Field CP11 = CPx(11);
// Values of CPx.
namespace cpx {
inline constexpr uint32_t Denied = 0;
inline constexpr uint32_t Privileged = 1;
inline constexpr uint32_t Full = 3;
}  // namespace cpx
}  // namespace cpacr
}  // namespace scb

// Debug registers of the SCS (from scs::kBase).
namespace coredebug {
inline constexpr uint32_t DHCSR = 0xDF0;
inline constexpr uint32_t DCRSR = 0xDF4;
inline constexpr uint32_t DCRDR = 0xDF8;
inline constexpr uint32_t DEMCR = 0xDFC;

namespace dhcsr {
inline constexpr Field C_DEBUGEN{0, 1};
inline constexpr Field C_HALT{1, 1};
inline constexpr Field C_STEP{2, 1};
inline constexpr Field C_MASKINTS{3, 1};
inline constexpr Field C_SNAPSTALL{5, 1};
inline constexpr Field S_REGRDY{16, 1};
inline constexpr Field S_HALT{17, 1};
inline constexpr Field S_SLEEP{18, 1};
inline constexpr Field S_LOCKUP{19, 1};
inline constexpr Field S_RETIRE_ST{24, 1};
inline constexpr Field S_RESET_ST{25, 1};
inline constexpr Field DBGKEY{16, 16};  // a write acts only with this key; reads give the S_ bits
inline constexpr uint32_t kDbgKey = 0xA05F;
}  // namespace dhcsr

namespace demcr {
inline constexpr Field VC_CORERESET{0, 1};
inline constexpr Field VC_MMERR{4, 1};
inline constexpr Field VC_NOCPERR{5, 1};
inline constexpr Field VC_CHKERR{6, 1};
inline constexpr Field VC_STATERR{7, 1};
inline constexpr Field VC_BUSERR{8, 1};
inline constexpr Field VC_INTERR{9, 1};
inline constexpr Field VC_HARDERR{10, 1};
inline constexpr Field MON_EN{16, 1};
inline constexpr Field MON_PEND{17, 1};
inline constexpr Field MON_STEP{18, 1};
inline constexpr Field MON_REQ{19, 1};
inline constexpr Field TRCENA{24, 1};  // enables the DWT (and ITM)
}  // namespace demcr
}  // namespace coredebug

// Floating-point extension (from scs::kBase); CPACR is in scb.
namespace fpu {
inline constexpr uint32_t FPCCR = 0xF34;
inline constexpr uint32_t FPCAR = 0xF38;
inline constexpr uint32_t FPDSCR = 0xF3C;
inline constexpr uint32_t MVFR0 = 0xF40;
inline constexpr uint32_t MVFR1 = 0xF44;

namespace fpccr {
inline constexpr Field LSPACT{0, 1};
inline constexpr Field USER{1, 1};
inline constexpr Field THREAD{3, 1};
inline constexpr Field HFRDY{4, 1};
inline constexpr Field MMRDY{5, 1};
inline constexpr Field BFRDY{6, 1};
inline constexpr Field MONRDY{8, 1};
inline constexpr Field LSPEN{30, 1};
inline constexpr Field ASPEN{31, 1};
}  // namespace fpccr

namespace fpcar {
inline constexpr Field ADDRESS{3, 29};
}  // namespace fpcar

// The media and FP feature registers of the Cortex-M4's single-precision FPU
// (Cortex-M4 TRM 7.3): 16 double registers, single precision, divide, square
// root and every rounding mode (MVFR0); flush-to-zero, default NaN, half
// precision and fused multiply-accumulate (MVFR1).
namespace mvfr0 {
inline constexpr uint32_t kCortexM4 = 0x10110021;
}  // namespace mvfr0

namespace mvfr1 {
inline constexpr uint32_t kCortexM4 = 0x11000011;
}  // namespace mvfr1

namespace fpdscr {
inline constexpr Field RMODE{22, 2};
inline constexpr Field FZ{24, 1};
inline constexpr Field DN{25, 1};
inline constexpr Field AHP{26, 1};
}  // namespace fpdscr
}  // namespace fpu

// Data watchpoint and trace unit: the cycle counter.
namespace dwt {
inline constexpr uint32_t kBase = kPpbBase + 0x1000;  // 0xE0001000
inline constexpr uint32_t CTRL = 0x000;
inline constexpr uint32_t CYCCNT = 0x004;

namespace ctrl {
inline constexpr Field CYCCNTENA{0, 1};
inline constexpr Field NUMCOMP{28, 4};
}  // namespace ctrl
}  // namespace dwt

// The program status word, as the exception frame stacks it.
namespace xpsr {
inline constexpr Field EXCEPTION{0, 9};  // IPSR: the exception being handled, 0 in Thread mode
inline constexpr Field SPREALIGN{9, 1};  // stacked copy only: the frame was realigned by 4 bytes
inline constexpr Field ICI_IT_LO{10, 6};
inline constexpr Field GE{16, 4};
inline constexpr Field T{24, 1};
inline constexpr Field ICI_IT_HI{25, 2};
inline constexpr Field Q{27, 1};
inline constexpr Field NZCV{28, 4};
}  // namespace xpsr

// The special registers (MRS, MSR) that mask exceptions and choose the stack.
namespace primask {
inline constexpr Field PM{0, 1};  // 1: only NMI and HardFault are taken
}  // namespace primask

namespace faultmask {
inline constexpr Field FM{0, 1};  // 1: only NMI is taken
}  // namespace faultmask

namespace control {
inline constexpr Field nPRIV{0, 1};  // 1: Thread mode is unprivileged
inline constexpr Field SPSEL{1, 1};  // 1: Thread mode uses the process stack
inline constexpr Field FPCA{2, 1};   // 1: the FP registers hold a context
}  // namespace control

// The exception frame: R0-R3, R12, LR, PC, xPSR; the extended one adds S0-S15,
// FPSCR and a reserved word.
namespace frame {
inline constexpr uint32_t kBasicBytes = 8 * 4;
inline constexpr uint32_t kExtendedBytes = (8 + 16 + 2) * 4;
}  // namespace frame

// The value in LR on exception entry; a branch to it returns from the exception.
namespace exc_return {
inline constexpr uint32_t kPrefix = 0xFFFFFFE0;  // bits that are ones in every EXC_RETURN
inline constexpr Field SPSEL{2, 1};              // 1: return to the process stack
inline constexpr Field MODE{3, 1};               // 1: return to Thread mode
inline constexpr Field FTYPE{4, 1};              // 0: the frame holds the FP registers
inline constexpr uint32_t kHandlerMsp = 0xFFFFFFF1;
inline constexpr uint32_t kThreadMsp = 0xFFFFFFF9;
inline constexpr uint32_t kThreadPsp = 0xFFFFFFFD;
}  // namespace exc_return

// 16-bit Thumb encodings the machine recognises in the instruction stream.
namespace thumb {
inline constexpr uint16_t NOP = 0xBF00;
inline constexpr uint16_t YIELD = 0xBF10;
inline constexpr uint16_t WFE = 0xBF20;
inline constexpr uint16_t WFI = 0xBF30;
inline constexpr uint16_t SEV = 0xBF40;
inline constexpr uint16_t CPSID_I = 0xB672;
inline constexpr uint16_t B_SELF = 0xE7FE;  // b . (a branch to itself)

// A halfword pattern: the bits `select` picks out equal `bits`.
struct Pattern {
  uint16_t select;
  uint16_t bits;
  constexpr bool matches(uint16_t hw) const { return (hw & select) == bits; }
};

// A halfword whose top five bits are 0b11101 or more starts a 32-bit instruction.
inline constexpr Field kWidthBits{11, 5};
inline constexpr uint32_t kFirstWide = 0b11101;

// Coprocessor instructions (LDC, STC, MCRR, MRRC, CDP, MCR, MRC; ARM ARM
// A6.3.18): the first halfword is 1110 11xx xxxx xxxx. The coprocessor
// number is bits 11..8 of the second; the FPU's, 10 and 11, share bits 11..9.
inline constexpr Pattern kCoprocessor{0xFC00, 0xEC00};
inline constexpr Field kCoprocessorPair{9, 3};
inline constexpr uint32_t kFpuCoprocessors = 0b101;  // cp10, cp11

// Store-exclusive (ARM ARM A6.3.4): STREX's first halfword (Rn in bits 3..0),
// and the first halfword of STREXB/STREXH/STREXD, whose op3 (bits 7..4 of
// the second halfword) says which.
inline constexpr Pattern kStrex{0xFFF0, 0xE840};
inline constexpr Pattern kStrexBHD{0xFFF0, 0xE8C0};
inline constexpr Field kExclusiveOp{4, 4};
namespace exclusive_op {
inline constexpr uint32_t STREXB = 4;
inline constexpr uint32_t STREXH = 5;
inline constexpr uint32_t STREXD = 7;
}  // namespace exclusive_op
}  // namespace thumb

}  // namespace vboard::core
