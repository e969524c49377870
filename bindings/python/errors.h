// The binding's error conventions: the type-check message, the "argument '{}': " prefix rule and
// the internal-error type for failures that valid use cannot reach.
#pragma once

#include <Python.h>

#include <string_view>

namespace kvt::py {

// Raises TypeError "'{type qualname}' object is not an instance of '{expected}'" ("'None' is not
// an instance of '{expected}'" for None). Returns nullptr for convenience.
PyObject* raise_type_check(PyObject* obj, const char* expected);

// If the pending exception is exactly TypeError (not a subclass), replaces it with a TypeError
// whose message is "argument '{name}': " followed by the original message. Other exceptions pass
// through unchanged. Requires an exception to be set.
void prefix_argument_error(const char* name);

// Raises `type` with the UTF-8 `message` (ill-formed bytes, from names taken as they came, are
// replaced rather than failing). Returns nullptr.
PyObject* raise_text(PyObject* type, std::string_view message);

// The internal-error type: derives directly from BaseException, created on first use, kept for
// the life of the process and not added to the module. nullptr only if it cannot be created.
PyObject* internal_error_type();

// Raises the internal-error type with `message`, chaining the pending exception's text when one
// is set ("{message}: {pending}"). Returns nullptr.
PyObject* raise_internal(const char* message);

// Raises the internal-error type with a message made by PyUnicode_FromFormat (no C++ allocation:
// safe where memory has run out). Returns nullptr.
PyObject* raise_internal_format(const char* format, const char* arg);

// Makes sure the calling thread can throw a C++ exception without allocating. The first throw on
// a thread otherwise creates the thread's exception state, and if memory has run out by then the
// C library ends the process instead. Called on entry to every function that may throw.
void prepare_thread_for_exceptions() noexcept;

}  // namespace kvt::py
