"""Shared support of the module's tests: the built qartool and a folder of
files with known bytes and times. CTest sets QARTOOL and PYTHONPATH."""

import datetime
import os
import pathlib
import random
import subprocess

import pytest

# An ordinary time and a December one (the format's month shift carries the year).
JULY = datetime.datetime(2014, 7, 15, 10, 30, 0, tzinfo=datetime.timezone.utc)
DECEMBER = datetime.datetime(2019, 12, 31, 23, 59, 58, tzinfo=datetime.timezone.utc)


def run_qartool(*args, cwd=None):
    """The built qartool's standard output; fails the test unless it exits 0."""
    proc = subprocess.run([os.environ["QARTOOL"], *args], cwd=cwd, capture_output=True, text=True)
    assert proc.returncode == 0, "qartool %s exited %d:\n%s" % (args, proc.returncode, proc.stderr)
    return proc.stdout


def files_in(folder):
    """name -> (bytes, mtime in whole seconds) of the files in a folder."""
    return {p.name: (p.read_bytes(), int(p.stat().st_mtime)) for p in pathlib.Path(folder).iterdir()}


@pytest.fixture
def tree(tmp_path):
    """A folder of files that store each way: compressible text, random bytes
    (stored as they are), one byte; with the times above."""
    rng = random.Random(20)
    contents = [("readme.txt", b"the quick brown fox jumps over the lazy dog\n" * 400, JULY),
                ("noise.bin", bytes(rng.getrandbits(8) for _ in range(5000)), JULY),
                ("one.dat", b"x", DECEMBER)]
    (tmp_path / "data").mkdir()
    for name, data, when in contents:
        (tmp_path / "data" / name).write_bytes(data)
        os.utime(tmp_path / "data" / name, (when.timestamp(), when.timestamp()))
    return tmp_path / "data"


@pytest.fixture
def tool_archive(tree, tmp_path):
    """An archive of the tree made by qartool, with the password "pw"."""
    run_qartool("-p", "pw", "a", "game.qar", "data", cwd=tmp_path)
    return tmp_path / "game.qar"
