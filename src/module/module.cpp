#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyModuleDef_Slot quastor_slots[] = {{0, nullptr}};
static PyModuleDef quastor_module = {PyModuleDef_HEAD_INIT, "quastor", "", 0, nullptr, quastor_slots, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit_quastor(void) { return PyModuleDef_Init(&quastor_module); }
