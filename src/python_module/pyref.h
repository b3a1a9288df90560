// The one owner of a Python reference. A function returning a new reference
// returns a PyRef; borrowed pointers stay plain PyObject*. Every Py_DECREF of
// the module goes through drop_ref below; release() hands a reference on.
#pragma once

#include <Python.h>

#include <utility>

namespace vornik {

// False on a thread that has lost its thread state (a C++ exception that
// pyarrow let out with the lock released leaves it so).
inline bool thread_has_python() { return PyThreadState_GetUnchecked() != nullptr; }

// True on a daemon thread that the exiting interpreter ends (pthread_exit)
// while it is inside a call. Threads are ended only once the interpreter
// finalizes: that plain load keeps the thread-local lookup off every drop.
inline bool thread_is_ending() { return Py_IsFinalizing() && !thread_has_python(); }
inline bool thread_is_not_ending() { return !thread_is_ending(); }

// A last reference that dies inside a call waits for release_deferred(): its
// object's finalizer may run the caller's Python code, which may let go of
// the interpreter lock, and a thread that the exiting interpreter ends there
// unwinds, which it cannot do out of a destructor. False: drop it at once
// (outside a call, or with the call's few places taken).
bool defer_last_ref(PyObject* p);
// Drops what the innermost call deferred; only where unwinding may pass.
void release_deferred();

// Objects whose release runs no code but the allocator's.
inline bool holds_nothing(PyObject* p) {
  return PyLong_CheckExact(p) || PyFloat_CheckExact(p) || PyUnicode_CheckExact(p);
}

// Drops a reference, unless the thread is being ended under the call: the
// process is exiting, and the C API must not be touched there.
inline void drop_ref(PyObject* p) {
  if (p == nullptr || thread_is_ending()) return;
  if (Py_REFCNT(p) == 1 && !holds_nothing(p) && defer_last_ref(p)) return;
  Py_DECREF(p);
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
