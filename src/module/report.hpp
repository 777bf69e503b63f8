#pragma once

// The preflight report as Python sees it: a list of dictionaries.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "extract/extract.hpp"

#include <vector>

namespace quastor::module {

// Turns a preflight result into a new list of nine-key dictionaries, one per
// entry in plan order, consuming the records as it goes. Returns nullptr
// with the interpreter's exception set when an object cannot be made; the
// partly built objects are released. Calling thread, interpreter lock held.
PyObject* build_report(std::vector<PreflightEntry> entries);

} // namespace quastor::module
