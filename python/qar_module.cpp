// The extension module qar._qar: a thin binding of the C API in qar/qar.h.
// The Python package qar (qar/__init__.py) builds the user-facing calls
// (open, create, add from a path, extract) on top of it.
//
// Threads: every call that reads or writes the archive releases the GIL and
// then takes the object's lock, shared for reads and exclusive for changes,
// so Python threads read one archive in parallel while a change (which the
// library does not allow beside any other call on the handle) waits for them.
// The lock is never held while the GIL is being taken. The handle, and what
// belongs to one handle (generation, mode, added_names), change only under
// the exclusive lock.
//
// Reads in order decode ahead (read_ahead.h): worker threads decode the small
// records after the one read while the reader copies out those decoded. A
// change, reopening or closing stops the workers first, under the exclusive
// lock; the package stops them before the process forks.
#include <qar/qar.h>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "entry_object.h"
#include "read_ahead.h"

namespace py = pybind11;

namespace {

// The archive as the module holds it. The library's snapshot shows neither
// the records added through a handle nor the new bytes of updated ones, so
// after a change the handle is opened afresh before the next read-type call
// (stale); added_names remembers what was added since the last open, so that
// add can refuse a name twice without reopening.
struct ArchiveObject {
    qar_archive* handle = nullptr;  // null once closed
    std::string path;
    unsigned mode = QAR_READ;
    uint32_t key = 0;
    std::atomic<bool> stale{false};
    uint64_t generation = 0;  // counts opens: positions hold within one
    std::unordered_set<std::string> added_names;
    std::shared_mutex lock;
    ReadAhead ahead;  // its source reads through handle

    ArchiveObject() = default;
    ArchiveObject(const ArchiveObject&) = delete;
    ArchiveObject& operator=(const ArchiveObject&) = delete;
    ~ArchiveObject()
    {
        ahead_stop(&ahead);
        qar_close(handle, nullptr);
    }
};

// The read-ahead source: the archive's live records. Runs without the
// object's lock; the handle does not change while workers run.
bool may_decode_ahead(void* context, size_t position, uint64_t* size)
{
    qar_entry entry;
    if (qar_entry_at(static_cast<ArchiveObject*>(context)->handle, position, &entry, nullptr) !=
            QAR_OK ||
        entry.deleted)
        return false;
    *size = entry.size;
    return true;
}

bool decode_record_into(void* context, size_t position, uint8_t* out, size_t size)
{
    size_t got = 0;
    uint8_t none = 0;
    return qar_read(static_cast<ArchiveObject*>(context)->handle, position,
                    size != 0 ? out : &none, size, &got, nullptr) == QAR_OK &&
           got == size;
}

// qar.Error; made once by the module and kept for the life of the process.
py::handle error_type;

const char* status_name(qar_status status)
{
    switch (status) {
    case QAR_OK: return "ok";
    case QAR_NOT_FOUND: return "not_found";
    case QAR_EXISTS: return "exists";
    case QAR_INVALID: return "invalid";
    case QAR_KEY_MISMATCH: return "key_mismatch";
    case QAR_DAMAGED: return "damaged";
    case QAR_IO: return "io";
    case QAR_TOO_LARGE: return "too_large";
    case QAR_REFUSED: return "refused";
    case QAR_BUFFER_TOO_SMALL: return "buffer_too_small";
    case QAR_CODEC: return "codec";
    case QAR_NO_MEMORY: return "no_memory";
    }
    return "unknown";
}

// Bytes from the archive or the system as text: UTF-8, with any other byte
// kept as os.fsdecode keeps it (a surrogate).
py::str text_of(const std::string& name)
{
    PyObject* text = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()),
                                          "surrogateescape");
    if (!text)
        throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

// Raises qar.Error with the message and the status's name in .status.
[[noreturn]] void raise_error(qar_status status, const std::string& message)
{
    py::object error = py::reinterpret_borrow<py::object>(error_type)(text_of(message));
    error.attr("status") = status_name(status);
    PyErr_SetObject(error_type.ptr(), error.ptr());
    throw py::error_already_set();
}

[[noreturn]] void raise_error(const qar_error& error)
{
    std::string message = error.message;
    if (message.empty())
        message = qar_status_text(error.status);
    raise_error(error.status, message);
}

void check(qar_status status, const qar_error& error)
{
    if (status != QAR_OK)
        raise_error(error);
}

// A name from Python: bytes as they are, str as UTF-8 with the bytes that
// os.fsdecode turned into surrogates given back.
std::string name_bytes(const py::handle& name)
{
    std::string bytes;
    if (PyBytes_Check(name.ptr())) {
        bytes.assign(PyBytes_AS_STRING(name.ptr()), PyBytes_GET_SIZE(name.ptr()));
    } else if (PyUnicode_Check(name.ptr())) {
        Py_ssize_t length = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(name.ptr(), &length);  // kept by the str
        if (utf8) {
            bytes.assign(utf8, length);
        } else {
            // Surrogates from os.fsdecode: the bytes they stand for.
            PyErr_Clear();
            py::object encoded = py::reinterpret_steal<py::object>(
                PyUnicode_AsEncodedString(name.ptr(), "utf-8", "surrogateescape"));
            if (!encoded)
                throw py::error_already_set();
            bytes.assign(PyBytes_AS_STRING(encoded.ptr()), PyBytes_GET_SIZE(encoded.ptr()));
        }
    } else {
        throw py::type_error("a record name is str or bytes");
    }
    if (bytes.find('\0') != std::string::npos)
        throw py::value_error("a record name holds no zero byte");
    return bytes;
}

char fold_ascii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lower_ascii(std::string text)
{
    for (char& c : text)
        c = fold_ascii(c);
    return text;
}

[[noreturn]] void raise_closed()
{
    throw py::value_error("the archive is closed");
}

// Runs step(archive) with the GIL released and the lock held as Lock holds it;
// ValueError when the archive is closed (also when another thread closed it
// meanwhile).
template <typename Lock, typename Step>
void with_lock(ArchiveObject& archive, Step step)
{
    bool closed;
    {
        py::gil_scoped_release unlocked;
        Lock held(archive.lock);
        closed = !archive.handle;
        if (!closed)
            step(archive);
    }
    if (closed)
        raise_closed();
}

// read(handle) with the lock held shared.
template <typename Read>
void read_locked(ArchiveObject& archive, Read read)
{
    with_lock<std::shared_lock<std::shared_mutex>>(
        archive, [&](ArchiveObject& locked) { read(locked.handle); });
}

// change(archive) with the lock held exclusively, once no worker decodes
// ahead through the handle.
template <typename Change>
void change_locked(ArchiveObject& archive, Change change)
{
    with_lock<std::unique_lock<std::shared_mutex>>(archive, [&](ArchiveObject& locked) {
        ahead_stop(&locked.ahead);
        change(locked);
    });
}

// Opens archive.path in mode into archive.handle, closing the handle that was
// open first. Runs with the lock held exclusively (or before the object is
// shared); on failure the archive is left closed.
qar_status open_locked(ArchiveObject& archive, unsigned mode, qar_error* error)
{
    if (archive.handle) {
        qar_status status = qar_close(archive.handle, error);
        archive.handle = nullptr;
        if (status != QAR_OK)
            return status;
    }
    qar_status status = qar_open_key(archive.path.c_str(), mode, archive.key, nullptr, nullptr,
                                     &archive.handle, error);
    archive.mode = mode;
    archive.added_names.clear();
    ++archive.generation;
    archive.stale = false;
    return status;
}

// The mode to open the archive again in: as it was read only, else for
// writing the archive that is now there.
unsigned reopen_mode(unsigned mode)
{
    return (mode & QAR_MODE_MASK) == QAR_READ ? mode : QAR_WRITE | (mode & ~QAR_MODE_MASK);
}

void close_archive(ArchiveObject& archive)
{
    qar_error error{};
    qar_status status = QAR_OK;
    {
        py::gil_scoped_release unlocked;
        std::unique_lock<std::shared_mutex> exclusive(archive.lock);
        ahead_stop(&archive.ahead);
        status = qar_close(archive.handle, &error);
        archive.handle = nullptr;
    }
    check(status, error);
}

// The archive, opened afresh first when a change has made its snapshot stale.
ArchiveObject& readable(ArchiveObject& archive)
{
    if (!archive.stale)
        return archive;
    qar_error error{};
    qar_status status = QAR_OK;
    change_locked(archive, [&](ArchiveObject& locked) {
        if (locked.stale)  // not opened afresh by another thread meanwhile
            status = open_locked(locked, reopen_mode(locked.mode), &error);
    });
    check(status, error);
    return archive;
}

// Whether a stored name is name as the library compares names: ASCII case
// ignored, at most 16 bytes.
bool same_name(const char* stored, const std::string& name)
{
    size_t length = std::min<size_t>(name.size(), QAR_NAME_SIZE);
    for (size_t i = 0; i < length; ++i)
        if (stored[i] == '\0' || fold_ascii(stored[i]) != fold_ascii(name[i]))
            return false;
    return length == QAR_NAME_SIZE || stored[length] == '\0';
}

constexpr size_t NO_HINT = SIZE_MAX;

// Whether the record at `at` is the first live record of that name: it is
// live, has the name, and the record before it has another.
bool first_live_at(const qar_archive* handle, const std::string& name, size_t at,
                   qar_entry* entry)
{
    qar_entry before;
    return qar_entry_at(handle, at, entry, nullptr) == QAR_OK && !entry->deleted &&
           same_name(entry->name, name) &&
           (at == 0 ||
            (qar_entry_at(handle, at - 1, &before, nullptr) == QAR_OK &&
             !same_name(before.name, name)));
}

// The position of the first live record of that name: QAR_NOT_FOUND when
// there is none. The snapshot is sorted by name, so records of one name stand
// together; `hint`, where the record probably is (the one after the record
// read last), is looked at before searching. Makes no Python call (it runs
// with the GIL released).
qar_status find_live(const qar_archive* handle, const std::string& name, size_t* position,
                     qar_entry* entry, qar_error* error, size_t hint = NO_HINT)
{
    if (hint != NO_HINT && first_live_at(handle, name, hint, entry)) {
        *position = hint;
        return QAR_OK;
    }
    qar_status status = qar_find(handle, name.c_str(), position, error);
    if (status != QAR_OK)
        return status;
    size_t count = qar_count(handle);
    for (; *position < count; ++*position) {
        status = qar_entry_at(handle, *position, entry, error);
        if (status != QAR_OK)
            return status;
        if (!same_name(entry->name, name))
            break;
        if (!entry->deleted)
            return QAR_OK;
    }
    return QAR_NOT_FOUND;
}

// qar_find's status for a name: KeyError for a missing one.
[[noreturn]] void raise_key_error(const std::string& name)
{
    PyErr_SetObject(PyExc_KeyError, text_of(name).ptr());
    throw py::error_already_set();
}

void check_found(qar_status status, const qar_error& error, const std::string& name)
{
    if (status == QAR_NOT_FOUND)
        raise_key_error(name);
    check(status, error);
}

std::unique_ptr<ArchiveObject> make_archive(const std::string& path, unsigned mode,
                                            uint32_t key, unsigned ahead_workers)
{
    auto archive = std::make_unique<ArchiveObject>();
    archive->path = path;
    archive->key = key;
    archive->ahead.worker_count = std::min(ahead_workers, AHEAD_MOST_WORKERS);
    archive->ahead.source.context = archive.get();
    archive->ahead.source.wanted = may_decode_ahead;
    archive->ahead.source.decode = decode_record_into;
    qar_error error{};
    qar_status status = QAR_OK;
    {
        py::gil_scoped_release unlocked;  // a writer may wait here for another's lock
        status = open_locked(*archive, mode, &error);
    }
    check(status, error);
    return archive;
}

size_t count_records(ArchiveObject& archive)
{
    size_t count = 0;
    read_locked(readable(archive), [&](qar_archive* handle) { count = qar_count(handle); });
    return count;
}

py::object entry_object(const qar_entry& entry)
{
    PyObject* made = entry_new(entry);
    if (!made)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(made);
}

py::list entries(ArchiveObject& archive)
{
    std::vector<qar_entry> out;
    qar_error error{};
    qar_status status = QAR_OK;
    read_locked(readable(archive), [&](qar_archive* handle) {
        size_t count = qar_count(handle);
        out.resize(count);
        for (size_t position = 0; position < count && status == QAR_OK; ++position)
            status = qar_entry_at(handle, position, &out[position], &error);
    });
    check(status, error);
    py::list list(out.size());
    for (size_t i = 0; i < out.size(); ++i)
        PyList_SET_ITEM(list.ptr(), Py_ssize_t(i), entry_object(out[i]).release().ptr());
    return list;
}

py::object entry_named(ArchiveObject& archive, const py::handle& name)
{
    std::string wanted = name_bytes(name);
    qar_entry entry;
    qar_error error{};
    qar_status status = QAR_OK;
    read_locked(readable(archive), [&](qar_archive* handle) {
        size_t position = 0;
        status = find_live(handle, wanted, &position, &entry, &error);
    });
    check_found(status, error, wanted);
    return entry_object(entry);
}

// Records up to this size are read in the same step that finds them, into a
// buffer of the thread's, and copied into the bytes object; larger ones are
// read straight into it.
constexpr size_t SMALL_RECORD = 64 * 1024;

// The record after the one read last, when it is decoded ahead and ready:
// taken with the GIL held, since nothing here waits (the object's lock is
// only tried). Most reads in order end here. Null otherwise.
AheadBytes take_ready(ArchiveObject& archive, const std::string& wanted)
{
    std::shared_lock<std::shared_mutex> shared(archive.lock, std::try_to_lock);
    if (!shared.owns_lock() || !archive.handle || archive.stale)
        return AheadBytes();
    const size_t position = ahead_next(&archive.ahead);
    qar_entry entry;
    if (!first_live_at(archive.handle, wanted, position, &entry))
        return AheadBytes();
    return ahead_take(&archive.ahead, position, qar_count(archive.handle), false);
}

// The record's bytes, read with the GIL released: decoded ahead when the
// reads go in order, else read here (so is every failure). A large record's bytes
// object is made (with the GIL) between finding the record and reading it,
// once qar_read has found its stored bytes inside the file (so a damaged
// entry's claimed size is never allocated); should another thread open the
// archive afresh meanwhile, the record is looked up again.
py::bytes read_record(ArchiveObject& archive, const py::handle& name)
{
    std::string wanted = name_bytes(name);
    AheadBytes ready = take_ready(archive, wanted);
    if (ready.chunk)
        return py::bytes(reinterpret_cast<const char*>(ready.data),
                         static_cast<Py_ssize_t>(ready.size));
    thread_local std::vector<char> small(SMALL_RECORD);
    qar_error error{};
    for (;;) {
        size_t position = 0;
        size_t size = 0;
        qar_entry entry;
        qar_status status = QAR_OK;
        uint64_t generation = 0;
        AheadBytes ahead;
        read_locked(readable(archive), [&](qar_archive* handle) {
            generation = archive.generation;
            status = find_live(handle, wanted, &position, &entry, &error,
                               ahead_next(&archive.ahead));
            if (status != QAR_OK)
                return;
            ahead = ahead_take(&archive.ahead, position, qar_count(handle), true);
            if (!ahead.chunk)
                status = qar_read(handle, position, small.data(), small.size(), &size, &error);
        });
        if (ahead.chunk)
            return py::bytes(reinterpret_cast<const char*>(ahead.data),
                             static_cast<Py_ssize_t>(ahead.size));
        if (status != QAR_BUFFER_TOO_SMALL) {
            check_found(status, error, wanted);
            return py::bytes(small.data(), size);
        }
        py::bytes out = py::reinterpret_steal<py::bytes>(
            PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
        if (!out)
            throw py::error_already_set();
        char* buffer = PyBytes_AS_STRING(out.ptr());
        bool moved = false;
        read_locked(archive, [&](qar_archive* handle) {
            moved = archive.generation != generation;
            if (!moved)
                status = qar_read(handle, position, buffer, size, &size, &error);
        });
        if (!moved) {
            check(status, error);
            return out;
        }
    }
}

// A change to the archive: fn(handle, error) runs with the GIL released and
// the lock held exclusively; the snapshot is stale afterwards. A missing
// record (QAR_NOT_FOUND) is KeyError of name. After a failed change the
// handle refuses more (the library's rule), so it is not opened afresh
// behind the caller's back.
template <typename Change>
void change(ArchiveObject& archive, const std::string& name, Change fn)
{
    qar_error error{};
    qar_status status = QAR_OK;
    change_locked(archive, [&](ArchiveObject& locked) {
        status = fn(locked, &error);
        if (status == QAR_OK)
            locked.stale = true;
    });
    check_found(status, error, name);
}

// Appends a record; a name that is already live (or was added through this
// handle) is refused, as the tool refuses it.
void add_record(ArchiveObject& archive, const py::handle& name, const py::buffer& data,
                int64_t mtime)
{
    std::string bytes = name_bytes(name);
    std::string stored = lower_ascii(bytes.substr(0, QAR_NAME_SIZE));
    py::buffer_info view = data.request();
    bool twice = false;
    change(archive, bytes, [&](ArchiveObject& locked, qar_error* error) {
        size_t position = 0;
        qar_entry entry;
        qar_status status = find_live(locked.handle, bytes, &position, &entry, error);
        twice = status == QAR_OK || locked.added_names.count(stored) != 0;
        if (twice)
            return QAR_OK;
        if (status != QAR_NOT_FOUND)
            return status;
        status = qar_add(locked.handle, bytes.c_str(), view.ptr,
                         static_cast<size_t>(view.size * view.itemsize), mtime, error);
        if (status == QAR_OK)
            locked.added_names.insert(stored);
        return status;
    });
    if (twice)
        raise_error(QAR_EXISTS, "\"" + stored + "\" is already in qar \"" + archive.path +
                                    "\", not added (update replaces it)");
}

void update_record(ArchiveObject& archive, const py::handle& name, const py::buffer& data,
                   int64_t mtime)
{
    std::string bytes = name_bytes(name);
    py::buffer_info view = data.request();
    change(archive, bytes, [&](ArchiveObject& locked, qar_error* error) {
        return qar_update(locked.handle, bytes.c_str(), view.ptr,
                          static_cast<size_t>(view.size * view.itemsize), mtime, error);
    });
}

// Marks every live record of that name deleted; KeyError when there is none.
void delete_record(ArchiveObject& archive, const py::handle& name)
{
    std::string bytes = name_bytes(name);
    bool found = false;
    change(readable(archive), bytes, [&](ArchiveObject& locked, qar_error* error) {
        // Each round deletes one record of the snapshot, so it ends.
        for (size_t round = qar_count(locked.handle); round > 0; --round) {
            size_t position = 0;
            qar_entry entry;
            qar_status status = find_live(locked.handle, bytes, &position, &entry, error);
            if (status == QAR_NOT_FOUND)
                break;
            if (status == QAR_OK)
                status = qar_delete(locked.handle, position, error);
            if (status != QAR_OK)
                return status;
            found = true;
        }
        return QAR_OK;
    });
    if (!found)
        raise_key_error(bytes);
}

struct Damage {
    const qar_archive* handle;
    std::vector<std::string> lines;
};

void note_damage(void* context, size_t position, const char* message)
{
    auto* damage = static_cast<Damage*>(context);
    qar_entry entry;
    std::string name = qar_entry_at(damage->handle, position, &entry, nullptr) == QAR_OK
                           ? entry.name
                           : "#" + std::to_string(position);
    damage->lines.push_back("\"" + name + "\" is damaged: " + message);
}

// The failure of a test or compaction that found damaged records: one
// message naming each of them.
[[noreturn]] void raise_damage(const ArchiveObject& archive, const Damage& damage,
                               const qar_error& error)
{
    if (damage.lines.empty())
        raise_error(error);
    std::string message = std::to_string(damage.lines.size()) + " damaged record" +
                          (damage.lines.size() == 1 ? "" : "s") + " in qar \"" +
                          archive.path + "\":";
    for (const std::string& line : damage.lines)
        message += "\n" + line;
    raise_error(QAR_DAMAGED, message);
}

// Tests every record of the snapshot, or only the live record of one name.
// Returns the number tested; qar.Error names every damaged one.
size_t test_records(ArchiveObject& archive, const py::object& name)
{
    Damage damage{nullptr, {}};
    qar_error error{};
    qar_status status = QAR_OK;
    size_t tested = 1;
    std::string wanted = name.is_none() ? std::string() : name_bytes(name);
    read_locked(readable(archive), [&](qar_archive* handle) {
        damage.handle = handle;
        if (name.is_none()) {
            tested = qar_count(handle);
            status = qar_test_all(handle, note_damage, &damage, nullptr, &error);
            return;
        }
        size_t position = 0;
        qar_entry entry;
        status = find_live(handle, wanted, &position, &entry, &error);
        if (status == QAR_OK)
            status = qar_test(handle, position, &error);
        if (status == QAR_DAMAGED)
            note_damage(&damage, position, error.message);
    });
    if (status == QAR_NOT_FOUND)
        raise_key_error(wanted);
    if (status != QAR_OK)
        raise_damage(archive, damage, error);
    return tested;
}

// Compacts the archive and opens the result, so that the object stays usable.
// A handle changed since it was opened is opened afresh first, so that the
// object's view of the records matches what is compacted.
py::dict compact_archive(ArchiveObject& archive)
{
    Damage damage{nullptr, {}};
    qar_compact_result result{};
    qar_error error{};
    qar_error open_error{};
    qar_status status = QAR_OK;
    qar_status opened = QAR_OK;
    change_locked(archive, [&](ArchiveObject& locked) {
        if (locked.stale)
            status = open_locked(locked, reopen_mode(locked.mode), &error);
        if (status != QAR_OK)
            return;
        damage.handle = locked.handle;
        status = qar_compact(locked.handle, note_damage, &damage, &result, &error);
        locked.handle = nullptr;  // closed by the compaction in every case
        opened = open_locked(locked, reopen_mode(locked.mode), &open_error);
    });
    // A failed compaction is the error to report before a failed open.
    if (status != QAR_OK)
        raise_damage(archive, damage, error);
    check(opened, open_error);
    py::dict out;
    out["records"] = result.records;
    out["size_before"] = result.size_before;
    out["size_after"] = result.size_after;
    return out;
}

// Archive.read as a plain method of the type, called without the binding's
// dispatch: a loop over a listing calls it once per record, and for a record
// decoded ahead the dispatch would cost as much as the read itself. Takes the
// name by position or as name=.
PyObject* read_method(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* names)
{
    try {
        const Py_ssize_t keywords = names ? PyTuple_GET_SIZE(names) : 0;
        if (count + keywords != 1 ||
            (keywords == 1 && PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(names, 0),
                                                               "name") != 0)) {
            PyErr_SetString(PyExc_TypeError, "read() takes one argument, the record's name");
            return nullptr;
        }
        ArchiveObject& archive = py::handle(self).cast<ArchiveObject&>();
        return read_record(archive, py::handle(args[0])).release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

PyMethodDef read_definition = {
    "read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_method)),
    METH_FASTCALL | METH_KEYWORDS,
    "read(name)\n--\n\nThe plain bytes of the live record of that name (KeyError when "
    "there is none)."};

uint32_t key_of_password(const py::bytes& password)
{
    std::string bytes = password;
    if (bytes.find('\0') != std::string::npos)
        throw py::value_error("a password holds no zero byte");
    return qar_key_from_password(bytes.c_str());
}

}  // namespace

PYBIND11_MODULE(_qar, m)
{
    m.doc() = "QAR archives through libqar (use the package qar)";
    error_type = py::handle(
        PyErr_NewExceptionWithDoc("qar.Error", "A failed archive operation; .status names "
                                  "the kind (not_found, key_mismatch, damaged, io, ...).",
                                  PyExc_Exception, nullptr));
    m.add_object("Error", error_type);
    m.attr("READ") = static_cast<unsigned>(QAR_READ);
    m.attr("WRITE") = static_cast<unsigned>(QAR_WRITE);
    m.attr("CREATE") = static_cast<unsigned>(QAR_CREATE);
    m.attr("CREATE_NEW") = static_cast<unsigned>(QAR_CREATE_NEW);
    m.attr("NAME_SIZE") = QAR_NAME_SIZE;
    m.def("version", &qar_version, "The library's version.");
    m.def("key_from_password", &key_of_password, py::arg("password"),
          "The archive key of a password (bytes).");

    if (!entry_type_add(m.ptr()))
        throw py::error_already_set();

    py::class_<ArchiveObject> archive_class(m, "Archive",
                                           "An open archive (from qar.open or qar.create).");
    archive_class
        .def(py::init(&make_archive), py::arg("path"), py::arg("mode"), py::arg("key"),
             py::arg("ahead_workers") = 0)
        .def_property_readonly("path", [](const ArchiveObject& a) { return text_of(a.path); })
        .def_property_readonly("key", [](const ArchiveObject& a) { return a.key; })
        .def_property_readonly("closed",
                               [](ArchiveObject& a) {
                                   std::shared_lock<std::shared_mutex> shared(a.lock);
                                   return !a.handle;
                               })
        .def("close", &close_archive, "Closes the archive (again: nothing).")
        .def("_stop_read_ahead",
             [](ArchiveObject& a) {
                 py::gil_scoped_release unlocked;
                 ahead_stop(&a.ahead);
             })
        .def("__len__", &count_records)
        .def("entries", &entries, "The records, sorted by name, as a list of Entry.")
        .def("entry", &entry_named, py::arg("name"),
             "The live record of that name (KeyError when there is none).")
        .def("_add", &add_record, py::arg("name"), py::arg("data"), py::arg("mtime"))
        .def("_update", &update_record, py::arg("name"), py::arg("data"), py::arg("mtime"))
        .def("delete", &delete_record, py::arg("name"),
             "Marks every live record of that name deleted (KeyError when there is none).")
        .def("test", &test_records, py::arg("name") = py::none(),
             "Reads and decodes every record (or one); returns how many. qar.Error names "
             "each damaged record.")
        .def("compact", &compact_archive,
             "Rewrites the archive with only its live records; returns records, "
             "size_before and size_after.")
        .def("_file_id", [](ArchiveObject& a) -> py::object {
            uint64_t volume = 0, file = 0;
            int known = 0;
            read_locked(a, [&](qar_archive* handle) {
                known = qar_archive_file_id(handle, &volume, &file);
            });
            return known ? py::make_tuple(volume, file) : py::object(py::none());
        });
    PyObject* read = PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(archive_class.ptr()),
                                       &read_definition);
    if (!read)
        throw py::error_already_set();
    archive_class.attr("read") = py::reinterpret_steal<py::object>(read);
}
