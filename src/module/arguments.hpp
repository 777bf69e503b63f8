#pragma once

// Argument matching and conversion for the module's functions: every
// parameter is positional-or-keyword and required. Failures set a Python
// exception and return false.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/fd.hpp"

#include <string>

namespace quastor::module {

struct Signature {
    char const* function;    // the Python name, for messages
    char const* const* names; // parameter names in declared order
    int count;               // 1 or 2
};

// Fills matched[0 .. count-1] with borrowed references, or raises TypeError
// with the interpreter's own wording for wrong counts and keywords.
bool match_arguments(Signature const& signature, PyObject* args, PyObject* kwargs, PyObject** matched);

// A str (or subclass) to an owned UTF-8 copy of its text. Lone surrogates
// raise the interpreter's UnicodeEncodeError unchanged.
bool convert_text(PyObject* object, char const* parameter, std::string& out);

// A bytes (or subclass) to a read-only view of its buffer; nothing is copied.
bool convert_bytes(PyObject* object, char const* parameter, Bytes& out);

} // namespace quastor::module
