// Preflight records to the list of dictionaries Python receives.

#include "module/report.hpp"

#include <iterator>
#include <string>

namespace quastor::module {

namespace {

PyObject* text(std::string const& value)
{
    return PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
}

// The report's keys in their order, made once per report rather than once
// per entry: a wheel's ten thousand entries would otherwise make ninety
// thousand key objects.
constexpr char const* key_names[] = {"archive_name", "path", "is_dir", "is_symlink", "file_size",
    "compress_size", "compress_type", "crc32", "external_attr"};
constexpr size_t key_count = std::size(key_names);

class Keys {
public:
    Keys()
    {
        for (size_t i = 0; i < key_count; ++i)
            if ((keys_[i] = PyUnicode_InternFromString(key_names[i])) == nullptr)
                return;
        complete_ = true;
    }
    Keys(Keys const&) = delete;
    Keys& operator=(Keys const&) = delete;
    ~Keys()
    {
        for (PyObject* key : keys_)
            Py_XDECREF(key);
    }

    bool complete() const { return complete_; }
    PyObject* operator[](size_t i) const { return keys_[i]; }

private:
    PyObject* keys_[key_count] = {};
    bool complete_ = false;
};

PyObject* entry_dict(Keys const& keys, PreflightEntry const& entry)
{
    // The report's names are Python's; inside, the format's names hold.
    ZipEntry const& read = entry.entry;
    PyObject* values[key_count] = {
        text(read.name),
        text(entry.path),
        PyBool_FromLong(read.is_dir),
        PyBool_FromLong(entry.is_symlink),
        PyLong_FromUnsignedLongLong(read.uncompressed_size),
        PyLong_FromUnsignedLongLong(read.compressed_size),
        PyLong_FromLong(read.method),
        PyLong_FromLong(static_cast<long>(read.crc32)),
        PyLong_FromLong(static_cast<long>(read.external_attr)),
    };
    PyObject* dict = PyDict_New();
    bool complete = dict != nullptr;
    for (size_t i = 0; i < key_count; ++i) {
        complete = complete && values[i] != nullptr && PyDict_SetItem(dict, keys[i], values[i]) == 0;
        Py_XDECREF(values[i]);
    }
    if (!complete) {
        Py_XDECREF(dict);
        return nullptr;
    }
    return dict;
}

} // namespace

PyObject* build_report(std::vector<PreflightEntry> entries)
{
    Keys const keys;
    if (!keys.complete())
        return nullptr;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(entries.size()));
    if (list == nullptr)
        return nullptr;
    for (size_t i = 0; i < entries.size(); ++i) {
        PyObject* dict = entry_dict(keys, entries[i]);
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
