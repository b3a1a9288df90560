// Evaluating a PyExpression: inputs reach the callable as NumPy arrays over
// the engine's memory, and each item of the returned list becomes a vector
// or a failure text.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "python_module/expressions.h"
#include "python_module/numpy_api.h"
#include "python_module/pystr.h"

namespace vornik {
namespace {

// Runs code in a new namespace (numpy imported as np) and returns it.
PyRef run(const std::string& code) {
  PyRef globals = PyRef::steal(PyDict_New());
  PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
  const std::string full = "import numpy as np\n" + code;
  PyRef r = PyRef::steal(PyRun_String(full.c_str(), Py_file_input, globals.get(), globals.get()));
  if (!r) PyErr_Print();
  EXPECT_TRUE(r) << "code did not run:\n" << code;
  return globals;
}

PyExpression expression_of(PyObject* globals) {
  return PyExpression({"a", "b"}, PyRef::borrow(PyDict_GetItemString(globals, "fn")));
}

std::string show(const std::vector<Values>& vs) {
  std::string out = "[";
  for (std::size_t i = 0; i < vs.size(); ++i) {
    out += i ? ", [" : "[";
    for (std::size_t j = 0; j < vs[i].size(); ++j) out += (j ? ", " : "") + format_f64(vs[i][j]);
    out += "]";
  }
  return out + "]";
}

std::vector<Values> inputs_of(const std::vector<std::vector<double>>& xs) {
  std::vector<Values> out;
  for (const auto& x : xs) out.push_back(Values::from(x));
  return out;
}

struct EvalCase {
  const char* name;
  const char* code;  // defines fn
  std::vector<std::vector<double>> inputs;
  std::vector<std::vector<double>> expected;
  const char* error = nullptr;
};
class Evaluate : public ::testing::TestWithParam<EvalCase> {};

TEST_P(Evaluate, ConvertsTheResultItemByItem) {
  const auto& c = GetParam();
  PyRef globals = run(c.code);
  auto r = expression_of(globals.get()).evaluate(inputs_of(c.inputs));
  if (c.error != nullptr) {
    ASSERT_FALSE(r) << "expected the failure " << c.error << ", got " << show(*r);
    EXPECT_EQ(r.error(), c.error);
  } else {
    ASSERT_TRUE(r) << "expected " << show(inputs_of(c.expected)) << ", got the failure " << r.error();
    EXPECT_EQ(show(*r), show(inputs_of(c.expected)));
  }
  EXPECT_FALSE(PyErr_Occurred());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Evaluate,
    ::testing::Values(
        EvalCase{"Float", "def fn(x): return [1.5]", {}, {{1.5}}},
        EvalCase{"IntAndBool", "def fn(x): return [2, True]", {}, {{2}, {1}}},
        EvalCase{"NumpyScalars", "def fn(x): return [np.float64(2.5), np.int32(3)]", {}, {{2.5}, {3}}},
        EvalCase{"IndexOnly", "class I:\n  def __index__(self): return 7\ndef fn(x): return [I()]", {}, {{7}}},
        EvalCase{"BoolArray", "def fn(x): return [np.array([True, False])]", {}, {{1, 0}}},
        EvalCase{"BoolViewOfBytes", "def fn(x): return [np.array([2, 0, 255], np.uint8).view(np.bool_)[::-1]]", {},
                 {{1, 0, 1}}},
        EvalCase{"StridedArray", "def fn(x): return [np.arange(6.0)[::2], np.arange(3.0)[::-1]]", {},
                 {{0, 2, 4}, {2, 1, 0}}},
        EvalCase{"ZeroDimensionalArrays", "def fn(x): return [np.array(7.0), np.array(4, np.int64)]",
                 {}, {{7}, {4}}},
        EvalCase{"ForeignOrderScalarArray", "def fn(x): return [np.array(5.0, '>f8')]", {}, {{5}}},
        EvalCase{"EmptyList", "def fn(x): return []", {}, {}},
        EvalCase{"ListSubclass", "class L(list): pass\ndef fn(x): return L([1.0])", {}, {{1}}},
        EvalCase{"InputsInOrder", "def fn(x): return [x[1], x[0] * 2]", {{1, 2}, {3}}, {{3}, {2, 4}}},
        EvalCase{"InputsAreWritableFloat64Vectors",
                 "def fn(x):\n"
                 "  assert all(a.dtype == np.float64 and a.ndim == 1 and a.flags.writeable for a in x)\n"
                 "  x[0][0] = 9.0\n"
                 "  return [x[0], float(len(x))]",
                 {{1, 2}, {}}, {{9, 2}, {2}}},
        EvalCase{"ListShrinksWhileConverted",
                 "out = []\n"
                 "class C:\n  def __float__(self):\n    out.clear()\n    return 1.0\n"
                 "def fn(x):\n  out[:] = [C(), 2.0, 3.0]\n  return out",
                 {}, {{1}}},
        EvalCase{"Tuple", "def fn(x): return (1.0,)", {}, {},
                 "Error in Python execution:\n'tuple' object is not an instance of 'list'"},
        EvalCase{"None", "def fn(x): return None", {}, {}, "Error in Python execution:\n'None' is not an instance of 'list'"},
        EvalCase{"StrItem", "def fn(x): return [1.0, 'a']", {}, {},
                 "Error in Python execution:\nExpected float or array, received <class 'str'>"},
        EvalCase{"ForeignOrderVector", "def fn(x): return [np.array([1.0, 2.0], '>f8')]", {}, {},
                 "Error in Python execution:\nExpected float or array, received <class 'numpy.ndarray'>"},
        EvalCase{"IntVector", "def fn(x): return [np.array([1, 2])]", {}, {},
                 "Error in Python execution:\nExpected float or array, received <class 'numpy.ndarray'>"},
        EvalCase{"Raises", "def fn(x): raise ValueError('bad input')", {}, {}, "ValueError: bad input"},
        EvalCase{"NotCallable", "fn = 3", {}, {}, "TypeError: 'int' object is not callable"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Evaluate, HandsInputsOverWithoutCopies) {
  PyRef globals = run("kept = []\ndef fn(x):\n  kept.extend(x)\n  return [x[0]]");
  std::vector<Values> inputs = inputs_of({{1, 2}, {3}});
  const auto address = reinterpret_cast<std::uintptr_t>(inputs[0].data());
  auto r = expression_of(globals.get()).evaluate(std::move(inputs));
  ASSERT_TRUE(r) << r.error();
  PyObject* kept = PyDict_GetItemString(globals.get(), "kept");
  ASSERT_EQ(PyList_GET_SIZE(kept), 2);
  auto* first = reinterpret_cast<PyArrayObject*>(PyList_GET_ITEM(kept, 0));
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(PyArray_DATA(first)), address);
  // The result is a copy: Python may go on writing into its arrays.
  static_cast<double*>(PyArray_DATA(first))[0] = 42.0;
  EXPECT_EQ(show(*r), "[[1, 2]]");
  EXPECT_EQ(static_cast<double*>(PyArray_DATA(first))[1], 2.0);  // alive after evaluate returned
}

}  // namespace
}  // namespace vornik
