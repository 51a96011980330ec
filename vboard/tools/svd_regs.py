#!/usr/bin/env python3
"""Writes vboard/src/chip/stm32g431_regs.h from the vendor's SVD.

Usage: svd_regs.py [--svd SVD(.xz)] [--out HEADER] [--table SOURCE]
       (defaults: tests/reference/STM32G431.svd.xz, vboard/src/chip/stm32g431_regs.h,
       vboard/src/chip/stm32g431_reg_table.cpp, all from the repository root)

For each kind of peripheral the models implement, one namespace with each
register's offset, and per register its reset value, the mask of all its fields (and of its
read-only and its other ones where it mixes them), its fields as core::Field
and the named values of a few multi-bit fields. Fields and registers numbered
at a constant stride (CC1E..CC4E, CCR1..CCR6 of the DMA) also get an indexed
form.

It also writes the register table the debugger's `monitor regs` reads
(chip/reg_view.h): for each peripheral the chip description models, its
registers (offset, reset, access) and their fields (position, width, access,
the values the SVD names), shared where peripherals or registers have the same
layout. Any surprise in the SVD (a named value not found, a name that is no C++
identifier, two names that collide) stops the script with exit status 2.
"""
import argparse
import lzma
import re
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
SVD = "tests/reference/STM32G431.svd.xz"
OUT = "vboard/src/chip/stm32g431_regs.h"
TABLE = "vboard/src/chip/stm32g431_reg_table.cpp"
COMMAND = "python3 vboard/tools/svd_regs.py"


class Kind:
    """One namespace: the SVD peripheral whose registers it takes, the other
    instances the models serve with the same class (compared, differences
    listed), registers left out, and registers taken from another instance.
    field_sets: (namespace, instances) for a model that serves instances with
    fewer fields than the representative: each register's kFields as those
    instances have them, where they differ from the representative's (and
    the instances agree; the registers where they do not are listed)."""

    def __init__(self, ns, rep, others=(), drop=(), extra=(), output_alternates=False, note="", field_sets=()):
        self.ns, self.rep, self.others = ns, rep, list(others)
        self.drop, self.extra = set(drop), list(extra)
        self.output_alternates, self.note = output_alternates, note
        self.field_sets = list(field_sets)


# The peripherals of chip/stm32g431_desc.cpp, by model.
KINDS = [
    Kind("rcc", "RCC", note="The SVD's CR reset (0x63) is wrong: the chip starts on HSI16, CR = 0x500."),
    Kind("pwr", "PWR"),
    Kind("flash", "FLASH"),
    Kind("syscfg", "SYSCFG"),
    Kind("exti", "EXTI"),
    Kind("gpio", "GPIOC", others=["GPIOA", "GPIOB", "GPIOD", "GPIOE", "GPIOF", "GPIOG"],
         note="GPIOC is the port D..G derive from; the resets of A and B (debug pins) are in desc::ports()."),
    Kind("tim", "TIM1", others=["TIM2", "TIM4", "TIM7", "TIM8", "TIM17"], extra=[("TIM17", "OR1")],
         output_alternates=True, field_sets=[("general", ["TIM2", "TIM4"]), ("one_channel", ["TIM17"])],
         note="TIM1, the advanced timer, has every register and field the timer model serves\n"
              "(RCR, BDTR, CCR5/CCR6, CCMR3); OR1 is TIM16/TIM17's. CCMRx are the output-compare\n"
              "layout (the SVD's CCMRx_Alternate); OCxM_1 is bit 3 of OCxM (modes 8..15).\n"
              "ARR and CCRx are the 20-bit dithering layout; without CR1.DITHEN they hold the\n"
              "counter's width (16 bits; 32 on TIM2)."),
    Kind("dmamux", "DMAMUX", drop=[f"C{n}CR" for n in range(12, 16)],
         note="The G431 has request-line channels C0CR..C11CR (the SVD describes 16)."),
    Kind("dma", "DMA1", drop=[f"{r}{n}" for r in ("CCR", "CNDTR", "CPAR", "CMAR") for n in (7, 8)],
         note="The G431's DMA1 has channels 1..6 (the SVD describes 8, and ISR/IFCR their flags)."),
    Kind("usart", "USART1", others=["USART3"],
         note="The SVD's ISR reset (0) is wrong: TC and TXE read 1 after reset (0xC0)."),
]

# Families that look indexed but are not: M1:M0 is one word-length field in two bits.
NOT_FAMILIES = {("usart", "CR1", "Mx")}

# Named values of multi-bit fields, found in the SVD by their description
# (which must start with the text given, followed by the end, a space or a
# stop); the SVD's own value names (B_0x6 ...) say nothing.
def _ocm(ch):
    return [("Frozen", "Frozen"), ("ActiveOnMatch", f"Set channel {ch} to active level on match"),
            ("InactiveOnMatch", f"Set channel {ch} to inactive level on match"), ("Toggle", "Toggle"),
            ("ForceInactive", "Force inactive level"), ("ForceActive", "Force active level"),
            ("PwmMode1", "PWM mode 1"), ("PwmMode2", "PWM mode 2")]


ENUMS = {
    ("rcc", "CFGR", "SW"): [("HSI16", "HSI16 selected as system clock"), ("HSE", "HSE selected as system clock"),
                            ("PLL", "PLL selected as system clock")],
    ("rcc", "CFGR", "SWS"): [("HSI16", "HSI16 oscillator used as system clock"),
                             ("HSE", "HSE used as system clock"), ("PLL", "PLL used as system clock")],
    ("rcc", "CFGR", "HPRE"): [(f"Div{d}", f"SYSCLK divided by {d}") for d in (2, 4, 8, 16, 64, 128, 256, 512)],
    ("rcc", "CFGR", "PPRE1"): [(f"Div{d}", f"HCLK divided by {d}") for d in (2, 4, 8, 16)],
    ("rcc", "CFGR", "PPRE2"): [(f"Div{d}", f"HCLK divided by {d}") for d in (2, 4, 8, 16)],
    ("rcc", "PLLCFGR", "PLLSRC"): [("HSI16", "HSI16 clock selected as PLL clock entry"),
                                   ("HSE", "HSE clock selected as PLL clock entry")],
    ("rcc", "PLLCFGR", "PLLR"): [(f"Div{d}", f"PLLR = {d}") for d in (2, 4, 6, 8)],
    ("pwr", "CR1", "VOS"): [("Range1", "Range 1"), ("Range2", "Range 2")],
    ("tim", "CR1", "CMS"): [("EdgeAligned", "Edge-aligned mode")],
    ("tim", "CCMR1", "CC1S"): [("Output", "CC1 channel is configured as output")],
    ("tim", "CCMR1", "OC1M"): _ocm(1),
    ("tim", "CCMR2", "CC3S"): [("Output", "CC3 channel is configured as output")],
    ("tim", "CCMR2", "OC3M"): _ocm(3),
}

# Families of this many members or more (a bit per pin or line) come only indexed.
PER_LINE = 8

IDENT = re.compile(r"^[A-Za-z_][A-Za-z0-9_]*$")
NUMBERED = re.compile(r"^([A-Za-z_]*?)(\d+)(.*)$")
CXX_WORDS = {"and", "or", "not", "xor", "bitand", "bitor", "compl", "and_eq", "or_eq", "xor_eq", "not_eq",
             "int", "char", "long", "short", "float", "double", "auto", "case", "default", "do", "if",
             "for", "new", "delete", "this", "true", "false", "register", "union", "struct", "class"}


def die(msg):
    print(f"svd_regs: {msg}", file=sys.stderr)
    sys.exit(2)


def num(text):
    return int(text, 0)


def words(text):
    return " ".join((text or "").split())


class Svd:
    def __init__(self, path):
        opener = lzma.open if str(path).endswith(".xz") else open
        try:
            with opener(path, "rb") as f:
                self.root = ET.parse(f).getroot()
        except (OSError, lzma.LZMAError, ET.ParseError) as e:
            die(f"{path}: cannot read the SVD: {e}")
        self.periphs = {p.findtext("name"): p for p in self.root.iter("peripheral")}
        self.default_reset = self.root.findtext("resetValue")

    def peripheral(self, name):
        if name not in self.periphs:
            die(f"no peripheral {name} in the SVD")
        return self.periphs[name]

    def source(self, name):
        """The peripheral that holds `name`'s registers (derivedFrom followed)."""
        p = self.peripheral(name)
        while p.find("registers") is None and p.get("derivedFrom"):
            p = self.peripheral(p.get("derivedFrom"))
        return p

    def registers(self, name, output_alternates):
        """name -> register dict of a peripheral, by the name without the peripheral prefix.
        With output_alternates, a register's alternate (the output-compare layout) stands
        in for it under its name."""
        src = self.source(name)
        prefix = src.findtext("name") + "_"
        p_reset = src.findtext("resetValue") or self.default_reset
        by_svd_name = {r.findtext("name"): r for r in src.find("registers").findall("register")}
        out, alternates = {}, {}
        for r in by_svd_name.values():
            svd_name = r.findtext("name")
            short = svd_name[len(prefix):] if svd_name.startswith(prefix) else svd_name
            base = r
            if r.get("derivedFrom"):
                base = by_svd_name.get(r.get("derivedFrom"))
                if base is None:
                    die(f"{svd_name}: derivedFrom {r.get('derivedFrom')} not found")
            fields = []
            for f in base.findall("fields/field"):
                fname = f.findtext("name")
                if not IDENT.match(fname):
                    die(f"{svd_name}.{fname}: not a C++ identifier")
                if f.findtext("bitOffset") is None:
                    die(f"{svd_name}.{fname}: only bitOffset/bitWidth fields are read")
                fields.append({"name": fname, "pos": num(f.findtext("bitOffset")),
                               "width": num(f.findtext("bitWidth")), "elem": f})
            fields.sort(key=lambda f: (f["pos"], f["name"]))
            reset = r.findtext("resetValue") or base.findtext("resetValue") or p_reset
            reg = {"name": short, "svd": svd_name, "offset": num(r.findtext("addressOffset")),
                   "reset": None if reset is None else num(reset), "fields": fields, "elem": base}
            alt = r.findtext("alternateRegister")
            if alt:
                alternates[alt[len(prefix):] if alt.startswith(prefix) else alt] = reg
            else:
                out[short] = reg
        if output_alternates:
            for short, reg in alternates.items():
                if short not in out:
                    die(f"{name}: alternate of unknown register {short}")
                out[short] = dict(reg, name=short)
        return out


def field_mask(fields):
    """The OR of the fields' masks."""
    m = 0
    for f in fields:
        m |= ((1 << f["width"]) - 1) << f["pos"]
    return m


def read_only(reg):
    """The mask of the fields the SVD marks read-only (the register's access
    standing for fields that name none)."""
    default = reg["elem"].findtext("access")
    return field_mask([f for f in reg["fields"] if (f["elem"].findtext("access") or default) == "read-only"])


def emit_field_sets(svd, kind, regs):
    """Per field set of `kind`: each register's kFields as its instances have
    them, where that differs from the representative's."""
    out = []
    for ns_name, insts in kind.field_sets:
        sets = [svd.registers(i, kind.output_alternates) for i in insts]
        lines, apart = [], []
        for r in sorted(regs.values(), key=lambda r: r["offset"]):
            if r.get("from") or not r["fields"]:
                continue
            masks = {None if r["name"] not in t else field_mask(t[r["name"]]["fields"]) for t in sets}
            if len(masks) != 1:
                apart.append(r["name"])
                continue
            mask = masks.pop()
            if mask is None or mask == field_mask(r["fields"]):
                continue
            ns = r["name"].lower()
            lines += [f"namespace {ns} {{", f"inline constexpr uint32_t kFields = 0x{mask:08X};", f"}}  // namespace {ns}"]
        if not lines:
            continue
        if ns_name in regs or ns_name in CXX_WORDS or any(ns_name == r["name"].lower() for r in regs.values()):
            die(f"{kind.ns}: field set name {ns_name} collides")
        out.append("")
        out.append(f"// Every field of {' and '.join(insts)}, by register, where {kind.rep} has more.")
        if apart:
            out += wrap("//", f"Not here, as they differ between them: {', '.join(apart)}.")
        out.append(f"namespace {ns_name} {{")
        out += lines
        out.append(f"}}  // namespace {ns_name}")
    return out


def families(items, key, fname):
    """Indexed families among `items` (dicts with 'name'): {family name: (first item,
    first number, stride, members)}. Members share the text around their first number
    and sit at pos = first + stride * (n - first number), same width; the run
    stops at the first member that breaks the stride."""
    groups = {}
    for it in items:
        m = NUMBERED.match(it["name"])
        if m:
            groups.setdefault((m.group(1), m.group(3)), []).append((int(m.group(2)), it))
    out = {}
    for (pre, post), members in groups.items():
        members.sort(key=lambda m: m[0])
        if len(members) < 2 or len({n for n, _ in members}) != len(members):
            continue
        (n0, first), (n1, second) = members[0], members[1]
        step, rem = divmod(key(second) - key(first), n1 - n0)
        if step <= 0 or rem:
            continue
        run = []
        for n, it in members:
            if key(it) != key(first) + step * (n - n0) or it.get("width") != first.get("width"):
                break
            run.append((n, it))
        if len(run) < 2:
            continue
        out[f"{pre}x{post}"] = (first, n0, step, [it["name"] for _, it in run])
    return {name: fam for name, fam in sorted(out.items()) if fname(name)}


def enum_values(kind, reg, field):
    wanted = ENUMS.get((kind.ns, reg["name"], field["name"]))
    if not wanted:
        return []
    evs = [(num(e.findtext("value")), words(e.findtext("description")))
           for e in field["elem"].iter("enumeratedValue") if e.findtext("value") is not None]
    out = []
    for const, text in wanted:
        hits = [v for v, d in evs if d == text or (d.startswith(text) and d[len(text)] in " .,-:")]
        if len(hits) != 1:
            die(f"{kind.rep} {reg['name']}.{field['name']}: {len(hits)} values described as '{text}'")
        out.append((const, hits[0]))
    return out


def differences(svd, kind, regs):
    """Lines saying where another modelled instance differs from the representative."""
    lines = []
    for other in kind.others:
        theirs = svd.registers(other, kind.output_alternates)
        notes = []
        for name, reg in sorted(regs.items(), key=lambda r: r[1]["offset"]):
            t = theirs.get(name)
            if t is None or reg.get("from") not in (None, other):
                continue
            if t["reset"] != reg["reset"] and reg.get("from") is None:
                notes.append(f"{name} reset 0x{t['reset']:08X}")
            mine = {f["name"]: f for f in reg["fields"]}
            for f in t["fields"]:
                m = mine.get(f["name"])
                if m is None:
                    notes.append(f"{name}.{f['name']} at {f['pos']}/{f['width']}")
                elif (m["pos"], m["width"]) != (f["pos"], f["width"]):
                    notes.append(f"{name}.{f['name']} at {f['pos']}/{f['width']}")
        for name, t in sorted(theirs.items(), key=lambda r: r[1]["offset"]):
            if name not in regs:
                notes.append(f"has {name} at 0x{t['offset']:03X}")
        if notes:
            lines.append(f"{other}: " + "; ".join(notes))
    return lines


def wrap(prefix, text, width=110):
    out, line = [], prefix
    for w in text.split(" "):
        if len(line) + 1 + len(w) > width and line.strip() not in ("//", ""):
            out.append(line)
            line = prefix + "  "
        line = f"{line} {w}" if line.strip() else f"{line}{w}"
    out.append(line)
    return out


def emit_kind(svd, kind):
    regs = {n: r for n, r in svd.registers(kind.rep, kind.output_alternates).items() if n not in kind.drop}
    for inst, rname in kind.extra:
        theirs = svd.registers(inst, kind.output_alternates)
        if rname not in theirs:
            die(f"{inst} has no register {rname}")
        regs[rname] = dict(theirs[rname], **{"from": inst})
    order = sorted(regs.values(), key=lambda r: r["offset"])
    desc = words(svd.peripheral(kind.rep).findtext("description"))
    out = [f"// {kind.ns.upper()}: the SVD's {kind.rep} ({desc})."]
    for para in kind.note.split("\n") if kind.note else []:
        out.append(f"// {para}")
    diffs = differences(svd, kind, regs)
    if diffs:
        out.append("// Where the other modelled instances differ (from the SVD):")
        for d in diffs:
            out += wrap("//  ", d)
    out.append(f"namespace {kind.ns} {{")
    out.append("")
    for r in order:
        tail = f"  // {r['from']} only" if r.get("from") else ""
        out.append(f"inline constexpr uint32_t {r['name']} = 0x{r['offset']:03X};{tail}")
    reg_fams = families(order, lambda r: r["offset"], lambda n: True)
    for fam, (first, n0, step, members) in reg_fams.items():
        k = "n" if n0 == 0 else f"(n - {n0}u)"
        out.append(f"// {members[0]}..{members[-1]}")
        out.append(f"constexpr uint32_t {fam}(unsigned n) {{ return {first['name']} + 0x{step:X}u * {k}; }}")
    used = set(regs) | set(reg_fams)
    shared = {}  # register name -> family namespace whose fields it shares
    for fam, (_, _, _, members) in reg_fams.items():
        layouts = {(regs[m]["reset"], tuple((f["name"], f["pos"], f["width"]) for f in regs[m]["fields"]))
                   for m in members}
        if len(layouts) == 1 and regs[members[0]]["fields"]:
            for m in members:
                shared[m] = fam
    done = set()
    for r in order:
        ns_name = shared.get(r["name"], r["name"]).lower()
        if ns_name in done or not r["fields"]:
            continue
        done.add(ns_name)
        if ns_name in CXX_WORDS or ns_name in used:
            die(f"{kind.ns}: namespace name {ns_name} collides")
        label = r["svd"]
        if r["name"] in shared:
            members = reg_fams[shared[r["name"]]][3]
            label = f"{members[0]}..{members[-1]}, each"
        out.append("")
        out.append(f"namespace {ns_name} {{  // {label}")
        if r["reset"] is not None:
            out.append(f"inline constexpr uint32_t kReset = 0x{r['reset']:08X};")
        out.append(f"inline constexpr uint32_t kFields = 0x{field_mask(r['fields']):08X};  // every field")
        ro = read_only(r)
        if ro and ro != field_mask(r["fields"]):
            out.append(f"inline constexpr uint32_t kReadOnly = 0x{ro:08X};  // the read-only fields")
            out.append(f"inline constexpr uint32_t kWritable = 0x{field_mask(r['fields']) & ~ro:08X};  // the others")
        names = {f["name"] for f in r["fields"]}
        fams = families(r["fields"], lambda f: f["pos"],
                        lambda n, reg=r["name"]: (kind.ns, reg, n) not in NOT_FAMILIES)
        member_of, only_indexed = {}, set()
        for fam, (_, _, _, members) in fams.items():
            if fam in names:
                die(f"{kind.ns}::{ns_name}: family {fam} collides with a field")
            for m in members:
                member_of[m] = fam
            if len(members) >= PER_LINE:
                only_indexed |= set(members)
        for f in r["fields"]:
            if f["name"] not in only_indexed:
                out.append(f"inline constexpr Field {f['name']}{{{f['pos']}, {f['width']}}};")
        for fam, (first, n0, step, members) in fams.items():
            k = "n" if n0 == 0 else f"n - {n0}"
            at = f"Field{{{first['pos']}, {first['width']}}}" if first["name"] in only_indexed else first["name"]
            nums = [int(NUMBERED.match(m).group(2)) for m in members]
            gaps = [str(n) for n in range(nums[0], nums[-1]) if n not in nums]
            gap = f" (no {', '.join(gaps)})" if gaps else ""
            out.append(f"// {members[0]}..{members[-1]}{gap}")
            out.append(f"constexpr Field {fam}(unsigned n) {{ return {at}.at({step}, {k}); }}")
        emitted = {}
        for f in r["fields"]:
            values = enum_values(kind, r, f)
            if not values:
                continue
            fam = member_of.get(f["name"], f["name"])
            vname = fam.lower()
            if vname in names or vname in CXX_WORDS:
                die(f"{kind.ns}::{ns_name}: value namespace {vname} collides")
            if vname in emitted:
                if emitted[vname] != values:
                    die(f"{kind.ns}::{ns_name}: {f['name']} has other values than its family")
                continue
            emitted[vname] = values
            out.append(f"// Values of {fam}.")
            out.append(f"namespace {vname} {{")
            for const, v in values:
                out.append(f"inline constexpr uint32_t {const} = {v};")
            out.append(f"}}  // namespace {vname}")
        out.append(f"}}  // namespace {ns_name}")
    out += emit_field_sets(svd, kind, regs)
    out.append("")
    out.append(f"}}  // namespace {kind.ns}")
    return out


def generate(svd_path):
    svd = Svd(svd_path)
    lines = [
        f"// Generated by `{COMMAND}` from {SVD}; do not edit:",
        "// change the generator and run it again (the chip_register_names_vs_svd test",
        "// fails while this file and the generator's output differ).",
        "//",
        "// Register offsets (from the peripheral's base, which chip/stm32g431_desc.cpp",
        "// holds), reset values (kReset) and fields (core::Field) of the peripherals the",
        "// models implement, one namespace per kind of peripheral, one nested namespace",
        "// per register. Registers and fields numbered at a constant stride also come",
        "// indexed, the number standing for the x exactly as in the names:",
        "// tim::ccer::CCxE(2) is CC2E, dma::CCRx(1) is CCR1, dmamux::CxCR(0) is C0CR. Each",
        "// says which members it spans; outside those the stride no longer holds. Where",
        "// the channel registers share one layout their fields have one namespace",
        "// (dma::ccrx, dmamux::cxcr). Named values of a few multi-bit fields are in a",
        "// namespace named after the field in lower case (rcc::cfgr::sw::PLL). kFields",
        "// is the OR of a register's fields; where some are read-only and some not,",
        "// kReadOnly is the OR of those the SVD marks read-only, kWritable of the others.",
        "// Each kind takes one SVD peripheral; the comment before it says which, and",
        "// where the other instances of that kind differ.",
        "#pragma once",
        "",
        "#include <cstdint>",
        "",
        '#include "core/reg_field.h"',
        "",
        "namespace vboard::periph {",
        "",
        "using core::Field;",
    ]
    for kind in KINDS:
        lines.append("")
        lines += emit_kind(svd, kind)
    lines += ["", "}  // namespace vboard::periph", ""]
    return "\n".join(lines)


# ------------------------------------------------------------ register table

# The peripherals chip/stm32g431_desc.cpp models, in its order (a test checks
# the two lists against each other): the register table describes these.
MODELLED = ["RCC", "PWR", "FLASH", "SYSCFG", "EXTI", "GPIOA", "GPIOB", "GPIOC", "GPIOD", "GPIOE", "GPIOF",
            "GPIOG", "TIM1", "TIM2", "TIM4", "TIM7", "TIM8", "TIM17", "DMAMUX", "DMA1", "USART3"]

# Resets the SVD has wrong, as the notes of KINDS say (the header keeps the SVD's).
RESET_FIXES = {("rcc", "CR"): 0x500, ("usart", "ISR"): 0xC0}

ACCESS = {"read-write": "kReadWrite", "read-only": "kReadOnly", "write-only": "kWriteOnly"}

# A named value is shown after the field's value: its description's first
# sentence, cut to this many characters at a word.
VALUE_CHARS = 60


def value_text(description):
    """A value's description as one short line of plain text. The SVD writes
    sub- and superscripts as HTML, some of them with '<' spelled out as
    'less than'; footnote marks (a superscript) are dropped."""
    d = words(description)
    d = re.sub(r"less than(/?)(sub|sup)>", r"<\1\2>", d)
    d = re.sub(r"<sup>.*?</sup>", "", d)
    d = re.sub(r"</?sub>", "", d).replace("less than", "<")
    d = re.split(r"(?<=[a-z0-9)])\. ", d)[0].rstrip(".")
    if len(d) > VALUE_CHARS:
        d = d[:VALUE_CHARS - 3].rsplit(" ", 1)[0].rstrip(",;:-") + "..."
    if '"' in d or "\\" in d or not d.isprintable():
        die(f"value text {d!r} needs escaping")
    return d


def access_of(elem, default):
    a = elem.findtext("access") or default or "read-write"
    if a not in ACCESS:
        die(f"access {a} is none of {', '.join(ACCESS)}")
    return a


class Interned:
    """Rows appended in runs; a run equal to an earlier one is not added again
    and its first index is reused."""

    def __init__(self):
        self.rows, self.runs = [], {}

    def add(self, run):
        key = tuple(run)
        if key not in self.runs:
            self.runs[key] = len(self.rows)
            self.rows += run
        return self.runs[key], len(run)


def table_rows(svd):
    kind_of = {n: k for k in KINDS for n in [k.rep] + k.others}
    values, fields, regs, periphs = Interned(), Interned(), Interned(), []
    for name in MODELLED:
        kind = kind_of.get(name)
        if kind is None:
            die(f"{name} is modelled but in no kind")
        p = svd.peripheral(name)
        reg_rows = []
        for r in sorted(svd.registers(name, kind.output_alternates).values(), key=lambda r: r["offset"]):
            if r["name"] in kind.drop:
                continue
            r_access = access_of(r["elem"], None)
            field_rows = []
            for f in r["fields"]:
                vals = sorted((num(e.findtext("value")), value_text(e.findtext("description")))
                              for e in f["elem"].iter("enumeratedValue") if e.findtext("value") is not None)
                first, count = values.add(vals)
                field_rows.append((f["name"], f["pos"], f["width"], access_of(f["elem"], r_access),
                                   first if count else 0, count))
            first, count = fields.add(field_rows)
            reset = RESET_FIXES.get((kind.ns, r["name"]), r["reset"] or 0)
            reg_rows.append((r["name"], r["offset"], r_access, reset, first if count else 0, count))
        first, count = regs.add(reg_rows)
        periphs.append((name, num(p.findtext("baseAddress")), first, count))
    return periphs, regs.rows, fields.rows, values.rows


def generate_table(svd_path):
    periphs, regs, fields, values = table_rows(Svd(svd_path))
    for what, rows in (("registers", regs), ("fields", fields), ("values", values)):
        if len(rows) >= 1 << 16:
            die(f"{len(rows)} {what}: more than a 16-bit index reaches")
    lines = [
        f"// Generated by `{COMMAND}` from {SVD}; do not edit:",
        "// change the generator and run it again (the chip_register_names_vs_svd test",
        "// fails while this file and the generator's output differ).",
        "//",
        "// The registers of every peripheral the chip description models, for",
        "// `monitor regs` (chip/reg_view.h): per register its offset, access and reset",
        "// value (the SVD's, but RCC CR and USART ISR as chip/stm32g431_regs.h notes),",
        "// per field its position, width and access, and the values the SVD names,",
        "// each as its description's first sentence. Peripherals, registers and",
        "// fields of one layout share rows.",
        '#include "chip/reg_view.h"',
        "",
        "namespace vboard::periph::regview {",
        "",
        "namespace {",
        "",
        "constexpr Access kReadWrite = Access::read_write, kReadOnly = Access::read_only,",
        "                 kWriteOnly = Access::write_only;",
        "",
        "// clang-format off",
        "constexpr ValueRow kValues[] = {",
    ]
    lines += [f'    {{{v}, "{text}"}},' for v, text in values]
    lines += ["};", "", "constexpr FieldRow kFields[] = {"]
    lines += [f'    {{"{n}", {pos}, {w}, {ACCESS[a]}, {first}, {count}}},' for n, pos, w, a, first, count in fields]
    lines += ["};", "", "constexpr RegisterRow kRegisters[] = {"]
    lines += [f'    {{"{n}", 0x{off:03X}, {ACCESS[a]}, 0x{reset:08X}, {first}, {count}}},'
              for n, off, a, reset, first, count in regs]
    lines += ["};", "", "constexpr PeripheralRow kPeripherals[] = {"]
    lines += [f'    {{"{n}", 0x{base:08X}, {first}, {count}}},' for n, base, first, count in periphs]
    lines += ["};", "// clang-format on", "", "}  // namespace", "",
              "const Table& table() {",
              "  static constexpr Table kTable{kPeripherals, kRegisters, kFields, kValues};",
              "  return kTable;", "}", "", "}  // namespace vboard::periph::regview", ""]
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--svd", default=str(ROOT / SVD))
    ap.add_argument("--out", default=str(ROOT / OUT))
    ap.add_argument("--table", default=str(ROOT / TABLE))
    args = ap.parse_args()
    text, table = generate(args.svd), generate_table(args.svd)
    Path(args.out).write_text(text)
    Path(args.table).write_text(table)


if __name__ == "__main__":
    main()
