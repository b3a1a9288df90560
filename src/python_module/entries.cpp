// The bodies of the six entries. Each converts its arguments in parameter
// order, reads the Timetable, then its settings, runs its model and hands
// back the price (pricing) or the cashflows (backtests).
#include "python_module/entries.h"

#include <string_view>

#include "python_module/arrow_import.h"
#include "python_module/errors.h"
#include "python_module/read_timetable.h"
#include "python_module/settings_readers.h"

namespace vornik {

namespace {

constexpr std::string_view PRICING_PARAMETERS[] = {"events_rb", "py_state", "dataset", "expressions"};
constexpr std::string_view CSV_PARAMETERS[] = {"events_rb", "py_state", "_filename", "base", "expressions"};
constexpr std::string_view PY_PARAMETERS[] = {"events_rb", "py_state", "expressions", "base"};

constexpr CallSignature pricing_signature(std::string_view name) {
  return {.function = name, .class_name = {}, .positional = PRICING_PARAMETERS, .required_positional = 4};
}

struct McFamily {
  static constexpr CallSignature signature = pricing_signature("mc_price");
  static auto read_settings(PyObject* dataset) { return read_mc_settings(dataset); }
};
struct FixedFamily {
  static constexpr CallSignature signature = pricing_signature("fixed_price");
  static auto read_settings(PyObject* dataset) { return read_fixed_settings(dataset); }
};
struct HullWhiteFamily {
  static constexpr CallSignature signature = pricing_signature("fd_hullwhite_price");
  static auto read_settings(PyObject* dataset) { return read_hw_settings(dataset); }
};
struct BlackScholesFamily {
  static constexpr CallSignature signature = pricing_signature("fd_blackscholes_price");
  static auto read_settings(PyObject* dataset) { return read_bs_settings(dataset); }
};

PyError not_built(std::string_view entry) {
  return PyError(PyExc_RuntimeError, fmt::format("{}() is not built yet", entry));
}

template <class Family>
PyResult<PyRef> price(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[4];
  VK_CHECK(extract_call_arguments(Family::signature, args, nargs, kwnames, slots));
  ArrowBatch batch = VK_TRY(with_note("events_rb", import_record_batch(slots[0])));
  PyRef state = PyRef::borrow(slots[1]);
  PyRef dataset = VK_TRY(with_note("dataset", expect_dict(slots[2])));
  PyRef expressions = VK_TRY(with_note("expressions", expect_dict(slots[3])));

  auto timetable = read_timetable(batch, expressions.get());
  if (!timetable) return std::unexpected(timetable_error_to_pyerr(std::move(timetable).error()));
  auto settings = Family::read_settings(dataset.get());
  if (!settings) return std::unexpected(dataset_error_to_pyerr(std::move(settings).error()));
  return std::unexpected(not_built(Family::signature.function));
}

}  // namespace

PyResult<PyRef> mc_price(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return price<McFamily>(args, nargs, kwnames);
}
PyResult<PyRef> fixed_price(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return price<FixedFamily>(args, nargs, kwnames);
}
PyResult<PyRef> fd_hullwhite_price(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return price<HullWhiteFamily>(args, nargs, kwnames);
}
PyResult<PyRef> fd_blackscholes_price(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return price<BlackScholesFamily>(args, nargs, kwnames);
}

PyResult<PyRef> backtest_csv(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr CallSignature signature{
      .function = "backtest_csv", .class_name = {}, .positional = CSV_PARAMETERS, .required_positional = 5};
  PyObject* slots[5];
  VK_CHECK(extract_call_arguments(signature, args, nargs, kwnames, slots));
  ArrowBatch batch = VK_TRY(with_note("events_rb", import_record_batch(slots[0])));
  PyRef state = PyRef::borrow(slots[1]);
  VK_TRY(with_note("_filename", expect_str(slots[2])));  // accepted and not used
  std::string base = VK_TRY(with_note("base", expect_str(slots[3])));
  PyRef expressions = VK_TRY(with_note("expressions", expect_dict(slots[4])));

  auto timetable = read_timetable(batch, expressions.get());
  if (!timetable) return std::unexpected(timetable_error_to_pyerr(std::move(timetable).error()));
  return std::unexpected(not_built(signature.function));
}

PyResult<PyRef> backtest_py(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr CallSignature signature{
      .function = "backtest_py", .class_name = {}, .positional = PY_PARAMETERS, .required_positional = 4};
  PyObject* slots[4];
  VK_CHECK(extract_call_arguments(signature, args, nargs, kwnames, slots));
  ArrowBatch batch = VK_TRY(with_note("events_rb", import_record_batch(slots[0])));
  PyRef state = PyRef::borrow(slots[1]);
  PyRef expressions = VK_TRY(with_note("expressions", expect_dict(slots[2])));
  std::string base = VK_TRY(with_note("base", expect_str(slots[3])));

  auto timetable = read_timetable(batch, expressions.get());
  if (!timetable) return std::unexpected(timetable_error_to_pyerr(std::move(timetable).error()));
  return std::unexpected(not_built(signature.function));
}

}  // namespace vornik
