// The six entry bodies, run through fastcall_trampoline.
#pragma once

#include "python_module/binding.h"

namespace vornik {

PyResult<PyRef> mc_price(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyResult<PyRef> fixed_price(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyResult<PyRef> fd_hullwhite_price(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyResult<PyRef> fd_blackscholes_price(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyResult<PyRef> backtest_csv(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyResult<PyRef> backtest_py(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vornik
