// Every source of the extension starts from this header, so that Python.h
// comes before any standard header as CPython requires.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
