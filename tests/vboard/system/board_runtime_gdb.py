"""Checks of the boards' shared start-up code and system-call stubs, run inside
gdb-multiarch (loaded with -x) against `vboard IMAGE --gdb`, the image held at
reset. board_runtime_test.py starts the board and calls one group per session:

  reset_path()          on board_runtime_probe.elf: the reset path up to main
                        and after main returns;
  heap_limits()         on the probe: _sbrk at its limits;
  stubs_and_exit()      on the probe: the stubs' results, then _exit (which
                        ends the run in the board's halt detection);
  system_init_and_error_handler(), default_handler()
                        on a finished board image.

Each check prints one line, "PASS: what" or "FAIL: what"; a group that ran to
its end prints "DONE name". A function that does not return ends in a halt
loop, which the board reports to GDB as SIGABRT: the call then stops where the
CPU sits, and the checks look there.
"""
import gdb  # pylint: disable=import-error

RAM, RAM_END = 0x20000000, 0x20008000  # the boards' linker scripts: 32 KiB of RAM, stack at the top
STACK_RESERVE = 0x400  # _Min_Stack_Size: the heap must end this far below the top
CPACR = 0xE000E000 + 0xD88  # scs::kBase + scb::CPACR (core/armv7m_regs.h), out of reach of a GDB script
CPACR_FPU = 0x00F00000  # CP10 and CP11 full access
# CPACR holds only CP10 and CP11 on the board, as on the chip (the other fields
# read as zero and ignore writes), so a debugger cannot plant unrelated bits for
# SystemInit to keep. What shows that it keeps them is that it reads CPACR
# before it writes it: a read watchpoint stops there with the old value intact.
CPACR_PARTLY = 0x00100000  # CP10 privileged access only, CP11 denied
RAM_FILL = 0xA5  # what RAM holds before the reset path runs (written by the debugger)
BRANCH_TO_SELF = 0xE7FE  # "b ." in Thumb
ENOMEM, EINVAL = 12, 22
S_IFCHR = 0o020000


def expect(ok, what):
    print(("PASS: " if ok else "FAIL: ") + what, flush=True)


def run(command):
    return gdb.execute(command, to_string=True)


def u32(address):
    return int.from_bytes(bytes(gdb.selected_inferior().read_memory(address, 4)), "little")


def u16(address):
    return int.from_bytes(bytes(gdb.selected_inferior().read_memory(address, 2)), "little")


def read(address, n):
    return bytes(gdb.selected_inferior().read_memory(address, n))


def write(address, data):
    gdb.selected_inferior().write_memory(address, data)


def set_u32(address, value):
    write(address, (value & 0xFFFFFFFF).to_bytes(4, "little"))


def addr(symbol):
    return int(gdb.parse_and_eval("(unsigned int)&%s" % symbol))


def reg(name):
    return int(gdb.parse_and_eval("(unsigned int)$%s" % name))


def call(function, *args):
    """Calls function(args) on the board; returns r0 as a signed 32-bit value,
    or None if the call did not come back (the board stopped it in a halt loop)."""
    text = "((int (*)(%s))%s)(%s)" % (", ".join(["int"] * len(args)), function, ", ".join(str(a) for a in args))
    try:
        return int(gdb.parse_and_eval(text))
    except gdb.error as e:
        if "signaled while in a function called from GDB" in str(e):
            return None
        raise


def stuck_in(function):
    """True if the CPU sits on a branch to itself inside function."""
    pc = reg("pc")
    start = addr(function)
    return start <= pc < start + 0x100 and u16(pc) == BRANCH_TO_SELF


def halt_reason():
    return run("monitor diagnostics")


def done(name):
    print("DONE " + name, flush=True)


def reset_path():
    """From reset to main and past its return, with RAM filled with a pattern,
    CPACR's FPU fields partly set and a wrong stack pointer."""
    write(RAM, bytes([RAM_FILL]) * (RAM_END - RAM))
    set_u32(CPACR, CPACR_PARTLY)
    run("set $sp = 0x%x" % (RAM + 0x1000))
    expect(reg("sp") == RAM + 0x1000, "the debugger can give the core a wrong stack pointer at reset")

    run("rwatch *(unsigned int*)0x%x" % CPACR)
    run("continue")
    frame = gdb.selected_frame().name()
    expect(frame == "SystemInit", "SystemInit is the first code to read CPACR (read in %s)" % frame)
    expect(u32(CPACR) == CPACR_PARTLY, "SystemInit reads CPACR before it writes it (keeps what is there)")
    run("delete")
    expect(RAM_END - 64 <= reg("sp") <= RAM_END, "stack pointer from _estack in SystemInit (sp %#x)" % reg("sp"))
    expect(u32(addr("probe_data_word")) == RAM_FILL * 0x01010101, "SystemInit runs before .data is copied")
    run("finish")
    expect(u32(CPACR) == CPACR_FPU, "SystemInit sets CPACR bits 20-23 (CPACR %#x)" % u32(CPACR))
    expect(u32(addr("probe_data_word")) == RAM_FILL * 0x01010101, ".data is still uncopied when SystemInit returns")

    main = gdb.Breakpoint("main")
    run("continue")
    expect(gdb.selected_frame().name() == "main", "the reset path reaches main")
    sp = reg("sp")
    expect(RAM_END - 64 <= sp <= RAM_END, "stack at main is at the top of RAM (sp %#x)" % sp)
    expect(u32(CPACR) == CPACR_FPU, "CPACR at main is %#x, want %#x" % (u32(CPACR), CPACR_FPU))
    sdata, edata, sidata = addr("_sdata"), addr("_edata"), addr("_sidata")
    expect(edata > sdata and read(sdata, edata - sdata) == read(sidata, edata - sdata),
           ".data holds its load image when main starts")
    expect(u32(addr("probe_data_word")) == 0x12345678, "initialised word copied")
    expect(read(addr("probe_data_bytes"), 7) == bytes(range(1, 8)), "odd-sized .data block copied")
    sbss, ebss, ctor = addr("_sbss"), addr("_ebss"), addr("probe_ctor_value")
    dirty = [hex(a) for a in range(sbss, ebss, 4) if a != ctor and u32(a) != 0]
    expect(ebss > sbss and not dirty, ".bss is zero at main (not zero: %s)" % dirty)
    expect(u32(ctor) == 0xC0FFEE, "static constructors run after .bss is zeroed and before main")
    expect(u32(addr("probe_main_calls")) == 0, "main has not run before its first instruction")

    # main's return address: the instruction after the call in Reset_Handler_Body.
    run("tbreak *0x%x" % (reg("lr") & ~1))
    run("continue")
    expect(u32(addr("probe_main_calls")) == 1, "main ran once")
    expect(stuck_in("Reset_Handler_Body"), "after main returns the reset path sits on a branch to itself")
    pc = reg("pc")
    run("stepi 20")
    expect(reg("pc") == pc, "and stays there")
    # The rest of the run, with the breakpoint on main still set: a second call would stop there.
    # The end of the run (--for) is a stop first; continuing from there ends the run.
    run("continue")
    expect("has been reached" in run("monitor time"), "the run stops at its end for the debugger")
    run("continue")
    expect(gdb.selected_inferior().pid == 0 and main.hit_count == 1,
           "main is not called again (the run ended, main entered %d time(s))" % main.hit_count)
    done("reset_path")


def to_main():
    """Runs the reset path to main: RAM is initialised from there on."""
    run("tbreak main")
    run("continue")


def errno_address():
    return call("__errno") & 0xFFFFFFFF


def heap_limits():
    to_main()
    end, heap_end = addr("_end"), addr("__sbrk_heap_end")
    limit = RAM_END - STACK_RESERVE
    errno = errno_address()
    expect(addr("_estack") == RAM_END, "_estack is the top of RAM")
    expect(u32(heap_end) == 0, "heap end is null before the first request")
    expect(call("_sbrk", 0) == end, "first _sbrk(0) returns _end")
    expect(u32(heap_end) == end, "first _sbrk(0) sets the heap end to _end")
    expect(call("_sbrk", limit - end) == end, "a request ending exactly at the limit succeeds")
    expect(u32(heap_end) == limit, "heap end is then the limit")
    set_u32(errno, 0)
    expect(call("_sbrk", 1) == -1, "one byte past the limit fails with (void*)-1")
    expect(u32(errno) == ENOMEM, "a failed request sets errno to ENOMEM")
    expect(u32(heap_end) == limit, "a failed request leaves the heap end unchanged")
    expect(call("_sbrk", -16) == limit, "a negative request returns the old end")
    expect(call("_sbrk", 17) == -1, "growing back past the limit fails")
    expect(call("_sbrk", 16) == limit - 16, "growing back to the limit succeeds")
    set_u32(errno, 0)
    expect(call("_sbrk", 0x7FFFFFFF) == -1 and u32(heap_end) == limit and u32(errno) == ENOMEM,
           "a huge request fails with ENOMEM and leaves the heap end unchanged")
    done("heap_limits")


def stubs_and_exit():
    to_main()
    errno = errno_address()
    buf = RAM + 0x4000  # heap space: nothing lives there
    write(buf, b"\x5a" * 16)
    # Neither hook is linked. The linker turns a call to an undefined weak
    # function into a no-op, so a stub that called its absent hook would not
    # fault: _read would store what r0 still held, its file number. Hence a
    # file number that is not 0.
    for length in (5, 0, -3):
        expect(call("_write", 1, buf, length) == length, "_write without an output hook returns its length (%d)" % length)
    expect(call("_read", 7, buf, 8) == 8, "_read without an input hook returns its length")
    expect(read(buf, 16) == b"\x00" * 8 + b"\x5a" * 8, "_read without a hook stores exactly len zero bytes")
    expect(call("_close", 0) == -1, "_close returns -1")
    expect(call("_isatty", 0) == 1, "_isatty returns 1")
    expect(call("_lseek", 0, 10, 0) == 0, "_lseek returns 0")
    expect(call("_getpid") == 1, "_getpid returns 1")
    expect(call("probe_fstat_mode", 1) == S_IFCHR, "_fstat reports a character device")
    set_u32(errno, 0)
    expect(call("_kill", 1, 9) == -1 and u32(errno) == EINVAL, "_kill fails with EINVAL")

    set_u32(errno, 0)
    run("set $primask = 0")
    expect(call("_exit", 3) is None, "_exit does not return")
    expect(stuck_in("_exit"), "_exit ends on a branch to itself in _exit")
    expect("halt: exit in _exit" in halt_reason(), "the board saw _exit loop for ever")
    expect(u32(errno) == EINVAL, "_exit goes through _kill")
    expect(reg("primask") == 0, "_exit leaves interrupts enabled")
    done("stubs_and_exit")


def system_init_and_error_handler():
    """On a board image: SystemInit read-modify-writes CPACR, Error_Handler masks
    interrupts and stops."""
    set_u32(CPACR, CPACR_PARTLY)
    run("rwatch *(unsigned int*)0x%x" % CPACR)
    run("continue")
    frame = gdb.selected_frame().name()
    expect(frame == "SystemInit" and u32(CPACR) == CPACR_PARTLY,
           "SystemInit reads CPACR before it writes it (first read in %s)" % frame)
    run("delete")
    run("finish")
    expect(u32(CPACR) == CPACR_FPU, "SystemInit sets CPACR bits 20-23 (CPACR %#x)" % u32(CPACR))

    run("set $primask = 0")
    expect(call("Error_Handler") is None, "Error_Handler does not return")
    expect(reg("primask") == 1, "Error_Handler masks interrupts")
    expect(stuck_in("Error_Handler"), "Error_Handler ends on a branch to itself")
    expect("halt: error_handler in Error_Handler" in halt_reason(), "the board saw Error_Handler loop for ever")
    done("system_init_and_error_handler")


def default_handler():
    expect(call("Default_Handler") is None, "Default_Handler does not return")
    expect(stuck_in("Default_Handler"), "Default_Handler ends on a branch to itself")
    expect("halt: default_handler in Default_Handler" in halt_reason(), "the board saw Default_Handler loop for ever")
    done("default_handler")
