// The module quastor: its initialisation and five functions. Each function
// matches and converts its arguments, runs one operation on plain values and
// turns the outcome into a Python result or exception.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "compress/compress.hpp"
#include "extract/extract.hpp"
#include "module/arguments.hpp"
#include "module/report.hpp"

#include <cerrno>
#include <exception>
#include <new>
#include <string>

namespace quastor::module {

namespace {

// Raised when an invariant of ours breaks. Derived from BaseException so
// that a generic `except Exception` does not swallow a bug.
PyObject* internal_error_type = nullptr;

// The one place where a QuastorError becomes a Python exception.
void raise_error(char const* prefix, QuastorError const& error)
{
    std::string const message = prefix + error.display();
    // Display texts are UTF-8 by construction; "replace" keeps a stray byte
    // from turning into a decoding error that hides the real one.
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr)
        return;
    PyErr_SetObject(PyExc_RuntimeError, text);
    Py_DECREF(text);
}

void raise_internal(char const* what)
{
    PyErr_SetString(internal_error_type != nullptr ? internal_error_type : PyExc_SystemError, what);
}

// Runs an operation so that no C++ exception reaches the interpreter:
// allocation failure is an ordinary Io error, anything else a broken invariant.
template <typename Operation>
PyObject* run(char const* prefix, Operation&& operation)
{
    try {
        return operation();
    } catch (std::bad_alloc const&) {
        raise_error(prefix, QuastorError::io(ENOMEM));
    } catch (std::exception const& exception) {
        raise_internal(exception.what());
    } catch (...) {
        raise_internal("unknown internal failure");
    }
    return nullptr;
}

// Ctrl-C, or any signal whose handler raises, stops a running call: the
// operation asks on the calling thread, which holds the interpreter lock
// throughout. The handler's exception stays set and is the call's outcome,
// in place of the error the interrupted operation returns.
class PendingSignals final : public CallerHook {
public:
    bool stop_requested() override
    {
        raised_ = PyErr_CheckSignals() != 0;
        return raised_;
    }
    bool raised() const { return raised_; }

private:
    bool raised_ = false;
};

PyObject* done(char const* prefix, Result<void> const& result, PendingSignals const& signals)
{
    if (signals.raised())
        return nullptr;
    if (!result) {
        raise_error(prefix, result.error());
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* report(char const* prefix, Result<std::vector<PreflightEntry>>&& result, PendingSignals const& signals)
{
    if (signals.raised())
        return nullptr;
    if (!result) {
        raise_error(prefix, result.error());
        return nullptr;
    }
    return build_report(std::move(*result));
}

// One spelling of each prefix, shared with the command.
constexpr char const* extraction_failed = extraction_failed_prefix;
constexpr char const* creation_failed = creation_failed_prefix;
constexpr char const* preflight_failed = preflight_failed_prefix;

char const* const archive_and_dest[] = {"archive_path", "dest_path"};
char const* const bytes_and_dest[] = {"archive_bytes", "dest_path"};
char const* const source_and_archive[] = {"source_path", "archive_path"};
char const* const archive_only[] = {"archive_path"};
char const* const bytes_only[] = {"archive_bytes"};

PyObject* extract_zip(PyObject*, PyObject* args, PyObject* kwargs)
{
    Matched matched;
    std::string archive_path, dest_path;
    if (!match_arguments({"extract_zip", archive_and_dest, 2}, args, kwargs, matched)
        || !convert_text(matched[0], "archive_path", archive_path)
        || !convert_text(matched[1], "dest_path", dest_path))
        return nullptr;
    PendingSignals signals;
    return run(extraction_failed,
        [&] { return done(extraction_failed, extract(archive_path, dest_path, nullptr, &signals), signals); });
}

PyObject* extract_zip_bytes(PyObject*, PyObject* args, PyObject* kwargs)
{
    Matched matched;
    Bytes archive;
    std::string dest_path;
    if (!match_arguments({"extract_zip_bytes", bytes_and_dest, 2}, args, kwargs, matched)
        || !convert_bytes(matched[0], "archive_bytes", archive)
        || !convert_text(matched[1], "dest_path", dest_path))
        return nullptr;
    PendingSignals signals;
    return run(extraction_failed, [&] {
        return done(extraction_failed, extract_from_bytes(archive, dest_path, nullptr, &signals), signals);
    });
}

PyObject* create_zip_function(PyObject*, PyObject* args, PyObject* kwargs)
{
    Matched matched;
    std::string source_path, archive_path;
    if (!match_arguments({"create_zip", source_and_archive, 2}, args, kwargs, matched)
        || !convert_text(matched[0], "source_path", source_path)
        || !convert_text(matched[1], "archive_path", archive_path))
        return nullptr;
    PendingSignals signals;
    CreateOptions options;
    options.caller = &signals;
    return run(creation_failed, [&] {
        return done(creation_failed, create_zip(source_path, archive_path, options), signals);
    });
}

PyObject* preflight_zip(PyObject*, PyObject* args, PyObject* kwargs)
{
    Matched matched;
    std::string archive_path;
    if (!match_arguments({"preflight_zip", archive_only, 1}, args, kwargs, matched)
        || !convert_text(matched[0], "archive_path", archive_path))
        return nullptr;
    PendingSignals signals;
    return run(preflight_failed, [&] { return report(preflight_failed, preflight(archive_path, &signals), signals); });
}

PyObject* preflight_zip_bytes(PyObject*, PyObject* args, PyObject* kwargs)
{
    Matched matched;
    Bytes archive;
    if (!match_arguments({"preflight_zip_bytes", bytes_only, 1}, args, kwargs, matched)
        || !convert_bytes(matched[0], "archive_bytes", archive))
        return nullptr;
    PendingSignals signals;
    return run(preflight_failed,
        [&] { return report(preflight_failed, preflight_bytes(archive, &signals), signals); });
}

// Registration order is the order of __all__. The docstrings are text
// signatures only: __text_signature__ is set and __doc__ is empty.
PyMethodDef functions[] = {
    {"extract_zip", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&extract_zip)),
        METH_VARARGS | METH_KEYWORDS, "extract_zip(archive_path, dest_path)\n--\n\n"},
    {"extract_zip_bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&extract_zip_bytes)),
        METH_VARARGS | METH_KEYWORDS, "extract_zip_bytes(archive_bytes, dest_path)\n--\n\n"},
    {"create_zip", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&create_zip_function)),
        METH_VARARGS | METH_KEYWORDS, "create_zip(source_path, archive_path)\n--\n\n"},
    {"preflight_zip", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&preflight_zip)),
        METH_VARARGS | METH_KEYWORDS, "preflight_zip(archive_path)\n--\n\n"},
    {"preflight_zip_bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&preflight_zip_bytes)),
        METH_VARARGS | METH_KEYWORDS, "preflight_zip_bytes(archive_bytes)\n--\n\n"},
};

// Adds one function: create it, read back its __name__, append that to
// __all__ and set the attribute.
int add_function(PyObject* module, PyObject* module_name, PyMethodDef* definition)
{
    PyObject* function = PyCFunction_NewEx(definition, module, module_name);
    if (function == nullptr)
        return -1;
    int status = -1;
    PyObject* name = PyObject_GetAttrString(function, "__name__");
    if (name != nullptr) {
        PyObject* all = PyObject_GetAttrString(module, "__all__");
        if (all == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            all = PyList_New(0);
            if (all != nullptr && PyObject_SetAttrString(module, "__all__", all) != 0)
                Py_CLEAR(all);
        }
        if (all != nullptr && PyList_Append(all, name) == 0)
            status = PyObject_SetAttr(module, name, function);
        Py_XDECREF(all);
        Py_DECREF(name);
    }
    Py_DECREF(function);
    return status;
}

int exec_module(PyObject* module)
{
    if (internal_error_type == nullptr) {
        internal_error_type = PyErr_NewException("quastor.InternalError", PyExc_BaseException, nullptr);
        if (internal_error_type == nullptr)
            return -1;
    }
    PyObject* module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr)
        return -1;
    int status = 0;
    for (PyMethodDef& definition : functions) {
        status = add_function(module, module_name, &definition);
        if (status != 0)
            break;
    }
    Py_DECREF(module_name);
    return status;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
#ifdef Py_GIL_DISABLED
    // A free-threaded interpreter keeps its GIL off for this module: below
    // the boundary nothing touches interpreter objects, the arguments are
    // owned copies or immutable bytes held for the call, and the shared
    // extraction pool serves concurrent callers.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "quastor",
    "",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

} // namespace quastor::module

PyMODINIT_FUNC PyInit_quastor(void) { return PyModuleDef_Init(&quastor::module::definition); }
