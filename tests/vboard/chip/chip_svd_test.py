#!/usr/bin/env python3
"""The chip description and the models' register tables against the vendor's SVD.

Usage: chip_svd_test.py CHIP_DUMP_EXE SVD(.xz)

Checks, for every modelled peripheral: base address, that its block covers the
SVD's and stays clear of the next peripheral, its NVIC lines (number, name) and
its RCC clock gate (register offset and the field at the bit); for every
register a model implements: offset, reset value and the bits of each access
kind (read-write, read-only, write-only). Differences the chip is known to have from its SVD are listed in
KNOWN with the reason; anything else fails the test. What the SVD cannot check
(DMAMUX request ids, pins, alternate functions) is listed. Exit 0 when all
agree, 1 on a mismatch, 2 on bad input.
"""
import json
import lzma
import subprocess
import sys
import xml.etree.ElementTree as ET

# (peripheral, register, what): why the model departs from the SVD.
KNOWN = {
    ("RCC", "CR", "reset"): "the SVD's 0x63 is wrong: the chip resets on HSI16, on and ready (0x500)",
    ("USART3", "ISR", "reset"): "the SVD's 0 is wrong: TC and TXE read 1 after reset",
    ("GPIOA", "IDR", "reset"): "IDR reads the pads: PA13 and PA15 are pulled up at reset",
    ("GPIOB", "IDR", "reset"): "IDR reads the pads: PB4 is pulled up at reset",
    ("TIM4", "CNT", "writable"): "bit 31 is UIFCPY, read-only (CR1.UIFREMAP); the SVD marks it read-write",
    ("TIM4", "CNT", "read-only"): "bit 31 is UIFCPY, read-only (CR1.UIFREMAP); the SVD marks it read-write",
    ("DMAMUX", "CSR", "read-only"): "the G431 has 12 request-line channels; the SVD describes 16",
    ("DMAMUX", "CFR", "write-only"): "the G431 has 12 request-line channels; the SVD describes 16",
    ("DMA1", "ISR", "read-only"): "the G431's DMA1 has 6 channels; the SVD describes 8",
    ("DMA1", "IFCR", "write-only"): "the G431's DMA1 has 6 channels; the SVD describes 8",
}
# The SVD gives ARR and CCRx of the 16-bit timers 20 bits: the layout with
# dithering (CR1.DITHEN), which the models do not implement; without it the
# registers hold 16 bits.
for _t in ("TIM1", "TIM4", "TIM7", "TIM8", "TIM17"):
    for _r in ("ARR", "CCR1", "CCR2", "CCR3", "CCR4"):
        KNOWN[(_t, _r, "writable")] = "20-bit dithering layout not modelled: 16 bits without CR1.DITHEN"


def fail(msg):
    print(f"chip_svd_test: {msg}", file=sys.stderr)
    sys.exit(2)


def num(text):
    return int(text, 0)


def load_svd(path):
    opener = lzma.open if path.endswith(".xz") else open
    try:
        with opener(path, "rb") as f:
            root = ET.parse(f).getroot()
    except (OSError, lzma.LZMAError, ET.ParseError) as e:
        fail(f"{path}: cannot read the SVD: {e}")
    return {p.findtext("name"): p for p in root.iter("peripheral")}


def svd_registers(periphs, name):
    """offset -> list of (name, reset, masks by access kind, field count) of a peripheral, derivedFrom followed."""
    p = periphs[name]
    src = p
    while src.find("registers") is None and src.get("derivedFrom"):
        src = periphs[src.get("derivedFrom")]
    prefix = src.findtext("name") + "_"
    out = {}
    for r in src.find("registers").findall("register"):
        rname = r.findtext("name")
        rname = rname[len(prefix):] if rname.startswith(prefix) else rname
        reg_access = r.findtext("access") or "read-write"
        masks, nfields = {"read-write": 0, "read-only": 0, "write-only": 0}, 0
        fields = r.find("fields")
        for f in fields.findall("field") if fields is not None else []:
            nfields += 1
            width = num(f.findtext("bitWidth"))
            access = f.findtext("access") or reg_access
            masks[access] = masks.get(access, 0) | ((1 << width) - 1) << num(f.findtext("bitOffset"))
        reset = r.findtext("resetValue")
        out.setdefault(num(r.findtext("addressOffset")), []).append(
            (rname, None if reset is None else num(reset), masks, nfields))
    return out


def main():
    if len(sys.argv) != 3:
        fail("usage: chip_svd_test.py CHIP_DUMP_EXE SVD")
    dump = subprocess.run([sys.argv[1]], capture_output=True, text=True, check=False)
    if dump.returncode != 0:
        fail(f"{sys.argv[1]} exited {dump.returncode}: {dump.stderr.strip()}")
    try:
        chip = json.loads(dump.stdout)
    except json.JSONDecodeError as e:
        fail(f"{sys.argv[1]} printed no valid JSON: {e}")
    svd = load_svd(sys.argv[2])
    bases = sorted(num(p.findtext("baseAddress")) for p in svd.values())
    irqs = {num(i.findtext("value")): i.findtext("name") for p in svd.values() for i in p.findall("interrupt")}
    rcc = svd_registers(svd, "RCC")

    mismatches, known, unchecked = [], [], []
    counts = {"peripherals": 0, "irqs": 0, "gates": 0, "registers": 0, "fields": 0, "flags": 0, "unmodelled": 0}

    def check(ok, where, what, text):
        key = (where[0], where[1] if len(where) > 1 else "", what)
        if ok:
            return
        if key in KNOWN:
            known.append(f"{'.'.join(where)} {what}: {text} ({KNOWN[key]})")
        else:
            mismatches.append(f"{'.'.join(where)} {what}: {text}")

    for p in chip["peripherals"]:
        name = p["name"]
        if name not in svd:
            mismatches.append(f"{name}: not in the SVD")
            continue
        counts["peripherals"] += 1
        sp = svd[name]
        base = num(sp.findtext("baseAddress"))
        check(p["base"] == base, (name,), "base", f"0x{p['base']:08X}, SVD 0x{base:08X}")
        block = sp.find("addressBlock")
        if block is None and sp.get("derivedFrom"):
            block = svd[sp.get("derivedFrom")].find("addressBlock")
        svd_size = num(block.findtext("size"))
        nxt = min((b for b in bases if b > base), default=1 << 32)
        check(svd_size <= p["size"] <= nxt - base, (name,), "size",
              f"0x{p['size']:X}, SVD block 0x{svd_size:X}, next peripheral at +0x{nxt - base:X}")
        for line in p["irqs"]:
            counts["irqs"] += 1
            svd_name = irqs.get(line["irq"])
            # A line several peripherals share carries all their names (TIM1_TRG_COM_TIM17).
            check(svd_name is not None and line["name"].startswith(svd_name), (name,), "irq",
                  f"{line['name']} = {line['irq']}, SVD: {svd_name or 'no such line'}")
        for req in p["requests"]:
            unchecked.append(f"{name}: DMAMUX request {req['name']} = {req['id']} (the SVD has no request table)")
        if p["gate"]:
            g = p["gate"]
            counts["gates"] += 1
            views = rcc.get(g["offset"], [])
            check(any(v[0] == g["reg"] for v in views), (name,), "gate", f"RCC {g['reg']} not at 0x{g['offset']:03X}")
            fields = [f for f in svd["RCC"].iter("register")
                      if f.findtext("name") in ("RCC_" + g["reg"], g["reg"])]
            names = {ff.findtext("name") for r in fields for ff in r.iter("field")
                     if num(ff.findtext("bitOffset")) == g["bit"]}
            check(g["field"] in names, (name,), "gate", f"bit {g['bit']} of {g['reg']} is {names or 'no field'}, "
                  f"description says {g['field']}")
        regs = svd_registers(svd, name)
        for r in p["registers"]:
            views = regs.get(r["offset"])
            where = (name, r["name"])
            if not views:
                mismatches.append(f"{name}.{r['name']}: no SVD register at offset 0x{r['offset']:03X}")
                continue
            counts["registers"] += 1
            counts["fields"] += sum(v[3] for v in views)
            check(any(v[0] == r["name"] for v in views) or len(views) > 1, where, "name",
                  f"SVD calls 0x{r['offset']:03X} {views[0][0]}")
            reset = views[0][1]
            if reset is None:
                unchecked.append(f"{name}.{r['name']}: the SVD gives no reset value")
            else:
                check(r["reset"] == reset, where, "reset", f"0x{r['reset']:08X}, SVD 0x{reset:08X}")
            svd_masks = {}
            for v in views:
                for access, m in v[2].items():
                    svd_masks[access] = svd_masks.get(access, 0) | m
            rw, ro, wo = (svd_masks.get(a, 0) for a in ("read-write", "read-only", "write-only"))
            check(r["writable"] == rw, where, "writable", f"0x{r['writable']:08X}, SVD read-write fields 0x{rw:08X}")
            check(r["read_only"] == ro, where, "read-only", f"0x{r['read_only']:08X}, SVD read-only fields 0x{ro:08X}")
            check(r["write_only"] == wo, where, "write-only",
                  f"0x{r['write_only']:08X}, SVD write-only fields 0x{wo:08X}")
            # Each bit has one access kind; the SVD cannot tell how a flag is cleared.
            kinds = [r["writable"], r["read_only"], r["write_only"]]
            overlap = any(kinds[i] & kinds[j] for i in range(3) for j in range(i + 1, 3))
            check(not overlap, where, "kinds", "a bit is declared with two access kinds")
            if r["clear_on_0"] or r["clear_on_1"]:
                counts["flags"] += 1
            counts["unmodelled"] += len(r["unmodelled"])

    for name in sorted(set(svd) - {p["name"] for p in chip["peripherals"]}):
        unchecked.append(f"{name}: in the SVD, not described (not modelled)")
    unchecked.append(f"how flags clear: {counts['flags']} registers of rc_w0/rc_w1 flags (the SVD calls them "
                     "read-write)")
    unchecked.append(f"unmodelled fields: {counts['unmodelled']} declared (only their read-write bits are checked)")
    unchecked.append(f"pins: {len(chip['pins'])} bonded pins (the SVD has no pinout)")
    unchecked.append(f"alternate functions: {len(chip['alt_functions'])} listed, "
                     f"{sum(a['modelled'] for a in chip['alt_functions'])} modelled (the SVD has no pin data)")

    print("not checkable against the SVD:")
    for u in unchecked:
        print("  " + u)
    print(f"known departures from the SVD ({len(known)}):")
    for k in known:
        print("  " + k)
    print(f"checked: {counts['peripherals']} peripherals, {counts['irqs']} interrupt lines, {counts['gates']} clock "
          f"gates, {counts['registers']} registers with {counts['fields']} SVD fields; mismatches: {len(mismatches)}")
    for m in mismatches:
        print("MISMATCH " + m)
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
