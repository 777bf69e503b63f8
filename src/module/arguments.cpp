// Argument matching and conversion, with the TypeError texts.

#include "module/arguments.hpp"

namespace quastor::module {

namespace {

// "'a'", "'a' and 'b'": the missing parameters in declared order.
PyObject* quoted_list(Signature const& signature, Matched& matched, int& missing)
{
    char const* first = nullptr;
    char const* second = nullptr;
    missing = 0;
    for (int i = 0; i < signature.count; ++i) {
        if (matched[i] != nullptr)
            continue;
        (missing == 0 ? first : second) = signature.names[i];
        ++missing;
    }
    if (missing == 2)
        return PyUnicode_FromFormat("'%s' and '%s'", first, second);
    return PyUnicode_FromFormat("'%s'", first);
}

// The qualified name of an object's type, or the stand-in text when it
// cannot be read.
PyObject* type_name(PyObject* object)
{
    PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__");
    if (name != nullptr && PyUnicode_Check(name))
        return name;
    Py_XDECREF(name);
    PyErr_Clear();
    return PyUnicode_FromString("<failed to extract type name>");
}

void raise_wrong_type(PyObject* object, char const* parameter, char const* expected)
{
    if (object == Py_None) {
        PyErr_Format(PyExc_TypeError, "argument '%s': 'None' is not an instance of '%s'", parameter, expected);
        return;
    }
    PyObject* name = type_name(object);
    if (name == nullptr)
        return;
    PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object is not an instance of '%s'", parameter, name, expected);
    Py_DECREF(name);
}

} // namespace

bool match_arguments(Signature const& signature, PyObject* args, PyObject* kwargs, Matched& matched)
{
    for (int i = 0; i < signature.count; ++i)
        matched[i] = nullptr;

    Py_ssize_t const given = PyTuple_Size(args);
    if (given < 0)
        return false;
    if (given > signature.count) {
        PyErr_Format(PyExc_TypeError, "%s() takes %d positional arguments but %zd %s given", signature.function,
            signature.count, given, given == 1 ? "was" : "were");
        return false;
    }
    for (Py_ssize_t i = 0; i < given; ++i)
        matched[i] = PyTuple_GetItem(args, i);

#ifdef Py_GIL_DISABLED
    // PyDict_Copy reads the dictionary under its lock and takes a reference
    // to every value.
    if (kwargs != nullptr) {
        if ((matched.keywords_ = PyDict_Copy(kwargs)) == nullptr)
            return false;
        kwargs = matched.keywords_;
    }
#endif
    if (kwargs != nullptr) {
        PyObject* key;
        PyObject* value;
        Py_ssize_t position = 0;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            int found = -1;
            for (int i = 0; i < signature.count && found < 0; ++i) {
                if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, signature.names[i]) == 0)
                    found = i;
            }
            if (found < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", signature.function, key);
                return false;
            }
            if (matched[found] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", signature.function,
                    signature.names[found]);
                return false;
            }
            matched[found] = value;
        }
    }

    int missing = 0;
    for (int i = 0; i < signature.count; ++i)
        missing += matched[i] == nullptr;
    if (missing == 0)
        return true;
    PyObject* list = quoted_list(signature, matched, missing);
    if (list == nullptr)
        return false;
    PyErr_Format(PyExc_TypeError, "%s() missing %d required positional %s: %U", signature.function, missing,
        missing == 1 ? "argument" : "arguments", list);
    Py_DECREF(list);
    return false;
}

bool convert_text(PyObject* object, char const* parameter, std::string& out)
{
    if (!(PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_UNICODE_SUBCLASS)) {
        raise_wrong_type(object, parameter, "str");
        return false;
    }
    PyObject* encoded = PyUnicode_AsUTF8String(object);
    if (encoded == nullptr)
        return false;
    char const* data = PyBytes_AsString(encoded);
    Py_ssize_t const size = PyBytes_Size(encoded);
    if (data != nullptr && size >= 0)
        out.assign(data, static_cast<size_t>(size));
    Py_DECREF(encoded);
    return data != nullptr && size >= 0;
}

bool convert_bytes(PyObject* object, char const* parameter, Bytes& out)
{
    if (!(PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_BYTES_SUBCLASS)) {
        raise_wrong_type(object, parameter, "bytes");
        return false;
    }
    char const* data = PyBytes_AsString(object);
    Py_ssize_t const size = PyBytes_Size(object);
    if (data == nullptr || size < 0)
        return false;
    out = Bytes(reinterpret_cast<uint8_t const*>(data), static_cast<size_t>(size));
    return true;
}

} // namespace quastor::module
