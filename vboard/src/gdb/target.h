// What the GDB server needs from a debuggable target: the Cortex-M register
// file in the order of the target description, memory, break- and watchpoints,
// resuming until something stops it, and `monitor` commands. The virtual board
// implements it over its machine; the server's tests implement it over a fake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace vboard::gdb {

// Register numbers as the target description (target_xml) declares them.
enum Reg : unsigned {
  kR0 = 0,
  kSp = 13,
  kLr = 14,
  kPc = 15,
  kXpsr = 16,
  kD0 = 17,  // d0..d15: 17..32, 64 bits each
  kFpscr = 33,
  kMsp = 34,
  kPsp = 35,
  kPrimask = 36,
  kBasepri = 37,
  kFaultmask = 38,
  kControl = 39,
  kNumRegs = 40
};
inline size_t reg_bytes(unsigned n) { return n >= kD0 && n < kD0 + 16 ? 8 : 4; }

enum class PointKind { software = 0, hardware = 1, write = 2, read = 3, access = 4 };

struct StopInfo {
  enum class Kind {
    breakpoint,     // a software or hardware breakpoint; `hardware` tells which
    step,           // a single step finished
    watchpoint,     // `kind` (write/read/access) at `addr`
    interrupted,    // the client interrupted the run
    halted,         // the image stopped in a halt loop (Error_Handler, a fault handler, ...)
    end_reached,    // the run reached the end it was given; resuming ends it
    history_start,  // running backwards reached the start of the recorded history
    exited          // the run is over; `exit_code` is the command's exit status
  };
  Kind kind = Kind::interrupted;
  bool hardware = false;
  PointKind watch = PointKind::write;
  uint32_t addr = 0;
  int exit_code = 0;
};

class Target {
 public:
  virtual ~Target() = default;
  virtual bool read_register(unsigned n, uint64_t& value) = 0;
  virtual bool write_register(unsigned n, uint64_t value) = 0;
  // Debugger accesses: may be partial; returns the number of bytes done.
  virtual size_t read_memory(uint32_t addr, uint8_t* dst, size_t n) = 0;
  virtual size_t write_memory(uint32_t addr, const uint8_t* src, size_t n) = 0;
  virtual bool insert_point(PointKind kind, uint32_t addr, uint32_t len) = 0;
  virtual bool remove_point(PointKind kind, uint32_t addr, uint32_t len) = 0;
  // Runs one instruction (step) or until something stops the target. Calls
  // `interrupted` now and then; when it returns true the run stops with
  // Kind::interrupted.
  virtual StopInfo resume(bool step, const std::function<bool()>& interrupted) = 0;
  // Reverse execution (GDB's bs and bc): one instruction back, or back to the
  // last breakpoint or watchpoint stop; Kind::history_start at the start of
  // what the target recorded. A target without a history says so here.
  virtual bool can_reverse() const { return false; }
  virtual StopInfo reverse(bool step, const std::function<bool()>& interrupted) {
    (void)step;
    (void)interrupted;
    StopInfo s;
    s.kind = StopInfo::Kind::history_start;
    return s;
  }
  // Text for `monitor CMD`; false when the command is unknown or malformed
  // (the text then says why).
  virtual bool monitor(const std::string& command, std::string& output) = 0;
  // The client is gone: remove every break- and watchpoint (detach) or end
  // the run where it is (kill).
  virtual void detach() = 0;
  virtual void kill() = 0;
};

// The Cortex-M target description: org.gnu.gdb.arm.m-profile, .vfp, .m-system.
const std::string& target_xml();

}  // namespace vboard::gdb
