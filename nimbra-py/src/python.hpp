// The one place that pulls in Python.h, on the version-stable API of 3.11 (the first with the buffer protocol).
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
