"""The Python module against the tool: round trips both ways, masked archives,
errors, and reading from several threads."""

import datetime
import os
import threading

import pytest

import qar
from conftest import DECEMBER, JULY, files_in, run_qartool


def test_records_the_tool_added_read_back_byte_for_byte(tree, tool_archive):
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


def test_records_python_added_extract_with_the_tool_as_the_same_bytes_and_times(tree, tmp_path):
    archive = tmp_path / "py.qar"
    with qar.create(archive, password="pw") as a:
        for name in sorted(os.listdir(tree)):
            a.add(tree / name)
        a.add("extra.bin", b"\x00\x01" * 1000, mtime=DECEMBER)
    out = tmp_path / "out"
    out.mkdir()
    run_qartool("-p", "pw", "x", str(archive), cwd=out)
    expected = files_in(tree)
    expected["extra.bin"] = (b"\x00\x01" * 1000, int(DECEMBER.timestamp()))
    assert files_in(out) == expected, "qartool x gave other bytes or times than Python added"


def test_a_record_added_through_the_archive_reads_back_from_it(tmp_path):
    with qar.create(tmp_path / "new.qar") as a:
        a.add("Notes.TXT", b"first")
        assert a.read("notes.txt") == b"first", "an added record is not readable at once"
        assert [e.name for e in a] == ["notes.txt"], "the name is not stored lower-cased"


def test_delete_update_and_compact_show_in_the_tool(tool_archive):
    with qar.open(tool_archive, password="pw", mode="r+") as a:
        a.delete("noise.bin")
        a.update("one.dat", b"replaced", mtime=JULY)
        result = a.compact()
        assert result["records"] == 2, "compact kept %s records, expected 2" % result
        assert a.read("one.dat") == b"replaced", "the archive after compact lost the update"
        assert "noise.bin" not in a, "a deleted record is live after compact"
    listing = run_qartool("-p", "pw", "l", str(tool_archive))
    assert "noise.bin" not in listing and "one.dat" in listing, listing


def test_a_masked_archive_opens_by_password_or_key_and_not_without(tool_archive):
    with qar.open(tool_archive, key=qar.key_from_password("pw")) as a:
        assert a.read("one.dat") == b"x", "the key of the password did not unmask the record"
    with pytest.raises(qar.Error) as caught:
        qar.open(tool_archive)
    assert caught.value.status == "key_mismatch", caught.value
    assert tool_archive.name in str(caught.value), "the message does not name the archive"


def open_missing(tmp_path):
    qar.open(tmp_path / "missing.qar")


def open_no_archive(tmp_path):
    (tmp_path / "text.qar").write_bytes(b"not an archive at all, just some text here")
    qar.open(tmp_path / "text.qar")


def create_over_a_file(tmp_path):
    (tmp_path / "x.qar").write_bytes(b"x")
    qar.create(tmp_path / "x.qar")


def write_read_only(tmp_path):
    qar.create(tmp_path / "x.qar").close()
    with qar.open(tmp_path / "x.qar") as a:
        a.add("a.txt", b"a")


def add_a_name_twice(tmp_path):
    with qar.create(tmp_path / "x.qar") as a:
        a.add("a.txt", b"a")
        a.add("A.TXT", b"b")


def add_an_empty_record(tmp_path):
    with qar.create(tmp_path / "x.qar") as a:
        a.add("a.txt", b"")


@pytest.mark.parametrize("action, status", [
    (open_missing, "not_found"),
    (open_no_archive, "damaged"),
    (create_over_a_file, "exists"),
    (write_read_only, "invalid"),
    (add_a_name_twice, "exists"),
    (add_an_empty_record, "invalid"),
])
def test_a_failing_call_raises_error_with_status_and_message(tmp_path, action, status):
    with pytest.raises(qar.Error) as caught:
        action(tmp_path)
    assert caught.value.status == status, "status %r: %s" % (caught.value.status, caught.value)
    assert str(caught.value), "qar.Error carries no message"


@pytest.mark.parametrize("call", [
    lambda a: a.read("nosuch.txt"),
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


def test_a_damaged_record_is_named_by_read_and_test(tree, tmp_path):
    archive = tmp_path / "d.qar"
    run_qartool("a", str(archive), str(tree / "readme.txt"))
    with qar.open(archive) as a:
        stored = a.entry("readme.txt").stored_size
    with open(archive, "r+b") as f:  # the only record's stream starts after table 0
        f.seek(3632 + stored // 2)
        f.write(b"\xff" * (stored - stored // 2))
    with qar.open(archive) as a:
        with pytest.raises(qar.Error) as read_error:
            a.read("readme.txt")
        with pytest.raises(qar.Error) as test_error:
            a.test()
    assert read_error.value.status == "damaged", read_error.value
    assert "readme.txt" in str(test_error.value), "test() does not name the damaged record"


def test_extract_writes_what_it_can_and_names_the_pattern_that_matched_nothing(tool_archive,
                                                                                 tree, tmp_path):
    out = tmp_path / "out"
    with qar.open(tool_archive, password="pw") as a:
        with pytest.raises(qar.Error) as caught:
            a.extract(out, ["*.TXT", "*.none"])
    assert '"*.none"' in str(caught.value), caught.value
    assert files_in(out) == {"readme.txt": files_in(tree)["readme.txt"]}, (
        "extract did not write the matching record alone, with its time")


def read_repeatedly(archive, expected, wrong, rounds=None, until=None):
    """Reads every expected record, rounds times or until the event is set;
    the names read wrong, and any failure, go to wrong (a failure in a thread
    would otherwise pass unseen)."""
    try:
        done = 0
        while (until is None or not until.is_set()) and (rounds is None or done < rounds):
            for name, data in list(expected.items()):
                if archive.read(name) != data:
                    wrong.append(name)
            done += 1
    except Exception as e:
        wrong.append(repr(e))


def test_four_threads_read_one_archive_and_get_every_record_right(tree, tool_archive):
    expected = {name: data for name, (data, _) in files_in(tree).items()}
    wrong = []
    with qar.open(tool_archive, password="pw") as a:
        threads = [threading.Thread(target=read_repeatedly, args=(a, expected, wrong, 200))
                   for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert not wrong, "threads read wrong bytes for: %s" % sorted(set(wrong))


def test_compact_keeps_a_record_added_through_the_same_archive(tool_archive):
    with qar.open(tool_archive, password="pw", mode="r+") as a:
        a.add("new.txt", b"added before compact")
        a.compact()
    with qar.open(tool_archive, password="pw") as a:
        assert a.read("new.txt") == b"added before compact", "compact dropped the added record"


def test_threads_read_while_another_adds_and_see_every_record_whole(tree, tool_archive):
    expected = {name: data for name, (data, _) in files_in(tree).items()}
    wrong = []
    done = threading.Event()
    with qar.open(tool_archive, password="pw", mode="r+") as a:
        threads = [threading.Thread(target=read_repeatedly, args=(a, expected, wrong),
                                    kwargs=dict(until=done)) for _ in range(3)]
        for t in threads:
            t.start()
        try:
            for i in range(40):
                name = "added%02d.bin" % i
                a.add(name, name.encode() * 50)
                expected[name] = name.encode() * 50
        finally:
            done.set()
            for t in threads:
                t.join()
    assert not wrong, "reads beside an add gave wrong bytes for: %s" % sorted(set(wrong))
