#!/usr/bin/env python3
"""Link-time checks of the board run-time:

1. The board linker script refuses an image whose data leaves less than
   _Min_Heap_Size + _Min_Stack_Size of RAM, and accepts one that leaves exactly that.
2. The system-call stubs never call through an absent character hook: built
   with -mlong-calls (every call through a register, as a far or differently
   linked image would have it), the stubs show no call to address 0, while a
   plain unguarded version of the same stubs is caught by the same check (so
   the check itself is known to work).

usage: board_link_check.py --cxx arm-none-eabi-g++ --script BOARD.ld --sections-dir DIR --syscalls syscalls.cpp"""

import argparse
import os
import subprocess
import sys
import tempfile

from elf32 import Elf32, calls_to_zero

CPU = ["-mcpu=cortex-m4", "-mthumb", "-mfpu=fpv4-sp-d16", "-mfloat-abi=hard"]
CXXFLAGS = CPU + ["-std=c++20", "-Os", "-ffunction-sections", "-fdata-sections", "-fno-exceptions", "-fno-rtti"]

RAM_SIZE = 0x8000
RESERVED = 0x200 + 0x400  # _Min_Heap_Size + _Min_Stack_Size

RAM_HOG = """
volatile unsigned char ram_hog[%d];
extern "C" void Reset_Handler() { for (;;) { ram_hog[0] = 1; } }
"""

# The stubs as commonly generated: the hooks are weak and called unconditionally.
UNGUARDED_STUBS = """
extern "C" {
int __io_putchar(int ch) __attribute__((weak));
int __io_getchar() __attribute__((weak));
int _write(int, char* ptr, int len) { for (int i = 0; i < len; ++i) __io_putchar(ptr[i]); return len; }
int _read(int, char* ptr, int len) { for (int i = 0; i < len; ++i) ptr[i] = (char)__io_getchar(); return len; }
}
"""


def compile_and_link(cxx, tmp, name, source_text=None, source_file=None, extra_cflags=(), link_flags=()):
    src = source_file
    if source_text is not None:
        src = os.path.join(tmp, name + ".cpp")
        with open(src, "w") as f:
            f.write(source_text)
    obj = os.path.join(tmp, name + ".o")
    elf = os.path.join(tmp, name + ".elf")
    subprocess.run([cxx, *CXXFLAGS, *extra_cflags, "-c", src, "-o", obj], check=True)
    link = subprocess.run([cxx, *CPU, "--specs=nano.specs", "-nostartfiles", "-Wl,--gc-sections", obj, "-o", elf,
                           *link_flags], capture_output=True, text=True)
    return link, elf


def check_reservation(args, tmp, failures):
    script = ["-T" + os.path.abspath(args.script), "-L" + os.path.abspath(args.sections_dir)]
    fits = RAM_SIZE - RESERVED
    link, elf = compile_and_link(args.cxx, tmp, "fits", source_text=RAM_HOG % fits, link_flags=script)
    if link.returncode != 0:
        failures.append(f"{fits:#x} bytes of .bss leave exactly the reservation but the link failed:\n{link.stderr}")
    elif Elf32.load(elf).symbol_map()["_end"].value != 0x20000000 + fits:
        failures.append("the probe's .bss did not take the RAM it was meant to")
    link, _ = compile_and_link(args.cxx, tmp, "too_big", source_text=RAM_HOG % (fits + 4), link_flags=script)
    if link.returncode == 0:
        failures.append(f"{fits + 4:#x} bytes of .bss leave too little for heap and stack, yet the link succeeded")
    elif "not enough RAM" not in link.stderr and "overflowed" not in link.stderr:
        failures.append(f"the too-big link failed for another reason:\n{link.stderr}")


def check_null_hook_calls(args, tmp, failures):
    roots = ["-Wl,-e,_write", "-Wl,--undefined=_read", "-Wl,-Ttext=0x08000000"]
    for label, text, path in (("unguarded", UNGUARDED_STUBS, None), ("board", None, args.syscalls)):
        for flags in ((), ("-mlong-calls",)):
            link, elf = compile_and_link(args.cxx, tmp, f"{label}{len(flags)}", source_text=text, source_file=path,
                                         extra_cflags=flags, link_flags=roots)
            if link.returncode != 0:
                failures.append(f"{label} stubs {flags}: link failed:\n{link.stderr}")
                continue
            found = calls_to_zero(elf)
            if label == "board" and found:
                failures.append(f"board stubs {flags} can call address 0: {found}")
            if label == "unguarded" and flags:
                hit = {f.split(" @")[0] for f in found}
                if hit != {"_write", "_read"}:
                    failures.append(f"the check missed a call to address 0 in unguarded stubs (found {found})")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cxx", default="arm-none-eabi-g++")
    parser.add_argument("--script", required=True)
    parser.add_argument("--sections-dir", required=True)
    parser.add_argument("--syscalls", required=True)
    args = parser.parse_args()

    failures = []
    with tempfile.TemporaryDirectory() as tmp:
        check_reservation(args, tmp, failures)
        check_null_hook_calls(args, tmp, failures)
    for failure in failures:
        print("FAIL:", failure)
    print("link checks:", "%d failure(s)" % len(failures) if failures else "all passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
