// The two large functions of the module, after their arguments are bound and converted.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include "model/keyed_hash.h"
#include "model/table.h"

namespace kvt::py {

// Column name -> decimal scale, copied from `decimal_fields` before any column is read.
// Keyed like every map of names: callers may pass names that came from elsewhere.
using ScaleMap = std::unordered_map<std::string, uint64_t, KeyedStringHash, StringEqual>;

// Packs `columns` (a list, already checked) into a new bytes object holding one frame whose
// table metadata carries "obj" = obj. `scales` is null when decimal_fields was None or omitted.
PyObject* pack_columns(std::string_view obj, PyObject* columns, const ScaleMap* scales);

// A new bytes object holding the whole frame of `table`; ValueError when the table cannot be
// framed (the codec's display text).
PyObject* frame_bytes(const TableRef& table);

// Parses the bytes that follow a frame header into (table name, object name, [(name, array)]).
PyObject* parse_frame(std::span<const uint8_t> buffer);

}  // namespace kvt::py
