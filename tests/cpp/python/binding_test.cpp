// Argument sorting over every kind of parameter, the trampoline's handling of
// errors and aborts, and arrays over the module's own memory.
#include <gtest/gtest.h>

#include <vector>

#include "python_module/binding.h"
#include "python_module/errors.h"
#include "python_module/numpy_api.h"
#include "python_module/pystr.h"

namespace vornik {
namespace {

constexpr std::string_view POSITIONAL[] = {"a", "b", "c"};
constexpr KeywordParameter KEYWORD_ONLY[] = {{"k", true}, {"opt", false}, {"m", true}};

// f(a, /, b, c=?, *, k, opt=?, m) as a method of class C.
constexpr CallSignature SIG{.function = "f",
                            .class_name = "C",
                            .positional = POSITIONAL,
                            .positional_only = 1,
                            .required_positional = 2,
                            .keyword_only = KEYWORD_ONLY};

struct Call {
  std::vector<PyRef> owned;
  std::vector<PyObject*> args;
  PyRef kwnames;
};

// positional values 0..n-1, then keywords with values 100, 101, ...
Call make_call(int n, std::vector<const char*> keywords) {
  Call c;
  for (int i = 0; i < n; ++i) c.owned.push_back(PyRef::steal(PyLong_FromLong(i)));
  for (std::size_t i = 0; i < keywords.size(); ++i) c.owned.push_back(PyRef::steal(PyLong_FromLong(100 + i)));
  for (auto& r : c.owned) c.args.push_back(r.get());
  if (!keywords.empty()) {
    c.kwnames = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    for (std::size_t i = 0; i < keywords.size(); ++i)
      PyTuple_SET_ITEM(c.kwnames.get(), i, py_str(keywords[i]).release());
  }
  return c;
}

std::string sort_error(int n, std::vector<const char*> keywords) {
  Call c = make_call(n, std::move(keywords));
  PyObject* slots[6];
  auto r = extract_call_arguments(SIG, c.args.data(), n, c.kwnames.get(), slots);
  if (r) return "ok";
  PyRef exc = std::move(r).error().into_value();
  EXPECT_TRUE(PyObject_TypeCheck(exc.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError)));
  return str_of(exc.get()).value();
}

struct SortCase {
  int nargs;
  std::vector<const char*> keywords;
  const char* expected;
};
class ArgumentSorting : public ::testing::TestWithParam<SortCase> {};
TEST_P(ArgumentSorting, ReportsTheFirstProblem) {
  EXPECT_EQ(sort_error(GetParam().nargs, GetParam().keywords), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(
    EveryBranch, ArgumentSorting,
    ::testing::Values(
        SortCase{2, {"k", "m"}, "ok"}, SortCase{3, {"m", "k", "opt"}, "ok"},
        SortCase{4, {"zz"}, "C.f() takes from 2 to 3 positional arguments but 4 were given"},
        SortCase{1, {"zz"}, "C.f() got an unexpected keyword argument 'zz'"},
        SortCase{2, {"b", "k"}, "C.f() got multiple values for argument 'b'"},
        SortCase{2, {"k", "k"}, "C.f() got multiple values for argument 'k'"},
        SortCase{1, {"a", "b", "k", "m"}, "C.f() got some positional-only arguments passed as keyword arguments: 'a'"},
        SortCase{0, {"k", "m"}, "C.f() missing 2 required positional arguments: 'a' and 'b'"},
        SortCase{1, {"k", "m"}, "C.f() missing 1 required positional argument: 'b'"},
        SortCase{2, {}, "C.f() missing 2 required keyword arguments: 'k' and 'm'"},
        SortCase{0, {"b"}, "C.f() missing 1 required positional argument: 'a'"},
        SortCase{2, {"opt"}, "C.f() missing 2 required keyword arguments: 'k' and 'm'"},
        SortCase{2, {"m"}, "C.f() missing 1 required keyword argument: 'k'"}));

TEST(ArgumentSorting, FillsSlotsInParameterOrder) {
  Call c = make_call(2, {"m", "c", "k"});
  PyObject* slots[6];
  ASSERT_TRUE(extract_call_arguments(SIG, c.args.data(), 2, c.kwnames.get(), slots));
  std::vector<long> got;
  for (PyObject* s : slots) got.push_back(s == nullptr ? -1 : PyLong_AsLong(s));
  EXPECT_EQ(got, (std::vector<long>{0, 1, 101, 102, -1, 100}));
}

TEST(ArgumentSorting, ListsThreeNamesWithSerialComma) {
  static constexpr std::string_view names[] = {"x", "y", "z"};
  constexpr CallSignature sig{.function = "g", .class_name = {}, .positional = names, .required_positional = 3};
  PyObject* slots[3];
  auto r = extract_call_arguments(sig, nullptr, 0, nullptr, slots);
  ASSERT_FALSE(r);
  EXPECT_EQ(str_of(std::move(r).error().into_value().get()).value(),
            "g() missing 3 required positional arguments: 'x', 'y', and 'z'");
}

// Bodies for the trampoline.
PyResult<PyRef> returns_none(PyObject* const*, Py_ssize_t, PyObject*) { return PyRef::borrow(Py_None); }
PyResult<PyRef> fails(PyObject* const*, Py_ssize_t, PyObject*) {
  return std::unexpected(PyError(PyExc_RuntimeError, "failed"));
}
PyResult<PyRef> aborts(PyObject* const*, Py_ssize_t, PyObject*) { throw Panic("index out of bounds"); }
PyResult<PyRef> runs_out_of_memory(PyObject* const*, Py_ssize_t, PyObject*) { throw std::bad_alloc(); }
// Fetches a KeyboardInterrupt as if a callback raised it, then goes on as told.
PyResult<PyRef> interrupted_then_fails(PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_KeyboardInterrupt, "ctrl-c");
  return std::unexpected(evaluation_error_to_pyerr(python_call_error_to_message(
      PythonCallError::Method{"advance", std::move(PyError::fetch()).into_value()})));
}
PyResult<PyRef> interrupted_then_aborts(PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_KeyboardInterrupt, "ctrl-c");
  (void)PyError::fetch();
  throw Panic("index out of bounds");
}
std::int64_t seen_attach_count = 0;
PyResult<PyRef> records_attach(PyObject* const*, Py_ssize_t, PyObject*) {
  seen_attach_count = attach_count();
  return PyRef::borrow(Py_None);
}

std::pair<PyObject*, std::string> raised() {
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  return {reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), str_of(exc.get()).value()};
}

TEST(Trampoline, ResultsErrorsAndAborts) {
  PyObject* r = fastcall_trampoline(returns_none, nullptr, nullptr, 0, nullptr);
  EXPECT_EQ(r, Py_None);
  Py_XDECREF(r);

  EXPECT_EQ(fastcall_trampoline(fails, nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(raised(), std::make_pair(PyExc_RuntimeError, std::string("failed")));

  EXPECT_EQ(fastcall_trampoline(aborts, nullptr, nullptr, 0, nullptr), nullptr);
  auto [type, message] = raised();
  EXPECT_EQ(type, panic_exception_type());
  EXPECT_EQ(message, "index out of bounds");
  EXPECT_EQ(type_qualname(reinterpret_cast<PyTypeObject*>(type)), "PanicException");
  EXPECT_TRUE(PyObject_IsSubclass(type, PyExc_BaseException));
  EXPECT_FALSE(PyObject_IsSubclass(type, PyExc_Exception));

  EXPECT_EQ(fastcall_trampoline(runs_out_of_memory, nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(raised().first, panic_exception_type());

  // The caller's own exception replaces the error it caused, and an abort
  // after it keeps it as the PanicException's context.
  EXPECT_EQ(fastcall_trampoline(interrupted_then_fails, nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(raised(), std::make_pair(PyExc_KeyboardInterrupt, std::string("ctrl-c")));
  EXPECT_EQ(fastcall_trampoline(interrupted_then_aborts, nullptr, nullptr, 0, nullptr), nullptr);
  PyRef panic = PyRef::steal(PyErr_GetRaisedException());
  EXPECT_EQ(Py_TYPE(panic.get()), reinterpret_cast<PyTypeObject*>(panic_exception_type()));
  PyRef context = PyRef::steal(PyException_GetContext(panic.get()));
  ASSERT_TRUE(context);
  EXPECT_EQ(Py_TYPE(context.get()), reinterpret_cast<PyTypeObject*>(PyExc_KeyboardInterrupt));

  EXPECT_EQ(attach_count(), 0);
  Py_XDECREF(fastcall_trampoline(records_attach, nullptr, nullptr, 0, nullptr));
  EXPECT_EQ(seen_attach_count, 1);
  EXPECT_EQ(attach_count(), 0);
}

TEST(PanicFromPython, FetchingItAbortsTheCall) {
  PyErr_SetString(panic_exception_type(), "raised by python");
  try {
    (void)PyError::fetch();
    FAIL() << "fetch handed a PanicException on";
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "raised by python");
  }
  EXPECT_FALSE(PyErr_Occurred());
}

int released = 0;
void count_release(void* data, std::size_t len, std::size_t cap) {
  EXPECT_EQ(len, 3u);
  EXPECT_EQ(cap, 3u);
  ++released;
  Values::free_raw(data, len, cap);
}

TEST(SliceContainer, ArrayOwnsTheVectorMemoryUntilNumpyDropsIt) {
  Values v = Values::of({1.0, 2.0, 3.0});
  const double* memory = v.data();
  auto raw = std::move(v).release();
  PyRef array = array_over(raw.data, raw.len, raw.cap, count_release, NPY_DOUBLE);
  auto* a = reinterpret_cast<PyArrayObject*>(array.get());
  EXPECT_EQ(PyArray_DATA(a), memory);  // no copy
  EXPECT_TRUE(PyArray_ISWRITEABLE(a));
  EXPECT_EQ(PyArray_NDIM(a), 1);
  EXPECT_EQ(type_qualname(Py_TYPE(PyArray_BASE(a))), "PySliceContainer");
  PyRef view = PyRef::steal(PyObject_GetItem(array.get(), PyRef::steal(PySlice_New(nullptr, nullptr, nullptr)).get()));
  array = PyRef();
  EXPECT_EQ(released, 0);  // the view keeps the container alive
  view = PyRef();
  EXPECT_EQ(released, 1);
}

}  // namespace
}  // namespace vornik
