// The extension module qar._qar: a thin binding of the C API in qar/qar.h.
// The Python package qar (qar/__init__.py) builds the user-facing calls
// (open, create, add from a path, extract) on top of it.
//
// Threads: every call that reads or writes the archive releases the GIL and
// then takes the handle's lock, shared for reads and exclusive for changes,
// so Python threads read one archive in parallel while a change (which the
// library does not allow beside any other call on the handle) waits for them.
#include <qar/qar.h>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_set>
#include <vector>

namespace py = pybind11;

namespace {

// The archive as the module holds it. Records added through a handle are not
// in its snapshot, so after a change the handle is reopened before the next
// read-type call (stale); added_names remembers what was added since the last
// (re)open, so that add can refuse a name twice without reopening.
struct ArchiveObject {
    qar_archive* handle = nullptr;
    std::string path;
    unsigned mode = QAR_READ;
    uint32_t key = 0;
    bool stale = false;
    uint64_t generation = 0;  // counts (re)opens: positions hold within one
    std::unordered_set<std::string> added_names;
    std::shared_mutex lock;

    ArchiveObject() = default;
    ArchiveObject(const ArchiveObject&) = delete;
    ArchiveObject& operator=(const ArchiveObject&) = delete;
    ~ArchiveObject() { qar_close(handle, nullptr); }
};

// One record of the snapshot as Python sees it.
struct Entry {
    std::string name;  // the stored bytes of the name
    int32_t index = 0;
    uint32_t size = 0;
    uint32_t stored_size = 0;
    qar_method method = QAR_METHOD_NONE;
    int64_t mtime = QAR_TIME_UNKNOWN;
    bool deleted = false;
};

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

ArchiveObject& open_archive(ArchiveObject& archive)
{
    if (!archive.handle)
        throw py::value_error("the archive is closed");
    return archive;
}

// Opens the path into archive.handle; the GIL is released around the open
// (a writer may wait there for another's lock).
void open_handle(ArchiveObject& archive, unsigned mode)
{
    qar_error error{};
    qar_status status;
    {
        py::gil_scoped_release unlocked;
        status = qar_open_key(archive.path.c_str(), mode, archive.key, nullptr, nullptr,
                              &archive.handle, &error);
    }
    check(status, error);
    archive.stale = false;
    archive.added_names.clear();
    ++archive.generation;
}

// The mode to open the archive again in: as it was read only, else for
// writing the archive that is now there.
unsigned reopen_mode(unsigned mode)
{
    return (mode & QAR_MODE_MASK) == QAR_READ ? mode : QAR_WRITE | (mode & ~QAR_MODE_MASK);
}

// Closes and opens the archive again, now for writing an existing archive,
// so that the snapshot shows what was changed through it.
void reopen(ArchiveObject& archive)
{
    qar_error error{};
    qar_status status;
    {
        py::gil_scoped_release unlocked;
        std::unique_lock<std::shared_mutex> exclusive(archive.lock);
        status = qar_close(archive.handle, &error);
        archive.handle = nullptr;
    }
    check(status, error);
    archive.mode = reopen_mode(archive.mode);
    open_handle(archive, archive.mode);
}

// The archive, reopened first when a change has made its snapshot stale.
ArchiveObject& readable(ArchiveObject& archive)
{
    open_archive(archive);
    if (archive.stale)
        reopen(archive);
    return archive;
}

Entry entry_of(const qar_entry& e)
{
    Entry entry;
    entry.name = e.name;
    entry.index = e.index;
    entry.size = e.size;
    entry.stored_size = e.stored_size;
    entry.method = e.method;
    entry.mtime = e.mtime;
    entry.deleted = e.deleted != 0;
    return entry;
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

// The position of the first live record of that name: QAR_NOT_FOUND when
// there is none. The snapshot is sorted by name, so records of one name stand
// together. Makes no Python call (it runs with the GIL released).
qar_status find_live(const qar_archive* handle, const std::string& name, size_t* position,
                     qar_entry* entry, qar_error* error)
{
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
                                            uint32_t key)
{
    auto archive = std::make_unique<ArchiveObject>();
    archive->path = path;
    archive->mode = mode;
    archive->key = key;
    open_handle(*archive, mode);
    return archive;
}

void close_archive(ArchiveObject& archive)
{
    if (!archive.handle)
        return;
    qar_error error{};
    qar_status status;
    {
        py::gil_scoped_release unlocked;
        std::unique_lock<std::shared_mutex> exclusive(archive.lock);
        status = qar_close(archive.handle, &error);
        archive.handle = nullptr;
    }
    check(status, error);
}

size_t count_records(ArchiveObject& archive)
{
    readable(archive);
    py::gil_scoped_release unlocked;
    std::shared_lock<std::shared_mutex> shared(archive.lock);
    return qar_count(archive.handle);
}

std::vector<Entry> entries(ArchiveObject& archive)
{
    readable(archive);
    std::vector<Entry> out;
    qar_error error{};
    qar_status status = QAR_OK;
    {
        py::gil_scoped_release unlocked;
        std::shared_lock<std::shared_mutex> shared(archive.lock);
        size_t count = qar_count(archive.handle);
        out.reserve(count);
        for (size_t position = 0; position < count && status == QAR_OK; ++position) {
            qar_entry entry;
            status = qar_entry_at(archive.handle, position, &entry, &error);
            if (status == QAR_OK)
                out.push_back(entry_of(entry));
        }
    }
    check(status, error);
    return out;
}

Entry entry_named(ArchiveObject& archive, const py::handle& name)
{
    readable(archive);
    std::string wanted = name_bytes(name);
    qar_entry entry;
    qar_error error{};
    qar_status status;
    {
        py::gil_scoped_release unlocked;
        std::shared_lock<std::shared_mutex> shared(archive.lock);
        size_t position = 0;
        status = find_live(archive.handle, wanted, &position, &entry, &error);
    }
    check_found(status, error, wanted);
    return entry_of(entry);
}

// Records up to this size are read in the same step that finds them, into a
// buffer of the thread's, and copied into the bytes object; larger ones are
// read straight into it.
constexpr size_t SMALL_RECORD = 64 * 1024;

// The record's bytes, read with the GIL released. A large record's bytes
// object is made (with the GIL) between finding the record and reading it;
// should another thread reopen the archive meanwhile, the record is looked up
// again.
py::bytes read_record(ArchiveObject& archive, const py::handle& name)
{
    readable(archive);
    std::string wanted = name_bytes(name);
    thread_local std::vector<char> small(SMALL_RECORD);
    qar_error error{};
    for (;;) {
        size_t position = 0;
        size_t size = 0;
        qar_entry entry;
        qar_status status;
        uint64_t generation;
        {
            py::gil_scoped_release unlocked;
            std::shared_lock<std::shared_mutex> shared(archive.lock);
            generation = archive.generation;
            status = find_live(archive.handle, wanted, &position, &entry, &error);
            if (status == QAR_OK && entry.size <= SMALL_RECORD)
                status = qar_read(archive.handle, position, small.data(), small.size(), &size,
                                  &error);
        }
        check_found(status, error, wanted);
        if (entry.size <= SMALL_RECORD)
            return py::bytes(small.data(), size);
        py::bytes out = py::reinterpret_steal<py::bytes>(
            PyBytes_FromStringAndSize(nullptr, entry.size));
        if (!out)
            throw py::error_already_set();
        char* buffer = PyBytes_AS_STRING(out.ptr());
        bool moved = false;
        {
            py::gil_scoped_release unlocked;
            std::shared_lock<std::shared_mutex> shared(archive.lock);
            moved = archive.generation != generation || !archive.handle;
            if (!moved)
                status = qar_read(archive.handle, position, buffer, entry.size, &size, &error);
        }
        if (moved) {
            open_archive(archive);
            continue;
        }
        check(status, error);
        return out;
    }
}

// A change to the archive: fn(handle, error) runs with the GIL released and
// the lock held exclusively; the snapshot is stale afterwards. A missing
// record (QAR_NOT_FOUND) is KeyError of name.
template <typename Change>
void change(ArchiveObject& archive, const std::string& name, Change fn)
{
    open_archive(archive);
    qar_error error{};
    qar_status status;
    {
        py::gil_scoped_release unlocked;
        std::unique_lock<std::shared_mutex> exclusive(archive.lock);
        status = fn(archive.handle, &error);
    }
    check_found(status, error, name);
    // After a failed change the handle refuses more (the library's rule), so
    // it is not reopened behind the caller's back.
    archive.stale = true;
}

// Appends a record; a name that is already live (or was added through this
// handle) is refused, as the tool refuses it.
void add_record(ArchiveObject& archive, const py::handle& name, const py::buffer& data,
                int64_t mtime)
{
    open_archive(archive);
    std::string bytes = name_bytes(name);
    std::string stored = lower_ascii(bytes.substr(0, QAR_NAME_SIZE));
    qar_error error{};
    qar_status status;
    {
        py::gil_scoped_release unlocked;
        std::shared_lock<std::shared_mutex> shared(archive.lock);
        size_t position = 0;
        qar_entry entry;
        status = find_live(archive.handle, bytes, &position, &entry, &error);
    }
    if (status == QAR_OK || archive.added_names.count(stored))
        raise_error(QAR_EXISTS, "\"" + stored + "\" is already in qar \"" + archive.path +
                                    "\", not added (update replaces it)");
    if (status != QAR_NOT_FOUND)
        raise_error(error);
    py::buffer_info view = data.request();
    change(archive, bytes, [&](qar_archive* handle, qar_error* failure) {
        return qar_add(handle, bytes.c_str(), view.ptr,
                       static_cast<size_t>(view.size * view.itemsize), mtime, failure);
    });
    archive.added_names.insert(stored);
}

void update_record(ArchiveObject& archive, const py::handle& name, const py::buffer& data,
                   int64_t mtime)
{
    std::string bytes = name_bytes(name);
    py::buffer_info view = data.request();
    change(archive, bytes, [&](qar_archive* handle, qar_error* error) {
        return qar_update(handle, bytes.c_str(), view.ptr,
                          static_cast<size_t>(view.size * view.itemsize), mtime, error);
    });
}

// Marks every live record of that name deleted; KeyError when there is none.
void delete_record(ArchiveObject& archive, const py::handle& name)
{
    readable(archive);
    std::string bytes = name_bytes(name);
    bool found = false;
    change(archive, bytes, [&](qar_archive* handle, qar_error* error) {
        size_t position = 0;
        qar_entry entry;
        qar_status status;
        while ((status = find_live(handle, bytes, &position, &entry, error)) == QAR_OK) {
            found = true;
            status = qar_delete(handle, position, error);
            if (status != QAR_OK)
                return status;
        }
        return status == QAR_NOT_FOUND ? QAR_OK : status;
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
    readable(archive);
    Damage damage{archive.handle, {}};
    qar_error error{};
    qar_status status;
    size_t tested = 1;
    std::string wanted = name.is_none() ? std::string() : name_bytes(name);
    {
        py::gil_scoped_release unlocked;
        std::shared_lock<std::shared_mutex> shared(archive.lock);
        if (name.is_none()) {
            tested = qar_count(archive.handle);
            status = qar_test_all(archive.handle, note_damage, &damage, nullptr, &error);
        } else {
            size_t position = 0;
            qar_entry entry;
            status = find_live(archive.handle, wanted, &position, &entry, &error);
            if (status == QAR_OK) {
                status = qar_test(archive.handle, position, &error);
                if (status == QAR_DAMAGED)
                    note_damage(&damage, position, error.message);
            }
        }
    }
    if (status == QAR_NOT_FOUND)
        raise_key_error(wanted);
    if (status != QAR_OK)
        raise_damage(archive, damage, error);
    return tested;
}

// Compacts the archive and opens the result, so that the object stays usable.
py::dict compact_archive(ArchiveObject& archive)
{
    // The library compacts from the handle's snapshot, which holds neither
    // the records added through the handle nor the new bytes of updated ones:
    // a handle changed since it was opened is opened afresh first, or those
    // would be lost.
    readable(archive);
    Damage damage{archive.handle, {}};
    qar_compact_result result{};
    qar_error error{};
    qar_status status;
    {
        py::gil_scoped_release unlocked;
        std::unique_lock<std::shared_mutex> exclusive(archive.lock);
        status = qar_compact(archive.handle, note_damage, &damage, &result, &error);
        archive.handle = nullptr;  // closed by the compaction in every case
    }
    // Open what is now at the path, so that the object stays usable; a
    // failed compaction is the error to report before a failed open.
    archive.mode = reopen_mode(archive.mode);
    try {
        open_handle(archive, archive.mode);
    } catch (const py::error_already_set&) {
        if (status == QAR_OK)
            throw;
    }
    if (status != QAR_OK)
        raise_damage(archive, damage, error);
    py::dict out;
    out["records"] = result.records;
    out["size_before"] = result.size_before;
    out["size_after"] = result.size_after;
    return out;
}

py::object mtime_of(const Entry& entry)
{
    if (entry.mtime == QAR_TIME_UNKNOWN)
        return py::none();
    // Kept for the life of the process, as the module is.
    static py::handle from_timestamp =
        py::object(py::module_::import("datetime").attr("datetime").attr("fromtimestamp"))
            .release();
    static py::handle utc =
        py::object(py::module_::import("datetime").attr("timezone").attr("utc")).release();
    return from_timestamp(entry.mtime, utc);
}

const char* method_name(qar_method method)
{
    switch (method) {
    case QAR_METHOD_NONE: return "none";
    case QAR_METHOD_LZO1X: return "lzo1x";
    case QAR_METHOD_LZO1Y: return "lzo1y";
    case QAR_METHOD_UNKNOWN: break;
    }
    return "unknown";
}

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

    py::class_<Entry>(m, "Entry", "One record of an archive's listing.")
        .def_property_readonly("name", [](const Entry& e) { return text_of(e.name); })
        .def_property_readonly("raw_name", [](const Entry& e) { return py::bytes(e.name); })
        .def_readonly("index", &Entry::index)
        .def_readonly("size", &Entry::size)
        .def_readonly("stored_size", &Entry::stored_size)
        .def_property_readonly("method", [](const Entry& e) { return method_name(e.method); })
        .def_property_readonly("mtime", &mtime_of)
        .def_readonly("deleted", &Entry::deleted)
        .def("__repr__", [](const Entry& e) {
            return "<qar.Entry " + std::string(py::repr(text_of(e.name))) + " " +
                   std::to_string(e.size) + " bytes, " + method_name(e.method) +
                   (e.deleted ? ", deleted>" : ">");
        });

    py::class_<ArchiveObject>(m, "Archive", "An open archive (from qar.open or qar.create).")
        .def(py::init(&make_archive), py::arg("path"), py::arg("mode"), py::arg("key"))
        .def_property_readonly("path", [](const ArchiveObject& a) { return text_of(a.path); })
        .def_property_readonly("key", [](const ArchiveObject& a) { return a.key; })
        .def_property_readonly("closed", [](const ArchiveObject& a) { return !a.handle; })
        .def("close", &close_archive, "Closes the archive (again: nothing).")
        .def("__len__", &count_records)
        .def("entries", &entries, "The records, sorted by name, as a list of Entry.")
        .def("entry", &entry_named, py::arg("name"),
             "The live record of that name (KeyError when there is none).")
        .def("read", &read_record, py::arg("name"),
             "The plain bytes of the live record of that name (KeyError when there is none).")
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
        .def("_file_id", [](const ArchiveObject& a) -> py::object {
            uint64_t volume = 0, file = 0;
            if (!a.handle || !qar_archive_file_id(a.handle, &volume, &file))
                return py::none();
            return py::make_tuple(volume, file);
        });
}
