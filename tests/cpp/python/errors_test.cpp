// The printed forms of the errors that hold Python exceptions, and the three
// RuntimeError conversions with their lead lines.
#include <gtest/gtest.h>

#include "python_module/errors.h"
#include "python_module/pystr.h"

namespace vornik {
namespace {

PyRef exception(PyObject* type, const char* message) {
  return PyRef::steal(PyObject_CallOneArg(type, py_str(message).get()));
}

std::string raised_message(PyError e) {
  PyRef exc = std::move(e).into_value();
  EXPECT_TRUE(PyObject_TypeCheck(exc.get(), reinterpret_cast<PyTypeObject*>(PyExc_RuntimeError)));
  return str_of(exc.get()).value();
}

TEST(DatasetErrorText, EveryCase) {
  EXPECT_EQ(to_string(DatasetError(DatasetError::PyErr{exception(PyExc_KeyError, "x")})), "KeyError: 'x'");
  EXPECT_EQ(to_string(DatasetError(DatasetError::Asset{ModelError::BuilderError{"m"}})),
            "Error while parsing Asset, caused by \nBuilderError m");
  EXPECT_EQ(to_string(DatasetError(DatasetError::InvalidValue{"type", "function"})),
            "Invalid value 'function' for key 'type'");
  EXPECT_EQ(to_string(DatasetError(DatasetError::MissingKey{"BASE"})), "Py Dictionary is missing key 'BASE'");
  EXPECT_EQ(to_string(DatasetError(DatasetError::WrongType{"MC", "TypeError: 'list' object is not an instance of 'dict'"})),
            "Error in value of MC, likely incorrect type. caused by \nTypeError: 'list' object is not an instance of 'dict'");
  EXPECT_EQ(to_string(DatasetError(DatasetError::Message{"Batch is not supported in this package"})),
            "Batch is not supported in this package");
}

TEST(DatasetErrorText, ChainOfThreePrintsOutermostFirst) {
  TimetableError e = TimetableError::Dataset{expression_error("p1", DatasetError::MissingKey{"fn"})};
  EXPECT_EQ(to_string(e),
            "Error while parsing Timetable, caused by \nError while parsing expression 'p1', caused by \nPy "
            "Dictionary is missing key 'fn'");
  EXPECT_EQ(raised_message(timetable_error_to_pyerr(std::move(e))),
            "Error while parsing Timetable, caused by \nError while parsing expression 'p1', caused by \nPy "
            "Dictionary is missing key 'fn'");
}

TEST(PythonCallErrorText, EveryCase) {
  EXPECT_EQ(to_string(PythonCallError(PythonCallError::PyErr{exception(PyExc_ValueError, "bad input")})),
            "ValueError: bad input");
  EXPECT_EQ(to_string(PythonCallError(PythonCallError::Method{"advance", exception(PyExc_ZeroDivisionError, "z")})),
            "Error in Python method 'advance', caused by \nZeroDivisionError: z");
  EXPECT_EQ(error_to_string(PythonCallError::Execution{"Expected float or array, received <class 'str'>"}),
            "Error in Python execution:\nExpected float or array, received <class 'str'>");
  EvaluationError e = python_call_error_to_message(PythonCallError::Method{"get_value", exception(PyExc_KeyError, "k")});
  EXPECT_EQ(to_string(e), "Error in Python method 'get_value', caused by \nKeyError: 'k'");
}

TEST(ExceptionText, StrThatRaisesIsReplaced) {
  ASSERT_EQ(PyRun_SimpleString("class Bad(Exception):\n  def __str__(self): raise ValueError()\n"
                               "import builtins; builtins._bad = Bad()\n"),
            0);
  PyRef builtins = PyRef::steal(PyImport_ImportModule("builtins"));
  PyRef bad = PyRef::steal(PyObject_GetAttrString(builtins.get(), "_bad"));
  EXPECT_EQ(exception_text(bad.get()), "Bad: <exception str() failed>");
}

TEST(Conversions, LeadLines) {
  EXPECT_EQ(raised_message(dataset_error_to_pyerr(DatasetError::MissingKey{"BASE"})),
            "Error while parsing Dataset, caused by\nPy Dictionary is missing key 'BASE'");
  EXPECT_EQ(raised_message(dataset_error_to_pyerr(DatasetError::Message{""})), "Error while parsing Dataset, caused by\n");
  EXPECT_EQ(raised_message(evaluation_error_to_pyerr(OpError(OpError::TrackNotFound{0}))),
            "Error during model evaluation, caused by\nTrack 0 not found");
}

TEST(CastTexts, MessageAndRecord) {
  PyRef list = PyRef::steal(Py_BuildValue("[ii]", 1, 2));
  EXPECT_EQ(cast_message(list.get(), &PyDict_Type), "'list' object is not an instance of 'dict'");
  EXPECT_EQ(cast_message(Py_None, &PyDict_Type), "'None' is not an instance of 'dict'");
  EXPECT_EQ(to_string(cast_error_to_dataset_error(list.clone(), &PyTuple_Type)),
            "Error in value of n/a, likely incorrect type. caused by \nCastError { from: [1, 2], classinfo: <class "
            "'tuple'> }");
}

}  // namespace
}  // namespace vornik
