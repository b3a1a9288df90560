#define VORNIK_NUMPY_IMPORT
#include "python_module/numpy_api.h"

#include <atomic>
#include <string>

#include "python_module/binding.h"
#include "python_module/pystr.h"

namespace vornik {

namespace {

std::atomic<bool> numpy_ready{false};

struct SliceContainer {
  PyObject_HEAD
  void* data;
  std::size_t len;
  std::size_t cap;
  ReleaseFn release;
};

void slice_container_dealloc(PyObject* self) {
  auto* c = reinterpret_cast<SliceContainer*>(self);
  if (c->release != nullptr) c->release(c->data, c->len, c->cap);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
    {Py_tp_doc, const_cast<char*>("Owner of the memory of arrays that the module hands to NumPy.")},
    {0, nullptr},
};

PyType_Spec slice_container_spec = {
    .name = "_vornik.PySliceContainer",
    .basicsize = sizeof(SliceContainer),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = slice_container_slots,
};

ProcessObject slice_container_class([] { return PyType_FromSpec(&slice_container_spec); });

PyTypeObject* slice_container_type() { return reinterpret_cast<PyTypeObject*>(slice_container_class.required()); }

PyArray_Descr* f64_descr() { return PyArray_DescrFromType(NPY_DOUBLE); }

}  // namespace

void ensure_numpy() {
  if (numpy_ready.load(std::memory_order_acquire)) return;
  // Racing first calls both import; they store the same table.
  if (_import_array() < 0) {
    std::string text = "numpy.core.multiarray failed to import";
    if (PyErr_Occurred()) {  // a caller's exception (Ctrl-C during the import) is kept
      PyRef exc = std::move(PyError::fetch()).into_value();
      text = str_of(exc.get()).value_or(text);
    }
    throw Panic(text);
  }
  numpy_ready.store(true, std::memory_order_release);
}

PyRef array_over(void* data, std::size_t len, std::size_t cap, ReleaseFn release, int typenum) {
  ensure_numpy();
  PyTypeObject* type = slice_container_type();
  auto* c = reinterpret_cast<SliceContainer*>(type->tp_alloc(type, 0));
  if (c == nullptr) {
    release(data, len, cap);
    PyErr_Clear();
    throw std::bad_alloc();
  }
  c->data = data;
  c->len = len;
  c->cap = cap;
  c->release = release;
  PyRef container = PyRef::steal(reinterpret_cast<PyObject*>(c));

  PyArray_Descr* descr = PyArray_DescrFromType(typenum);
  npy_intp dims[1] = {static_cast<npy_intp>(len)};
  npy_intp strides[1] = {static_cast<npy_intp>(PyDataType_ELSIZE(descr))};
  PyRef array = PyRef::steal(PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, strides, data,
                                                  NPY_ARRAY_WRITEABLE, nullptr));
  if (!array) {
    PyErr_Clear();
    throw std::bad_alloc();  // the container frees the memory
  }
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), container.release()) < 0) {
    PyErr_Clear();
    throw std::bad_alloc();
  }
  return array;
}

PyRef to_numpy(Values v) {
  auto raw = std::move(v).release();
  return array_over(raw.data, raw.len, raw.cap, &Values::free_raw, NPY_DOUBLE);
}

PyRef to_numpy(Mask m) {
  auto raw = std::move(m).release();
  return array_over(raw.data, raw.len, raw.cap, &Mask::free_raw, NPY_UINT64);
}

bool is_f64_vector(PyObject* o) {
  ensure_numpy();
  if (!PyArray_Check(o)) return false;
  auto* a = reinterpret_cast<PyArrayObject*>(o);
  if (PyArray_NDIM(a) != 1) return false;
  PyArray_Descr* want = f64_descr();
  bool same = PyArray_EquivTypes(PyArray_DESCR(a), want);
  Py_DECREF(want);
  return same;
}

bool is_any_order_f64_vector(PyObject* o) {
  ensure_numpy();
  if (!PyArray_Check(o)) return false;
  auto* a = reinterpret_cast<PyArrayObject*>(o);
  return PyArray_NDIM(a) == 1 && PyArray_TYPE(a) == NPY_DOUBLE;
}

bool is_bool_vector(PyObject* o) {
  ensure_numpy();
  if (!PyArray_Check(o)) return false;
  auto* a = reinterpret_cast<PyArrayObject*>(o);
  return PyArray_NDIM(a) == 1 && PyArray_TYPE(a) == NPY_BOOL;
}

LentArray lend_f64_vector(PyObject* array) {
  auto* a = reinterpret_cast<PyArrayObject*>(array);
  Py_INCREF(array);
  LentArray::Owner owner(array, [](const void* o) { drop_ref(static_cast<PyObject*>(const_cast<void*>(o))); });
  return LentArray(reinterpret_cast<const std::byte*>(PyArray_BYTES(a)), PyArray_STRIDE(a, 0),
                   static_cast<std::size_t>(PyArray_DIM(a, 0)), PyArray_ISBYTESWAPPED(a), std::move(owner));
}

Values copy_f64_vector(PyObject* array) { return lend_f64_vector(array).copy(); }

Values copy_bool_vector(PyObject* array) {
  auto* a = reinterpret_cast<PyArrayObject*>(array);
  const npy_intp n = PyArray_DIM(a, 0);
  const npy_intp stride = PyArray_STRIDE(a, 0);
  const char* base = PyArray_BYTES(a);
  Values out = Values::uninit(static_cast<std::size_t>(n));
  for (npy_intp i = 0; i < n; ++i) {
    npy_bool x;
    std::memcpy(&x, base + i * stride, sizeof x);
    out[static_cast<std::size_t>(i)] = x != 0;  // a bool byte of 2 (from a view) is true as well
  }
  return out;
}

}  // namespace vornik
