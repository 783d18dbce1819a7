"""Shared support of the module's tests: the built qartool and a small tree of
files with known bytes and times. CTest sets QARTOOL and PYTHONPATH."""

import datetime
import os
import random
import subprocess

import pytest

# Times of the files in the tree: an ordinary one and a December one (the
# format's month shift carries the year).
JULY = datetime.datetime(2014, 7, 15, 10, 30, 0, tzinfo=datetime.timezone.utc)
DECEMBER = datetime.datetime(2019, 12, 31, 23, 59, 58, tzinfo=datetime.timezone.utc)


def run_qartool(*args, cwd=None, expect=0):
    """Runs the built qartool and returns its stdout; fails the test on an
    unexpected status."""
    tool = os.environ.get("QARTOOL")
    assert tool, "QARTOOL is not set (run the tests through ctest)"
    proc = subprocess.run([tool, *args], cwd=cwd, capture_output=True, text=True)
    assert proc.returncode == expect, (
        "qartool %s exited %d, expected %d:\n%s" % (" ".join(args), proc.returncode, expect,
                                                   proc.stderr))
    return proc.stdout


def files_in(folder):
    """name -> (bytes, mtime in whole seconds) of the files in a folder."""
    out = {}
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        with open(path, "rb") as f:
            out[name] = (f.read(), int(os.stat(path).st_mtime))
    return out


@pytest.fixture
def tree(tmp_path):
    """A folder of files that store each way: compressible text, random bytes
    (stored as they are), one byte; with the times above."""
    rng = random.Random(20)
    folder = tmp_path / "data"
    folder.mkdir()
    contents = {
        "readme.txt": b"the quick brown fox jumps over the lazy dog\n" * 400,
        "noise.bin": bytes(rng.getrandbits(8) for _ in range(5000)),
        "one.dat": b"x",
    }
    for (name, data), when in zip(sorted(contents.items()), (JULY, DECEMBER, JULY)):
        path = folder / name
        path.write_bytes(data)
        os.utime(path, (when.timestamp(), when.timestamp()))
    return folder


@pytest.fixture
def tool_archive(tree, tmp_path):
    """An archive of the tree made by qartool, with the password "pw"."""
    archive = tmp_path / "game.qar"
    run_qartool("-p", "pw", "a", str(archive), "data", cwd=tmp_path)
    return archive
