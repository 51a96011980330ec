#!/usr/bin/python3
"""Figures of the live board's server (`vboard rear_lamp.elf --serve`) without a
browser, from a raw WebSocket client on 127.0.0.1, for one or more vboard
binaries side by side (e.g. before and after a change):

- pace achieved at x1 and at "fast" (virtual s per wall s of the server, 10 s each);
- a click (a `set` of PB5, closing and opening the switch) to the update whose
  strip differs (wall ms at the client, 20 clicks at x1);
- an hour of virtual time at "fast" while a second client fetches /report.json
  every 10 s: resident memory (start, largest, end), the reports' sizes and
  times, and the pace achieved meanwhile.

  scripts/serve_bench.py [--hour-limit 900] [--virtual 3600] VBOARD [VBOARD ...]
"""
import argparse
import statistics
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "vboard" / "serve"))
from live_client import Page, Served, http  # noqa: E402


def rss_mb(pid):
    for line in Path("/proc/%d/status" % pid).read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
    return 0.0


class Reader:
    """Reads a page's messages on a thread of its own, each with its arrival time."""

    def __init__(self, page):
        self.page, self.seen, self.stop = page, [], False
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.stop:
            for t, m in self.page.messages(0.2):
                with self.lock:
                    self.seen.append((t, m))

    def since(self, i):
        with self.lock:
            return self.seen[i:]

    def count(self):
        with self.lock:
            return len(self.seen)


def pace(reader, seconds):
    i = reader.count()
    time.sleep(seconds)
    u = [m for _, m in reader.since(i) if "vt" in m and "wall" in m]
    return (u[-1]["vt"] - u[0]["vt"]) / 1e9 / (u[-1]["wall"] - u[0]["wall"])


def click_latencies(page, reader, clicks):
    out = []
    for k in range(clicks):
        strip = next((m["strip"] for _, m in reversed(reader.since(0)) if "strip" in m), None)
        i = reader.count()
        t0 = time.monotonic()
        page.send("set", pin="PB5", level="0" if k % 2 == 0 else "1")
        end = t0 + 2
        while time.monotonic() < end:
            hit = [t for t, m in reader.since(i) if "strip" in m and m["strip"] != strip]
            if hit:
                out.append(1000 * (hit[0] - t0))
                break
            time.sleep(0.001)
        time.sleep(0.4)
    return out


def hour(s, page, reader, virtual_s, limit_s):
    page.send("pace", rate="fast")
    t0, m0 = time.monotonic(), rss_mb(s.proc.pid)
    peak, sizes, took, vt = m0, [], [], 0
    i = reader.count()
    while vt < virtual_s * 1e9 and time.monotonic() - t0 < limit_s:
        status, _, body, secs = http(s, "GET", "/report.json", timeout=120)
        if status == 200:
            sizes.append(len(body) / 2**20)
            took.append(secs)
        del body
        peak = max(peak, rss_mb(s.proc.pid))
        time.sleep(max(0.0, 10 - secs))
        peak = max(peak, rss_mb(s.proc.pid))
        u = [m for _, m in reader.since(i) if "vt" in m]
        vt = u[-1]["vt"] if u else vt
    u = [m for _, m in reader.since(i) if "vt" in m and "wall" in m]
    return dict(start=m0, peak=peak, end=rss_mb(s.proc.pid), reports=len(sizes),
                size=max(sizes) if sizes else 0, took=max(took) if took else 0,
                virtual=(u[-1]["vt"] - u[0]["vt"]) / 1e9, wall=u[-1]["wall"] - u[0]["wall"])


def measure(vboard, image, virtual_s, limit_s):
    s = Served(vboard, image, serve_for="%ds" % (limit_s + 120))
    page = Page(s)
    reader = Reader(page)
    try:
        time.sleep(1)
        x1 = pace(reader, 10)
        lat = click_latencies(page, reader, 20)
        page.send("pace", rate="fast")
        fast = pace(reader, 10)
        page.send("reset")
        time.sleep(0.5)
        h = hour(s, page, reader, virtual_s, limit_s)
    finally:
        reader.stop = True
        s.stop()
    return dict(x1=x1, fast=fast, lat=sorted(lat), hour=h)


def main():
    ap = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    ap.add_argument("vboard", nargs="+")
    ap.add_argument("--firmware", default="build/firmware")
    ap.add_argument("--virtual", type=float, default=3600, help="virtual seconds of the memory run")
    ap.add_argument("--hour-limit", type=float, default=900, help="wall seconds the memory run may take at most")
    a = ap.parse_args()
    image = str(Path(a.firmware) / "rear_lamp.elf")
    got = []
    for v in a.vboard:
        got.append(measure(v, image, a.virtual, a.hour_limit))
        print(v, got[-1], file=sys.stderr, flush=True)
    rows = [
        ("pace at x1 (virtual s per wall s, 10 s)", lambda r: "%.4f" % r["x1"]),
        ("pace at fast (virtual s per wall s, 10 s)", lambda r: "%.2f" % r["fast"]),
        ("click to strip changed (ms, median / max of %d)" % len(got[0]["lat"]),
         lambda r: "%.1f / %.1f" % (statistics.median(r["lat"]), r["lat"][-1]) if r["lat"] else "none"),
        ("memory run: virtual s in wall s at fast, report every 10 s",
         lambda r: "%.0f in %.0f (%.2f x)" % (r["hour"]["virtual"], r["hour"]["wall"],
                                             r["hour"]["virtual"] / r["hour"]["wall"])),
        ("memory run: reports fetched, largest (MiB), slowest (s)",
         lambda r: "%d, %.1f, %.2f" % (r["hour"]["reports"], r["hour"]["size"], r["hour"]["took"])),
        ("memory run: resident MiB start / largest / end",
         lambda r: "%.0f / %.0f / %.0f" % (r["hour"]["start"], r["hour"]["peak"], r["hour"]["end"])),
    ]
    print("| figure | " + " | ".join(a.vboard) + " |")
    print("|---|" + "---|" * len(a.vboard))
    for name, f in rows:
        print("| %s | %s |" % (name, " | ".join(f(r) for r in got)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
