#!/usr/bin/env python3
"""Reading through the Python module qar, for bench.py (run with the
interpreter the module was built for, the module on PYTHONPATH).

    python_read.py all ARCHIVE RUNS         prints the seconds from qar.open to the last
                                            record read (every record once), the median
                                            of RUNS
    python_read.py call ARCHIVE NAME COUNT  prints the microseconds of one a.read(NAME),
                                            the fastest of five batches of COUNT calls
    python_read.py threads ARCHIVE N RUNS   prints the seconds N threads take to read
                                            every record each, the fastest of RUNS
"""

import statistics
import sys
import threading
import time

import qar


def read_all(archive, names):
    for name in names:
        archive.read(name)


def read_archive(path):
    """Opens the archive and reads every record, as a script would."""
    with qar.open(path) as archive:
        for entry in archive:
            archive.read(entry.name)


def main(argv):
    what, path = argv[0], argv[1]
    if what == "all":
        times = []
        for _ in range(int(argv[2])):
            start = time.perf_counter()
            read_archive(path)
            times.append(time.perf_counter() - start)
        print("%.4f" % statistics.median(times))
        return 0
    with qar.open(path) as archive:
        names = [e.name for e in archive]
        if what == "call":
            name, count = argv[2], int(argv[3])
            read = archive.read
            best = None
            for _ in range(5):
                start = time.perf_counter()
                for _ in range(count):
                    read(name)
                elapsed = time.perf_counter() - start
                best = elapsed if best is None else min(best, elapsed)
            print("%.3f" % (best / count * 1e6))
        elif what == "threads":
            n, runs = int(argv[2]), int(argv[3])
            best = None
            for _ in range(runs):
                threads = [threading.Thread(target=read_all, args=(archive, names))
                           for _ in range(n)]
                start = time.perf_counter()
                for t in threads:
                    t.start()
                for t in threads:
                    t.join()
                elapsed = time.perf_counter() - start
                best = elapsed if best is None else min(best, elapsed)
            print("%.4f" % best)
        else:
            print(__doc__, file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
