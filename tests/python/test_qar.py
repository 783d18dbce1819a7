"""The Python module against the tool: round trips both ways, masked archives,
errors, and reading from several threads."""

import datetime
import itertools
import os
import signal
import threading

import pytest

import qar
from conftest import DECEMBER, JULY, files_in, run_qartool


def test_records_the_tool_added_read_back_with_their_bytes_and_times(tree, tool_archive):
    expected = files_in(tree)
    with qar.open(tool_archive, password="pw") as a:
        entries = {e.name: e for e in a}
        assert sorted(entries) == sorted(expected), "the listing does not hold the tree's files"
        for name, (data, mtime) in expected.items():
            entry = entries[name]
            assert a.read(name) == data, "%s read back different bytes" % name
            assert (entry.size, entry.deleted) == (len(data), False), "%s: wrong entry" % name
            assert entry.mtime == datetime.datetime.fromtimestamp(mtime, datetime.timezone.utc), (
                "%s: time %s, the file's is %s" % (name, entry.mtime, mtime))
    assert entries["readme.txt"].method in ("lzo1x", "lzo1y"), "text was not stored compressed"
    assert entries["noise.bin"].method == "none", "random bytes were stored compressed"
    assert entries["readme.txt"].stored_size < entries["readme.txt"].size


def test_records_python_added_read_back_at_once_and_extract_with_the_tool_alike(tree, tmp_path):
    with qar.create(tmp_path / "py.qar", password="pw") as a:
        for name in sorted(os.listdir(tree)):
            a.add(tree / name)
        a.add("Extra.BIN", b"\x00\x01" * 1000, mtime=DECEMBER)  # stored lower-cased
        assert a.read("extra.bin") == b"\x00\x01" * 1000, "an added record is not readable at once"
    (tmp_path / "out").mkdir()
    run_qartool("-p", "pw", "x", str(tmp_path / "py.qar"), cwd=tmp_path / "out")
    expected = dict(files_in(tree), **{"extra.bin": (b"\x00\x01" * 1000, DECEMBER.timestamp())})
    assert files_in(tmp_path / "out") == expected, "qartool x gave other names, bytes or times"


def test_delete_update_and_add_through_one_handle_survive_compact_and_show_in_the_tool(tool_archive):
    with qar.open(tool_archive, password="pw", mode="r+") as a:
        a.delete("noise.bin")
        a.update("one.dat", b"replaced", mtime=JULY)
        a.delete("readme.txt")
        a.add("readme.txt", b"added again")  # beside the deleted record of that name
        result = a.compact()
        assert result["records"] == 2, "compact kept %s records, expected 2" % result
        assert a.read("one.dat") == b"replaced", "the archive after compact lost the update"
        assert "noise.bin" not in a, "a deleted record is live after compact"
    with qar.open(tool_archive, password="pw") as a:
        assert a.read("readme.txt") == b"added again", "compact dropped the added record"
    listing = run_qartool("-p", "pw", "l", str(tool_archive))
    assert "noise.bin" not in listing and "one.dat" in listing, listing


def test_a_masked_archive_opens_by_password_or_key_and_not_without(tool_archive):
    with qar.open(tool_archive, key=qar.key_from_password("pw")) as a:
        assert a.read("one.dat") == b"x", "the key of the password did not unmask the record"
    with pytest.raises(qar.Error) as caught:
        qar.open(tool_archive)
    assert caught.value.status == "key_mismatch", caught.value
    assert tool_archive.name in str(caught.value), "the message does not name the archive"


def add_twice(archive):
    archive.add("a.txt", b"a")
    archive.add("A.TXT", b"b")


@pytest.mark.parametrize("call, status", [
    (lambda d: qar.open(d / "missing.qar"), "not_found"),
    (lambda d: qar.open(d / "text.qar"), "damaged"),
    (lambda d: qar.create(d / "text.qar"), "exists"),
    (lambda d: qar.open(d / "empty.qar").add("a.txt", b"a"), "invalid"),  # opened to read
    (lambda d: add_twice(qar.create(d / "new.qar")), "exists"),
    (lambda d: qar.create(d / "new.qar").add("a.txt", b""), "invalid"),  # an empty record
])
def test_a_failing_call_raises_error_with_status_and_message(tmp_path, call, status):
    (tmp_path / "text.qar").write_bytes(b"not an archive at all, just some text here")
    qar.create(tmp_path / "empty.qar").close()
    with pytest.raises(qar.Error) as caught:
        call(tmp_path)
    assert caught.value.status == status, "status %r: %s" % (caught.value.status, caught.value)
    assert str(caught.value), "qar.Error carries no message"


@pytest.mark.parametrize("call", [
    lambda a: a.read("nosuch.txt"),
    lambda a: a.read(name="nosuch.txt"),
    lambda a: a.entry("nosuch.txt"),
    lambda a: a.delete("nosuch.txt"),
    lambda a: a.update("nosuch.txt", b"x"),
    lambda a: (a.delete("one.dat"), a.read("one.dat")),
])
def test_a_missing_record_name_raises_key_error(tool_archive, call):
    with qar.open(tool_archive, password="pw", mode="r+") as a:
        with pytest.raises(KeyError):
            call(a)


@pytest.mark.parametrize("kwargs", [
    dict(password=""),
    dict(password="pw", key=1),
    dict(key=1 << 32),
    dict(key=-1),
])
def test_a_key_that_is_no_key_is_refused(tool_archive, kwargs):
    with pytest.raises(ValueError):
        qar.open(tool_archive, **kwargs)


@pytest.mark.parametrize("name", ["seventeen_bytes_x", "../up", "a/b", "tab\there", ".."])
def test_a_name_that_cannot_be_extracted_is_not_added(tmp_path, name):
    with qar.create(tmp_path / "x.qar") as a:
        with pytest.raises(ValueError):
            a.add(name, b"data")


def test_a_closed_archive_refuses_reads(tool_archive):
    a = qar.open(tool_archive, password="pw")
    a.close()
    with pytest.raises(ValueError):
        a.read("one.dat")


def test_extract_writes_what_it_can_and_names_the_pattern_that_matched_nothing(tool_archive,
                                                                                 tree, tmp_path):
    with qar.open(tool_archive, password="pw") as a:
        with pytest.raises(qar.Error) as caught:
            a.extract(tmp_path / "out", ["*.TXT", "*.none"])
    assert '"*.none"' in str(caught.value), caught.value
    assert files_in(tmp_path / "out") == {"readme.txt": files_in(tree)["readme.txt"]}, (
        "extract did not write the matching record alone, with its time")


def test_threads_read_while_another_adds_and_see_every_record_whole(tree, tool_archive):
    """Four threads read every record, at least 100 times and until this one
    has added 40 more; a failure in a thread would otherwise pass unseen."""
    expected = {name: data for name, (data, _) in files_in(tree).items()}
    wrong, done = [], threading.Event()

    def reader():
        try:
            for count in itertools.count():
                if count >= 100 and done.is_set():
                    break
                wrong.extend(n for n, data in list(expected.items()) if a.read(n) != data)
        except Exception as e:
            wrong.append(repr(e))
    with qar.open(tool_archive, password="pw", mode="r+") as a:
        pool = [threading.Thread(target=reader) for _ in range(4)]
        for t in pool:
            t.start()
        try:
            for i in range(40):
                name = "added%02d.bin" % i
                a.add(name, name.encode() * 50)
                expected[name] = name.encode() * 50
        finally:
            done.set()
            for t in pool:
                t.join()
    assert not wrong, "threads read wrong bytes for: %s" % sorted(set(wrong))


def small_records(count):
    """name -> bytes of count small compressible records."""
    return {"r%04d.txt" % i: (b"record %d " % i) * (1 + i % 40) for i in range(count)}


def archive_of(path, records, first=None):
    """A new archive at path holding records (name -> bytes); the one named
    first is added first, so that its stream starts right after table 0."""
    with qar.create(path) as a:
        for name in sorted(records, key=lambda n: n != first):
            a.add(name, records[name])
    return path


def test_reading_in_order_gives_the_bytes_a_change_through_the_handle_left(tmp_path):
    records = small_records(400)
    names = sorted(records)
    with qar.open(archive_of(tmp_path / "s.qar", records), mode="r+") as a:
        for name in names[:200]:  # the records after these are decoded ahead meanwhile
            assert a.read(name) == records[name], "%s read wrong bytes in order" % name
        a.update(names[210], b"updated")
        records[names[210]] = b"updated"
        for name in names[200:]:
            assert a.read(name) == records[name], "%s: bytes from before the change" % name


def test_a_damaged_record_fails_alone_and_in_order_alike_and_test_names_it(tmp_path):
    records = small_records(300)
    damaged = "r0150.txt"
    archive = archive_of(tmp_path / "d.qar", records, first=damaged)
    with qar.open(archive) as a:
        stored = a.entry(damaged).stored_size
    with open(archive, "r+b") as f:
        f.seek(3632 + stored // 2)
        f.write(b"\xff" * (stored - stored // 2))
    with qar.open(archive) as a:
        with pytest.raises(qar.Error) as alone:
            a.read(damaged)
        with pytest.raises(qar.Error) as tested:
            a.test()
    assert alone.value.status == "damaged", alone.value
    assert damaged in str(tested.value), "test() does not name the damaged record"
    with qar.open(archive) as a:
        for name in sorted(records):
            if name == damaged:
                with pytest.raises(qar.Error) as in_order:
                    a.read(name)
            else:
                assert a.read(name) == records[name], "%s read wrong beside a damaged one" % name
    assert str(in_order.value) == str(alone.value), "read in order, the failure reads otherwise"


def test_a_child_forked_while_records_are_decoded_ahead_reads_on(tmp_path):
    """The fork comes right after the reads that start decoding ahead, while
    workers decode; a child left waiting for them is killed by its alarm."""
    records = {"r%03d.txt" % i: b"".join(b"line %d of record %d\n" % (j, i) for j in range(2000))
               for i in range(60)}
    names = sorted(records)
    with qar.open(archive_of(tmp_path / "f.qar", records)) as a:
        for name in names[:3]:
            a.read(name)
        pid = os.fork()
        if pid == 0:  # the child: reads the rest in order and closes
            ok = False
            try:
                signal.alarm(60)
                ok = all(a.read(name) == records[name] for name in names[3:])
                a.close()
            finally:
                os._exit(0 if ok else 1)
        assert all(a.read(name) == records[name] for name in names[3:]), "the parent read wrong"
    code = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
    assert code != -signal.SIGALRM, "the forked child hung reading on or closing"
    assert code == 0, "the child read wrong bytes"
