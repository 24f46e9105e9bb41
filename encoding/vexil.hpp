// The functions of the _vexil module that live outside its definition.
#pragma once

#include "pyhandle.hpp"

// Exported as well, so that other native code may call it without the module.
CORVANE_EXPORT PyObject *fixencoding(PyObject *module, PyObject *args);
