#include "entry_object.h"

#include <structmember.h>

#include <cstddef>
#include <cstring>
#include <string>

namespace {

struct EntryObject {
    PyObject_HEAD
    qar_entry entry;
};

size_t name_length(const qar_entry& entry) { return strnlen(entry.name, QAR_NAME_SIZE); }

const qar_entry& entry_of(PyObject* self) { return reinterpret_cast<EntryObject*>(self)->entry; }

PyObject* get_name(PyObject* self, void*)
{
    const qar_entry& e = entry_of(self);
    return PyUnicode_DecodeUTF8(e.name, Py_ssize_t(name_length(e)), "surrogateescape");
}

PyObject* get_raw_name(PyObject* self, void*)
{
    const qar_entry& e = entry_of(self);
    return PyBytes_FromStringAndSize(e.name, Py_ssize_t(name_length(e)));
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

PyObject* get_method(PyObject* self, void*)
{
    return PyUnicode_FromString(method_name(entry_of(self).method));
}

// datetime.datetime.fromtimestamp and datetime.timezone.utc, kept for the
// life of the process from the type's making on.
PyObject* from_timestamp = nullptr;
PyObject* utc = nullptr;

PyObject* get_mtime(PyObject* self, void*)
{
    const qar_entry& e = entry_of(self);
    if (e.mtime == QAR_TIME_UNKNOWN)
        Py_RETURN_NONE;
    return PyObject_CallFunction(from_timestamp, "LO", static_cast<long long>(e.mtime), utc);
}

// Looks up what get_mtime calls; false with a Python error set.
bool find_datetime()
{
    PyObject* datetime = PyImport_ImportModule("datetime");
    if (!datetime)
        return false;
    PyObject* type = PyObject_GetAttrString(datetime, "datetime");
    PyObject* timezone = PyObject_GetAttrString(datetime, "timezone");
    if (type)
        from_timestamp = PyObject_GetAttrString(type, "fromtimestamp");
    if (timezone)
        utc = PyObject_GetAttrString(timezone, "utc");
    Py_XDECREF(timezone);
    Py_XDECREF(type);
    Py_DECREF(datetime);
    return from_timestamp && utc;
}

PyObject* get_deleted(PyObject* self, void*) { return PyBool_FromLong(entry_of(self).deleted); }

PyObject* entry_repr(PyObject* self)
{
    const qar_entry& e = entry_of(self);
    PyObject* name = get_name(self, nullptr);
    if (!name)
        return nullptr;
    PyObject* out = PyUnicode_FromFormat("<qar.Entry %R %lu bytes, %s%s", name,
                                         static_cast<unsigned long>(e.size),
                                         method_name(e.method), e.deleted ? ", deleted>" : ">");
    Py_DECREF(name);
    return out;
}

PyGetSetDef getters[] = {
    {"name", get_name, nullptr, "The record's name (str).", nullptr},
    {"raw_name", get_raw_name, nullptr, "The record's name as stored (bytes).", nullptr},
    {"method", get_method, nullptr, "none, lzo1x or lzo1y (unknown for another).", nullptr},
    {"mtime", get_mtime, nullptr, "The record's time, an aware UTC datetime; None when the "
                                  "stored time holds none.", nullptr},
    {"deleted", get_deleted, nullptr, "Deleted through this archive object.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"index", T_INT, offsetof(EntryObject, entry) + offsetof(qar_entry, index), READONLY,
     "The record's sequence number in the archive."},
    {"size", T_UINT, offsetof(EntryObject, entry) + offsetof(qar_entry, size), READONLY,
     "Plain bytes."},
    {"stored_size", T_UINT, offsetof(EntryObject, entry) + offsetof(qar_entry, stored_size),
     READONLY, "Bytes in the file."},
    {nullptr, 0, 0, 0, nullptr},
};

// The type itself, a static one: filled in and readied once, by entry_type_add.
PyTypeObject entry_type{};

}  // namespace

bool entry_type_add(PyObject* module)
{
    if (!find_datetime())
        return false;
    Py_SET_REFCNT(&entry_type, 1);  // as PyVarObject_HEAD_INIT has it; readying sets the type
    entry_type.tp_name = "qar.Entry";
    entry_type.tp_basicsize = sizeof(EntryObject);
    entry_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    entry_type.tp_doc = "One record of an archive's listing.";
    entry_type.tp_getset = getters;
    entry_type.tp_members = members;
    entry_type.tp_repr = entry_repr;
    if (PyType_Ready(&entry_type) != 0)
        return false;
    Py_INCREF(&entry_type);  // the module's reference
    if (PyModule_AddObject(module, "Entry", reinterpret_cast<PyObject*>(&entry_type)) != 0) {
        Py_DECREF(&entry_type);
        return false;
    }
    return true;
}

PyObject* entry_new(const qar_entry& entry)
{
    EntryObject* self = PyObject_New(EntryObject, &entry_type);
    if (self)
        self->entry = entry;
    return reinterpret_cast<PyObject*>(self);
}
