#!/usr/bin/env python3
"""Benchmark of qartool and sprtool against lzop and plain reference loops.

Started through bench/run.sh; see there for the arguments. The corpus lives in
BUILD_DIR/bench-corpus (kept); archives and extracted files go to a scratch
folder on /dev/shm when that is a RAM file system with room (else under
BUILD_DIR/bench-work), removed at the end: creating and removing tens of
thousands of files on a disk file system makes its inode allocator slow for a
while, which would time the file system instead of the programs. Only the
Python standard library is used.
"""

import os
import random
import resource
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import zlib

MB = 1 << 20
SEED = 20140715
CORPUS_VERSION = "3"

FULL = dict(mixed_bytes=60 * MB, largest=8 * MB, tree_files=20000, many_files=100000,
            extra_files=500, sprites=1000000)
QUICK = dict(mixed_bytes=6 * MB, largest=2 * MB, tree_files=2000, many_files=10000,
             extra_files=100, sprites=100000)


# ----------------------------------------------------------------------------
# Corpus


def make_words(rng, count):
    letters = "etaoinshrdlucmfwypvbgkjqxz"
    weights = [26 - i for i in range(len(letters))]
    return ["".join(rng.choices(letters, weights, k=rng.randint(2, 9))) for _ in range(count)]


def text_bytes(rng, words, size):
    """Text-like data: lines of words, some log-style lines with numbers."""
    parts = []
    total = 0
    while total < size:
        if rng.random() < 0.3:
            line = "%08d [%s] %s=%d %s\n" % (total, rng.choice(("info", "warn", "debug")),
                                              rng.choice(words), rng.randint(0, 99999),
                                              " ".join(rng.choices(words, k=4)))
        else:
            line = " ".join(rng.choices(words, k=rng.randint(4, 14))).capitalize() + ".\n"
        parts.append(line)
        total += len(line)
    return "".join(parts).encode()[:size]


def binary_bytes(rng, size):
    """Structured binary data: fixed-size rows with counters, small codes and
    slowly varying values, the way game tables and meshes look."""
    out = bytearray()
    row = struct.Struct("<IHhhf")
    x = y = 0
    value = 0.0
    ident = rng.randint(0, 1000)
    rows = []
    while len(out) < size:
        for _ in range(4096):
            ident += 1
            x = max(-32768, min(32767, x + rng.randint(-3, 3)))
            y = max(-32768, min(32767, y + rng.randint(-3, 3)))
            value += rng.uniform(-0.5, 0.5)
            rows.append(row.pack(ident, rng.choice((1, 1, 2, 3, 7, 40)), x, y, value))
        out += b"".join(rows)
        rows.clear()
    return bytes(out[:size])


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def small_file_bytes(rng, blob, low, high):
    size = int(2 ** rng.uniform(low, high))
    start = rng.randrange(0, len(blob) - size)
    return blob[start:start + size]


def make_corpus(root, p):
    rng = random.Random(SEED)
    words = make_words(rng, 3000)
    print("bench: making the corpus in %s (once)" % root, flush=True)

    # Mixed files from 1 KB to the largest record, about mixed_bytes in all.
    sizes = [p["largest"]]
    while sum(sizes) < p["mixed_bytes"]:
        left = p["mixed_bytes"] - sum(sizes)
        sizes.append(max(1024, min(left, int(2 ** rng.uniform(10, 23)), p["largest"])))
    for i, size in enumerate(sizes):
        kind = "bin" if i == 0 else rng.choices(("txt", "bin", "rnd"), (4, 4, 2))[0]
        if kind == "txt":
            data = text_bytes(rng, words, size)
        elif kind == "bin":
            data = binary_bytes(rng, size)
        else:
            data = rng.randbytes(size)
        write(os.path.join(root, "mixed", "m%03d.%s" % (i, kind)), data)

    blob = text_bytes(rng, words, 4 * MB) + binary_bytes(rng, 2 * MB)
    # A tree of small files, three levels deep; names are unique over the tree
    # because the archive flattens directories.
    for i in range(p["tree_files"]):
        data = small_file_bytes(rng, blob, 6, 12)
        write(os.path.join(root, "tree", "d%02d" % (i % 20), "e%d" % (i // 20 % 10),
                           "t%05d.dat" % i), data)
    # Many tiny files for the large archive, 100 per directory.
    for i in range(p["many_files"]):
        data = small_file_bytes(rng, blob, 5, 9)
        write(os.path.join(root, "many", "g%04d" % (i // 100), "n%06d.txt" % i), data)
    for i in range(p["extra_files"]):
        write(os.path.join(root, "extra", "x%05d.txt" % i), small_file_bytes(rng, blob, 5, 9))
    write(os.path.join(root, "one", "y00001.txt"), small_file_bytes(rng, blob, 5, 9))

    # A sprite table whose records survive every text form unchanged.
    record = struct.Struct("<32s8sHHHHI")
    alnum = "abcdefghijklmnopqrstuvwxyz0123456789_"
    chunks = []
    for i in range(p["sprites"]):
        name = ("%s_%d" % (rng.choice(words), i))[:32]
        if rng.random() < 0.05:
            name = "".join(rng.choices(alnum, k=32))
        texture = "tex%d" % rng.randint(0, 99999)
        chunks.append(record.pack(name.encode(), texture.encode(), rng.randint(0, 4095),
                                  rng.randint(0, 4095), rng.randint(1, 512),
                                  rng.choice((16, 32, 64, 65535, rng.randint(1, 512))),
                                  rng.getrandbits(32) if rng.random() < 0.2 else 0))
    write(os.path.join(root, "sprites", "table.stb"), b"".join(chunks))


def ensure_corpus(root, p, quick):
    stamp = os.path.join(root, "stamp")
    wanted = "version %s seed %d quick %d\n" % (CORPUS_VERSION, SEED, quick)
    try:
        with open(stamp) as f:
            if f.read() == wanted:
                return
    except OSError:
        pass
    shutil.rmtree(root, ignore_errors=True)
    start = time.perf_counter()
    make_corpus(root, p)
    with open(stamp, "w") as f:
        f.write(wanted)
    print("bench: corpus made in %.1f s" % (time.perf_counter() - start), flush=True)


def files_under(path):
    out = []
    for base, dirs, files in os.walk(path):
        dirs.sort()
        out.extend(os.path.join(base, f) for f in sorted(files))
    return out


def bytes_under(path):
    return sum(os.path.getsize(f) for f in files_under(path))


# ----------------------------------------------------------------------------
# Running and timing


class Failed(Exception):
    pass


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def run(argv, cwd=None, stdout=None, cpu=None):
    """Runs a program and returns its wall time; raises Failed on a non-zero
    status. stdout is a file path, or None for /dev/null. When cpu is a list,
    the program's CPU time (user and system) is appended to it."""
    out = open(stdout, "wb") if stdout else subprocess.DEVNULL
    try:
        cpu_before = children_cpu()
        start = time.perf_counter()
        proc = subprocess.run(argv, cwd=cwd, stdout=out, stderr=subprocess.PIPE)
        elapsed = time.perf_counter() - start
        if cpu is not None:
            cpu.append(children_cpu() - cpu_before)
    finally:
        if stdout:
            out.close()
    if proc.returncode != 0:
        raise Failed("%s exited with %d: %s" % (" ".join(argv[:3]), proc.returncode,
                                                 proc.stderr[:300].decode(errors="replace")))
    return elapsed


def peak_rss_kb(argv, cwd=None):
    """Peak resident memory of one run, through GNU time."""
    proc = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv, cwd=cwd,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if proc.returncode != 0:
        raise Failed("%s exited with %d" % (argv[0], proc.returncode))
    return int(proc.stderr.decode().strip().splitlines()[-1])


def fuse_missing():
    """Why nothing can be mounted here, or None."""
    try:
        os.close(os.open("/dev/fuse", os.O_RDWR))
    except OSError as e:
        return "/dev/fuse cannot be used (%s)" % e.strerror
    if not shutil.which("fusermount3"):
        return "fusermount3 missing (Debian package fuse3)"
    return None


class Mount:
    """One qartool m at a time at folder, in the foreground of a child."""

    def __init__(self, qar, folder):
        self.qar = qar
        self.folder = folder
        self.archive = None
        self.proc = None

    def unmount(self):
        if self.proc:
            subprocess.run(["fusermount3", "-u", self.folder], stderr=subprocess.DEVNULL)
            self.proc.wait()
            self.proc.stdout.close()
            self.proc = None

    def fresh(self):
        """Unmounts and mounts again: nothing cached by the kernel or the mount."""
        self.unmount()
        os.makedirs(self.folder, exist_ok=True)
        self.proc = subprocess.Popen([self.qar, "m", self.archive, self.folder],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        line = self.proc.stdout.readline()
        if b"mounted at" not in line:
            self.proc.wait()
            self.proc.stdout.close()
            self.proc = None
            raise Failed("qartool m %s did not mount" % self.archive)


def clean(path):
    if os.path.isdir(path):
        shutil.rmtree(path)
    elif os.path.exists(path):
        os.remove(path)


def timed_set(contenders, runs, cpu_out=None, warm_up=False, pick=statistics.median):
    """contenders: list of (key, prepare, argv, cwd, stdout). Runs them in turn,
    starting each round with the next contender, and returns key -> median wall
    time (pick another statistic with pick); cpu_out, when given, receives
    key -> median CPU time. With warm_up,
    one untimed round comes first: on a virtual machine the first writes into
    memory the guest has not used for a while wait for the host to back it,
    and whichever contender runs first would pay for that."""
    if warm_up:
        for key, prepare, argv, cwd, stdout in contenders:
            if prepare:
                prepare()
            run(argv, cwd, stdout)
    times = {c[0]: [] for c in contenders}
    cpu = {c[0]: [] for c in contenders}
    for r in range(runs):
        for i in range(len(contenders)):
            key, prepare, argv, cwd, stdout = contenders[(i + r) % len(contenders)]
            if prepare:
                prepare()
            times[key].append(run(argv, cwd, stdout, cpu[key]))
    if cpu_out is not None:
        cpu_out.update({k: statistics.median(v) for k, v in cpu.items()})
    return {k: pick(v) for k, v in times.items()}


# ----------------------------------------------------------------------------
# The table


class Table:
    def __init__(self):
        self.rows = []
        self.notes = []

    def section(self, title):
        self.rows.append(("#", title))

    def add(self, label, value, unit, rate="", ref="", ratio=None, target="", ok=None,
            cpu=None):
        self.rows.append((label, value, unit, cpu, rate, ref, ratio, target, ok))

    def note(self, text):
        self.notes.append(text)

    def print(self):
        head = "%-42s %9s %-2s %7s %7s  %-22s %6s  %-9s %s" % (
            "figure", "value", "", "cpu s", "MB/s", "against", "ratio", "target", "")
        print()
        print(head)
        print("-" * len(head))
        for row in self.rows:
            if row[0] == "#":
                print("[%s]" % row[1])
                continue
            label, value, unit, cpu, rate, ref, ratio, target, ok = row
            if value == "":
                value_text = ""
            elif value is None:
                value_text = "failed"
            else:
                value_text = "%.3f" % value if unit in ("s", "ms") else "%.1f" % value
            print("%-42s %9s %-2s %7s %7s  %-22s %6s  %-9s %s" % (
                label, value_text, unit, "" if cpu is None else "%.2f" % cpu, rate, ref,
                "" if ratio is None else "%.2f" % ratio, target,
                "" if ok is None else ("ok" if ok else "MISSED")))
        for text in self.notes:
            print("note: " + text)


def scratch_root(build):
    try:
        st = os.statvfs("/dev/shm")
        if st.f_bavail * st.f_frsize >= 2 << 30 and os.access("/dev/shm", os.W_OK):
            return "/dev/shm"
    except OSError:
        pass
    root = os.path.join(build, "bench-work")
    os.makedirs(root, exist_ok=True)
    return root


def load_average():
    try:
        with open("/proc/loadavg") as f:
            return f.read().split()[0]
    except OSError:
        return "?"


def mbps(size, seconds):
    return "%.1f" % (size / MB / seconds) if seconds else ""


# ----------------------------------------------------------------------------
# The figures


class Bench:
    def __init__(self, build, runs, quick, only):
        self.build = os.path.abspath(build)
        self.runs = runs
        self.quick = quick
        self.only = only
        self.p = QUICK if quick else FULL
        self.bin = os.path.join(self.build, "bin")
        self.ref_bin = os.path.join(self.build, "bench", "bin")
        self.corpus = os.path.join(self.build, "bench-corpus" + ("-quick" if quick else ""))
        self.work = tempfile.mkdtemp(prefix="qar-bench-", dir=scratch_root(self.build))
        self.table = Table()

    def prog(self, name):
        """The tool or reference program of that name, or None when not built."""
        for folder in (self.bin, self.ref_bin):
            path = os.path.join(folder, name)
            if os.access(path, os.X_OK):
                return path
        return None

    def w(self, *parts):
        return os.path.join(self.work, *parts)

    def attempt(self, what, fn):
        try:
            fn()
        except Failed as e:
            self.table.note("%s: %s" % (what, e))

    # -- add and extract -----------------------------------------------------

    def add_figures(self, set_name):
        qar = self.prog("qartool")
        src = os.path.join(self.corpus, set_name)
        files = files_under(src)
        size = bytes_under(src)
        label = "%s (%.1f MB, %d files)" % (set_name, size / MB, len(files))
        self.table.section("add: %s" % label)
        out = self.w("a.qar")
        outp = self.w("ap.qar")
        seq = self.w("seq.qar")
        one_core = shutil.which("taskset") is not None
        contenders = [
            ("ref", None, [self.prog("lzo1x_ref"), set_name], self.corpus, None),
            ("lzop", None, ["lzop", "-9", "-c", "--"] + files, None, self.w("all.lzo")),
        ]
        if qar:
            contenders += [
                ("qa", lambda: clean(out), [qar, "a", out, set_name], self.corpus, None),
                ("qap", lambda: clean(outp), [qar, "-p", "bench", "a", outp, set_name],
                 self.corpus, None),
            ]
            # The one-core add in the same rounds, so that the CPU seconds of the
            # threads are held against it under the same conditions.
            if one_core:
                contenders.append(("q1", lambda: clean(seq),
                                   ["taskset", "-c", "0", qar, "a", seq, set_name],
                                   self.corpus, None))
        c = {}
        t = timed_set(contenders, self.runs, c)
        self.table.add("lzo1x_ref (LZO1X-999 only)", t["ref"], "s", mbps(size, t["ref"]),
                       cpu=c["ref"])
        self.table.add("lzop -9", t["lzop"], "s", mbps(size, t["lzop"]), "lzo1x_ref",
                       t["lzop"] / t["ref"], cpu=c["lzop"])
        if not qar:
            self.table.note("qartool not built: add figures skipped")
            return
        self.last_add = t["qa"]
        self.last_add_cpu = c["qa"]
        # Many small files keep every core busy with whole records; a few large
        # ones are bound by the slower compressor of each record.
        limit = 1.10 if set_name == "tree" else 1.05
        for key, name in (("qa", "qartool a"), ("qap", "qartool -p a")):
            self.table.add(name, t[key], "s", mbps(size, t[key]), "lzo1x_ref",
                           t[key] / t["ref"], "<= %.2f" % limit,
                           round(t[key] / t["ref"], 2) <= limit, cpu=c[key])
            if set_name == "tree":
                self.table.add("", "", "", "", "lzop -9", t[key] / t["lzop"], "< 1.00",
                               round(t[key] / t["lzop"], 2) < 1.0)
            else:
                self.table.add("", "", "", "", "lzop -9", t[key] / t["lzop"])
        if one_core:
            self.identity(set_name, out, outp, seq, t["q1"], c["q1"])
        else:
            self.table.note("taskset missing: the one-core figures are skipped")
        self.extract_figures(set_name, out, files, size)
        if set_name == "mixed":
            self.extract_figures(set_name, out, files, size, on_disk=True)
        self.attempt("python " + set_name, lambda: self.python_figures(set_name, out))
        self.repack_figures(set_name, out, files, one_core)

    def identity(self, set_name, threaded, threaded_p, seq, t, cpu_one):
        """The archive written on one core (no threads at all) must be the
        one written with the worker threads, byte for byte; t and cpu_one are
        the one-core add's median wall and CPU times."""
        qar = self.prog("qartool")
        seqp = self.w("seqp.qar")
        clean(seqp)
        run(["taskset", "-c", "0", qar, "-p", "bench", "a", seqp, set_name], self.corpus)
        same = all(open(a, "rb").read() == open(b, "rb").read()
                   for a, b in ((seq, threaded), (seqp, threaded_p)))
        self.table.add("qartool a on one core (no threads)", t, "s", "", "", None,
                       "identical", same, cpu=cpu_one)
        self.table.add("", "", "", "", "qartool a (speed-up)", t / self.last_add)
        # What the threads cost: CPU seconds of the threaded add over the
        # one-core add, which does the same work on one thread.
        ratio = self.last_add_cpu / cpu_one if cpu_one > 0 else None
        if set_name == "tree":
            self.table.add("  cpu s of qartool a over one core", "", "", "", "one core", ratio,
                           "<= 1.10", ratio is not None and round(ratio, 2) <= 1.10)
        else:
            self.table.add("  cpu s of qartool a over one core", "", "", "", "one core", ratio)

    def extract_figures(self, set_name, archive, files, size, on_disk=False):
        """qartool x against lzop -d of the same files, both writing into the
        scratch folder, or with on_disk into a folder of the build (a disk
        file system rather than /dev/shm)."""
        qar = self.prog("qartool")
        lzodir = self.w("lzo")
        clean(lzodir)
        os.makedirs(lzodir)
        run(["lzop", "-9", "-q", "-f", "-p" + lzodir, "--"] + files)
        lzo_files = [os.path.join(lzodir, os.path.basename(f) + ".lzo") for f in files]
        out_root = os.path.join(self.build, "bench-disk") if on_disk else self.work
        xq = os.path.join(out_root, "xq")
        xl = os.path.join(out_root, "xl")

        # Writes onto a disk wait for the file system's own kernel threads
        # (journal, writeback) now and then. Under --boost everything here runs
        # at nice -19, and a tool whose threads keep both cores busy would
        # starve them: onto disk, both contenders run in a session of their
        # own, at the ordinary priority.
        normal = (["setsid", "-w"] if on_disk and os.environ.get("QAR_BENCH_SESSION") == "1"
                  and shutil.which("setsid") else [])

        def fresh(d):
            clean(d)
            os.makedirs(d)
            if on_disk:
                # What earlier runs left to write back goes to the disk now,
                # not inside the next timed run.
                os.sync()

        c = {}
        t = timed_set([
            ("qx", lambda: fresh(xq), normal + [qar, "x", archive], xq, None),
            ("lx", lambda: fresh(xl),
             normal + ["lzop", "-d", "-q", "-f", "-p" + xl, "--"] + lzo_files, None, None),
        ], self.runs, c, warm_up=True)
        got = sorted(os.listdir(xq))
        if got != sorted(os.path.basename(f).lower() for f in files):
            self.table.note("qartool x of %s gave %d files, expected %d" % (set_name, len(got),
                                                                          len(files)))
        where = " (output on disk)" if on_disk else ""
        limit = 0.80 if set_name == "mixed" else 1.00
        self.table.add("lzop -d (same files)" + where, t["lx"], "s", mbps(size, t["lx"]),
                       cpu=c["lx"])
        self.table.add("qartool x" + where, t["qx"], "s", mbps(size, t["qx"]), "lzop -d",
                       t["qx"] / t["lx"], "<= %.2f" % limit,
                       round(t["qx"] / t["lx"], 2) <= limit, cpu=c["qx"])
        clean(xq)
        clean(xl)
        clean(lzodir)
        if on_disk:
            shutil.rmtree(out_root, ignore_errors=True)

    # -- the Python module ----------------------------------------------------

    def python_module(self):
        """The interpreter the module qar was built for, with PYTHONPATH set to
        the build's module folder; None when the build has no module."""
        if not os.path.isdir(os.path.join(self.build, "python", "qar")):
            return None
        try:
            with open(os.path.join(self.build, "CMakeCache.txt")) as f:
                cache = f.read()
        except OSError:
            return None
        for line in cache.splitlines():
            if line.startswith("Python3_EXECUTABLE:"):
                os.environ["PYTHONPATH"] = os.path.join(self.build, "python")
                return line.split("=", 1)[1]
        return None

    def python_figures(self, set_name, archive):
        """Reading through the module: every record of the tree archive against
        qartool t, the time of one a.read of a 16-byte record, and four threads
        reading the mixed archive against one (each reads every record)."""
        python = self.python_module()
        qar = self.prog("qartool")
        if not python or not qar:
            self.table.note("the Python module is not built: its figures are skipped")
            return
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "python_read.py")

        def measure(*args):
            proc = subprocess.run([python, script, *args], capture_output=True, text=True)
            if proc.returncode != 0:
                raise Failed("python_read.py %s exited with %d: %s" % (
                    args[0], proc.returncode, proc.stderr[-300:]))
            return float(proc.stdout)

        self.table.section("Python module qar: %s archive" % set_name)
        if set_name == "tree":
            # The module's work from qar.open to the last read, against the
            # whole run of qartool t; the interpreter's own start is left out.
            t = timed_set([("qt", None, [qar, "t", archive], None, None)], self.runs,
                          warm_up=True)
            py = measure("all", archive, str(self.runs))
            self.table.add("qartool t (every record)", t["qt"], "s")
            self.table.add("Python: open, read every record", py, "s", "", "qartool t",
                           py / t["qt"], "<= 1.20", round(py / t["qt"], 2) <= 1.20)
            tiny = self.w("sixteen")
            clean(tiny)
            os.makedirs(tiny)
            with open(os.path.join(tiny, "sixteen.bin"), "wb") as f:
                f.write(b"0123456789abcdef")
            small = self.w("sixteen.qar")
            clean(small)
            run([qar, "a", small, "sixteen"], self.work)
            micro = measure("call", small, "sixteen.bin", "20000")
            self.table.add("Python: one a.read of a 16-byte record", micro, "us", "", "", None,
                           "<= 5.0", micro <= 5.0)
            clean(tiny)
            clean(small)
        else:
            one = measure("threads", archive, "1", str(self.runs))
            four = measure("threads", archive, "4", str(self.runs))
            speed_up = 4 * one / four
            self.table.add("Python: 1 thread reads every record", one, "s")
            self.table.add("Python: 4 threads read every record each", four, "s", "",
                           "1 thread (throughput)", speed_up, ">= 1.60",
                           round(speed_up, 2) >= 1.60)

    # -- the repack loop ---------------------------------------------------------

    def repack_figures(self, set_name, archive, files, one_core):
        """s, t and c -z against a full add of the same set in the same rounds:
        s over the unchanged files, s over files of which three differ from
        their records (the tree; three records of the archive are given other
        bytes with u first, which costs s what three edited files cost), t
        threaded against t on one core (mixed), and c -z of the tree's archive
        after u replaced every record (stored uncompressed)."""
        qar = self.prog("qartool")
        pristine = self.w("repack-pristine.qar")
        shutil.copyfile(archive, pristine)
        work = self.w("repack.qar")
        added = self.w("repack-a.qar")

        def copy_of(src):
            return lambda: shutil.copyfile(src, work)

        contenders = [("a", lambda: clean(added), [qar, "a", added, set_name], self.corpus, None),
                      ("s0", copy_of(pristine), [qar, "s", work, set_name], self.corpus, None)]
        if set_name == "tree":
            changed = self.w("repack-changed.qar")
            shutil.copyfile(pristine, changed)
            other = self.w("repack-other")
            os.makedirs(other, exist_ok=True)
            names = []
            for f in files[:3]:
                names.append(os.path.join(other, os.path.basename(f)))
                write(names[-1], b"edited " + open(f, "rb").read())
            run([qar, "u", changed] + names)
            shutil.copyfile(pristine, self.w("repack-updated.qar"))
            run([qar, "u", self.w("repack-updated.qar"), set_name], self.corpus)
            contenders += [
                ("s3", copy_of(changed), [qar, "s", work, set_name], self.corpus, None),
                ("cz", copy_of(self.w("repack-updated.qar")), [qar, "-z", "c", work], None,
                 None)]
        if set_name == "mixed" and one_core:
            contenders += [("t", None, [qar, "t", pristine], None, None),
                           ("t1", None, ["taskset", "-c", "0", qar, "t", pristine], None, None)]
        c = {}
        t = timed_set(contenders, self.runs, c)
        self.table.section("repack loop: %s" % set_name)

        def row(label, key, ref_key, ref_label, limit):
            ratio = t[key] / t[ref_key]
            self.table.add(label, t[key], "s", "", ref_label, ratio, "<= %.2f" % limit,
                           round(ratio, 2) <= limit, cpu=c[key])

        self.table.add("qartool a (full, same rounds)", t["a"], "s", cpu=c["a"])
        row("qartool s, nothing changed", "s0", "a", "qartool a", 0.15 if set_name == "tree"
            else 0.05)
        if set_name == "tree":
            row("qartool s, 3 files changed", "s3", "a", "qartool a", 0.20)
            row("qartool -z c after u of every file", "cz", "a", "qartool a", 1.10)
            shutil.copyfile(self.w("repack-updated.qar"), work)
            run([qar, "-z", "c", work])
            if open(work, "rb").read() != open(added, "rb").read():
                self.table.note("c -z of the updated tree archive is not what a writes")
        if "t" in t:
            self.table.add("qartool t on one core", t["t1"], "s", cpu=c["t1"])
            row("qartool t", "t", "t1", "t on one core", 0.65)
        for path in (pristine, work, added, self.w("repack-changed.qar"),
                     self.w("repack-updated.qar"), self.w("repack-other")):
            clean(path)

    # -- list and append -------------------------------------------------------

    def archive_size_figures(self):
        qar = self.prog("qartool")
        if not qar:
            return
        n = self.p["many_files"]
        self.table.section("archive of %d records" % n)
        big = self.w("many.qar")
        small = self.w("hundred.qar")
        t_build = run([qar, "a", big, "many"], self.corpus)
        run([qar, "a", small, os.path.join("many", "g0000")], self.corpus)
        self.table.add("qartool a, %d tiny files (built once)" % n, t_build, "s", "",
                       "", None)
        t = timed_set([("l", None, [qar, "l", big], None, None)], max(self.runs, 3))
        self.table.add("qartool l", t["l"], "s", "", "", None, "< 1 s", t["l"] < 1.0)

        k = self.p["extra_files"]
        copy = self.w("copy.qar")

        def prep(src):
            return lambda: shutil.copyfile(src, copy)

        t = timed_set([
            ("s1", prep(small), [qar, "a", copy, "one"], self.corpus, None),
            ("sk", prep(small), [qar, "a", copy, "extra"], self.corpus, None),
            ("b1", prep(big), [qar, "a", copy, "one"], self.corpus, None),
            ("bk", prep(big), [qar, "a", copy, "extra"], self.corpus, None),
        ], max(self.runs, 5), pick=min)
        # The per-record cost is a small difference of two times: the fastest
        # of five runs each, since noise on a shared machine only adds time.
        per_small = (t["sk"] - t["s1"]) / (k - 1) * 1000
        per_big = (t["bk"] - t["b1"]) / (k - 1) * 1000
        self.table.add("add 1 file to 100 records (open+close)", t["s1"], "s")
        self.table.add("add 1 file to %d records (open+close)" % n, t["b1"], "s")
        self.table.add("append per record, 100 records", per_small, "ms")
        measured = per_small > 0 and per_big > 0
        self.table.add("append per record, %d records" % n, per_big, "ms",
                       "", "100 records", per_big / per_small if measured else None,
                       "~ 1.00", per_big <= 1.25 * per_small + 0.02 if measured else None)
        if not measured:
            self.table.note("the append per record was lost in the noise of this run")
        clean(copy)

    # -- the mounted folder -------------------------------------------------------

    def mount_figures(self):
        """qartool m: reading every file of the mounted mixed archive against
        qartool x of it onto disk, ls -l of the mounted archive of many
        records, and four readers against one over the mounted tree archive.
        Each timed run gets a fresh mount, so that neither the kernel nor the
        mount has a record cached."""
        qar = self.prog("qartool")
        if not qar:
            return
        self.table.section("qartool m (mounted read-only)")
        why = fuse_missing()
        if why:
            self.table.note("mount figures skipped: " + why)
            return
        archives = {}
        for set_name in ("mixed", "tree", "many"):
            archives[set_name] = self.w("m-%s.qar" % set_name)
            clean(archives[set_name])
            run([qar, "a", archives[set_name], set_name], self.corpus)
        folder = self.w("mnt")
        mount = Mount(qar, folder)
        try:
            self.mount_read_figures(qar, mount, archives["mixed"])
            self.mount_list_figures(qar, mount, archives["many"])
            self.mount_reader_figures(mount, archives["tree"])
        finally:
            mount.unmount()

    def mount_read_figures(self, qar, mount, archive):
        mount.archive = archive
        mount.fresh()
        names = sorted(os.listdir(mount.folder))
        size = sum(os.path.getsize(os.path.join(mount.folder, n)) for n in names)
        mount.unmount()
        listing = self.w("mixed-names")
        with open(listing, "wb") as f:
            f.write(b"".join(os.path.join(mount.folder, n).encode() + b"\0" for n in names))
        out_root = os.path.join(self.build, "bench-disk")
        xq = os.path.join(out_root, "xq")

        def fresh_extract():
            clean(xq)
            os.makedirs(xq)
            os.sync()

        t = timed_set([
            ("x", fresh_extract, [qar, "x", archive], xq, None),
            ("cat", mount.fresh, ["sh", "-c", 'xargs -0 cat < "$0" > /dev/null', listing],
             None, None),
        ], self.runs, warm_up=True)
        shutil.rmtree(out_root, ignore_errors=True)
        self.table.add("qartool x onto disk (mixed)", t["x"], "s", mbps(size, t["x"]))
        self.table.add("cat of every mounted file (mixed)", t["cat"], "s", mbps(size, t["cat"]),
                       "qartool x onto disk", t["cat"] / t["x"], "<= 1.50",
                       round(t["cat"] / t["x"], 2) <= 1.50)

    def mount_list_figures(self, qar, mount, archive):
        """ls -l of a fresh mount, beside ls -l of the same records extracted
        into the scratch folder (what ls itself costs on this machine)."""
        plain = self.w("many-x")
        clean(plain)
        os.makedirs(plain)
        run([qar, "x", archive], plain)
        mount.archive = archive
        t = timed_set([("ls", mount.fresh, ["ls", "-l", mount.folder], None, None),
                       ("plain", None, ["ls", "-l", plain], None, None)], max(self.runs, 3))
        clean(plain)
        self.table.add("ls -l of the files extracted", t["plain"], "s")
        self.table.add("ls -l, %d records (fresh mount)" % self.p["many_files"], t["ls"], "s",
                       "", "ls -l extracted", t["ls"] / t["plain"], "< 1 s", t["ls"] < 1.0)

    def mount_reader_figures(self, mount, archive):
        """The same files read by one reader, and in four interleaved parts by
        four readers at once."""
        mount.archive = archive
        mount.fresh()
        files = [os.path.relpath(f, mount.folder) for f in files_under(mount.folder)]
        mount.unmount()
        parts = []
        for i in range(4):
            part = self.w("tree-part%d" % i)
            with open(part, "wb") as f:
                f.write(b"".join(p.encode() + b"\0" for p in files[i::4]))
            parts.append(part)
        every = self.w("tree-all")
        with open(every, "wb") as f:
            f.write(b"".join(p.encode() + b"\0" for p in files))
        read = 'xargs -0 -n 1000 cat < "$0" > /dev/null'
        four = " & ".join('xargs -0 -n 1000 cat < "$%d" > /dev/null' % i for i in range(4))
        # The same reads of the files extracted into the scratch folder (their
        # names in the lists are relative to the folder read): what four
        # readers gain on this machine without the mount.
        plain = self.w("tree-x")
        clean(plain)
        os.makedirs(plain)
        run([self.prog("qartool"), "x", archive], plain)
        t = timed_set([
            ("one", mount.fresh, ["sh", "-c", read, every], mount.folder, None),
            ("four", mount.fresh, ["sh", "-c", four + " & wait"] + parts, mount.folder, None),
            ("p1", None, ["sh", "-c", read, every], plain, None),
            ("p4", None, ["sh", "-c", four + " & wait"] + parts, plain, None),
        ], self.runs)
        clean(plain)
        self.table.add("1 reader, tree (%d files)" % len(files), t["one"], "s")
        speed_up = t["one"] / t["four"]
        self.table.add("4 readers, same files", t["four"], "s", "", "1 reader (speed-up)",
                       speed_up, ">= 1.50", round(speed_up, 2) >= 1.50)
        self.table.add("  the same, files extracted: 1 / 4 readers", t["p4"], "s", "",
                       "1 reader (speed-up)", t["p1"] / t["p4"])
        if (os.cpu_count() or 1) < 2:
            self.table.note("4 readers: one core only, the speed-up cannot show")

    # -- memory ----------------------------------------------------------------

    def memory_figures(self):
        """Peak memory of add. The records in flight are bounded by count and by
        64 MB of what they hold (the file's bytes and two compressor outputs,
        about 3 S for a record of size S), so the peak stays under 80 MB
        however large the tree; each thread adds a 448 KiB work area."""
        qar = self.prog("qartool")
        if not qar:
            return
        largest = max(os.path.getsize(f) for f in files_under(os.path.join(self.corpus,
                                                                           "mixed")))
        self.table.section("peak memory of add (largest record %.1f MB)" % (largest / MB))
        out = self.w("mem.qar")
        for name, extra in (("qartool a", []), ("qartool -p a", ["-p", "bench"])):
            clean(out)
            base = peak_rss_kb([qar] + extra + ["a", out, "one"], self.corpus)
            clean(out)
            kb = peak_rss_kb([qar] + extra + ["a", out, "mixed"], self.corpus)
            clean(out)
            self.table.add(name + " peak RSS", kb / 1024, "MB", "", "", None, "<= 80 MB",
                           kb <= 80 * 1024)
            self.table.add("  over a one-file add (%.1f MB)" % (base / 1024), (kb - base) / 1024,
                           "MB", "", "largest record", (kb - base) * 1024 / largest)
        kb = peak_rss_kb(["lzop", "-9", "-c"] + files_under(os.path.join(self.corpus, "mixed")))
        self.table.add("lzop -9 peak RSS", kb / 1024, "MB", "", "largest record",
                       kb * 1024 / largest)

    # -- sprite tables ---------------------------------------------------------

    def sprite_figures(self):
        spr = self.prog("sprtool")
        ref = self.prog("fmt_ref")
        stb = os.path.join(self.corpus, "sprites", "table.stb")
        n = os.path.getsize(stb) // 52
        self.table.section("sprtool, %d records" % n)
        if not spr:
            self.table.note("sprtool not built: conversion figures skipped")
            return
        for form, name in (("t", "TXT"), ("c", "CSV"), ("x", "XML"), ("j", "JSON")):
            mine = self.w("out." + form)
            theirs = self.w("ref." + form)
            t = timed_set([
                ("s", None, [spr, "r" + form, stb, mine], None, None),
                ("r", None, [ref, "r" + form, stb, theirs], None, None),
            ], self.runs)
            size = os.path.getsize(theirs)
            self.table.add("STB -> %s (%.0f MB text)" % (name, size / MB), t["s"], "s",
                           mbps(size, t["s"]), "plain fprintf loop", t["s"] / t["r"],
                           "<= 2.0", t["s"] <= 2.0 * t["r"])
            if open(mine, "rb").read() != open(theirs, "rb").read():
                self.table.note("sprtool r%s output differs from the plain loop's" % form)
            clean(mine)
        for form, name in (("t", "TXT"), ("c", "CSV"), ("x", "XML")):
            text = self.w("ref." + form)
            mine = self.w("back.stb")
            theirs = self.w("refback.stb")
            t = timed_set([
                ("s", None, [spr, "w" + form, mine, text], None, None),
                ("r", None, [ref, "w" + form, theirs, text], None, None),
            ], self.runs)
            size = os.path.getsize(text)
            self.table.add("%s -> STB" % name, t["s"], "s", mbps(size, t["s"]),
                           "plain scan loop", t["s"] / t["r"], "<= 2.0", t["s"] <= 2.0 * t["r"])
            original = open(stb, "rb").read()
            if open(mine, "rb").read() != original:
                self.table.note("sprtool w%s did not give the original table back" % form)
            if open(theirs, "rb").read() != original:
                self.table.note("fmt_ref w%s did not give the original table back" % form)
            clean(mine)
            clean(theirs)
        # JSON has no plain reference loop; it is held to the TXT reader in the same run.
        json_text = self.w("ref.j")
        mine = self.w("back.stb")
        t = timed_set([
            ("j", None, [spr, "wj", mine, json_text], None, None),
            ("t", None, [spr, "wt", mine, self.w("ref.t")], None, None),
        ], self.runs)
        size = os.path.getsize(json_text)
        self.table.add("JSON -> STB", t["j"], "s", mbps(size, t["j"]), "sprtool TXT -> STB",
                       t["j"] / t["t"], "<= 1.5", t["j"] <= 1.5 * t["t"])
        kb = peak_rss_kb([spr, "wj", mine, json_text])
        self.table.add("  wj peak RSS", kb / 1024, "MB", "", "input + 64 MB",
                       kb * 1024 / (size + 64 * MB), "<= 1.0", kb * 1024 <= size + 64 * MB)
        if open(mine, "rb").read() != open(stb, "rb").read():
            self.table.note("sprtool wj did not give the original table back")
        clean(mine)
        for form in "tcxj":
            clean(self.w("ref." + form))

    # -- sprtool k and v over 100,000 sprites ------------------------------------

    def view_tables(self):
        """Two tables of 100,000 sprites in the scratch folder. "sheets": 100
        textures of 1,000 sprites in a grid, each texture with a 1024 x 1024
        PNG, a few sprites moved onto their neighbours, past the edge, of zero
        size or of a name used before. "stacked": every sprite on one spot of
        one texture, so every pair overlaps. Returns (sheets, stacked, images,
        image bytes)."""
        rng = random.Random(SEED + 23)
        record = struct.Struct("<32s8sHHHHI")
        images = self.w("view-images")
        os.makedirs(images, exist_ok=True)
        row = b"\0" + b"\x80\xa0\x80" * 1024
        idat = zlib.compress(row * 1024, 9)

        def chunk(kind, data):
            return (struct.pack(">I", len(data)) + kind + data +
                    struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

        png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 1024, 1024, 8, 2, 0, 0, 0)) +
               chunk(b"IDAT", idat) + chunk(b"IEND", b""))
        chunks = []
        for t in range(100):
            texture = ("sheet%02d" % t).encode()
            write(os.path.join(images, "sheet%02d.png" % t), png)
            for i in range(1000):
                u, v, w, h = (i % 32) * 32, (i // 32) * 32, 32, 32
                roll = rng.random()
                if roll < 0.02:
                    u += 8
                elif roll < 0.025:
                    w = 0
                elif roll < 0.03:
                    v = 1000
                name = "sheet%02d_sprite_%04d" % (t, i)
                if rng.random() < 0.01:
                    name = "sheet%02d_sprite_0000" % t
                chunks.append(record.pack(name.encode(), texture, u, v, w, h, 0))
        sheets = self.w("sheets.stb")
        write(sheets, b"".join(chunks))
        stacked = self.w("stacked.stb")
        write(stacked, b"".join(record.pack(b"s%d" % i, b"one", 100, 100, 32, 32, 0)
                                for i in range(100000)))
        return sheets, stacked, images, 100 * len(png)

    def view_figures(self):
        spr = self.prog("sprtool")
        self.table.section("sprtool k and v, 100,000 sprites")
        if not spr:
            self.table.note("sprtool not built: k and v figures skipped")
            return
        sheets, stacked, images, image_bytes = self.view_tables()
        page = self.w("page.html")
        # k finds something in both tables: its status is then 2, which is success here.
        check = ["/bin/sh", "-c", '"$0" k "$1" "$2" >/dev/null; [ $? -eq 2 ]', spr]
        t = timed_set([
            ("v", None, [spr, "v", sheets, page, images], None, None),
            ("k", None, check + [sheets, images], None, None),
            ("ks", None, check + [stacked, "."], None, None),
        ], self.runs)
        self.table.add("v: 100 textures with images", t["v"], "s", target="< 2 s",
                       ok=t["v"] < 2.0)
        page_mb = (os.path.getsize(page) - image_bytes * 4 / 3) / MB
        self.table.add("  page without its images", page_mb, "MB", target="< 30 MB",
                       ok=page_mb < 30)
        self.table.add("k: 100 textures with images", t["k"], "s", target="< 1 s",
                       ok=t["k"] < 1.0)
        self.table.add("k: every sprite on one spot", t["ks"], "s", target="< 1 s",
                       ok=t["ks"] < 1.0)
        run([spr, "v", stacked, page])
        page_mb = os.path.getsize(page) / MB
        self.table.add("  v page, every sprite on one spot", page_mb, "MB", target="< 30 MB",
                       ok=page_mb < 30)
        for path in (sheets, stacked, page, images):
            clean(path)

    def run_all(self):
        ensure_corpus(self.corpus, self.p, self.quick)
        print("bench: scratch folder %s" % self.work, flush=True)
        self.table.note("load average %s at the start" % load_average())
        steps = [("add mixed", lambda: self.add_figures("mixed")),
                 ("add tree", lambda: self.add_figures("tree")),
                 ("archive size", self.archive_size_figures),
                 ("mount", self.mount_figures),
                 ("memory", self.memory_figures),
                 ("sprtool", self.sprite_figures),
                 ("sprtool k and v", self.view_figures)]
        for what, fn in steps:
            if self.only and what != self.only:
                continue
            start = time.perf_counter()
            print("bench: %s ..." % what, flush=True)
            self.attempt(what, fn)
            print("bench: %s done in %.0f s" % (what, time.perf_counter() - start), flush=True)
        self.table.note("load average %s at the end; figures are wall times, so other "
                        "work on the machine shows in them" % load_average())
        self.table.print()

    def close(self):
        shutil.rmtree(self.work, ignore_errors=True)


def ensure_tools(build):
    if not shutil.which("lzop"):
        print("bench: installing lzop", flush=True)
        sudo = [] if os.geteuid() == 0 else ["sudo"]
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        subprocess.run(sudo + ["apt-get", "update", "-qq"], env=env, check=True)
        subprocess.run(sudo + ["apt-get", "install", "-y", "-qq", "--no-install-recommends",
                               "lzop"], env=env, check=True)
    need = [p for p in ("lzo1x_ref", "fmt_ref")
            if not os.access(os.path.join(build, "bench", "bin", p), os.X_OK)]
    if need:
        subprocess.run(["cmake", "--build", build, "--target"] + need, check=True)


def boost():
    """Moves the benchmark into a scheduling group of its own at the highest
    priority, so that other work on a shared machine disturbs the figures
    less. The kernel schedules by session group, so this needs a new session
    (setsid) and root. Returns a note for the table."""
    if os.environ.get("QAR_BENCH_SESSION") != "1":
        if not shutil.which("setsid"):
            return "--boost: setsid missing, priority unchanged"
        env = dict(os.environ, QAR_BENCH_SESSION="1")
        os.execvpe("setsid", ["setsid", "-w", sys.executable, os.path.abspath(__file__)] +
                   sys.argv[1:], env)
    try:
        with open("/proc/self/autogroup", "w") as f:
            f.write("-19")
        return "--boost: timed in a scheduling group of their own at nice -19"
    except OSError as e:
        return "--boost: priority unchanged (%s)" % e.strerror


def main(argv):
    args = [a for a in argv if not a.startswith("--")]
    quick = "--quick" in argv
    only = [a[len("--only="):] for a in argv if a.startswith("--only=")]
    unknown = [a for a in argv if a.startswith("--") and a not in ("--quick", "--boost")
               and not a.startswith("--only=")]
    if unknown or len(args) > 2 or len(only) > 1:
        print("Usage: bench/run.sh [BUILD_DIR] [RUNS] [--quick] [--boost] [--only=STEP]",
              file=sys.stderr)
        return 1
    boost_note = boost() if "--boost" in argv else None
    build = args[0] if args else "build"
    runs = int(args[1]) if len(args) > 1 else (1 if quick else 3)
    if not os.path.isdir(build):
        print("bench: no build folder %s; build first (see the README)" % build,
              file=sys.stderr)
        return 1
    ensure_tools(build)
    print("bench: %d core(s), %d run(s) per figure, medians shown" % (os.cpu_count(), runs),
          flush=True)
    bench = Bench(build, runs, quick, only[0] if only else None)
    if boost_note:
        bench.table.note(boost_note)
    try:
        bench.run_all()
    finally:
        bench.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
