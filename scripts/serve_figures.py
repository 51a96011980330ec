#!/usr/bin/python3
"""Figures of the live board (`vboard IMAGE --serve`), front and rear side by side,
measured with one headless Chromium tab open on each (Debian's chromium and
chromium-driver through python3-selenium; scripts/deps.sh installs them):

- pacing: virtual time against the server's wall clock over the span, at real-time pace;
- latency: a click on the rear's PB5 switch to the strip drawn in the new colour (wall time);
- rewind: after the span, the timeline let go at instants spread over the run, to the
  board drawn at each (wall time; the board comes back to the latest instant between);
- update rate: page updates per second while the strip streams;
- cost: the server's CPU at real-time pace with the tab open, and its resident
  memory at the start and the end of the span (and the largest in between), also
  sampled once a minute.

  scripts/serve_figures.py [--seconds 60] [--together] [--build build/host] [--firmware build/firmware]

The span is 60 s by default (the figures of the README). The boards are measured
one after the other, each server alone with its tab; --together runs both at
once (for long memory runs). Exit 1 when a figure misses its goal: pace within
1 %, at least 30 updates a second, every click drawn within 100 ms, a rewind
drawn within 200 ms (the median).
"""
import argparse
import concurrent.futures
import os
import re
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By


def rss_mb(pid):
    for line in Path("/proc/%d/status" % pid).read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
    return 0.0


def cpu_s(pid):
    fields = Path("/proc/%d/stat" % pid).read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def browser():
    o = Options()
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1400,1000", "--disable-dev-shm-usage"):
        o.add_argument(a)
    o.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    return webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"), options=o)


def measure(vboard, image, seconds, rear):
    proc = subprocess.Popen([vboard, image, "--serve", "--serve-port", "0"],  # ended below (SIGTERM)
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    url = re.search(r"http://\S+/", proc.stdout.readline()).group(0)
    driver = browser()
    out = {}
    try:
        driver.get(url)
        end = time.monotonic() + 10
        while not driver.execute_script("return window.vb.connected && window.vb.updates > 5"):
            if time.monotonic() > end:
                raise SystemExit("the page did not connect to " + url)
            time.sleep(0.05)
        if not rear:
            for field, value in (("pulse-width-PA0", "1500"), ("pulse-period-PA0", "20")):
                f = driver.find_element(By.ID, field)
                f.clear()
                f.send_keys(value)
            driver.find_element(By.ID, "pulse-apply-PA0").click()
            end = time.monotonic() + 5
            while not driver.execute_script("return (window.vb.driven || {}).PA0"):
                if time.monotonic() > end:
                    raise SystemExit("the front board was not given its pulse: " +
                                     driver.find_element(By.ID, "pulse-msg-PA0").text)
                time.sleep(0.05)
        time.sleep(1)
        driver.execute_script("window.vb.wall = []; window.vb.latencies = [];")
        u0 = driver.execute_script("return window.vb.updates")
        c0, t0, m0 = cpu_s(proc.pid), time.monotonic(), rss_mb(proc.pid)
        peak = m0
        clicks = 0
        minutes = []
        while time.monotonic() - t0 < seconds:
            if rear and clicks < 40 and time.monotonic() - t0 > 1 + clicks * min(0.5, seconds / 90):
                driver.find_element(By.ID, "switch-PB5").click()  # closing and opening: red, dark, red, ...
                clicks += 1
            rss = rss_mb(proc.pid)
            peak = max(peak, rss)
            if time.monotonic() - t0 >= 60 * len(minutes):
                minutes.append(rss)
            time.sleep(0.05)
        c1, t1, m1 = cpu_s(proc.pid), time.monotonic(), rss_mb(proc.pid)
        u1 = driver.execute_script("return window.vb.updates")
        wall = driver.execute_script("return window.vb.wall")
        (w0, v0), (w1, v1) = wall[0], wall[-1]
        out["pace"] = (v1 - v0) / 1e9 / (w1 - w0)
        out["span"] = w1 - w0
        out["rate"] = (u1 - u0) / (t1 - t0)
        out["cpu"] = 100 * (c1 - c0) / (t1 - t0)
        out["mem"] = (m0, m1, peak)
        out["minutes"] = minutes
        out["lat"] = driver.execute_script("return window.vb.latencies") if rear else []
        out["rewind"] = rewinds(driver)
    finally:
        driver.quit()
        proc.terminate()
        proc.communicate(timeout=30)
    return out


def rewinds(driver, n=7):
    """After the span: the timeline let go at n instants spread over the run, each the wall time from letting go
    to the board drawn at that instant (ms). The board goes back to the latest instant reached between them."""
    reached = driver.execute_script("return Number(document.getElementById('timeline').max)")
    out = []
    for at in [int(reached * (k + 1) / (n + 1)) for k in range(n)]:
        for to in (at, reached):
            seen = driver.execute_script("return window.vb.rewindMs.length")
            driver.execute_script(
                "const tl = document.getElementById('timeline'); tl.max = arguments[1]; tl.value = arguments[0];"
                "tl.dispatchEvent(new Event('change'));", to, reached)
            end = time.monotonic() + 10
            while driver.execute_script("return window.vb.rewindMs.length") <= seen:
                if time.monotonic() > end:
                    raise SystemExit("the board was not drawn at %.3f s within 10 s of letting go" % (to / 1e9))
                time.sleep(0.01)
            if to == at:
                out.append(driver.execute_script("return window.vb.rewindMs[arguments[0]]", seen))
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    ap.add_argument("--seconds", type=int, default=60)
    ap.add_argument("--together", action="store_true", help="measure both boards at once")
    ap.add_argument("--build", default="build/host")
    ap.add_argument("--firmware", default="build/firmware")
    a = ap.parse_args()
    vboard = str(Path(a.build) / "vboard" / "vboard")
    # Each board with its own server and browser; one after the other unless --together.
    with concurrent.futures.ThreadPoolExecutor(2 if a.together else 1) as pool:
        fj = pool.submit(measure, vboard, str(Path(a.firmware) / "front_lamp.elf"), a.seconds, False)
        rj = pool.submit(measure, vboard, str(Path(a.firmware) / "rear_lamp.elf"), a.seconds, True)
        f, r = fj.result(), rj.result()
    lat = sorted(r["lat"])
    rows = [
        ("pacing over %.0f s at real time: virtual s per wall s" % f["span"],
         "%.5f (%+.3f %%)" % (f["pace"], 100 * (f["pace"] - 1)), "%.5f (%+.3f %%)" % (r["pace"], 100 * (r["pace"] - 1))),
        ("latency: click on PB5's switch to the strip drawn (wall ms, median / max of %d)" % len(lat), "-",
         ("%.1f / %.1f" % (statistics.median(lat), lat[-1])) if lat else "none measured"),
        ("rewind: the timeline let go at %d instants over the run to the board drawn there (wall ms, median / max)"
         % len(r["rewind"]), "%.1f / %.1f" % (statistics.median(f["rewind"]), max(f["rewind"])),
         "%.1f / %.1f" % (statistics.median(r["rewind"]), max(r["rewind"]))),
        ("page updates per second (one tab)", "%.1f" % f["rate"], "%.1f" % r["rate"]),
        ("server CPU at real-time pace, one tab (% of one core)", "%.1f" % f["cpu"], "%.1f" % r["cpu"]),
        ("server resident memory, start / end / largest (MiB)", "%.1f / %.1f / %.1f" % f["mem"], "%.1f / %.1f / %.1f" % r["mem"]),
    ]
    if len(f["minutes"]) > 1:
        rows.append(("server resident memory at the start of each minute (MiB)",
                     " ".join("%.1f" % m for m in f["minutes"]), " ".join("%.1f" % m for m in r["minutes"])))
    print("| Figure (%s) | front | rear |" % ("both boards at once" if a.together else "one board at a time"))
    print("|---|---|---|")
    for row in rows:
        print("| %s | %s | %s |" % row)
    ok = (abs(f["pace"] - 1) < 0.01 and abs(r["pace"] - 1) < 0.01 and min(f["rate"], r["rate"]) >= 30 and lat and
          lat[-1] <= 100 and statistics.median(f["rewind"] + r["rewind"]) < 200)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
