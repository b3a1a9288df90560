// The module _vornik: multi-phase initialisation, whose exec slot adds the
// six entries and lists them in __all__.
#include <Python.h>

#include "python_module/binding.h"
#include "python_module/entries.h"
#include "python_module/pystr.h"

namespace vornik {
namespace {

template <Body B>
PyObject* wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return fastcall_trampoline(B, self, args, nargsf, kwnames);
}

template <Body B>
PyCFunction as_cfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&wrapper<B>));
}

#define MC_DOC "Takes the timetable as a pyarrow record batch and calculates price using monte carlo simulation.\n"
#define FD_DOC "Takes the timetable as a pyarrow record batch and calculates price using finite difference grid.\n"
#define PRICING_SIG "(events_rb, py_state, dataset, expressions)\n--\n\n"

PyMethodDef functions[] = {
    {"mc_price", as_cfunction<mc_price>(), METH_FASTCALL | METH_KEYWORDS,
     "mc_price" PRICING_SIG MC_DOC "Wraps the pricing of the mc module."},
    {"fixed_price", as_cfunction<fixed_price>(), METH_FASTCALL | METH_KEYWORDS,
     "fixed_price" PRICING_SIG MC_DOC "Wraps the pricing of the mc module."},
    {"fd_hullwhite_price", as_cfunction<fd_hullwhite_price>(), METH_FASTCALL | METH_KEYWORDS,
     "fd_hullwhite_price" PRICING_SIG FD_DOC "Wraps the pricing of the fd module."},
    {"fd_blackscholes_price", as_cfunction<fd_blackscholes_price>(), METH_FASTCALL | METH_KEYWORDS,
     "fd_blackscholes_price" PRICING_SIG FD_DOC "Wraps the pricing of the fd module."},
    {"backtest_csv", as_cfunction<backtest_csv>(), METH_FASTCALL | METH_KEYWORDS,
     "backtest_csv(events_rb, py_state, _filename, base, expressions)\n--\n\n" FD_DOC
     "Wraps the replay of the fd module."},
    {"backtest_py", as_cfunction<backtest_py>(), METH_FASTCALL | METH_KEYWORDS,
     "backtest_py(events_rb, py_state, expressions, base)\n--\n\n" FD_DOC "Wraps the replay of the fd module."},
};

// The module's __all__, created when absent.
PyResult<PyRef> module_all(PyObject* module) {
  PyRef all = PyRef::steal(PyObject_GetAttr(module, interned_all()));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return std::unexpected(PyError::fetch());
    VK_CHECK(discard_pending_error());
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttr(module, interned_all(), all.get()) < 0) return std::unexpected(PyError::fetch());
  }
  if (!PyList_Check(all.get())) return std::unexpected(type_error(all.get(), &PyList_Type));
  return all;
}

PyResult<void> add_module_functions(PyObject* module) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return std::unexpected(PyError::fetch());
  for (PyMethodDef& def : functions) {
    PyRef function = PyRef::steal(PyCMethod_New(&def, module, module_name.get(), nullptr));
    if (!function) return std::unexpected(PyError::fetch());
    PyRef name = PyRef::steal(PyObject_GetAttr(function.get(), interned_name()));
    if (!name) return std::unexpected(PyError::fetch());
    if (!PyUnicode_Check(name.get())) return std::unexpected(type_error(name.get(), &PyUnicode_Type));
    PyRef all = VK_TRY(module_all(module));
    if (PyList_Append(all.get(), name.get()) < 0) {
      PyError cause = PyError::fetch();
      throw Panic("could not append __name__ to __all__: " +
                  str_of(std::move(cause).into_value().get()).value_or("<exception str() failed>"));
    }
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return std::unexpected(PyError::fetch());
  }
  return {};
}

int module_exec(PyObject* module) {
  PyRef done = PyRef::steal(guarded_call([&]() -> PyResult<PyRef> {
    if (!PyModule_Check(module)) return std::unexpected(type_error(module, &PyModule_Type));
    // Made now: an abort with memory exhausted must find it ready.
    if (panic_exception_type() == nullptr) return std::unexpected(PyError::fetch());
    VK_CHECK(add_module_functions(module));
    return PyRef::borrow(Py_None);
  }));
  return done ? 0 : -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_vornik",
    .m_doc = "basic",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace vornik

PyMODINIT_FUNC PyInit__vornik() { return PyModuleDef_Init(&vornik::module_def); }
