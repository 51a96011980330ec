#!/usr/bin/env python3
"""The live board (`vboard IMAGE --serve`) in a real browser: Debian's chromium,
headless, driven by chromium-driver through python3-selenium.

  serve_browser_test.py VBOARD FIRMWARE_DIR OUT_DIR [--pictures DIR] [--only stub|front|rear|halt]

- stub: the page against a scripted server on 127.0.0.1 (StubBoard) that says
  what the board drives, the pace achieved, the recording's limits, and closes
  the connection in each way a real one may: the page shows what the server
  says (not what was clicked), refuses an unusable pulse beside its field,
  asks before a reset discards inputs, keeps its messages off the controls
  (wide and narrow), disables inputs while disconnected, retries with growing
  waits, and stops at a refusal (1013) with its reason and a Reconnect button;

- front: a 1500 us pulse lights both lights within 150 ms of virtual time, a
  1200 us pulse darkens them within 150 ms;
- rear: a click on PB5's switch draws the strip red;
- each: "save as scenario" (paused), and `vboard --scenario` replays the saved
  file to the same pins and frames (the same JSON, but for what depends on how
  the run was sliced: wall time, idle-loop instructions, idle time);
- a halted image (an injected fault) shows the report's halt words, and reset
  stays possible;
- a WebSocket upgrade with a foreign Origin and a request with a foreign Host
  are refused.
Screenshots go to OUT_DIR (live_front.png, live_rear.png, live_rear_narrow.png, live_ninth.png, live_halt.png,
stub_wide.png, stub_narrow.png, stub_refused.png), and with --pictures the
live_* ones also to DIR (docs/pictures, to refresh the committed ones).
"""
import base64
import difflib
import hashlib
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import struct
import threading
import time
import urllib.request
from pathlib import Path

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select

failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


class Board:
    """One `vboard --serve` process on a free port."""

    def __init__(self, vboard, image, *extra):
        self.proc = subprocess.Popen([vboard, image, "--serve", "--serve-port", "0", "--serve-for", "300s", *extra],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        m = re.search(r"http://127\.0\.0\.1:(\d+)/", line)
        if not m:
            self.proc.kill()
            raise SystemExit("no URL from vboard --serve: %r %s" % (line, self.proc.stderr.read()))
        self.port = int(m.group(1))
        self.url = "http://127.0.0.1:%d/" % self.port

    def report(self):
        with urllib.request.urlopen(self.url + "report.json", timeout=30) as r:
            return json.loads(r.read())

    def stop(self):
        self.proc.terminate()
        out, err = self.proc.communicate(timeout=30)
        return self.proc.returncode, out + err


def comparable(doc):
    """A report as the live run and its replay agree on it: the wall time differs, and
    so does why the board is in use (recognised live, named by the file's board: on replay)."""
    doc.pop("wall_s", None)
    doc.get("board", {}).pop("why", None)
    return doc


def browser():
    o = Options()
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1400,1150",
              "--disable-dev-shm-usage", "--hide-scrollbars"):
        o.add_argument(a)
    o.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    return webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"), options=o)


def wait_for(driver, script, timeout=10.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        v = driver.execute_script("return " + script)
        if v:
            return v
        time.sleep(0.02)
    return None


def save_and_replay(driver, board, vboard, image, out_dir, name, paused=False):
    if not paused:
        driver.find_element(By.ID, "run-pause").click()  # pause: the saved scenario ends where the report is taken
    wait_for(driver, "window.vb.state === 'paused'")
    driver.find_element(By.ID, "scenario-name").clear()
    driver.execute_script("window.vb.scenario = ''")
    driver.find_element(By.ID, "scenario-name").send_keys(name)
    driver.find_element(By.ID, "save").click()
    yaml = wait_for(driver, "window.vb.scenario")
    check(bool(yaml), name + ": the page got the saved scenario")
    path = Path(out_dir) / (name + ".yaml")
    path.write_text(yaml)
    live = board.report()
    p = subprocess.run([vboard, image, "--scenario", str(path), "--json"], capture_output=True, text=True,
                       timeout=300)
    check(p.returncode == 0, name + ": --scenario replays the saved file (exit %d: %s)" % (p.returncode, p.stderr[-400:]))
    if p.returncode == 0:
        replayed = json.loads(p.stdout)
        same = comparable(replayed) == comparable(live)
        check(same, name + ": the replay's pins, frames and registers are the live run's")
        if "strip" in live:
            check(replayed["strip"]["frames"] == live["strip"]["frames"], name + ": the same strip frames")
    if not paused:
        driver.find_element(By.ID, "run-pause").click()
    return yaml


def virtual_edge(report, pin, level, after):
    for t, l in report["pins"].get(pin, []):
        if t >= after and l == level:
            return t
    return None


def applied_times(yaml, what):
    """Virtual times of the steps of the saved scenario whose text holds `what`."""
    t, out = 0, []
    units = {"ns": 1, "us": 1000, "ms": 1000000, "s": 1000000000}
    for line in yaml.splitlines():
        m = re.match(r"\s*- delay: (\d+)(ns|us|ms|s)?$", line)
        if m:
            t += int(m.group(1)) * units[m.group(2) or "ns"]
        elif what in line:
            out.append(t)
    return out


def front(driver, vboard, fw, out_dir, pictures):
    image = str(Path(fw) / "front_lamp.elf")
    board = Board(vboard, image)
    try:
        driver.get(board.url)
        check(bool(wait_for(driver, "window.vb.connected && window.vb.parts.length")), "front: the page connects")
        lamps = "document.querySelectorAll('.lamp.lit').length"
        width, period = driver.find_element(By.ID, "pulse-width-PA0"), driver.find_element(By.ID, "pulse-period-PA0")
        check(width.get_attribute("value") == "" and period.get_attribute("value") == "",
              "front: no pulse at power-on, and the pulse fields say none")
        width.send_keys("1500")
        period.send_keys("20")
        driver.find_element(By.ID, "pulse-apply-PA0").click()
        check(wait_for(driver, lamps + " === 2", 5) is not None, "front: 1500 us lights both lights")
        if driver.execute_script("return window.vb.driven !== null"):
            now = wait_for(driver, "document.getElementById('pulse-now-PA0').textContent.includes('1500 µs every 20 ms')", 3)
            check(bool(now), "front: the page shows the pulse the board drives")
        time.sleep(0.3)
        shot = driver.get_screenshot_as_png()
        analyse_pulse(driver, out_dir)
        firmware_panel(driver, out_dir)
        width.clear()
        width.send_keys("1200")
        driver.find_element(By.ID, "pulse-apply-PA0").click()
        check(wait_for(driver, lamps + " === 0", 5) is not None, "front: 1200 us darkens both lights")
        # One gesture across the threshold: hold the up button until the lights come on.
        up = driver.find_element(By.ID, "pulse-up-PA0")
        ActionChains(driver).click_and_hold(up).perform()
        lit = wait_for(driver, lamps + " === 2", 8)
        ActionChains(driver).release(up).perform()
        width_now = wait_for(driver, "window.vb.driven && window.vb.driven.PA0 && window.vb.driven.PA0.pulse && "
                             "!document.getElementById('pulse-slide-PA0').matches(':active') && "
                             "window.vb.driven.PA0.pulse.high_ns", 3)
        time.sleep(0.3)
        shown = driver.execute_script("return [document.getElementById('pulse-width-PA0').value, "
                                      "document.getElementById('pulse-slide-PA0').value, window.vb.driven.PA0.pulse.high_ns]")
        check(bool(lit) and width_now and 1_200_000 < shown[2] < 2_000_000,
              "front: holding the up button sweeps the width until the lights come on (at %s us)" % (shown[2] / 1e3))
        check(shown[0] == shown[1] == str(shown[2] // 1000),
              "front: the field and the slider show the width the board drives: %r" % shown)
        width.clear()
        width.send_keys("1200")
        driver.find_element(By.ID, "pulse-apply-PA0").click()
        check(wait_for(driver, lamps + " === 0", 5) is not None, "front: 1200 us darkens them again")
        driver.find_element(By.ID, "mark-PA9").click()
        time.sleep(0.2)
        yaml = save_and_replay(driver, board, vboard, image, out_dir, "front_session")
        report = board.report()
        t1500, t1200 = applied_times(yaml, "width: 1500us")[0], applied_times(yaml, "width: 1200us")[0]
        for pin in ("PA9", "PA8"):
            on, off = virtual_edge(report, pin, 1, t1500), virtual_edge(report, pin, 0, t1200)
            check(on is not None and on - t1500 <= 150_000_000,
                  "front: %s lit %.1f ms (virtual) after the 1500 us pulse began" % (pin, ((on or 0) - t1500) / 1e6))
            check(off is not None and off - t1200 <= 150_000_000,
                  "front: %s dark %.1f ms (virtual) after the 1200 us pulse began" % (pin, ((off or 0) - t1200) / 1e6))
        (Path(out_dir) / "live_front.png").write_bytes(shot)
        if pictures:
            (Path(pictures) / "live_front.png").write_bytes(shot)
        # Two tabs see one run; closing one leaves the board running.
        first = driver.current_window_handle
        driver.switch_to.new_window("tab")
        driver.get(board.url)
        check(bool(wait_for(driver, "window.vb.connected && window.vb.vt > 0")), "front: a second tab sees the run")
        driver.close()
        driver.switch_to.window(first)
        vt = driver.execute_script("return window.vb.vt")
        time.sleep(0.5)
        check(driver.execute_script("return window.vb.vt") > vt, "front: closing a tab leaves the board running")
    finally:
        status, text = board.stop()
        check(status == 0, "front: the server ends cleanly on SIGTERM (%d)" % status)


def freeze_trace(driver, zoom_ns, pin):
    """Pauses the trace with `zoom_ns` shown and waits for the server's window of it to hold `pin`."""
    Select(driver.find_element(By.ID, "trace-zoom")).select_by_value(str(zoom_ns))
    driver.find_element(By.ID, "trace-pause").click()
    return wait_for(driver, "window.vb.traceWindow && window.vb.traceWindow.to - window.vb.traceWindow.from === %d "
                    "&& window.vb.traceWindow.pins.%s && window.vb.traceWindow" % (zoom_ns, pin), 5)


def click_at_time(driver, t):
    """Clicks the trace where virtual time t is drawn."""
    canvas = driver.find_element(By.ID, "trace")
    g = driver.execute_script("return traceGeom")
    x = g["x0"] + (t - g["left"]) / g["span"] * g["width"]
    ActionChains(driver).move_to_element_with_offset(canvas, int(round(x - canvas.size["width"] / 2)), 0).click().perform()


def analyse_pulse(driver, out_dir):
    """Two cursors on a pulse's edges read its width; the VCD of the window between them holds those edges."""
    for _ in range(4):
        w = freeze_trace(driver, 20_000_000, "PA0")
        edges = (w or {}).get("pins", {}).get("PA0", {}).get("e", [])
        rise = next((i for i, e in enumerate(edges[:-1]) if e[1] == 1 and edges[i + 1][1] == 0), None)
        if rise is not None:
            break
        # A window that begins inside a pulse (1.5 ms of every 20) ends before the next one falls: pause elsewhere.
        driver.find_element(By.ID, "trace-pause").click()
        driver.execute_script("window.vb.traceWindow = null")
        time.sleep(0.2)
    check(rise is not None, "front: the paused trace's window holds a whole PA0 pulse")
    if rise is None:
        return
    (t1, _), (t2, _) = edges[rise], edges[rise + 1]
    click_at_time(driver, t1 + 3000)  # a few ns off: the cursor snaps to the edge
    click_at_time(driver, t2 - 3000)
    delta = wait_for(driver, "window.vb.cursorDelta", 2)
    check(delta == 1_500_000 and "1.500 ms" in text_of(driver, "cursor-readout"),
          "front: cursors on a pulse's edges measure %r ns (1500 us): %s" % (delta, text_of(driver, "cursor-readout")))
    driver.find_element(By.ID, "vcd-export").click()
    vcd = wait_for(driver, "window.vb.vcd && window.vb.vcd.text", 5) or ""
    head = vcd.split("$enddefinitions $end")[0]
    check("$timescale 10ns $end" in head and "$var wire 1 ! PA0 $end" in head and
          "#%d\n1!" % ((t1 + 5) // 10) in vcd and "#%d\n0!" % ((t2 + 5) // 10) in vcd,
          "front: the VCD between the cursors holds the pulse's edges in vboard --vcd's format")
    (Path(out_dir) / "live_cursors.png").write_bytes(driver.get_screenshot_as_png())
    driver.find_element(By.ID, "trace-pause").click()


def timeline(driver, board, vboard, image, out_dir):
    """Dragged back between the red and the yellow click, the page shows that instant; a save there replays
    to the same JSON; an input there drops the later ones."""
    rows = driver.execute_script("return window.vb.steps.rows")
    t5 = next(t for t, text in rows if "PB5" in text)
    t6 = next(t for t, text in rows if "PB6" in text)
    tl = driver.find_element(By.ID, "timeline")
    lo, hi = driver.execute_script("return [Number(arguments[0].min), Number(arguments[0].max)]", tl)
    target = (t5 + t6) // 2 + 150_000_000
    thumb = 8  # half of Chromium's range thumb: the track it moves on is that much shorter at each end
    x = thumb + (target - lo) / (hi - lo) * (tl.size["width"] - 2 * thumb) - tl.size["width"] / 2
    ActionChains(driver).move_to_element_with_offset(tl, tl.size["width"] // 2 - thumb, 0).click_and_hold() \
        .move_to_element_with_offset(tl, int(x), 0).release().perform()
    ms = wait_for(driver, "window.vb.rewindMs.length && window.vb.rewindMs", 10)
    at = driver.execute_script("return window.vb.vt")
    print("rewind latency: %s ms from letting go of the timeline to the board drawn" %
          (["%.1f" % v for v in ms] if ms else "none"), flush=True)
    check(bool(ms) and ms[-1] < 1000, "rear: the board at the dragged instant in %.1f ms (goal: under 200 ms)" %
          (ms[-1] if ms else -1))
    check(t5 + 200_000_000 < at < t6, "rear: the timeline went to %.3f s, between the red (%.3f s) and the "
          "yellow click (%.3f s)" % (at / 1e9, t5 / 1e9, t6 / 1e9))
    red = "Array.from(document.querySelectorAll('#strip .led')).every(e => e.style.background === 'rgb(255, 0, 0)')"
    shown = driver.execute_script("return [%s, window.vb.pins.PB5, window.vb.pins.PB6, "
                                  "document.getElementById('switch-PB6').textContent, traceView().right]" % red)
    check(shown == [True, 0, 1, "open", at], "rear: at that instant the strip is red, PB5 low, PB6 high and open, "
          "and the trace ends there: %r" % shown)
    (Path(out_dir) / "live_timeline.png").write_bytes(driver.get_screenshot_as_png())
    save_and_replay(driver, board, vboard, image, out_dir, "rear_rewound", paused=True)
    driver.find_element(By.ID, "switch-PB4").click()
    gone = wait_for(driver, "window.vb.steps.rows.every(r => !r[1].includes('PB6')) && "
                    "window.vb.steps.rows.some(r => r[1].includes('PB4')) && window.vb.reached <= window.vb.vt + 1e7", 5)
    check(bool(gone), "rear: a new input at the rewound instant drops the inputs after it")
    driver.find_element(By.ID, "run-pause").click()  # on from there
    check(bool(wait_for(driver, "window.vb.state === 'running' && window.vb.vt > %d" % (at + 100_000_000), 5)),
          "rear: the board runs on from the rewound instant")


def play_back(driver, yaml, out_dir):
    """A saved scenario loaded into the page plays from power-on and saves back unchanged; the list edits the record."""
    path = Path(out_dir) / "played.yaml"
    path.write_text(yaml)
    Select(driver.find_element(By.ID, "pace")).select_by_value("fast")
    driver.execute_script("window.vb.scenario = ''")
    driver.find_element(By.ID, "scenario-file").send_keys(str(path))
    end = wait_for(driver, "window.vb.loaded && window.vb.loaded.end", 5)
    done = wait_for(driver, "window.vb.state === 'paused' && window.vb.vt >= %d && window.vb.steps.total" % (end or 1), 120)
    check(bool(done), "rear: a loaded scenario plays to its end (%s ns) and pauses" % end)
    driver.execute_script("document.getElementById('scenario-panel').scrollIntoView()")
    (Path(out_dir) / "live_session.png").write_bytes(driver.get_screenshot_as_png())
    driver.find_element(By.ID, "save").click()
    again = wait_for(driver, "window.vb.scenario", 5)
    check(again == yaml, "rear: the played scenario saves back unchanged" +
          ("" if again == yaml else ":\n" + "\n".join(l for l in difflib.unified_diff(yaml.splitlines(), (again or "").splitlines(), lineterm=""))[:1500]))
    total = driver.execute_script("return window.vb.steps.total")
    driver.find_element(By.CSS_SELECTOR, "#steps li:first-child .step-drop").click()
    check(bool(wait_for(driver, "window.vb.steps.total === %d" % (total - 1), 3)), "rear: a step dropped leaves the record")
    Select(driver.find_element(By.ID, "pace")).select_by_value("1")


def firmware_panel(driver, out_dir):
    """The function the core is in, a watched variable that moves with the run, and how to attach GDB."""
    where = wait_for(driver, "window.vb.where", 3)
    check(bool(where) and not where.startswith("0x"), "front: the page names the function the core is in: %r" % where)
    driver.find_element(By.ID, "watch-expr").send_keys("uwTick\n")
    first = wait_for(driver, "window.vb.watches && window.vb.watches.length && window.vb.watches[0][1]", 3) or ""
    time.sleep(0.3)
    later = driver.execute_script("return window.vb.watches[0][1]")
    ticks = [int(v.split()[0]) for v in (first, later) if v and v[0].isdigit()]
    check(len(ticks) == 2 and ticks[1] > ticks[0], "front: the watched uwTick moves with the run: %r, %r" % (first, later))
    check("gdb-multiarch" in text_of(driver, "gdb-line"), "front: the page says how to attach gdb-multiarch")
    driver.execute_script("document.getElementById('time-panel').scrollIntoView()")
    (Path(out_dir) / "live_firmware.png").write_bytes(driver.get_screenshot_as_png())
    driver.execute_script("window.scrollTo(0, 0)")


def rear(driver, vboard, fw, out_dir, pictures):
    image = str(Path(fw) / "rear_lamp.elf")
    board = Board(vboard, image)
    try:
        driver.get(board.url)
        check(bool(wait_for(driver, "window.vb.connected && window.vb.frames > 0")), "rear: the page connects, frames latch")
        driver.find_element(By.ID, "switch-PB5").click()
        check(bool(wait_for(driver, "document.getElementById('switch-PB5').textContent === 'closed'", 3)),
              "rear: PB5's switch shows closed")
        red = "Array.from(document.querySelectorAll('#strip .led')).every(e => e.style.background === 'rgb(255, 0, 0)')"
        check(wait_for(driver, red, 5) is not None, "rear: PB5's switch draws the strip red")
        lat = wait_for(driver, "window.vb.latencies.length && window.vb.latencies", 2)
        came = driver.execute_script("return window.vb.arrivals")
        # The figure (at most 100 ms) is measured by scripts/serve_figures.py on a quiet machine;
        # here only that the click is seen at all in a reasonable time, whatever else the machine runs.
        check(bool(lat) and lat[0] <= 1000, "rear: click to strip drawn red in %.1f ms of wall time (the message "
              "came after %.1f ms)" % (lat[0] if lat else -1, came[0] if came else -1))
        driver.find_element(By.ID, "mark-strip").click()
        time.sleep(0.4)
        (Path(out_dir) / "live_rear.png").write_bytes(driver.get_screenshot_as_png())
        if pictures:
            (Path(pictures) / "live_rear.png").write_bytes(driver.get_screenshot_as_png())
        # The strip's line decoded: a frame's bits under the colours it carried.
        w = freeze_trace(driver, 5_000_000, "PA7") if "PA7" in driver.execute_script("return tracePins") else None
        frames = (w or {}).get("frames", [])
        check(bool(frames) and all(f[2] == "ff0000" * (len(f[2]) // 6) and f[0] < f[1] for f in frames),
              "rear: the trace decodes the strip's frames in the window shown (red): %r" % [f[2][:12] for f in frames][:3])
        (Path(out_dir) / "live_strip_decoded.png").write_bytes(driver.get_screenshot_as_png())
        # Thousands of the data line's edges in 5 ms, drawn as a few path points per pixel column:
        # two per edge kept the page's main thread busy enough to hold a click's colour back 150 ms.
        edges, points = driver.execute_script("return window.vb.traceDrawn.PA7 || [0, 0]")
        width = driver.execute_script("return traceGeom.width")
        check(edges > 2 * width and points <= 3 * width + 8, "rear: %d edges in view drawn with %d path points "
              "over %d pixels" % (edges, points, width))
        driver.find_element(By.ID, "trace-pause").click()
        Select(driver.find_element(By.ID, "trace-zoom")).select_by_value("100000000")
        driver.find_element(By.ID, "switch-PB6").click()  # red and green: yellow
        yellow = red.replace("255, 0, 0", "255, 255, 0")
        check(wait_for(driver, yellow, 5) is not None, "rear: PB5 and PB6 closed draw it yellow")
        if driver.execute_script("return window.vb.driven !== null"):
            first = driver.current_window_handle
            driver.switch_to.new_window("tab")
            driver.get(board.url)
            shown = wait_for(driver, "window.vb.parts.length && ['PB5', 'PB6'].map((p) => "
                             "document.getElementById('switch-' + p).textContent).join()", 5)
            check(shown == "closed,closed", "rear: a second tab shows the switches closed: %r" % shown)
            driver.close()
            driver.switch_to.window(first)
        timeline(driver, board, vboard, image, out_dir)
        saved = save_and_replay(driver, board, vboard, image, out_dir, "rear_session")
        play_back(driver, saved, out_dir)
        time.sleep(0.5)
        n0, t0 = driver.execute_script("return window.vb.updates"), time.monotonic()
        time.sleep(2)
        rate = (driver.execute_script("return window.vb.updates") - n0) / (time.monotonic() - t0)
        check(rate >= 30, "rear: %.1f page updates per second while the strip streams" % rate)
        # Security: a foreign Origin's upgrade and a foreign Host are refused.
        check(not ws_upgrade(board.port, "http://evil.example"), "rear: a WebSocket upgrade from a foreign Origin is refused")
        check(ws_upgrade(board.port, "http://127.0.0.1:%d" % board.port), "rear: the page's own Origin is taken")
        check(http_status(board.port, "/", "evil.example:%d" % board.port) == 403, "rear: a foreign Host is refused (403)")
        check(http_status(board.port, "/../../etc/passwd", "127.0.0.1:%d" % board.port) == 404, "rear: no path outside the page")
        driver.execute_script("window.vb.errors = []; ws.send('{\"seq\": 1, \"op\": \"fly\"}')")
        err = wait_for(driver, "window.vb.errors.length && window.vb.errors[0]", 3)
        check(bool(err) and "out of order" in err or "not a request" in (err or ""), "rear: a bad message is answered with an error in the page: %r" % err)
        driver.set_window_size(420, 2400)
        time.sleep(0.3)
        count, over = driver.execute_script(OVERLAPS)
        check(count >= 1 and not over, "rear, narrow: %d messages shown, none over a control %s" % (count, over))
        (Path(out_dir) / "live_rear_narrow.png").write_bytes(driver.get_screenshot_as_png())
        driver.set_window_size(1400, 1150)
        regs_panel(driver, out_dir, pictures)
        ninth_page(driver, board, out_dir)
    finally:
        status, text = board.stop()
        check(status == 0, "rear: the server ends cleanly on SIGTERM (%d)" % status)


def regs_panel(driver, out_dir, pictures):
    """The registers panel on the real rear board: TIM17, which sends the strip's bits, with its
    counter running, decoded as `monitor regs` decodes it; the whole peripheral, then one register."""
    driver.execute_script("document.getElementById('regs-panel').scrollIntoView()")
    driver.find_element(By.CSS_SELECTOR, "#regs summary").click()
    Select(driver.find_element(By.ID, "regs-periph")).select_by_value("TIM17")
    whole = wait_for(driver, "window.vb.regs && window.vb.regs.periph === 'TIM17' && window.vb.regs.reg === '' "
                     "&& document.getElementById('regs-text').textContent", 5) or ""
    check(re.search(r"^TIM17 at 0x40014800; clock on", whole, re.M) is not None
          and re.search(r"^  CR1 +=", whole, re.M) is not None,
          "rear: the registers panel shows TIM17's registers, its clock on: %r" % whole[:120])
    Select(driver.find_element(By.ID, "regs-reg")).select_by_value("CR1")
    one = wait_for(driver, "window.vb.regs && window.vb.regs.reg === 'CR1' "
                   "&& document.getElementById('regs-text').textContent", 5) or ""
    check(re.search(r"^TIM17 CR1 = 0x[0-9A-Fa-f]{8} at 0x40014800", one, re.M) is not None
          and re.search(r"^  CEN +\[0\] +1 +Counter enabled$", one, re.M) is not None,
          "rear: TIM17 CR1 in the panel, its counter enabled: %r" % one[:160])
    driver.execute_script("document.getElementById('regs-panel').scrollIntoView()")
    time.sleep(0.3)
    (Path(out_dir) / "live_regs.png").write_bytes(driver.get_screenshot_as_png())
    if pictures:
        (Path(pictures) / "live_regs.png").write_bytes(driver.get_screenshot_as_png())
    driver.find_element(By.CSS_SELECTOR, "#regs summary").click()  # closed: nothing more is read for it


def ninth_page(driver, board, out_dir):
    """With this tab and seven other clients open, a second tab is the ninth page: it shows why
    and does not retry; once a client leaves, its Reconnect button gets in."""
    others = [ws_open(board.port) for _ in range(7)]
    try:
        check(all(others), "rear: seven more clients of the board connect")
        first = driver.current_window_handle
        driver.switch_to.new_window("tab")
        driver.get(board.url)
        shown = wait_for(driver, "window.vb.stopped && document.getElementById('banner-text').textContent", 5)
        check(bool(shown) and "8 pages" in shown, "rear: the ninth page says why it is refused: %r" % shown)
        tries = driver.execute_script("return window.vb.closes.length")
        time.sleep(1.5)
        check(driver.execute_script("return window.vb.closes.length") == tries, "rear: the ninth page does not retry")
        (Path(out_dir) / "live_ninth.png").write_bytes(driver.get_screenshot_as_png())
        others.pop().close()
        time.sleep(0.3)
        driver.find_element(By.ID, "reconnect").click()
        check(bool(wait_for(driver, "window.vb.connected && window.vb.parts.length", 5)),
              "rear: with a page closed, Reconnect gets in")
        driver.close()
        driver.switch_to.window(first)
    finally:
        for s in filter(None, others):
            s.close()


def ws_open(port):
    """A WebSocket client of the board that holds its place and reads nothing."""
    key = base64.b64encode(os.urandom(16)).decode()
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    s.sendall(("GET /ws HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
               "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\nOrigin: http://127.0.0.1:%d\r\n\r\n"
               % (port, key, port)).encode())
    if s.recv(4096).startswith(b"HTTP/1.1 101"):
        return s
    s.close()
    return None


def halted(driver, vboard, fw, out_dir, pictures):
    image = str(Path(fw) / "front_lamp.elf")
    board = Board(vboard, image, "--fault", "pll_never_locks")
    try:
        driver.get(board.url)
        text = wait_for(driver, "window.vb.state === 'halted' && document.getElementById('halt').textContent", 10)
        check(bool(text) and "stuck in" in text, "halt: the page shows the report's halt words: %r" % text)
        check(not driver.find_element(By.ID, "reset").get_attribute("disabled"), "halt: reset stays possible")
        (Path(out_dir) / "live_halt.png").write_bytes(driver.get_screenshot_as_png())
        gen = driver.execute_script("return window.vb.gen")
        driver.find_element(By.ID, "reset").click()
        check(wait_for(driver, "window.vb.gen > %d" % gen, 5) is not None, "halt: reset builds the board anew")
    finally:
        board.stop()


class StubBoard:
    """A scripted stand-in for `vboard --serve` on 127.0.0.1: serves the page's
    files (with the real server's Content-Security-Policy) and speaks the
    page's WebSocket protocol. Each new connection gets `hello`, or, while
    `refuse` is (code, reason), a close frame with them. It records what the
    page sends and when each connection came."""

    WEB = Path(__file__).resolve().parents[3] / "vboard" / "web"
    TYPES = {"html": "text/html", "js": "text/javascript", "css": "text/css"}

    def __init__(self, hello):
        self.hello, self.refuse = hello, None
        self.received, self.arrivals, self.clients = [], [], []
        self.lock = threading.Lock()
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.url = "http://127.0.0.1:%d/" % self.port
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        with conn:
            head = b""
            while b"\r\n\r\n" not in head:
                chunk = conn.recv(4096)
                if not chunk:
                    return
                head += chunk
            lines = head.decode(errors="replace").split("\r\n")
            path = lines[0].split(" ")[1]
            fields = {k.strip().lower(): v.strip() for k, v in (l.split(":", 1) for l in lines[1:] if ":" in l)}
            if path == "/ws":
                self._websocket(conn, fields["sec-websocket-key"])
                return
            name = "index.html" if path == "/" else path.lstrip("/")
            body = (self.WEB / name).read_bytes() if name in ("index.html", "trace.js", "session.js", "app.js", "style.css") else b""
            csp = ("default-src 'self'; connect-src 'self' ws://127.0.0.1:%d; img-src 'self' data: blob:; "
                   "style-src 'self'; script-src 'self'" % self.port)
            conn.sendall(("HTTP/1.1 %s\r\nContent-Type: %s\r\nContent-Length: %d\r\nContent-Security-Policy: %s\r\n"
                          "Connection: close\r\n\r\n" % ("200 OK" if body else "404 Not Found",
                                                         self.TYPES.get(name.rsplit(".", 1)[-1], "text/plain"),
                                                         len(body), csp)).encode() + body)

    def _websocket(self, conn, key):
        accept = base64.b64encode(hashlib.sha1((key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11").encode()).digest())
        conn.sendall(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                     b"Sec-WebSocket-Accept: " + accept + b"\r\n\r\n")
        self.arrivals.append(time.monotonic())
        if self.refuse:
            self._close(conn, *self.refuse)
            return
        with self.lock:
            self._frame(conn, 1, json.dumps(self.hello).encode())
            self.clients.append(conn)
        try:
            while True:
                opcode, data = self._read_frame(conn)
                if opcode == 8 or opcode is None:
                    break
                if opcode == 1:
                    self.received.append(json.loads(data))
        except OSError:
            pass
        with self.lock:
            if conn in self.clients:
                self.clients.remove(conn)

    @staticmethod
    def _read_frame(conn):
        def exactly(n):
            out = b""
            while len(out) < n:
                chunk = conn.recv(n - len(out))
                if not chunk:
                    raise OSError("closed")
                out += chunk
            return out
        b0, b1 = exactly(2)
        n = b1 & 0x7F
        if n == 126:
            n = struct.unpack("!H", exactly(2))[0]
        elif n == 127:
            n = struct.unpack("!Q", exactly(8))[0]
        mask = exactly(4) if b1 & 0x80 else b"\0\0\0\0"
        return b0 & 0x0F, bytes(c ^ mask[i % 4] for i, c in enumerate(exactly(n)))

    @staticmethod
    def _frame(conn, opcode, payload):
        n = len(payload)
        size = bytes([n]) if n < 126 else (bytes([126]) + struct.pack("!H", n) if n < 65536
                                            else bytes([127]) + struct.pack("!Q", n))
        conn.sendall(bytes([0x80 | opcode]) + size + payload)

    def _close(self, conn, code, reason):
        self._frame(conn, 8, struct.pack("!H", code) + reason.encode())
        conn.settimeout(2)
        try:
            self._read_frame(conn)  # the page's answering close frame
        except OSError:
            pass
        conn.shutdown(socket.SHUT_RDWR)

    def push(self, **msg):
        """Sends one message to every page connected."""
        with self.lock:
            for c in self.clients:
                self._frame(c, 1, json.dumps(msg).encode())

    def update(self, **fields):
        self.push(**{"t": "update", "vt": 2_000_000, "wall": 1.0, "state": "running", "rate": 1, "inputs": 0,
                     "gen": 0, **fields})

    def close_all(self, code, reason):
        with self.lock:
            clients, self.clients = self.clients, []
        for c in clients:  # the thread reading each takes the page's answering close frame and closes it
            self._frame(c, 8, struct.pack("!H", code) + reason.encode())

    def sent(self, op):
        return [m for m in self.received if m.get("op") == op]

    def stop(self):
        self.sock.close()


STUB_HELLO = {
    "t": "hello", "vt": 1_000_000, "wall": 0.1, "state": "running", "rate": 1, "lagging": False, "inputs": 0,
    "gen": 0, "image": "stub_lamp", "board": "rear_lamp", "board_why": "recognised: image name rear_lamp",
    "parts": [
        {"kind": "output", "active": 1, "name": "lamp", "role": "tail light", "pins": ["PA9"]},
        {"kind": "strip", "leds": 8, "name": "strip", "role": "light bar", "pins": ["PA7"]},
        {"kind": "switch", "color": "red", "closed": 0, "pull": "up", "name": "sw1", "role": "brake", "pins": ["PB5"]},
        {"kind": "switch", "color": "green", "closed": 0, "pull": "up", "name": "sw2", "role": "indicator",
         "pins": ["PB6"]},
        {"kind": "pulse-input", "name": "servo", "role": "command", "pins": ["PA0"]},
        {"kind": "unused", "pull": "down", "name": "unused", "role": "", "pins": ["PB7"]},
    ],
    "all_pins": ["PA0", "PA1", "PA7", "PA9", "PB5", "PB6", "PB7"],
    "pins": {"PA0": 0, "PA9": 0, "PB5": 0, "PB6": 1, "PB7": 0}, "strip": "ff0000" * 8, "frames": 3,
    "trace_pins": ["PA0", "PA9"], "driven": {"PB5": {"level": 0}}, "achieved": 0.98,
    "recording": {"inputs": 0, "bytes": 96, "limit": 65536, "seconds": 0.0, "limit_seconds": 600,
                  "warn": False, "full": False, "note": ""},
}

# Every message box against every visible control: the boxes that overlap one.
OVERLAPS = """
const boxes = [...document.querySelectorAll('.msg, #banner')].filter((e) => e.offsetParent);
const ctrls = [...document.querySelectorAll('button, input, select, textarea')].filter((e) => e.offsetParent);
const over = (a, b) => a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
const out = [];
for (const m of boxes) for (const c of ctrls) {
  if (m.contains(c)) continue;
  if (over(m.getBoundingClientRect(), c.getBoundingClientRect()))
    out.push(m.textContent + ' over ' + (c.id || c.textContent));
}
return [boxes.length, out];
"""


def text_of(driver, id_):
    return driver.execute_script("const e = document.getElementById(arguments[0]); return e && !e.hidden && "
                                 "e.offsetParent !== null ? e.textContent : null", id_)


def stub_inputs(driver, stub):
    """The switches and pulse fields show what the server says it drives."""
    switch = lambda pin: driver.execute_script("return document.getElementById('switch-%s').textContent" % pin)
    check((switch("PB5"), switch("PB6")) == ("closed", "open"), "stub: the switches start as hello's driven says")
    check(driver.find_element(By.ID, "pulse-width-PA0").get_attribute("value") == "" and
          text_of(driver, "pulse-now-PA0") == "no pulses", "stub: no pulse in effect at start: the fields are empty")
    driver.find_element(By.ID, "switch-PB6").click()
    check(wait_until(lambda: stub.sent("set")) and
          stub.sent("set")[-1]["pin"] == "PB6" and stub.sent("set")[-1]["level"] == "0",
          "stub: a click on an open switch asks to close it")
    time.sleep(0.1)
    check(switch("PB6") == "open", "stub: the click alone does not turn the switch")
    stub.push(t="error", text="PB6: refused for the test")
    wait_for(driver, "window.vb.errors.length")
    check(switch("PB6") == "open", "stub: a refused click leaves the switch as the board has it")
    first = driver.current_window_handle
    driver.switch_to.new_window("tab")
    driver.get(stub.url)
    wait_for(driver, "window.vb.connected && window.vb.parts.length")
    stub.update(driven={"PB5": {"level": 0}, "PB6": {"level": 0}})
    check(bool(wait_for(driver, "document.getElementById('switch-PB6').textContent === 'closed'", 3)),
          "stub: a second tab follows the board's driven map")
    driver.close()
    driver.switch_to.window(first)
    check(switch("PB6") == "closed", "stub: the first tab agrees")
    stub.update(driven={"PB6": {"level": 1}})
    check(bool(wait_for(driver, "document.getElementById('switch-PB5').textContent === 'open'", 3)) and
          switch("PB6") == "open, held high", "stub: a pin left out of driven is open; one held high says so")
    cases = [("", "20", "width: give"), ("1.5ms", "20", "width: give"), ("1500", "", "period: give"),
             ("1500", "x", "period: give"), ("25000", "20", "shorter than the period")]
    for width, period, words in cases:
        for id_, value in (("pulse-width-PA0", width), ("pulse-period-PA0", period)):
            driver.execute_script("document.getElementById(arguments[0]).value = arguments[1]", id_, value)
        driver.find_element(By.ID, "pulse-apply-PA0").click()
        said = text_of(driver, "pulse-msg-PA0") or ""
        check(words in said, "stub: width %r period %r is refused beside the field: %r" % (width, period, said))
    time.sleep(0.2)
    check(not stub.sent("pulse"), "stub: no refused pulse reached the server")
    driver.find_element(By.ID, "pulse-width-PA0").clear()
    driver.find_element(By.ID, "pulse-width-PA0").send_keys("1500")
    driver.find_element(By.ID, "pulse-period-PA0").clear()
    driver.find_element(By.ID, "pulse-period-PA0").send_keys("20")
    driver.find_element(By.ID, "pulse-apply-PA0").click()
    check(wait_until(lambda: stub.sent("pulse")) and stub.sent("pulse")[-1]["width"] == "1500us" and
          stub.sent("pulse")[-1]["period"] == "20ms", "stub: a usable pulse is sent as typed")
    stub.update(driven={"PA0": {"pulse": {"high_ns": 1_200_000, "period_ns": 20_000_000}}})
    check(bool(wait_for(driver, "document.getElementById('pulse-width-PA0').value === '1200'", 3)) and
          "1200 µs every 20 ms" in text_of(driver, "pulse-now-PA0"),
          "stub: the fields show the pulse in effect, not the one typed")


def stub_pace_and_recording(driver, stub):
    for rate, shown in ((10, "10"), (3, "3"), ("fast", "fast")):  # 3: a pace the list lacks
        stub.update(rate=rate)
        check(bool(wait_for(driver, "document.getElementById('pace').value === %r" % shown, 3)),
              "stub: the pace list shows the board's pace %r" % rate)
    rows = [(dict(achieved=0.42, lagging=True), "achieved × 0.42", True),
            (dict(achieved=1.0), "achieved × 1.00", True),  # lagging stays until the server clears it
            (dict(achieved=1.0, lagging=False), "achieved × 1.00", False)]
    for fields, achieved, lagging in rows:
        stub.update(**fields)
        shown = wait_for(driver, "document.getElementById('achieved').textContent === %r && "
                                 "document.getElementById('lag').hidden === %s"
                         % (achieved, str(not lagging).lower()), 3)
        check(bool(shown), "stub: %s shows %r, lagging %s" % (fields, achieved, lagging))
    full = {"inputs": 3, "bytes": 65536, "limit": 65536, "seconds": 12.5, "limit_seconds": 600, "warn": True,
            "full": True, "note": "recording full: a save reaches up to 12.500 s"}
    for rec, cls in (({**full, "full": False, "bytes": 60000, "note": "near the limit: 92 % of 64 KiB"}, "warn"),
                     (full, "full")):
        stub.update(recording=rec, inputs=3)
        shown = wait_for(driver, "document.getElementById('recording').className.includes(%r) && "
                                 "document.getElementById('recording-note').textContent === %r" % (cls, rec["note"]), 3)
        check(bool(shown), "stub: the recording shows %s with its note" % cls)
    driver.find_element(By.ID, "reset").click()
    asked = text_of(driver, "reset-question")
    check(bool(asked) and "3 inputs" in asked, "stub: reset asks before discarding 3 inputs: %r" % asked)
    driver.find_element(By.ID, "reset-no").click()
    time.sleep(0.2)
    check(not stub.sent("reset") and text_of(driver, "reset-question") is None, "stub: 'keep them' sends no reset")
    driver.find_element(By.ID, "reset").click()
    driver.find_element(By.ID, "reset-yes").click()
    check(wait_until(lambda: stub.sent("reset")), "stub: 'discard and reset' sends the reset")


def stub_messages_and_look(driver, stub, out_dir):
    """Messages stand beside the controls, never over them, wide and narrow."""
    check("rear_lamp · recognised: image name rear_lamp" in text_of(driver, "board-name"),
          "stub: the header names the board and why it is in use")
    driver.find_element(By.ID, "save").click()
    for i in range(3):
        stub.push(t="error", text="save refused for the test (%d): a long line of words to see it wrap" % i)
    wait_for(driver, "document.querySelectorAll('#scenario-panel .msg').length === 3", 3)
    for name, size in (("stub_wide", (1400, 1300)), ("stub_narrow", (420, 2600))):
        driver.set_window_size(*size)
        time.sleep(0.3)
        count, over = driver.execute_script(OVERLAPS)
        check(count >= 3 and not over, "stub, %s: %d messages shown, none over a control %s" % (name, count, over))
        (Path(out_dir) / (name + ".png")).write_bytes(driver.get_screenshot_as_png())
    driver.set_window_size(1400, 1150)


def stub_connection(driver, stub, out_dir):
    """Lost: inputs off, retries wait longer each time. Refused (1013): the reason, no retry, a button."""
    n = len(stub.arrivals)
    stub.refuse = (1011, "restarting")
    closed_at = time.monotonic()
    stub.close_all(1011, "restarting")
    check(bool(wait_for(driver, "!window.vb.connected", 3)), "stub: the page sees the connection close")
    disabled = driver.execute_script("return ['save', 'switch-PB5', 'pulse-apply-PA0', 'pace', 'step']"
                                     ".filter((id) => !document.getElementById(id).disabled)")
    check(disabled == [], "stub: inputs are disabled while disconnected (still enabled: %s)" % disabled)
    wait_until(lambda: len(stub.arrivals) >= n + 3, 8)
    t = [closed_at] + stub.arrivals[n:n + 3]
    gaps = [b - a for a, b in zip(t, t[1:])]
    check(len(gaps) == 3 and gaps[0] >= 0.3 and gaps[1] > 1.5 * gaps[0] and gaps[2] > 1.5 * gaps[1],
          "stub: each retry waits longer: %s s" % ["%.2f" % g for g in gaps])
    said = wait_for(driver, "document.getElementById('banner-text').textContent.includes('trying again in')", 3)
    check(bool(said) and text_of(driver, "banner-text") is not None, "stub: the page says it will try again")
    stub.refuse = None
    driver.find_element(By.ID, "reconnect").click()
    check(bool(wait_for(driver, "window.vb.connected && !document.getElementById('save').disabled", 3)),
          "stub: 'reconnect now' connects at once and the inputs come back")
    for code, reason in ((1013, "this board already has 8 pages open: close one, then reload"),
                         (1008, "refused for the test")):
        stub.refuse = (code, reason)
        stub.close_all(code, reason)
        shown = wait_for(driver, "window.vb.stopped && document.getElementById('banner-text').textContent", 3)
        check(shown == reason, "stub: a %d close shows its reason: %r" % (code, shown))
        n = len(stub.arrivals)
        time.sleep(1.5)  # a retry would have come after 0.5 s
        check(len(stub.arrivals) == n, "stub: no retry after a %d close" % code)
        if code == 1013:
            (Path(out_dir) / "stub_refused.png").write_bytes(driver.get_screenshot_as_png())
        stub.refuse = None
        driver.find_element(By.ID, "reconnect").click()
        check(bool(wait_for(driver, "window.vb.connected && document.getElementById('banner').hidden", 3)),
              "stub: after a %d close, the Reconnect button connects again" % code)


def stub_page(driver, out_dir):
    stub = StubBoard(STUB_HELLO)
    try:
        driver.get(stub.url)
        check(bool(wait_for(driver, "window.vb.connected && window.vb.parts.length")), "stub: the page connects")
        stub_inputs(driver, stub)
        stub_pace_and_recording(driver, stub)
        stub_messages_and_look(driver, stub, out_dir)
        stub_connection(driver, stub, out_dir)
    finally:
        stub.stop()


def wait_until(pred, timeout=3.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if pred():
            return True
        time.sleep(0.02)
    return False


def ws_upgrade(port, origin):
    """True when the server switches protocols for an upgrade with this Origin."""
    key = base64.b64encode(os.urandom(16)).decode()
    req = ("GET /ws HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\nOrigin: %s\r\n\r\n" % (port, key, origin))
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(req.encode())
        try:
            head = s.recv(4096).decode(errors="replace")
        except (ConnectionResetError, socket.timeout):
            head = ""
    return head.startswith("HTTP/1.1 101")


def http_status(port, path, host):
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(("GET %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n" % (path, host)).encode())
        head = s.recv(4096).decode(errors="replace")
    m = re.match(r"HTTP/1\.1 (\d+)", head)
    return int(m.group(1)) if m else 0


def main(argv):
    opts = dict(zip(argv[4::2], argv[5::2]))
    if len(argv) < 4 or len(argv) % 2 or set(opts) - {"--pictures", "--only"}:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 64
    vboard, fw, out_dir = argv[1:4]
    pictures, only = opts.get("--pictures"), opts.get("--only")
    os.makedirs(out_dir, exist_ok=True)
    driver = browser()
    runs = {"stub": lambda: stub_page(driver, out_dir),
            "front": lambda: front(driver, vboard, fw, out_dir, pictures),
            "rear": lambda: rear(driver, vboard, fw, out_dir, pictures),
            "halt": lambda: halted(driver, vboard, fw, out_dir, pictures)}
    try:
        for name, run in runs.items():
            if only in (None, name):
                run()
    finally:
        driver.quit()
    print("browser checks: %d failed; screenshots in %s" % (len(failures), out_dir))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
