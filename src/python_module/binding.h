// The call binding: how CPython reaches the six entries. Errors raised to
// Python travel as PyError; C++ exceptions are aborts and become
// "pyo3_runtime.PanicException" at the boundary (fastcall_trampoline). The
// caller's own exceptions (KeyboardInterrupt, SystemExit) leave unchanged.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "python_module/pyref.h"
#include "timetable/errors.h"
#include "timetable/interrupt.h"

namespace vornik {

// A Python exception on its way out: an instance, or a type and a message
// whose instance is created when it is raised.
class PyError {
 public:
  explicit PyError(PyRef value) : value_(std::move(value)) {}
  PyError(PyObject* type, std::string message) : type_(type), message_(std::move(message)) {}
  // An exception that ends the call whatever its type: a signal handler's.
  static PyError callers(PyRef value) {
    PyError e(std::move(value));
    e.callers_ = true;
    return e;
  }

  // Takes the pending exception. A PanicException raised by Python code is
  // not handed on: it aborts the current call (throws Panic) with its text.
  // The caller's own exception is also kept for the call to raise at its end.
  static PyError fetch();

  // Holds the caller's own exception: the call must end.
  bool is_callers() const;

  PyRef into_value() &&;  // the instance, created now if need be

 private:
  PyRef value_;
  PyObject* type_ = nullptr;  // a static exception type, borrowed
  std::string message_;
  bool callers_ = false;
};

template <class T>
using PyResult = std::expected<T, PyError>;

// An exception that is no Exception (KeyboardInterrupt, SystemExit,
// GeneratorExit): the caller's own, which no message wraps and nothing drops.
bool is_callers_exception(PyObject* exc);

// Drops the pending exception, if any, when it is an Exception; the caller's
// own comes back instead, and the call must end.
[[nodiscard]] PyResult<void> discard_pending_error();

// Drops the failure of a step whose failures do not count, unless it is the
// caller's own exception.
template <class T>
[[nodiscard]] PyResult<void> best_effort(PyResult<T> r) {
  if (r || !r.error().is_callers()) return {};
  return std::unexpected(std::move(r).error());
}

// The qualified name of a type ("dict", "KeyError"), "<unknown>" if unavailable.
std::string type_qualname(PyTypeObject* type);

// "'{}' object is not an instance of '{}'" ("'None' is not an instance of '{}'").
std::string cast_message(PyObject* value, PyTypeObject* expected);
// The failed type check as a TypeError carrying cast_message.
PyError type_error(PyObject* value, PyTypeObject* expected);
// "CastError { from: {}, classinfo: {} }" with the reprs of value and type.
std::string cast_record(PyObject* value, PyTypeObject* expected);

// Adds the note "while processing '{}'" to a failed argument conversion.
PyError add_argument_note(std::string_view parameter, PyError error);
template <class T>
PyResult<T> with_note(std::string_view parameter, PyResult<T> r) {
  if (!r) return std::unexpected(add_argument_note(parameter, std::move(r).error()));
  return r;
}

// Conversions of the entries' parameters.
PyResult<PyRef> expect_dict(PyObject* value);
PyResult<std::string> expect_str(PyObject* value);

// The signature that extract_call_arguments sorts a call into.
struct KeywordParameter {
  std::string_view name;
  bool required;
};
struct CallSignature {
  std::string_view function;
  std::string_view class_name;  // empty: a plain function
  std::span<const std::string_view> positional;
  std::size_t positional_only = 0;
  std::size_t required_positional = 0;
  std::span<const KeywordParameter> keyword_only = {};
};

// Fills one slot per parameter (positional, then keyword-only) with a borrowed
// value or nullptr, or fails with the TypeError of a bad call.
PyResult<void> extract_call_arguments(const CallSignature& sig, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames, std::span<PyObject*> slots);

// An entry body: receives the call's arguments, returns the result or an error.
using Body = PyResult<PyRef> (*)(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Runs a body for CPython (guarded_call): turns an error into a raised
// exception and an abort into a PanicException; a caller's exception fetched
// during the call is raised instead of what the body returned.
PyObject* fastcall_trampoline(Body body, PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames);

// Raises PanicException(message); used by the trampoline and the exec slot.
// Never fails: where even the exception cannot be made, MemoryError is set.
void raise_panic(const char* message);

// The PanicException class, created once per process (borrowed); the exec
// slot makes it, so that an abort needs no memory to find it. nullptr with
// the error set when it cannot be made.
PyObject* panic_exception_type();

// Per-thread attach count: positive while the thread is inside a call.
std::int64_t attach_count();
struct AttachGuard {
  AttachGuard();
  ~AttachGuard();
  AttachGuard(const AttachGuard&) = delete;
  AttachGuard& operator=(const AttachGuard&) = delete;
};

// The drops that a call defers (defer_drop), kept in blocks: the first in
// the call's frame, the others allocated as they are needed and freed as
// they empty. A block that cannot be allocated keeps its reference for good.
class DeferredDrops {
 public:
  DeferredDrops() = default;
  ~DeferredDrops();  // frees the blocks; what they still hold stays referenced
  DeferredDrops(const DeferredDrops&) = delete;
  DeferredDrops& operator=(const DeferredDrops&) = delete;

  bool empty() const { return top_ == &first_ && first_.count == 0; }
  void push(PyObject* p);
  PyObject* pop();  // the latest; nullptr when empty

 private:
  struct Block {
    static constexpr std::size_t SIZE = 64;
    Block* below = nullptr;
    std::size_t count = 0;
    PyObject* items[SIZE];
  };
  Block first_;
  Block* top_ = &first_;
};

// One call into the module on this thread: counts the attach, keeps the first
// caller's exception fetched during the call (a call made from a callback has
// its own) and the drops it defers, and lets the engine's long loops run the
// signal handlers (interrupted).
class CallScope final : public InterruptCheck {
 public:
  CallScope();
  ~CallScope();
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

  // The call's outcome for CPython: a new reference, or nullptr with the
  // exception set. A caller's exception replaces whatever the body returned.
  PyObject* finish(PyResult<PyRef> result);
  // An abort: raises PanicException(message).
  void abort(const char* message);

  // Keeps exc for the innermost call, unless it already holds one.
  static void keep_callers_exception(PyRef exc);

  void defer(PyObject* p) { deferred_.push(p); }
  bool has_deferred() const { return !deferred_.empty(); }
  // Runs the signal handlers, then releases the deferred drops, each after a
  // check of its own: a pending signal must reach the caller, not a
  // finalizer that would report and drop it. False: a handler raised, its
  // exception is kept as the caller's, and the call must end.
  bool release_deferred();
  PyObject* callers_exception() const { return callers_exception_.get(); }

  // The engine's poll.
  bool interrupted() override { return !release_deferred(); }

 private:
  void keep(PyRef exc);  // unless one is kept already
  // Releases every deferred drop, with the thread state taken back first.
  void release_for_abort();

  AttachGuard attach_;
  PyThreadState* thread_;  // the caller's thread state
  CallScope* outer_;
  PyRef callers_exception_;
  DeferredDrops deferred_;
  ScopedInterruptCheck signals_;
};

// Before the module runs the caller's code: the innermost call's
// release_deferred, if it deferred anything. The error, a signal handler's
// exception, ends the call.
PyResult<void> release_deferred();

// Runs one call for CPython: work() returns the result or an error, or throws
// to abort. (A forced unwinding has no exception object, which the null
// check of the sanitizers would report where it is caught by reference.)
template <class Work>
__attribute__((no_sanitize("null"))) PyObject* guarded_call(Work&& work) {
  try {
    CallScope scope;
    try {
      return scope.finish(work());
    } catch (abi::__forced_unwind&) {
      throw;  // the thread is being ended (pthread_exit): no Python here
    } catch (const std::exception& e) {
      scope.abort(e.what());
    } catch (...) {
      scope.abort("native code aborted without a message");
    }
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
  return nullptr;
}

// A Python object made on first use and kept until the process ends (an
// interned name, a class). No lock is held across make(): a racing thread's
// copy is dropped.
class ProcessObject {
 public:
  using Make = PyObject* (*)();
  constexpr explicit ProcessObject(Make make) : make_(make) {}
  // The interned str of a NUL-terminated text of static storage.
  constexpr explicit ProcessObject(const char* interned) : interned_(interned) {}
  // Borrowed; nullptr with the error set when make() fails.
  PyObject* get();
  // Borrowed; a failure aborts the call.
  PyObject* required();
  // The object if it has been made, else nullptr; makes nothing.
  PyObject* made() const { return object_.load(std::memory_order_acquire); }

 private:
  Make make_ = nullptr;
  const char* interned_ = nullptr;
  std::atomic<PyObject*> object_{nullptr};
};

// module.name as a new reference, or nullptr with the error set.
PyObject* import_attribute(const char* module, const char* name);

// Interned strings, created once per process (borrowed).
PyObject* interned_name();      // "__name__"
PyObject* interned_all();       // "__all__"
PyObject* interned_add_note();  // "add_note"

}  // namespace vornik
