// The one owner of a Python reference. A function returning a new reference
// returns a PyRef; borrowed pointers stay plain PyObject*. An owner drops its
// reference through drop_ref below; release() hands a reference on.
#pragma once

#include <Python.h>

#include <utility>

namespace vornik {

// False on a thread that has lost its thread state: one that the exiting
// interpreter ends (pthread_exit) inside a call, or one that a C++ exception
// let out by code that had let go of the interpreter lock is unwinding.
inline bool thread_has_python() { return PyThreadState_GetUnchecked() != nullptr; }

// False on a thread that the exiting process ends under the call.
inline bool thread_is_not_ending() { return !Py_IsFinalizing() || thread_has_python(); }

// Objects whose release runs no code but the allocator's.
inline bool holds_nothing(PyObject* p) {
  return PyLong_CheckExact(p) || PyFloat_CheckExact(p) || PyUnicode_CheckExact(p);
}

// A drop that drop_ref cannot make at once: the innermost call keeps it until
// a point where unwinding may pass (its finalizer may run the caller's code,
// which may let go of the lock, and a thread that the exiting interpreter
// ends there unwinds, which it cannot do out of a destructor). Outside a
// call it is made at once; without the thread state, or with no memory left
// to keep it, the reference is kept for good.
void defer_drop(PyObject* p);

// Drops a reference, at once only where that runs no code of the caller's:
// the object lives on, or holds nothing. No refcount is touched without the
// thread state.
inline void drop_ref(PyObject* p) {
  if (p == nullptr) return;
  if (thread_has_python() && (Py_REFCNT(p) > 1 || holds_nothing(p))) {
    Py_DECREF(p);
    return;
  }
  defer_drop(p);
}

class PyRef {
 public:
  PyRef() = default;
  static PyRef steal(PyObject* p) { return PyRef(p); }
  static PyRef borrow(PyObject* p) {
    Py_XINCREF(p);
    return PyRef(p);
  }
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    if (this != &o) {
      drop_ref(std::exchange(p_, std::exchange(o.p_, nullptr)));
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { drop_ref(p_); }

  PyRef clone() const { return borrow(p_); }
  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit PyRef(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace vornik
