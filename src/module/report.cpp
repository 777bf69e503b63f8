#include "module/report.hpp"

#include <string>

namespace quastor::module {

namespace {

PyObject* text(std::string const& value)
{
    return PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
}

// Stores key and value in the dictionary, consuming the value reference.
bool store(PyObject* dict, char const* key, PyObject* value)
{
    if (value == nullptr)
        return false;
    PyObject* key_object = PyUnicode_FromString(key);
    if (key_object == nullptr) {
        Py_DECREF(value);
        return false;
    }
    int const status = PyDict_SetItem(dict, key_object, value);
    Py_DECREF(key_object);
    Py_DECREF(value);
    return status == 0;
}

PyObject* entry_dict(PreflightEntry const& entry)
{
    PyObject* dict = PyDict_New();
    if (dict == nullptr)
        return nullptr;
    bool const complete = store(dict, "archive_name", text(entry.archive_name))
        && store(dict, "path", text(entry.path))
        && store(dict, "is_dir", PyBool_FromLong(entry.is_dir))
        && store(dict, "is_symlink", PyBool_FromLong(entry.is_symlink))
        && store(dict, "file_size", PyLong_FromUnsignedLongLong(entry.file_size))
        && store(dict, "compress_size", PyLong_FromUnsignedLongLong(entry.compress_size))
        && store(dict, "compress_type", PyLong_FromLong(entry.compress_type))
        && store(dict, "crc32", PyLong_FromLong(static_cast<long>(entry.crc32)))
        && store(dict, "external_attr", PyLong_FromLong(static_cast<long>(entry.external_attr)));
    if (!complete) {
        Py_DECREF(dict);
        return nullptr;
    }
    return dict;
}

} // namespace

PyObject* build_report(std::vector<PreflightEntry> entries)
{
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(entries.size()));
    if (list == nullptr)
        return nullptr;
    for (size_t i = 0; i < entries.size(); ++i) {
        PyObject* dict = entry_dict(entries[i]);
        // The record's texts are not needed once its dictionary exists.
        entries[i] = PreflightEntry {};
        if (dict == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SetItem(list, static_cast<Py_ssize_t>(i), dict);
    }
    return list;
}

} // namespace quastor::module
