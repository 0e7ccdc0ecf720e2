#!/usr/bin/env python3
"""Generates the benchmark inputs: C sources written from a fixed seed and
compiled by real compilers, so the objects look like those of a big build
(one section per function and per variable, relocations, unwind tables,
PIE thunks in COMDAT groups, weak, common and static symbols, C and
C++-mangled names of 8 to 60 bytes).

Sets, under BENCH_DIR (default /tmp/prepqdm-bench):
  set1/      2,000 objects, ~200 global functions and ~50 global variables
             each (gcc -m32)
  set2/      the same objects in one ar archive
  set3/      one object with 10,000 functions in ~20,000 sections, and the
             same code in under 20 sections
  set4/      500 objects of identical size and section count differing in one
             byte, plus 20 byte-identical copies; set4d/ holds 520 objects of
             the same code with distinct sizes (a padding array of 4*i bytes)
  set5/      the first 500 sources of set 1 built big-endian
             (powerpc-linux-gnu-gcc)
  set6/      set 1 with its names dealt out afresh: the same sources, each
             global name replaced through one fixed permutation of all of
             set 1's names, so an object's names come from everywhere
  set7/      the objects of set 6 in one ar archive
  set1r/     set 1 pre-linked by `ld -m elf_i386 -r` into module.o: about
             920,000 sections, so extended section numbering
  defs/      a definition file naming 100,000 of set 1's symbols
  defs6/     the same 100,000 symbols under their set 6 names

A set is generated again only when its stamp does not carry the current
GENERATOR_VERSION. Compilation runs in parallel (xargs -P, default 2 jobs).
"""
import os
import random
import re
import shutil
import subprocess
import sys

GENERATOR_VERSION = "4"
SEED = 20240508
SET1_OBJECTS = 2000
SET4_OBJECTS = 500
SET4_COPIES = 20
SET5_OBJECTS = 500
SET3_FUNCTIONS = 10000
SET6_SEED = SEED + 6
DEF_SYMBOLS = 100000

GCC_FLAGS = ["-O0", "-ffunction-sections", "-fdata-sections", "-c", "-w"]
LE_CC = ["gcc", "-m32"]
BE_CC = ["powerpc-linux-gnu-gcc"]

WORDS = ("alloc buffer cache channel chunk client codec config context core crc cursor decode device "
         "dispatch driver encode entry event fifo frame glyph handle hash header index init input "
         "journal kernel layer layout link list load lock map mesh message mixer mode module mount "
         "mutex node packet page parse path pixel pool port queue range reader record region render "
         "reset ring route sample scene schedule segment sensor session shader signal slot socket "
         "source span stack state stream surface table task texture thread tick timer token track "
         "tree update vector view volume window worker write zone").split()
SUBSYSTEMS = "hal net gfx snd fs ui db io sec sched media power input usb wifi bt cam gps disp".split()
TYPES = ("i", "j", "Pv", "PKc", "Ph", "l", "m", "s", "t", "b")


def bench_dir():
    return os.environ.get("BENCH_DIR", "/tmp/prepqdm-bench")


def tag_of(index):
    """A short letter tag unique per source, so names never clash across objects."""
    letters = ""
    value = index
    for _ in range(3):
        letters += chr(ord("a") + value % 26)
        value //= 26
    return letters


class Names:
    def __init__(self, rng, subsystem, tag):
        self.rng = rng
        self.prefix = f"{subsystem}{tag}"
        self.used = set()

    def c_name(self):
        rng = self.rng
        target = min(60, max(8, int(rng.triangular(8, 60, 16))))
        while True:
            parts = [self.prefix]
            while len("_".join(parts)) < target:
                parts.append(rng.choice(WORDS))
            joined = "_".join(parts)
            name = joined[:target]
            if name.endswith("_"):
                name = joined[:target + 1]
            if name in self.used:
                name = f"{name[:56]}{len(self.used)}"
            if name not in self.used:
                self.used.add(name)
                return name

    def mangled_name(self):
        rng = self.rng
        while True:
            parts = [self.prefix] + [rng.choice(WORDS) for _ in range(rng.randint(1, 3))]
            encoded = "".join(f"{len(p)}{p}" for p in parts)
            params = "".join(rng.choice(TYPES) for _ in range(rng.randint(0, 3))) or "v"
            name = f"_ZN{encoded}E{params}"
            if len(name) > 60:
                continue
            if name in self.used:
                continue
            self.used.add(name)
            return name


def write_module(path, index, rng, functions=200, variables=50, extra=""):
    """Writes one C source; returns (code names, data names) of its eligible
    exports (global, non-weak, defined in a section)."""
    subsystem = SUBSYSTEMS[index % len(SUBSYSTEMS)]
    names = Names(rng, subsystem, tag_of(index))
    out = ["/* generated benchmark module */"]
    code, data = [], []

    # Variables first, so functions can use them.
    scalars, arrays = [], []
    for v in range(variables):
        kind = rng.random()
        name = names.c_name()
        cid = f"v{v}"
        if kind < 0.30:
            out.append(f"int {cid} __asm__(\"{name}\");\nint {cid} = {rng.randint(1, 1 << 20)};")
            scalars.append(cid)
            data.append(name)
        elif kind < 0.55:
            n = rng.randint(2, 64)
            out.append(f"unsigned {cid}[{n}] __asm__(\"{name}\");\nunsigned {cid}[{n}];")
            arrays.append((cid, n))
            data.append(name)
        elif kind < 0.80:
            n = rng.randint(2, 24)
            values = ", ".join(str(rng.randint(0, 65535)) for _ in range(n))
            out.append(f"extern const unsigned short {cid}[{n}] __asm__(\"{name}\");\n"
                       f"const unsigned short {cid}[{n}] = {{{values}}};")
            data.append(name)
        elif kind < 0.88:
            text = " ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 6)))
            out.append(f"extern const char {cid}[] __asm__(\"{name}\");\nconst char {cid}[] = \"{text}\";")
            data.append(name)
        elif kind < 0.93:
            out.append(f"int {cid} __asm__(\"{name}\");\n__attribute__((weak)) int {cid} = {rng.randint(1, 99)};")
            scalars.append(cid)
        elif kind < 0.97:
            out.append(f"int {cid} __asm__(\"{name}\");\n__attribute__((common)) int {cid};")
            scalars.append(cid)
        else:
            out.append(f"static int {cid} = {rng.randint(1, 99)};")
            scalars.append(cid)
    if not scalars:
        out.append("static int v_s = 1;")
        scalars.append("v_s")
    if not arrays:
        out.append("static unsigned v_a[4];")
        arrays.append(("v_a", 4))

    # A few static helpers, used by the global functions.
    helpers = []
    for h in range(5):
        cid = f"s{h}"
        out.append(f"static int {cid}(int a) {{ return a * {rng.randint(3, 99)} + {scalars[h % len(scalars)]}; }}")
        helpers.append(cid)

    defined = []
    for f in range(functions):
        cid = f"f{f}"
        name = names.mangled_name() if rng.random() < 0.15 else names.c_name()
        weak = rng.random() < 0.015
        if weak:
            # Weak hooks share names across modules, as inline functions do.
            name = f"weak_hook_{rng.randint(0, 400)}_handler"
            if name in names.used:
                name = names.c_name()
            names.used.add(name)
        attribute = "__attribute__((weak)) " if weak else ""
        out.append(f"int {cid}(int a, int b) __asm__(\"{name}\");")
        shape = rng.random()
        k1, k2, k3 = rng.randint(2, 999), rng.randint(2, 99999), rng.randint(2, 65535)
        if shape < 0.25 or not defined:
            body = f"int r = a * {k1} + b; if (r > {k2}) r -= b; return r ^ {k3};"
        elif shape < 0.50:
            g, h = rng.choice(defined), rng.choice(defined)
            body = f"return {g}(a + {k1}, b) + {h}(b, a ^ {k3}) + {rng.choice(helpers)}(a);"
        elif shape < 0.70:
            s = rng.choice(scalars)
            arr, n = rng.choice(arrays)
            body = f"{s} += a; {arr}[(unsigned)b % {n}u] = (unsigned)a; return {s} ^ {k1};"
        elif shape < 0.90:
            body = (f"unsigned s = {k2}u; for (int i = 0; i < a; ++i) s = s * 31u + (unsigned)(b >> (i & 7)); "
                    f"return (int)s;")
        else:
            cases = " ".join(f"case {c}: return b * {rng.randint(2, 999)} + {c};" for c in range(rng.randint(3, 6)))
            body = f"switch (a) {{ {cases} default: return b - {k1}; }}"
        out.append(f"{attribute}int {cid}(int a, int b) {{ {body} }}")
        defined.append(cid)
        if not weak:
            code.append(name)
    out.append(extra)
    with open(path, "w") as source:
        source.write("\n".join(out) + "\n")
    return code, data


def compile_all(jobs, compiler, pairs, extra_flags=()):
    """Compiles (source, object) pairs, `jobs` at a time, through xargs -P."""
    if not pairs:
        return
    command = " ".join(compiler + list(GCC_FLAGS) + list(extra_flags))
    script = f'{command} "$1" -o "$2"'
    lines = "".join(f"{s}\0{o}\0" for s, o in pairs)
    subprocess.run(["xargs", "-0", "-n", "2", "-P", str(jobs), "sh", "-c", script, "cc"],
                   input=lines.encode(), check=True)


def stamp_ok(directory):
    try:
        with open(os.path.join(directory, ".version")) as f:
            return f.read().strip() == GENERATOR_VERSION
    except OSError:
        return False


def stamp(directory):
    with open(os.path.join(directory, ".version"), "w") as f:
        f.write(GENERATOR_VERSION + "\n")


def fresh(directory):
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)


def object_name(index, rng):
    # Some names fit the 15 bytes of an ar header, others need the long-name table.
    return f"m{index:04d}_{rng.choice(WORDS)}{'_' + rng.choice(WORDS) if rng.random() < 0.5 else ''}.o"


def set1_layout():
    rng = random.Random(SEED)
    return [object_name(i, rng) for i in range(SET1_OBJECTS)]


def generate_set1(root, jobs):
    directory = os.path.join(root, "set1")
    if stamp_ok(directory):
        return
    fresh(directory)
    src = os.path.join(directory, "src")
    os.makedirs(src)
    pairs, symbols = [], []
    for i, name in enumerate(set1_layout()):
        source = os.path.join(src, name[:-2] + ".c")
        code, data = write_module(source, i, random.Random(SEED * 7919 + i))
        pairs.append((source, os.path.join(directory, name)))
        symbols.append((code, data))
    compile_all(jobs, LE_CC, pairs)
    with open(os.path.join(directory, "inputs.txt"), "w") as f:
        f.write("\n".join(n for n in set1_layout()) + "\n")
    # The symbols for the definition file: every fifth eligible one.
    with open(os.path.join(directory, "symbols.txt"), "w") as f:
        for code, data in symbols:
            for n in code:
                f.write(f"C {n}\n")
            for n in data:
                f.write(f"D {n}\n")
    stamp(directory)


def generate_set2(root):
    directory = os.path.join(root, "set2")
    if stamp_ok(directory):
        return
    fresh(directory)
    set1 = os.path.join(root, "set1")
    subprocess.run(["ar", "rcsD", os.path.join(directory, "libbig.a")] + set1_layout(), cwd=set1, check=True)
    stamp(directory)


def generate_defs(root, source="set1", target="defs", label="set 1"):
    directory = os.path.join(root, target)
    if stamp_ok(directory):
        return
    fresh(directory)
    code, data = [], []
    with open(os.path.join(root, source, "symbols.txt")) as f:
        for n, line in enumerate(f):
            kind, name = line.split()
            (code if kind == "C" else data).append(name)
    every = (len(code) + len(data)) // DEF_SYMBOLS
    code, data = code[::every], data[::every]
    extra = DEF_SYMBOLS - len(code) - len(data)
    if extra < 0:
        code = code[:len(code) + extra]
    with open(os.path.join(directory, "exports.def"), "w") as f:
        f.write(f"; generated: 100,000 exports of {label}\n[CODE]\n")
        f.write("\n".join(code) + "\n[DATA]\n")
        f.write("\n".join(data) + "\n")
    stamp(directory)


def generate_set3(root, jobs):
    directory = os.path.join(root, "set3")
    if stamp_ok(directory):
        return
    fresh(directory)
    rng = random.Random(SEED + 3)
    source = os.path.join(directory, "many.c")
    out = ["/* generated: 10,000 functions, each calling an earlier one */"]
    for f in range(SET3_FUNCTIONS):
        out.append(f"int fn_{tag_of(f // 26)}_{f}(int a);")
    for f in range(SET3_FUNCTIONS):
        callee = f"fn_{tag_of((f - 1) // 26)}_{f - 1}" if f > 0 else None
        k = rng.randint(2, 9999)
        body = f"return {callee}(a + {k}) ^ {k};" if callee else f"return a * {k};"
        out.append(f"int fn_{tag_of(f // 26)}_{f}(int a) {{ {body} }}")
    with open(source, "w") as s:
        s.write("\n".join(out) + "\n")
    subprocess.run(LE_CC + GCC_FLAGS + [source, "-o", os.path.join(directory, "sections.o")], check=True)
    flags = [f for f in GCC_FLAGS if f not in ("-ffunction-sections", "-fdata-sections")]
    subprocess.run(LE_CC + flags + [source, "-o", os.path.join(directory, "plain.o")], check=True)
    stamp(directory)


MARKER = bytes([0xA5, 0x5A, 0xC3, 0x3C, 0x96, 0x69, 0xF0, 0x0F])


def generate_set4(root, jobs):
    directory = os.path.join(root, "set4")
    distinct = os.path.join(root, "set4d")
    if stamp_ok(directory) and stamp_ok(distinct):
        return
    fresh(directory)
    fresh(distinct)
    marker = ", ".join(f"0x{b:02X}" for b in MARKER)
    extra = (f"extern const unsigned char bench_variant[8] __asm__(\"bench_variant\");\n"
             f"const unsigned char bench_variant[8] = {{{marker}}};\n"
             f"extern const unsigned char bench_pad[PAD] __asm__(\"bench_pad\");\n"
             f"const unsigned char bench_pad[PAD] = {{1}};\n")
    source = os.path.join(distinct, "base.c")
    write_module(source, 9000, random.Random(SEED + 4), extra=extra)
    base = os.path.join(directory, "base.o")
    subprocess.run(LE_CC + GCC_FLAGS + ["-DPAD=4", source, "-o", base], check=True)
    with open(base, "rb") as f:
        image = f.read()
    at = image.find(MARKER)
    assert at > 0 and image.find(MARKER, at + 1) < 0
    os.remove(base)
    for i in range(SET4_OBJECTS):
        copy = bytearray(image)
        copy[at + i % 8] ^= i // 8 + 1
        with open(os.path.join(directory, f"v{i:03d}.o"), "wb") as f:
            f.write(copy)
    for i in range(SET4_COPIES):
        shutil.copyfile(os.path.join(directory, f"v{i * 25:03d}.o"), os.path.join(directory, f"copy{i:02d}.o"))
    # The same code in 520 objects whose sizes all differ.
    pairs = []
    for i in range(SET4_OBJECTS + SET4_COPIES):
        pairs.append((f"{source} -DPAD={4 * i + 4}", os.path.join(distinct, f"d{i:03d}.o")))
    command = " ".join(LE_CC + GCC_FLAGS)
    lines = "".join(f"{s}\0{o}\0" for s, o in pairs)
    subprocess.run(["xargs", "-0", "-n", "2", "-P", str(jobs), "sh", "-c", f'{command} $1 -o "$2"', "cc"],
                   input=lines.encode(), check=True)
    stamp(directory)
    stamp(distinct)


def generate_set5(root, jobs):
    directory = os.path.join(root, "set5")
    if stamp_ok(directory):
        return
    if shutil.which(BE_CC[0]) is None:
        print(f"generate: {BE_CC[0]} not found; set 5 skipped", file=sys.stderr)
        return
    fresh(directory)
    src = os.path.join(root, "set1", "src")
    pairs = [(os.path.join(src, n[:-2] + ".c"), os.path.join(directory, n)) for n in set1_layout()[:SET5_OBJECTS]]
    compile_all(jobs, BE_CC, pairs)
    stamp(directory)


ASM_NAME = re.compile(r'__asm__\("([^"]+)"\)')


def set6_mapping(sources):
    """One permutation of every global name of set 1, from a fixed seed. The
    weak hooks keep their names: modules share them on purpose."""
    names = []
    seen = set()
    for text in sources:
        for name in ASM_NAME.findall(text):
            if name not in seen and not name.startswith("weak_hook_"):
                seen.add(name)
                names.append(name)
    dealt = list(names)
    random.Random(SET6_SEED).shuffle(dealt)
    return dict(zip(names, dealt))


def generate_set6(root, jobs):
    """Set 1 without name locality: in set 1 all names of a module share its
    prefix, so they fall into one subtree of a sorted symbol table. Here the
    code is the same but each name comes from a module picked at random, and
    names stay unique program-wide as before."""
    directory = os.path.join(root, "set6")
    if stamp_ok(directory):
        return
    fresh(directory)
    set1 = os.path.join(root, "set1")
    src = os.path.join(directory, "src")
    os.makedirs(src)
    layout = set1_layout()
    sources = []
    for name in layout:
        with open(os.path.join(set1, "src", name[:-2] + ".c")) as f:
            sources.append(f.read())
    mapping = set6_mapping(sources)
    pairs = []
    for name, text in zip(layout, sources):
        source = os.path.join(src, name[:-2] + ".c")
        with open(source, "w") as f:
            f.write(ASM_NAME.sub(lambda m: f'__asm__("{mapping.get(m.group(1), m.group(1))}")', text))
        pairs.append((source, os.path.join(directory, name)))
    compile_all(jobs, LE_CC, pairs)
    shutil.copyfile(os.path.join(set1, "inputs.txt"), os.path.join(directory, "inputs.txt"))
    with open(os.path.join(set1, "symbols.txt")) as f, open(os.path.join(directory, "symbols.txt"), "w") as out:
        for line in f:
            kind, name = line.split()
            out.write(f"{kind} {mapping[name]}\n")
    stamp(directory)


def generate_set7(root):
    directory = os.path.join(root, "set7")
    if stamp_ok(directory):
        return
    fresh(directory)
    set6 = os.path.join(root, "set6")
    subprocess.run(["ar", "rcsD", os.path.join(directory, "libbig.a")] + set1_layout(), cwd=set6, check=True)
def generate_set1r(root):
    directory = os.path.join(root, "set1r")
    if stamp_ok(directory):
        return
    fresh(directory)
    subprocess.run(["ld", "-m", "elf_i386", "-r", "-o", os.path.join(directory, "module.o")] + set1_layout(),
                   cwd=os.path.join(root, "set1"), check=True)
    stamp(directory)


def main():
    root = bench_dir()
    jobs = int(os.environ.get("BENCH_JOBS", "2"))
    os.makedirs(root, exist_ok=True)
    steps = [("set 1", lambda: generate_set1(root, jobs)), ("set 2", lambda: generate_set2(root)),
             ("definition file", lambda: generate_defs(root)), ("set 3", lambda: generate_set3(root, jobs)),
             ("set 4", lambda: generate_set4(root, jobs)), ("set 5", lambda: generate_set5(root, jobs)),
             ("set 6", lambda: generate_set6(root, jobs)), ("set 7", lambda: generate_set7(root)),
             ("definition file of set 6", lambda: generate_defs(root, "set6", "defs6", "set 6"))]
    steps.append(("set 1 pre-linked", lambda: generate_set1r(root)))
    for label, step in steps:
        print(f"generate: {label}", file=sys.stderr, flush=True)
        step()


if __name__ == "__main__":
    main()
