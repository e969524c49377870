// The two object types of kvt._arrow.
//
// Strings: a decoded text or bytes column kept as one byte arena plus 64-bit offsets (the layout
// of Arrow's large string and large binary), handed to Arrow consumers without copying and
// turned into a NumPy object array only when asked.
// ImportedColumn objects: one column taken in from an Arrow producer, packable without copying.
#pragma once

#include <Python.h>

#include "imported.h"
#include "model/strings.h"

namespace kvt::arrow {

// Creates the types once and adds them to the module; -1 with the error raised.
int add_types(PyObject* module);

// A new Strings object owning `column`.
PyObject* new_strings(StringColumn&& column, bool text);
// The column of a Strings object (and whether it is text), or nullptr for any other object.
const StringColumn* strings_column(PyObject* o, bool* text);

// A new column object owning `column`.
PyObject* new_imported(ImportedColumn&& column);
// The column of a column object, or nullptr for any other object.
const ImportedColumn* imported_column(PyObject* o);

}  // namespace kvt::arrow
