#!/usr/bin/env python3
"""Round trip of the rear strip's data line through a decoder no one here wrote.

Runs the rear image on the virtual board with the three lines changing (so the
run holds several colours and frames torn by a repaint), writes PA7 as a VCD,
decodes that VCD with sigrok-cli's WS281x decoder and checks that it gives the
same colours, LED for LED and frame for frame, as the virtual board's own strip
frames from the JSON report.

usage: sigrok_roundtrip_test.py VBOARD REAR_ELF WORKDIR
"""
import json
import os
import subprocess
import sys


def fail(msg):
    print("FAIL: " + msg)
    sys.exit(1)


def main():
    if len(sys.argv) != 4:
        print(__doc__)
        sys.exit(64)
    vboard, elf, work = sys.argv[1:]
    os.makedirs(work, exist_ok=True)
    vcd = os.path.join(work, "rear_pa7.vcd")
    run = subprocess.run(
        [vboard, elf, "--for", "13ms", "--set", "PB5=0@3ms", "--set", "PB6=0@6.3ms", "--set", "PB4=0@9ms",
         "--vcd", vcd, "--vcd-pins", "PA7", "--json"],
        capture_output=True, text=True)
    if run.returncode != 0:
        fail("vboard exited %d: %s" % (run.returncode, run.stderr.strip()))
    ours = [["#%02x%02x%02x" % tuple(c) for c in f["colors"]] for f in json.loads(run.stdout)["strip"]["frames"]]

    # The trace as vboard writes it by default (10 ns timescale, a 100 MHz
    # sample rate for sigrok), read as it is.
    with open(vcd) as f:
        head = f.read(4096)
    if "$timescale 10ns $end" not in head:
        fail("the trace does not have the default 10 ns timescale")
    dec = subprocess.run(
        ["sigrok-cli", "-I", "vcd", "-i", vcd, "-P", "rgb_led_ws281x:din=PA7", "-A", "rgb_led_ws281x=rgb:reset"],
        capture_output=True, text=True)
    if dec.returncode != 0:
        fail("sigrok-cli exited %d: %s" % (dec.returncode, dec.stderr.strip()))
    theirs, frame = [], []
    for line in dec.stdout.splitlines():
        value = line.split(":", 1)[1].strip()
        if value == "RESET":
            theirs.append(frame)
            frame = []
        elif value.startswith("#"):
            frame.append(value)
        else:
            fail("unexpected decoder output: " + line)
    # LEDs after the last reset belong to a frame the run ended in: neither side
    # has latched it. sigrok calls a frame ended after 50 us of low, the strip
    # after 280 us: a run that ends inside that gap leaves one frame that only
    # sigrok has finished.
    partial = len(frame)
    if not 0 <= len(theirs) - len(ours) <= 1:
        fail("frames: virtual board %d, sigrok %d" % (len(ours), len(theirs)))
    for i, (a, b) in enumerate(zip(ours, theirs)):
        if len(a) != len(b):
            fail("frame %d: virtual board %d LEDs, sigrok %d" % (i, len(a), len(b)))
        for k, (x, y) in enumerate(zip(a, b)):
            if x != y:
                fail("frame %d LED %d: virtual board %s, sigrok %s" % (i, k, x, y))

    # The comparison is worth something only if the run shows several colours
    # and at least one frame torn by a repaint.
    colours = {c for f in ours for c in f}
    torn = sum(1 for f in ours if len(set(f)) > 1)
    if len(ours) < 4 or len(colours) < 4 or torn < 1:
        fail("run too plain to compare: %d frames, %d colours, %d torn" % (len(ours), len(colours), torn))
    print("sigrok-cli rgb_led_ws281x and the virtual board agree on %d frames x %d LEDs "
          "(%d colours, %d frames torn by a repaint); not compared: %d LEDs of the frame the run ended in"
          % (len(ours), len(ours[0]), len(colours), torn, partial))


main()
