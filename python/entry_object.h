// qar.Entry: one record of an archive's listing, as a plain Python object
// made without the binding layer, since a listing makes one per record and a
// loop over it reads `name` once per record. Read-only attributes: name (str,
// bytes that are not UTF-8 kept as os.fsdecode keeps them), raw_name (bytes),
// index, size, stored_size, method (str), mtime (an aware UTC datetime, or
// None when the stored time holds none), deleted.
#pragma once

#include <Python.h>
#include <qar/qar.h>

// Makes the type once and adds it to the module as "Entry"; false, with a
// Python error set, when that fails.
bool entry_type_add(PyObject* module);

// A new Entry holding a copy of *entry (a new reference), or null with a
// Python error set.
PyObject* entry_new(const qar_entry& entry);
