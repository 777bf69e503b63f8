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

// The objects matched to the parameters, valid until this is destroyed.
// Positional ones belong to the call's argument tuple, which cannot change
// and which the caller holds for the whole call. Keyword ones belong to the
// keyword dictionary: with the GIL no other thread runs while the call
// does, but a free-threaded interpreter lets one that shares the dictionary
// (a C caller passing its own) remove a value, and with it the last
// reference to the bytes the inner operation reads. That build matches
// against a private copy of the dictionary, owned here.
class Matched {
public:
    Matched() = default;
    Matched(Matched const&) = delete;
    Matched& operator=(Matched const&) = delete;
#ifdef Py_GIL_DISABLED
    ~Matched() { Py_XDECREF(keywords_); }
#endif

    PyObject*& operator[](int i) { return items_[i]; }

private:
    friend bool match_arguments(Signature const&, PyObject*, PyObject*, Matched&);
    PyObject* items_[2] = {};
#ifdef Py_GIL_DISABLED
    PyObject* keywords_ = nullptr;
#endif
};

// Fills matched[0 .. count-1], or raises TypeError with the interpreter's
// own wording for wrong counts and keywords.
bool match_arguments(Signature const& signature, PyObject* args, PyObject* kwargs, Matched& matched);

// A str (or subclass) to an owned UTF-8 copy of its text. Lone surrogates
// raise the interpreter's UnicodeEncodeError unchanged.
bool convert_text(PyObject* object, char const* parameter, std::string& out);

// A bytes (or subclass) to a read-only view of its buffer; nothing is copied.
bool convert_bytes(PyObject* object, char const* parameter, Bytes& out);

} // namespace quastor::module
