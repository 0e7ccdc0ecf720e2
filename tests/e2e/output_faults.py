#!/usr/bin/env python3
"""Outputs are whole or absent, whatever happens to the run.

Runs the built prepqdm with faults injected and checks the rule a build
relies on: after exit 0 every requested output is complete (byte for byte
what an undisturbed run of one of the command lines writes); after any other
exit each output path holds exactly what it held before, or nothing.

  output_faults.py BUILD_DIR

Faults: SIGKILL and SIGTERM at many points of a large write, two runs of the
same outputs at once, a file size limit (ulimit -f), an archiver that fails,
crashes, is missing or cannot be run. Prints "N passed, N failed".
"""
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

BUILD = os.path.abspath(sys.argv[1])
PREPQDM = os.path.join(BUILD, "prepqdm")
QDMDUMP = os.path.join(BUILD, "qdmdump")
ENV = dict(os.environ, SOURCE_DATE_EPOCH="1700000000", TOOLCHAIN_ROOT=BUILD)
passed = failed = 0


def check(ok, what):
    global passed, failed
    if ok:
        passed += 1
    else:
        failed += 1
        print("FAIL:", what)


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def run(args, env=ENV, cwd=None, **kw):
    return subprocess.run([PREPQDM] + args, env=env, cwd=cwd, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, **kw)


def leftovers(directory):
    return [n for n in os.listdir(directory) if n.endswith(".tmp")]


def main():
    work = tempfile.mkdtemp(prefix="prepqdm-faults-")
    try:
        os.chdir(work)
        # Definition-file-only runs: a big export object and library from
        # names alone, quick to make and slow enough to interrupt.
        names = ["symbol_%06d_%s" % (i, "x" * (i % 23)) for i in range(300000)]
        write("big.def", ("[CODE]\n" + "\n".join(names[:200000]) + "\n[DATA]\n" +
                          "\n".join(names[200000:]) + "\n").encode())
        write("other.def", b"[CODE]\nother_one\n[DATA]\nother_two\n")
        big = ["-o", "out.o", "-l", "lib.a", "-r", "Big.qdm", "-x", "big.def"]
        other = ["-o", "out.o", "-l", "lib.a", "-r", "Big.qdm", "-x", "other.def"]

        # What undisturbed runs write.
        references = {}
        for name, args in (("big", big), ("other", other)):
            r = run(args)
            check(r.returncode == 0, "reference run %s: %s" % (name, r.stdout[-300:]))
            references[name] = (read("out.o"), read("lib.a"))
        dump = subprocess.run([QDMDUMP, "out.o", "lib.a"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        check(dump.returncode == 0, "qdmdump accepts the outputs: %s" % dump.stdout[-300:])
        previous = (b"previous export object\n", b"previous library\n")

        def reset():
            write("out.o", previous[0])
            write("lib.a", previous[1])

        def outputs():
            return read("out.o"), read("lib.a")

        # Killed at many points of the write. The archiver's window is left
        # out (-noar): a SIGKILL there may leave an unindexed library.
        bare = big + ["-noar"]
        r = run(bare)
        bare_reference = outputs()
        start = time.monotonic()
        run(bare)
        duration = time.monotonic() - start
        random.seed(7)
        for kind in (signal.SIGKILL, signal.SIGTERM):
            for attempt in range(12):
                reset()
                p = subprocess.Popen([PREPQDM] + bare, env=ENV, stdout=subprocess.DEVNULL)
                time.sleep(random.uniform(0, duration * 1.1))
                p.send_signal(kind)
                code = p.wait()
                got = outputs()
                label = "%s at attempt %d (exit %d)" % (signal.Signals(kind).name, attempt, code)
                if code == 0:
                    check(got == bare_reference, label + ": finished, outputs complete")
                elif kind == signal.SIGTERM:
                    # Whatever was put in place is taken back; nothing left over.
                    check(all(g in (p_, None) for g, p_ in zip(got, previous)), label + ": previous or absent")
                    check(not leftovers("."), label + ": temporary files removed: %s" % leftovers("."))
                else:
                    check(all(g == p_ or g == r_ or g is None for g, p_, r_ in zip(got, previous, bare_reference)),
                          label + ": previous, absent or complete")
            for leftover in leftovers("."):
                os.unlink(leftover)

        # Two runs of the same outputs at once: each output complete, from one
        # of them.
        for attempt in range(10):
            reset()
            a = subprocess.Popen([PREPQDM] + big, env=ENV, stdout=subprocess.DEVNULL)
            b = subprocess.Popen([PREPQDM] + other, env=ENV, stdout=subprocess.DEVNULL)
            codes = (a.wait(), b.wait())
            got = outputs()
            check(codes == (0, 0), "concurrent runs exit 0: %s" % (codes,))
            check(got[0] in (references["big"][0], references["other"][0]), "concurrent export object whole")
            check(got[1] in (references["big"][1], references["other"][1]), "concurrent library whole")

        # A file size limit: the write fails with EFBIG, the targets keep
        # their bytes.
        reset()
        r = subprocess.run(["bash", "-c", 'ulimit -f 64; exec "$0" "$@"', PREPQDM] + big, env=ENV,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        check(r.returncode == 27, "ulimit -f: exit EFBIG, not a signal: %d" % r.returncode)
        check(outputs() == previous, "ulimit -f: targets unchanged")
        check(b"note: " in r.stdout, "ulimit -f: a note names the file and the reason")
        check(not leftovers("."), "ulimit -f: temporary files removed")

        # The archiver fails, crashes, is missing or cannot be run: the run
        # fails and takes back what it put in place.
        small = ["-o", "out.o", "-l", "lib.a", "-r", "Big.qdm", "-x", "other.def"]
        tools = os.path.join(work, "tools")
        cases = {"fails": "exit 3\n", "crashes": "kill -SEGV $$\n", "not executable": None, "missing": ""}
        for label, script in cases.items():
            shutil.rmtree(tools, ignore_errors=True)
            os.mkdir(tools)
            if script:
                write(os.path.join(tools, "ax"), ("#!/bin/sh\n" + script).encode())
                os.chmod(os.path.join(tools, "ax"), 0o755)
            elif script is None:
                write(os.path.join(tools, "ax"), b"#!/bin/sh\nexit 0\n")
                os.chmod(os.path.join(tools, "ax"), 0o644)
            for root in ([tools, ""] if label == "missing" else [tools]):
                reset()
                r = run(small, env=dict(ENV, TOOLCHAIN_ROOT=root))
                what = "archiver %s (TOOLCHAIN_ROOT=%r)" % (label, root)
                check(r.returncode != 0, what + ": the run fails")
                check(b"creating import lib" in r.stdout, what + ": the failure is reported")
                check(outputs() == (None, None), what + ": both outputs taken back")

        # A symlink at a target is replaced, not followed; another hard link
        # to the old file keeps the old bytes.
        write("elsewhere.o", b"another file\n")
        os.symlink("elsewhere.o", "link.o")
        write("hard.o", b"old bytes\n")
        os.link("hard.o", "hard2.o")
        for target in ("link.o", "hard.o"):
            r = run(["-o", target, "-q", "-x", "other.def"])
            check(r.returncode == 0 and not os.path.islink(target), "%s written as a file of its own" % target)
        check(read("elsewhere.o") == b"another file\n" and read("hard2.o") == b"old bytes\n",
              "the files behind the links keep their bytes")

        # Nothing exported: a library of an earlier run is removed, anything
        # else at the path is left alone.
        write("empty.def", b"; nothing\n")
        write("lib.a", references["other"][1])
        r = run(["-o", "out.o", "-l", "lib.a", "-r", "Big.qdm", "-x", "empty.def"])
        check(r.returncode == 0 and read("lib.a") is None and b"note: lib.a" in r.stdout, "stale library removed")
        write("lib.a", b"not a library\n")
        r = run(["-o", "out.o", "-l", "lib.a", "-r", "Big.qdm", "-x", "empty.def"])
        check(r.returncode == 0 and read("lib.a") == b"not a library\n", "other file at the library path kept")

        # An output that is another file of the run is refused before
        # anything is written.
        shutil.copy(os.path.join(BUILD, "prepqdm"), "a.o")  # any file: it must stay as it is
        a_bytes = read("a.o")
        for args, message in ((["-o", "a.o", "-xall", "a.o"], b"is also an input and is not an export object"),
                              (["-o", "out.o", "-log", "other.def", "-x", "other.def", "-q"],
                               b"Log file \"other.def\" is also the definition file"),
                              (["-o", "out.o", "-l", "out.o", "-r", "M", "-x", "other.def"],
                               b"is also the import library")):
            r = run(args)
            check(r.returncode == 255 and message in r.stdout, "refused: %s: %s" % (args, r.stdout[:200]))
        check(read("a.o") == a_bytes and read("other.def").startswith(b"[CODE]"), "refused runs wrote nothing")
    finally:
        os.chdir("/")
        shutil.rmtree(work, ignore_errors=True)
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


sys.exit(main())
