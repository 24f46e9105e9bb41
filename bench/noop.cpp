// _benchnoop: functions that parse their arguments exactly as the measured
// module functions do and then return None. Timing a measured function beside
// its twin here shows what the function's own work costs on top of the
// interpreter's call and argument parsing. Built only by the benchmark suite.

#include "../common/pyhandle.hpp"

namespace {

// Same format as detectencoding.
PyObject *object_flag(PyObject *, PyObject *args) {
    PyObject *obj;
    int final = 0;
    if (!PyArg_ParseTuple(args, "O|i:object_flag", &obj, &final))
        return nullptr;
    Py_RETURN_NONE;
}

// Same format as fixencoding.
PyObject *two_str_flag(PyObject *, PyObject *args) {
    PyObject *text;
    PyObject *name;
    int final = 0;
    if (!PyArg_ParseTuple(args, "O!O!|i:two_str_flag", &PyUnicode_Type, &text, &PyUnicode_Type, &name, &final))
        return nullptr;
    Py_RETURN_NONE;
}

// Same format as switchcolor.
PyObject *two_ints(PyObject *, PyObject *args) {
    int current;
    int wanted;
    if (!PyArg_ParseTuple(args, "ii:two_ints", &current, &wanted))
        return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"object_flag", object_flag, METH_VARARGS, nullptr},
    {"two_str_flag", two_str_flag, METH_VARARGS, nullptr},
    {"two_ints", two_ints, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = corvane_common::multi_phase_module("_benchnoop", nullptr, methods);

}  // namespace

PyMODINIT_FUNC PyInit__benchnoop() { return PyModuleDef_Init(&module); }
