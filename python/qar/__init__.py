"""QAR archives: one file holding many records under names of at most 16
bytes, each optionally masked with a key from a password and compressed.

    with qar.open("game.qar", password="pw") as a:
        for entry in a:
            print(entry.name, entry.size, entry.mtime)
        data = a.read("readme.txt")

Failures raise qar.Error (its .status names the kind); a missing record name
raises KeyError. Reading and compressing release the interpreter lock, so
threads reading one archive run in parallel.
"""

import builtins as _builtins
import datetime as _datetime
import fnmatch as _fnmatch
import os as _os
import secrets as _secrets
import time as _time
import weakref as _weakref

from . import _qar
from ._qar import Entry, Error, version

__all__ = ["Archive", "Entry", "Error", "create", "key_from_password", "open", "version"]

_MODES = {"r": _qar.READ, "r+": _qar.WRITE, "a": _qar.CREATE}


def key_from_password(password):
    """The archive key (0 to 2**32 - 1) of a password (str, as UTF-8, or bytes)."""
    return _qar.key_from_password(_password_bytes(password))


def open(path, password=None, *, key=None, mode="r"):
    """Opens an existing archive: mode "r" reads, "r+" also writes, "a" writes
    and creates a missing archive. Give the password or the key the archive
    was made with (neither for an unmasked one)."""
    if mode not in _MODES:
        raise ValueError('mode is "r", "r+" or "a", not %r' % (mode,))
    return Archive(_os.fsencode(path), _MODES[mode], _key(password, key))


def create(path, password=None, *, key=None):
    """Creates a new, empty archive for writing; qar.Error (status "exists")
    when something is already at the path."""
    return Archive(_os.fsencode(path), _qar.CREATE_NEW, _key(password, key))


def _usable_cores():
    try:
        return len(_os.sched_getaffinity(0))
    except AttributeError:
        return _os.cpu_count() or 1


# Every open archive object, so that the threads decoding ahead for them stop
# before the process forks (a child would have none of them); they start
# again at the next read in order.
_archives = _weakref.WeakSet()


def _stop_read_ahead():
    for archive in list(_archives):
        archive._stop_read_ahead()


if hasattr(_os, "register_at_fork"):
    _os.register_at_fork(before=_stop_read_ahead)


class Archive(_qar.Archive):
    """An open archive. Iterating gives an Entry per record, sorted by name
    (records deleted through this archive stay listed, deleted True).
    Reading records in that order decodes the next small ones ahead on
    worker threads, one per usable core."""

    def __init__(self, path, mode, key):
        super().__init__(path, mode, key, _usable_cores())
        _archives.add(self)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __iter__(self):
        return iter(self.entries())

    def __contains__(self, name):
        try:
            self.entry(name)
        except KeyError:
            return False
        return True

    def add(self, path_or_name, data=None, mtime=None):
        """Adds a record. With data (bytes-like), path_or_name is the record's
        name; without, it is a file whose bytes and time are stored under its
        own name, lower-cased and cut to 16 bytes as the tool stores it. A
        name that is already in the archive is refused."""
        name, data, mtime = self._record(path_or_name, data, mtime)
        self._add(name, data, mtime)

    def update(self, path_or_name, data=None, mtime=None):
        """Gives an existing record new contents and time (stored without
        compression); arguments as for add. A record deleted through this
        handle is live again afterwards. KeyError when the archive has no
        record of that name."""
        name, data, mtime = self._record(path_or_name, data, mtime)
        self._update(name, data, mtime)

    def extract(self, dest, patterns=None):
        """Writes the live records into the folder dest (made when missing)
        with their times, and returns their names. patterns (a str or a list)
        select records by name as fnmatch does, without regard to case.
        Each file is written under a temporary name and renamed into place
        when complete, so a link at the destination is replaced, not followed.
        Every record that can be is written; then qar.Error names each that
        was not (a name that is no plain file name, a damaged record, a failed
        write) and each pattern that matched nothing."""
        dest = _os.fspath(dest)
        try:
            _os.makedirs(dest, exist_ok=True)
        except OSError as e:
            raise _error("io", 'could not create folder "%s": %s' % (dest, e.strerror))
        live = {}
        for entry in self.entries():
            if not entry.deleted:
                live.setdefault(entry.raw_name.lower(), entry)
        if isinstance(patterns, (str, bytes)):
            patterns = [patterns]
        selected, problems = _select(live, patterns)
        archive_id = self._file_id()
        done = []
        for entry in selected:
            problem = self._extract_one(entry, dest, archive_id)
            if problem:
                problems.append(problem)
            else:
                done.append(entry.name)
        if problems:
            raise _error("io", 'not everything was extracted from qar "%s":\n%s' % (
                self.path, "\n".join(problems)))
        return done

    def _record(self, path_or_name, data, mtime):
        """The name, bytes and time (seconds) of a record to add or update."""
        if data is not None:
            name = _name_bytes(path_or_name)
            if len(name) > _qar.NAME_SIZE:
                raise ValueError("a record name has at most %d bytes: %r" % (_qar.NAME_SIZE,
                                                                             path_or_name))
        else:
            path = _os.fspath(path_or_name)
            data, file_mtime = self._read_file(path)
            name = _os.fsencode(_os.path.basename(path)).lower()[:_qar.NAME_SIZE]
            if mtime is None:
                mtime = file_mtime
        reason = _unsafe_name(name)
        if reason:
            raise ValueError("record name %r %s" % (name, reason))
        return name, data, _seconds(mtime)

    def _read_file(self, path):
        try:
            with _builtins.open(path, "rb") as f:
                st = _os.fstat(f.fileno())
                if self._file_id() == (st.st_dev, st.st_ino):
                    raise _error("invalid", '"%s" is the archive itself, not stored' % path)
                return f.read(), int(st.st_mtime)
        except IsADirectoryError:
            raise _error("invalid", '"%s" is a folder; add takes files' % path) from None
        except OSError as e:
            raise _error("io", 'could not read "%s": %s' % (path, e.strerror)) from None

    def _extract_one(self, entry, dest, archive_id):
        """Writes one record; the reason it was not written, or None.
        archive_id is the archive's (device, inode), or None."""
        reason = _unsafe_name(entry.raw_name)
        if reason:
            return 'not extracting "%s": it %s' % (entry.name, reason)
        target = _os.path.join(dest, entry.name)
        try:
            st = _os.stat(target)
            if archive_id == (st.st_dev, st.st_ino):
                return 'not extracting "%s": it would overwrite the archive' % entry.name
        except OSError:
            pass
        try:
            data = self.read(entry.raw_name)
        except Error as e:
            return 'could not read "%s": %s' % (entry.name, e)
        temporary = _os.path.join(dest, ".%s.%s.tmp" % (entry.name, _secrets.token_hex(4)))
        try:
            fd = _os.open(temporary, _os.O_WRONLY | _os.O_CREAT | _os.O_EXCL |
                          getattr(_os, "O_BINARY", 0), 0o666)
            try:
                with _os.fdopen(fd, "wb") as f:
                    f.write(data)
                if entry.mtime is not None:
                    seconds = entry.mtime.timestamp()
                    _os.utime(temporary, (seconds, seconds))
                _os.replace(temporary, target)
            except BaseException:
                _os.unlink(temporary)
                raise
        except OSError as e:
            return 'could not write to file "%s": %s' % (target, e.strerror)
        return None


def _error(status, message):
    error = Error(message)
    error.status = status
    return error


def _password_bytes(password):
    return password.encode() if isinstance(password, str) else bytes(password)


def _key(password, key):
    """The key of a password or a key number; 0 for neither."""
    if password is not None and key is not None:
        raise ValueError("give a password or a key, not both")
    if key is not None:
        if isinstance(key, bool) or not isinstance(key, int) or not 0 <= key <= 0xFFFFFFFF:
            raise ValueError("a key is a whole number from 0 to 4294967295, not %r" % (key,))
        return key
    if password is None:
        return 0
    password = _password_bytes(password)
    if not password:
        raise ValueError("an empty password would leave the archive unmasked; give none")
    return _qar.key_from_password(password)


def _name_bytes(name):
    return name if isinstance(name, bytes) else _os.fsencode(name)


def _unsafe_name(name):
    """Why a stored name cannot be a file's name in one folder, or None."""
    if not name or name in (b".", b".."):
        return "is not a plain file name"
    if any(b < 0x20 or b == 0x7F or b in b"/\\" for b in name):
        return "is not a plain file name"
    return None


def _seconds(mtime):
    """Seconds since 1970 UTC of None (now), a number or a datetime (a naive
    one is local time, as datetime.timestamp has it)."""
    if mtime is None:
        return int(_time.time())
    if isinstance(mtime, _datetime.datetime):
        return int(mtime.timestamp())
    return int(mtime)


def _select(live, patterns):
    """The entries the patterns select, in name order, and a line for each
    pattern that selects none."""
    if patterns is None:
        return list(live.values()), []
    chosen = {}
    problems = []
    for pattern in patterns:
        wanted = _name_bytes(pattern).lower()  # ASCII case only, as the library compares
        found = [key for key in live if _fnmatch.fnmatchcase(key, wanted)]
        if not found:
            problems.append('no record matches "%s"' % _os.fsdecode(pattern))
        for key in found:
            chosen[key] = live[key]
    return [chosen[key] for key in sorted(chosen)], problems
