#!/usr/bin/env python3
"""Outputs are whole or absent, whatever happens to the run.

Runs the built prepqdm with faults injected and checks the rule a build
relies on: after exit 0 every requested output is complete (byte for byte
what an undisturbed run of one of the command lines writes); after any other
exit each output path holds exactly what it held before, or nothing.

  output_faults.py BUILD_DIR

Faults: SIGKILL and SIGTERM at many points of a large write; SIGTERM and
SIGHUP while the archiver runs, and an archiver that writes on SIGTERM; runs
of the same outputs at once (one of them failing, or both exporting different
names, where the export object and the library on disk must still belong
together); a file size limit (ulimit -f); an archiver that fails, crashes, is
missing, cannot be run or replaces the library and then fails; FIFO and
/dev/null targets; another export object among the inputs of -xall; a working
directory deeper than PATH_MAX. Prints "N passed, N failed".
"""
import os
import random
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
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
    # Temporary names start with a dot (".<pid>.<n>.<target>"); the tests
    # themselves make no dot-files.
    return sorted(n for n in os.listdir(directory) if n.startswith(".") or n.endswith(".tmp"))


def said(output):
    """What a run printed before its failure report and usage text."""
    return re.split(rb"\n\n[^\n]*(?: FAILED Error = |prepqdm for Brindle OS SDK)", output)[0][-300:]


def remove_leftovers(directory):
    for leftover in leftovers(directory):
        os.unlink(os.path.join(directory, leftover))


def make_archiver(directory, body):
    """A fake `ax` in `directory`, for TOOLCHAIN_ROOT; $1 is -ts, $2 the library."""
    shutil.rmtree(directory, ignore_errors=True)
    os.mkdir(directory)
    write(os.path.join(directory, "ax"), ("#!/bin/sh\n" + body).encode())
    os.chmod(os.path.join(directory, "ax"), 0o755)
    return directory


def qdmdump(*paths):
    return subprocess.run([QDMDUMP] + list(paths), stdout=subprocess.PIPE, stderr=subprocess.STDOUT)


def problem_lines(output):
    return b"; ".join(l.strip() for l in output.splitlines() if b"problem:" in l or b"error" in l)[:300]


def belongs(export_object, library):
    """qdmdump's verdict on the pair: (accepted, its exit status and problem lines)."""
    r = qdmdump(export_object, library)
    return r.returncode == 0, "exit %d: %s" % (r.returncode, problem_lines(r.stdout))


def describe(got, names, previous, reference):
    """What each output holds, in words, for a failure message."""
    words = []
    for name, g, p_, r_ in zip(names, got, previous, reference):
        if g is None:
            words.append(name + " absent")
        elif g == p_:
            words.append(name + " previous")
        elif g == r_:
            words.append(name + " complete output")
        else:
            words.append("%s %d other bytes (%r...)" % (name, len(g), g[:24]))
    return ", ".join(words)


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
        # Two runs of equal length that export different names: the pair on
        # disk tells which run each output came from.
        for prefix in ("alpha", "beta"):
            write(prefix + ".def", ("[CODE]\n" + "".join("%s_code_%05d\n" % (prefix, i) for i in range(8000)) +
                                    "[DATA]\n" + "".join("%s_data_%05d\n" % (prefix, i) for i in range(2000))).encode())
        big = ["-o", "out.o", "-l", "lib.a", "-r", "Big.qdm", "-x", "big.def"]
        other = ["-o", "out.o", "-l", "lib.a", "-r", "Big.qdm", "-x", "other.def"]
        alpha = ["-o", "out.o", "-l", "lib.a", "-r", "Pair.qdm", "-x", "alpha.def"]
        beta = ["-o", "out.o", "-l", "lib.a", "-r", "Pair.qdm", "-x", "beta.def"]

        # What undisturbed runs write.
        references = {}
        for name, args in (("big", big), ("other", other), ("alpha", alpha), ("beta", beta)):
            r = run(args)
            check(r.returncode == 0, "reference run %s: %s" % (name, said(r.stdout)))
            references[name] = (read("out.o"), read("lib.a"))
            if name != "big":  # qdmdump takes seconds over the big pair
                ok, problems = belongs("out.o", "lib.a")
                check(ok, "qdmdump accepts the %s outputs as a pair: %s" % (name, problems))
        # The pair checks below rely on qdmdump telling a library of another
        # run's export object.
        write("alpha.o", references["alpha"][0])
        write("beta.a", references["beta"][1])
        r = qdmdump("alpha.o", "beta.a")
        check(r.returncode == 1 and b"problem: beta.a does not belong to alpha.o" in r.stdout,
              "qdmdump refuses a library of another export object: exit %d: %s" %
              (r.returncode, problem_lines(r.stdout)))
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
            check(got in (references["big"], references["other"]), "concurrent outputs from the same run")

        small = ["-o", "out.o", "-l", "lib.a", "-r", "Big.qdm", "-x", "other.def"]

        def settled(label, code, reference, linger, bad):
            """After a run that may have been stopped: exit 0 and complete
            outputs, or each output as before or absent; nothing changes once
            the run has gone, and no temporary file is left."""
            got = outputs()
            time.sleep(linger)
            later = outputs()
            found = describe(got, ("out.o", "lib.a"), previous, reference)
            if code == 0 and got != reference:
                bad.append("%s: exit 0 with %s" % (label, found))
            elif code != 0 and not all(g in (p_, None) for g, p_ in zip(got, previous)):
                bad.append("%s (exit %d): %s" % (label, code, found))
            if later != got:
                bad.append("%s: changed after the run had exited: %s" %
                           (label, describe(later, ("out.o", "lib.a"), previous, reference)))
            if leftovers("."):
                bad.append("%s: left %s" % (label, leftovers(".")))
                remove_leftovers(".")

        # SIGTERM and SIGHUP while the archiver runs: the bundled one (on the
        # big library, where indexing takes a while) and a script that
        # indexes and then lingers. Each announces its start with a marker.
        marker = os.path.join(work, "archiver-started")
        quoted_ax = shlex.quote(os.path.join(BUILD, "ax"))
        wrapped = make_archiver(os.path.join(work, "tools-wrapped"),
                                'touch %s\nexec %s "$@"\n' % (shlex.quote(marker), quoted_ax))
        lingering = make_archiver(os.path.join(work, "tools-lingering"),
                                  'touch %s\n%s "$@" || exit $?\nsleep 0.3\n' % (shlex.quote(marker), quoted_ax))
        os.makedirs("measure")
        write("measure/lib.a", references["big"][1])
        start = time.monotonic()
        subprocess.run([os.path.join(BUILD, "ax"), "-ts", "measure/lib.a"], check=True)
        indexing = time.monotonic() - start
        shutil.rmtree("measure")

        def signal_in_archiver(args, archiver, kind, delay):
            """Signals a run `delay` seconds after its archiver has started;
            returns the exit status and whether the run was still going."""
            reset()
            if os.path.exists(marker):
                os.unlink(marker)
            p = subprocess.Popen([PREPQDM] + args, env=dict(ENV, TOOLCHAIN_ROOT=archiver),
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + 60
            while not os.path.exists(marker) and p.poll() is None and time.monotonic() < deadline:
                time.sleep(0.002)
            landed = False
            if os.path.exists(marker):
                time.sleep(delay)
                landed = p.poll() is None
                p.send_signal(kind)
            return p.wait(), landed

        for archiver, args, reference, window, attempts in ((wrapped, big, references["big"], indexing * 1.2, 3),
                                                            (lingering, small, references["other"], 0.35, 4)):
            bad = []
            landed = 0
            for kind in (signal.SIGTERM, signal.SIGHUP):
                for attempt in range(attempts):
                    code, reached = signal_in_archiver(args, archiver, kind, random.uniform(0, window))
                    landed += reached
                    settled("%s at attempt %d" % (signal.Signals(kind).name, attempt), code, reference, 0.2, bad)
            what = "signals while %s runs" % os.path.basename(archiver)
            check(landed >= attempts,
                  what + ": only %d of %d signals reached a running prepqdm" % (landed, 2 * attempts))
            check(not bad, what + ": " + "; ".join(bad[:4]))

        # Archivers that write after being told to stop: one that finishes a
        # write of its own on SIGTERM, and a script whose child outlives it.
        # Whatever they write must land before prepqdm exits, and be taken
        # back with the rest.
        for label, body in (("writing on SIGTERM",
                             'trap \'printf "written on SIGTERM\\n" > "$2.late"; mv "$2.late" "$2"; exit 0\' TERM\n'
                             'touch %s\nfor i in $(seq 100); do sleep 0.05; done\n'),
                            ("whose child writes after it is stopped",
                             'touch %s\n'
                             'sh -c \'sleep 0.3; echo written by a child of the archiver > "$1"\' child "$2"\n')):
            late = make_archiver(os.path.join(work, "tools-late"), body % shlex.quote(marker))
            code, reached = signal_in_archiver(small, late, signal.SIGTERM, 0.1)
            check(reached, "archiver %s: the signal reached prepqdm while the archiver ran" % label)
            bad = []
            settled("SIGTERM", code, references["other"], 1.0, bad)
            check(not bad, "archiver %s: %s" % (label, "; ".join(bad)))

        # A healthy run and one whose archiver fails, on the same outputs at
        # once: the failing run must not take back, or leave, anything; the
        # healthy run's pair stays.
        failing = make_archiver(os.path.join(work, "tools-failing"), "exit 1\n")
        start = time.monotonic()
        run(alpha)
        pair_duration = time.monotonic() - start
        bad = []
        for attempt in range(20):
            reset()
            runs = [("healthy", alpha, ENV), ("failing", beta, dict(ENV, TOOLCHAIN_ROOT=failing))]
            random.shuffle(runs)
            started = {}
            for name, args, env in runs:
                if started:
                    time.sleep(random.uniform(0, pair_duration))
                started[name] = subprocess.Popen([PREPQDM] + args, env=env, stdout=subprocess.DEVNULL,
                                                 stderr=subprocess.DEVNULL)
            codes = {name: p.wait() for name, p in started.items()}
            got = outputs()
            if codes["healthy"] != 0 or codes["failing"] == 0:
                bad.append("round %d: exits %d (healthy) and %d (failing)" %
                           (attempt, codes["healthy"], codes["failing"]))
            if got != references["alpha"]:
                bad.append("round %d: %s" % (attempt, describe(got, ("out.o", "lib.a"), previous, references["alpha"])))
            if leftovers("."):
                bad.append("round %d: left %s" % (attempt, leftovers(".")))
                remove_leftovers(".")
        check(not bad, "healthy and failing run at once, the healthy run's pair expected: %d problems: %s" %
              (len(bad), "; ".join(bad[:4])))

        # Two healthy runs of different exports on the same outputs at once:
        # the export object and the library on disk come from one run.
        bad = []
        for attempt in range(20):
            reset()
            first, second = (alpha, beta)[::random.choice((1, -1))]
            a = subprocess.Popen([PREPQDM] + first, env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(random.uniform(0, pair_duration))
            b = subprocess.Popen([PREPQDM] + second, env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            codes = (a.wait(), b.wait())
            got = outputs()
            ok, problems = belongs("out.o", "lib.a")
            if codes != (0, 0):
                bad.append("round %d: exits %s" % (attempt, codes))
            if got not in (references["alpha"], references["beta"]):
                words = [("alpha's" if g == ra else "beta's" if g == rb else "neither run's")
                         for g, ra, rb in zip(got, references["alpha"], references["beta"])]
                bad.append("round %d: export object %s, library %s" % (attempt, words[0], words[1]))
            if not ok:
                bad.append("round %d: qdmdump out.o lib.a: %s" % (attempt, problems))
            if leftovers("."):
                bad.append("round %d: left %s" % (attempt, leftovers(".")))
                remove_leftovers(".")
        check(not bad, "two runs of different exports at once: %d problems: %s" % (len(bad), "; ".join(bad[:4])))

        # A file size limit: the write fails with EFBIG, the targets keep
        # their bytes.
        reset()
        r = subprocess.run(["bash", "-c", 'ulimit -f 64; exec "$0" "$@"', PREPQDM] + big, env=ENV,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        check(r.returncode == 27, "ulimit -f: exit EFBIG, not a signal: %d" % r.returncode)
        check(outputs() == previous, "ulimit -f: targets unchanged")
        check(b"note: " in r.stdout, "ulimit -f: a note names the file and the reason")
        check(not leftovers("."), "ulimit -f: temporary files removed")

        # The archiver fails, crashes, is missing, cannot be run, or replaces
        # the library and then fails: the run fails and each output is as it
        # was or absent.
        tools = os.path.join(work, "tools")
        cases = {"fails": "exit 3\n", "crashes": "kill -SEGV $$\n", "not executable": None, "missing": "",
                 "replaces the library, then fails": 'cat "$2" > "$2.new" && mv "$2.new" "$2"\nexit 1\n'}
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
                got = outputs()
                check(all(g in (p_, None) for g, p_ in zip(got, previous)),
                      what + ": previous or absent: " +
                      describe(got, ("out.o", "lib.a"), previous, references["other"]))
                check(not leftovers("."), what + ": temporary files removed: %s" % leftovers("."))
                remove_leftovers(".")

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

        # Nothing exported: the library of an earlier run is replaced by the
        # empty one (the stub without import sections), as any output is.
        write("empty.def", b"; nothing\n")
        write("lib.a", references["other"][1])
        r = run(["-o", "out.o", "-l", "lib.a", "-r", "Big.qdm", "-x", "empty.def"])
        empty = read("lib.a") or b""
        check(r.returncode == 0 and r.stdout == b"" and empty.startswith(b"!<arch>\n") and b"big.qdm.o/" in empty
              and b".fimport_" not in empty, "earlier library replaced by the empty one")

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

        # A FIFO or /dev/null as a target gets the bytes a regular file would,
        # and only from a run that succeeds: otherwise a FIFO's reader sees
        # the end of the file with nothing before it. Bytes waiting for a
        # special target may go to TMPDIR, which must be left empty.
        spool = os.path.join(work, "spool")
        os.mkdir(spool)
        healthy = BUILD
        for obj, lib, root in (("pipe.o", "lib.a", healthy), ("out.o", "pipe.a", healthy),
                               ("pipe.o", "lib.a", failing), ("out.o", "pipe.a", failing),
                               ("/dev/null", "lib.a", healthy), ("out.o", "/dev/null", healthy)):
            reset()
            label = "-o %s -l %s%s" % (obj, lib, "" if root == healthy else ", archiver fails")
            fifo = obj if obj.startswith("pipe") else lib if lib.startswith("pipe") else None
            received = {}
            if fifo:
                os.mkfifo(fifo)

                def read_all(path=fifo):
                    with open(path, "rb") as f:
                        received["bytes"] = f.read()
                reader = threading.Thread(target=read_all, daemon=True)
                reader.start()
            p = subprocess.Popen([PREPQDM, "-o", obj, "-l", lib, "-r", "Big.qdm", "-x", "other.def"],
                                 env=dict(ENV, TOOLCHAIN_ROOT=root, TMPDIR=spool), stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, start_new_session=True)
            try:
                text = p.communicate(timeout=60)[0]
            except subprocess.TimeoutExpired:
                os.killpg(p.pid, signal.SIGKILL)
                text = p.communicate()[0]
                check(False, label + ": still running after 60 s, killed")
            if fifo:
                reader.join(5)
                check(not reader.is_alive(), label + ": the FIFO's reader still waits after the run exited")
                if reader.is_alive():
                    try:
                        os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
                    except OSError:
                        pass
                    reader.join(5)
                os.unlink(fifo)
            got = tuple(received.get("bytes") if t == fifo else None if t == "/dev/null" else read(t)
                        for t in (obj, lib))
            seen = [i for i, t in enumerate((obj, lib)) if t != "/dev/null"]
            found = describe([got[i] for i in seen], [(obj, lib)[i] for i in seen], [previous[i] for i in seen],
                             [references["other"][i] for i in seen])
            if root == healthy:
                check(p.returncode == 0, label + ": exit 0, not %d: %s" % (p.returncode, said(text)))
                check(all(got[i] == references["other"][i] for i in seen),
                      label + ": the bytes of a run into regular files: " + found)
            else:
                check(p.returncode != 0, label + ": the run fails")
                check(received.get("bytes") == b"", label + ": the reader gets no bytes, not %s" %
                      (None if received.get("bytes") is None else "%d bytes" % len(received["bytes"])))
                check(all(got[i] in (previous[i], None) for i in seen if (obj, lib)[i] != fifo),
                      label + ": previous or absent: " + found)
            check(not leftovers(".") and not os.listdir(spool),
                  label + ": temporary files left: %s" % (leftovers(".") + os.listdir(spool)))
            remove_leftovers(".")

        # -xall over another module's export object among the inputs: its
        # table symbols (qdm_fexports, qdm_dexports) are not this module's
        # exports.
        write("first.c", b"int first_f(void) { return 1; }\nint first_d = 1;\n")
        write("second.c", b"int second_f(void) { return 2; }\nint second_d = 2;\n")
        try:
            compiled = all(subprocess.run(["gcc", "-m32", "-fno-pic", "-c", name + ".c"]).returncode == 0
                           for name in ("first", "second"))
        except OSError:
            compiled = False
        if not compiled:
            print("skip: -xall over an export object: gcc -m32 cannot compile")
        else:
            r = run(["-o", "first_exports.o", "-xall", "first.o"])
            check(r.returncode == 0, "-xall export object of first.o: %s" % said(r.stdout))
            r = run(["-o", "out.o", "-l", "lib.a", "-r", "Second.qdm", "-xall", "first_exports.o", "second.o"])
            check(r.returncode == 0, "-xall over an export object: exit 0, not %d: %s" % (r.returncode, said(r.stdout)))
            dump = qdmdump("out.o", "lib.a")
            check(dump.returncode == 0, "-xall over an export object: qdmdump accepts the outputs: exit %d: %s" %
                  (dump.returncode, problem_lines(dump.stdout)))
            # Export-table entries "[i] name" and import slots "slot i (symbol j): kind  name".
            exported = set(re.findall(rb"^\s*(?:\[\d+\]|slot \d+ \(symbol \d+\): \w+) +(\S+)", dump.stdout, re.M))
            check({b"second_f", b"second_d"} <= exported and not exported & {b"qdm_fexports", b"qdm_dexports"},
                  "-xall over an export object exports second.o's symbols only: %s" % sorted(exported))
            check(not leftovers("."), "-xall over an export object: temporary files left: %s" % leftovers("."))

        # A working directory deeper than PATH_MAX, every path relative.
        definition = read("other.def")
        depth = 0
        while len(work) + 201 * depth <= 4200:
            os.mkdir("d" * 200)
            os.chdir("d" * 200)
            depth += 1
        write("other.def", definition)
        r = run(small)
        check(r.returncode == 0, "deep working directory: exit 0, not %d: %s" % (r.returncode, said(r.stdout)))
        got = outputs()
        check(got == references["other"], "deep working directory: outputs complete: " +
              describe(got, ("out.o", "lib.a"), (None, None), references["other"]))
        check(not leftovers("."), "deep working directory: temporary files left: %s" % leftovers("."))
        os.chdir(work)
    finally:
        os.chdir("/")
        shutil.rmtree(work, ignore_errors=True)
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


sys.exit(main())
