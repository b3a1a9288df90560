// The call binding. Argument sorting is written out here rather than taken
// from PyArg_*: its TypeError texts are part of the module's contract.
#include "python_module/binding.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "python_module/pystr.h"

namespace vornik {

namespace {

thread_local std::int64_t tls_attach_count = 0;
thread_local CallScope* tls_call = nullptr;  // the innermost call on this thread

ProcessObject panic_type([] {
  return PyErr_NewExceptionWithDoc(
      "pyo3_runtime.PanicException",
      "The exception raised when native code of a module called from Python aborts.\n\n"
      "Like SystemExit, it derives from BaseException, so that it will typically propagate "
      "all the way through the stack and end the Python interpreter.",
      PyExc_BaseException, nullptr);
});

ProcessObject name_string([] { return PyUnicode_InternFromString("__name__"); });
ProcessObject all_string([] { return PyUnicode_InternFromString("__all__"); });
ProcessObject add_note_string([] { return PyUnicode_InternFromString("add_note"); });

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(const std::vector<std::string_view>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += fmt::format("'{}'", names[i]);
  }
  return out;
}

std::string full_name(const CallSignature& sig) {
  if (sig.class_name.empty()) return fmt::format("{}()", sig.function);
  return fmt::format("{}.{}()", sig.class_name, sig.function);
}

PyError call_error(std::string message) { return PyError(PyExc_TypeError, std::move(message)); }

}  // namespace

PyObject* ProcessObject::get() {
  if (PyObject* p = object_.load(std::memory_order_acquire)) return p;
  PyObject* made = make_ != nullptr ? make_() : PyUnicode_InternFromString(interned_);
  if (made == nullptr) return nullptr;
  PyObject* expected = nullptr;
  if (!object_.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
    Py_DECREF(made);
    return expected;
  }
  return made;
}

PyObject* ProcessObject::required() {
  if (PyObject* p = get()) return p;
  if (!PyErr_Occurred()) throw Panic("a process object is missing");
  PyRef cause = std::move(PyError::fetch()).into_value();  // a caller's exception is kept
  throw Panic(str_of(cause.get()).value_or("<exception str() failed>"));
}

PyObject* import_attribute(const char* module, const char* name) {
  PyRef m = PyRef::steal(PyImport_ImportModule(module));
  return m ? PyObject_GetAttrString(m.get(), name) : nullptr;
}

std::int64_t attach_count() { return tls_attach_count; }
AttachGuard::AttachGuard() { ++tls_attach_count; }
AttachGuard::~AttachGuard() { --tls_attach_count; }

PyObject* interned_name() { return name_string.required(); }
PyObject* interned_all() { return all_string.required(); }
PyObject* interned_add_note() { return add_note_string.required(); }

PyObject* panic_exception_type() { return panic_type.get(); }

void raise_panic(const char* message) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;
  PyObject* text = PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace");
  if (text == nullptr) return;
  PyErr_SetObject(type, text);  // an instance that cannot be made leaves MemoryError
  Py_DECREF(text);
}

DeferredDrops::~DeferredDrops() {
  while (top_ != &first_) delete std::exchange(top_, top_->below);
}

void DeferredDrops::push(PyObject* p) {
  if (top_->count == Block::SIZE) {
    Block* block = new (std::nothrow) Block;
    if (block == nullptr) return;  // kept for good: a leak, not a crash
    block->below = top_;
    top_ = block;
  }
  top_->items[top_->count++] = p;
}

PyObject* DeferredDrops::pop() {
  if (top_->count == 0) {
    if (top_ == &first_) return nullptr;
    delete std::exchange(top_, top_->below);  // the block below is full
  }
  return top_->items[--top_->count];
}

CallScope::CallScope() : thread_(PyThreadState_Get()), outer_(tls_call), signals_(*this) { tls_call = this; }
// Nothing deferred is left here but on a thread being ended, or in a leak.
CallScope::~CallScope() { tls_call = outer_; }

void defer_drop(PyObject* p) {
  if (tls_call != nullptr) {
    tls_call->defer(p);
  } else if (thread_has_python()) {
    Py_DECREF(p);
  }
}

bool CallScope::release_deferred() {
  do {
    if (PyErr_CheckSignals() != 0) {
      keep(std::move(PyError::fetch()).into_value());
      return false;
    }
    if (PyObject* p = deferred_.pop()) Py_DECREF(p);
  } while (!deferred_.empty());
  return true;
}

void CallScope::keep(PyRef exc) {
  if (!callers_exception_) callers_exception_ = std::move(exc);
}

PyResult<void> release_deferred() {
  if (tls_call == nullptr || !tls_call->has_deferred() || tls_call->release_deferred()) return {};
  return std::unexpected(PyError::callers(PyRef::borrow(tls_call->callers_exception())));
}

void CallScope::keep_callers_exception(PyRef exc) {
  if (tls_call != nullptr) tls_call->keep(std::move(exc));
}

PyObject* CallScope::finish(PyResult<PyRef> result) {
  PyRef out;
  PyRef raised;
  if (result) {
    out = std::move(*result);
  } else {
    raised = std::move(result).error().into_value();
  }
  // The caller's exception replaces whatever the body returned, and what
  // that drops is released in turn; the exception is set only after, as
  // releasing runs the caller's finalizers.
  for (;;) {
    if (callers_exception_) {
      out = PyRef();
      raised = std::move(callers_exception_);
    }
    if (deferred_.empty()) break;
    (void)release_deferred();
  }
  if (raised) PyErr_SetRaisedException(raised.release());
  return out.release();
}

void CallScope::abort(const char* message) {
  release_for_abort();
  raise_panic(message);
  if (callers_exception_) {  // what the caller raised before stays visible
    PyObject* panic = PyErr_GetRaisedException();
    PyException_SetContext(panic, callers_exception_.release());
    PyErr_SetRaisedException(panic);
  }
}

// A C++ exception that code which had let go of the interpreter lock lets out
// (pyarrow with memory exhausted) arrives with the thread detached; one that
// a finalizer run here lets out, too. What it leaves deferred is released on
// the next turn.
__attribute__((no_sanitize("null"))) void CallScope::release_for_abort() {
  for (;;) {
    if (!thread_has_python()) PyEval_RestoreThread(thread_);
    try {
      while (!release_deferred()) {
      }
      return;
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
    }
  }
}

std::string type_qualname(PyTypeObject* type) {
  PyRef name = PyRef::steal(PyType_GetQualName(type));
  if (name) return utf8_text(name.get());
  (void)discard_pending_error();  // only messages use the name, and they end the call
  return "<unknown>";
}

bool is_callers_exception(PyObject* exc) {
  return !PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(PyExc_Exception));
}

PyError PyError::fetch() {
  PyRef value = PyRef::steal(PyErr_GetRaisedException());
  if (!value) return PyError(PyExc_SystemError, "attempted to fetch exception but none was set");
  PyObject* panic = panic_type.made();  // no instance exists before the class
  if (panic != nullptr && PyObject_TypeCheck(value.get(), reinterpret_cast<PyTypeObject*>(panic))) {
    std::string message = str_of(value.get()).value_or("<exception str() failed>");
    std::fputs("--- PanicException from Python code; its traceback follows ---\n", stderr);
    PyErr_DisplayException(value.get());
    throw Panic(message);
  }
  if (is_callers_exception(value.get())) CallScope::keep_callers_exception(value.clone());
  return PyError(std::move(value));
}

bool PyError::is_callers() const { return callers_ || (value_ && is_callers_exception(value_.get())); }

PyResult<void> discard_pending_error() {
  if (!PyErr_Occurred()) return {};
  PyError error = PyError::fetch();
  if (error.is_callers()) return std::unexpected(std::move(error));
  return {};
}

PyRef PyError::into_value() && {
  if (value_) return std::move(value_);
  PyRef text = py_str(message_);
  PyRef made = PyRef::steal(PyObject_CallOneArg(type_, text.get()));
  if (!made) return std::move(fetch().value_);
  return made;
}

std::string cast_message(PyObject* value, PyTypeObject* expected) {
  if (value == Py_None) return fmt::format("'None' is not an instance of '{}'", type_qualname(expected));
  return fmt::format("'{}' object is not an instance of '{}'", type_qualname(Py_TYPE(value)),
                     type_qualname(expected));
}

PyError type_error(PyObject* value, PyTypeObject* expected) {
  return PyError(PyExc_TypeError, cast_message(value, expected));
}

std::string cast_record(PyObject* value, PyTypeObject* expected) {
  auto repr = [](PyObject* o) {
    if (auto r = repr_of(o)) return *r;
    return fmt::format("<unprintable {} object>", type_qualname(Py_TYPE(o)));
  };
  return fmt::format("CastError {{ from: {}, classinfo: {} }}", repr(value),
                     repr(reinterpret_cast<PyObject*>(expected)));
}

PyError add_argument_note(std::string_view parameter, PyError error) {
  if (error.is_callers()) return error;  // left as the caller raised it
  PyRef exc = std::move(error).into_value();
  PyRef note = py_str(fmt::format("while processing '{}'", parameter));
  PyRef r = PyRef::steal(PyObject_CallMethodOneArg(exc.get(), interned_add_note(), note.get()));
  // The note is best effort and the conversion's error stands; the call ends
  // either way, with a caller's exception if add_note raised one.
  if (!r) (void)discard_pending_error();
  return PyError(std::move(exc));
}

PyResult<PyRef> expect_dict(PyObject* value) {
  if (!PyDict_Check(value)) return std::unexpected(type_error(value, &PyDict_Type));
  return PyRef::borrow(value);
}

PyResult<std::string> expect_str(PyObject* value) {
  if (!PyUnicode_Check(value)) return std::unexpected(type_error(value, &PyUnicode_Type));
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(value, &n);
  if (s == nullptr) return std::unexpected(PyError::fetch());
  return std::string(s, n);
}

PyResult<void> extract_call_arguments(const CallSignature& sig, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames, std::span<PyObject*> slots) {
  const std::size_t P = sig.positional.size();
  const std::size_t n = static_cast<std::size_t>(nargs);
  std::fill(slots.begin(), slots.end(), nullptr);

  std::copy_n(args, std::min(n, P), slots.begin());
  if (n > P) {
    const char* verb = n == 1 ? "was" : "were";
    if (sig.required_positional < P)
      return std::unexpected(call_error(fmt::format("{} takes from {} to {} positional arguments but {} {} given",
                                                    full_name(sig), sig.required_positional, P, n, verb)));
    return std::unexpected(
        call_error(fmt::format("{} takes {} positional arguments but {} {} given", full_name(sig), P, n, verb)));
  }

  std::vector<std::string_view> positional_only_by_keyword;
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, i);
    PyObject* value = args[nargs + i];
    std::optional<std::size_t> slot;
    std::string_view name;
    Py_ssize_t len = 0;
    const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &len) : nullptr;
    if (text == nullptr) {
      VK_CHECK(discard_pending_error());  // not encodable: counts as unknown
    } else {
      name = std::string_view(text, len);
      for (std::size_t j = 0; j < sig.keyword_only.size() && !slot; ++j)
        if (sig.keyword_only[j].name == name) slot = P + j;
      for (std::size_t k = 0; k < P && !slot; ++k)
        if (sig.positional[k] == name) slot = k;
    }
    if (!slot) {
      std::string shown = str_of(key).value_or("<exception str() failed>");
      return std::unexpected(
          call_error(fmt::format("{} got an unexpected keyword argument '{}'", full_name(sig), shown)));
    }
    if (*slot < sig.positional_only) {
      positional_only_by_keyword.push_back(sig.positional[*slot]);
      continue;
    }
    if (slots[*slot] != nullptr)
      return std::unexpected(
          call_error(fmt::format("{} got multiple values for argument '{}'", full_name(sig), name)));
    slots[*slot] = value;
  }

  if (!positional_only_by_keyword.empty())
    return std::unexpected(
        call_error(fmt::format("{} got some positional-only arguments passed as keyword arguments: {}",
                               full_name(sig), quoted_list(positional_only_by_keyword))));

  auto missing = [&](std::vector<std::string_view> names, std::string_view kind) {
    return call_error(fmt::format("{} missing {} required {} {}: {}", full_name(sig), names.size(), kind,
                                  names.size() == 1 ? "argument" : "arguments", quoted_list(names)));
  };
  if (n < sig.required_positional) {
    std::vector<std::string_view> names;
    for (std::size_t k = n; k < sig.required_positional; ++k)
      if (slots[k] == nullptr) names.push_back(sig.positional[k]);
    if (!names.empty()) return std::unexpected(missing(std::move(names), "positional"));
  }
  std::vector<std::string_view> names;
  for (std::size_t j = 0; j < sig.keyword_only.size(); ++j)
    if (sig.keyword_only[j].required && slots[P + j] == nullptr) names.push_back(sig.keyword_only[j].name);
  if (!names.empty()) return std::unexpected(missing(std::move(names), "keyword"));
  return {};
}

PyObject* fastcall_trampoline(Body body, PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) {
  return guarded_call([&] { return body(args, PyVectorcall_NARGS(nargsf), kwnames); });
}

}  // namespace vornik
