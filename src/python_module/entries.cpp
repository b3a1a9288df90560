// The bodies of the six entries. Each converts its arguments in parameter
// order, reads the Timetable, then its settings, runs its model and hands
// back the price (pricing) or the cashflows (backtests).
#include "python_module/entries.h"

#include <memory>
#include <string_view>

#include "fd/run.h"
#include "hist/backtest.h"
#include "hist/tsdata.h"
#include "model/forwardmodel.h"
#include "model/forwardstate.h"
#include "python_module/arrow_import.h"
#include "python_module/errors.h"
#include "python_module/read_timetable.h"
#include "python_module/settings_readers.h"
#include "python_module/state.h"
#include "python_module/writers.h"

namespace vornik {

namespace {

constexpr std::string_view PRICING_PARAMETERS[] = {"events_rb", "py_state", "dataset", "expressions"};
constexpr std::string_view CSV_PARAMETERS[] = {"events_rb", "py_state", "_filename", "base", "expressions"};
constexpr std::string_view PY_PARAMETERS[] = {"events_rb", "py_state", "expressions", "base"};

constexpr CallSignature pricing_signature(std::string_view name) {
  return {.function = name, .class_name = {}, .positional = PRICING_PARAMETERS, .required_positional = 4};
}

// What differs between the four pricing entries.
struct McFamily {
  static constexpr CallSignature signature = pricing_signature("mc_price");
  static auto read_settings(PyObject* dataset) { return read_mc_settings(dataset); }
  static std::uint32_t flags(const McSettings& s) { return s.flags; }
  static auto run(McSettings& s, PyObject* state, const Timetable& timetable) {
    PyMcState object(state);
    return run_forward_model_mc(McModel{std::move(s), object}, timetable);  // the price reads the ledger only
  }
  static auto price(const McSettings&, const Ledger& ledger) { return mean_pv(ledger); }
};

struct FixedFamily {
  static constexpr CallSignature signature = pricing_signature("fixed_price");
  static auto read_settings(PyObject* dataset) { return read_fixed_settings(dataset); }
  static std::uint32_t flags(const FixedSettings& s) { return s.flags; }
  static auto run(FixedSettings& s, PyObject*, const Timetable& timetable) { return run_fixed_model(s, timetable); }
  static auto price(const FixedSettings&, const Ledger& ledger) { return fixed_pv(ledger); }
};

struct HullWhiteFamily {
  static constexpr CallSignature signature = pricing_signature("fd_hullwhite_price");
  static auto read_settings(PyObject* dataset) { return read_hw_settings(dataset); }
  static std::uint32_t flags(const HwSettings& s) { return s.fd.flags; }
  static auto run(HwSettings& s, PyObject*, const Timetable& timetable) { return run_fd_hullwhite(s, timetable); }
  static auto price(const HwSettings& s, const Ledger& ledger) { return fd_price(s.fd, ledger); }
};

struct BlackScholesFamily {
  static constexpr CallSignature signature = pricing_signature("fd_blackscholes_price");
  static auto read_settings(PyObject* dataset) { return read_bs_settings(dataset); }
  static std::uint32_t flags(const BsSettings& s) { return s.fd.flags; }
  static auto run(BsSettings& s, PyObject*, const Timetable& timetable) { return run_fd_blackscholes(s, timetable); }
  static auto price(const BsSettings& s, const Ledger& ledger) { return fd_price(s.fd, ledger); }
};

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
  const std::uint32_t flags = Family::flags(*settings);
  auto ledger = Family::run(*settings, state.get(), *timetable);
  if (!ledger) return std::unexpected(evaluation_error_to_pyerr(std::move(ledger).error()));
  auto value = Family::price(*settings, *ledger);
  if (!value) return std::unexpected(evaluation_error_to_pyerr(std::move(value).error()));
  // Statistics only once the price is known; their failure withholds it.
  if (auto r = emit_ledger_stats(flags, *ledger, state.get()); !r)
    return std::unexpected(evaluation_error_to_pyerr(std::move(r).error()));
  PyRef result = PyRef::steal(PyFloat_FromDouble(*value));
  if (!result) return std::unexpected(PyError::fetch());
  return result;
}

// A backtest against its history source; cashflows leave through set_stat.
PyResult<PyRef> replay(const Timetable& timetable, std::unique_ptr<ValueSource> source, PyObject* state) {
  BacktestModel model{std::move(source)};
  auto ledger = run_backtest(model, timetable);
  if (!ledger) return std::unexpected(evaluation_error_to_pyerr(std::move(ledger).error()));
  VK_CHECK(emit_backtest_cashflows(*ledger, state));
  return PyRef::borrow(Py_None);
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
  return replay(*timetable, std::make_unique<TsDataSource>(std::move(base), 100.0), state.get());
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
  return replay(*timetable, std::make_unique<PyValueSource>(std::move(base), state.get()), state.get());
}

}  // namespace vornik
