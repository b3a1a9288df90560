// What the writers hand to set_stat: statistics as NumPy arrays over the
// ledger's memory, backtest cashflows as pyarrow record batches.
#include <gtest/gtest.h>

#include "python_module/numpy_api.h"
#include "python_module/pystr.h"
#include "python_module/writers.h"
#include "timetable/pool.h"

namespace vornik {
namespace {

// A state object whose set_stat records (name, value) pairs in `calls`.
PyRef recorder(const char* extra = "") {
  PyRef globals = PyRef::steal(PyDict_New());
  PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
  std::string code = std::string("class Recorder:\n"
                                 "  def __init__(self): self.calls = []\n"
                                 "  def set_stat(self, name, value):\n"
                                 "    self.calls.append((name, value))\n") +
                     extra + "state = Recorder()\n";
  PyRef r = PyRef::steal(PyRun_String(code.c_str(), Py_file_input, globals.get(), globals.get()));
  EXPECT_TRUE(r) << "recorder did not compile";
  return PyRef::borrow(PyDict_GetItemString(globals.get(), "state"));
}

// Evaluates a Python expression with `state` bound.
std::string eval(PyObject* state, const char* expression) {
  PyRef globals = PyRef::steal(PyDict_New());
  PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
  PyDict_SetItemString(globals.get(), "state", state);
  PyRef r = PyRef::steal(PyRun_String(expression, Py_eval_input, globals.get(), globals.get()));
  if (!r) {
    PyErr_Print();
    return "<error>";
  }
  return str_of(r.get()).value();
}

Ledger sample_ledger() {
  Ledger l;
  l.len = 2;
  l.values.emplace(0, Values::of({1.5, 2.5}));
  l.choices[7].emplace(2, Mask::of({1, 0}));
  l.cashflows[2].emplace(7, Values::of({3.0, 0.0}));
  return l;
}

TEST(LedgerStats, WrittenInOrderAsFlagsSelect) {
  PyRef state = recorder();
  Ledger l = sample_ledger();
  ASSERT_TRUE(emit_ledger_stats(FLAG_PV_VEC | FLAG_CHOICES | FLAG_CASHFLOW, l, state.get()));
  EXPECT_EQ(eval(state.get(), "[name for name, _ in state.calls]"), "['PV_VEC', 'CHOICES', 'CASHFLOW']");
  EXPECT_EQ(eval(state.get(), "state.calls[0][1].tolist()"), "[1.5, 2.5]");
  EXPECT_EQ(eval(state.get(), "{k: {t: (a.dtype.name, a.tolist()) for t, a in v.items()} for k, v in state.calls[1][1].items()}"),
            "{7: {2: ('uint64', [1, 0])}}");
  EXPECT_EQ(eval(state.get(), "{k: {r: a.tolist() for r, a in v.items()} for k, v in state.calls[2][1].items()}"),
            "{2: {7: [3.0, 0.0]}}");
  EXPECT_EQ(eval(state.get(), "all(type(a.base).__name__ == 'PySliceContainer' and a.flags.writeable and a.ndim == 1 "
                              "for _, v in state.calls[1:] for d in v.values() for a in d.values())"),
            "True");
  EXPECT_TRUE(l.choices.empty());
  EXPECT_TRUE(l.cashflows.empty());
  EXPECT_EQ(l.values.size(), 1u);  // PV_VEC is a copy
}

TEST(LedgerStats, MissingTrackZeroWritesNothing) {
  PyRef state = recorder();
  Ledger l = sample_ledger();
  l.values.clear();
  auto r = emit_ledger_stats(FLAG_PV_VEC | FLAG_CASHFLOW, l, state.get());
  ASSERT_FALSE(r);
  EXPECT_EQ(to_string(r.error()), "Track 0 not found");
  EXPECT_EQ(eval(state.get(), "state.calls"), "[]");
  EXPECT_FALSE(l.cashflows.empty());
}

TEST(LedgerStats, RaisingSetStatIsIgnored) {
  PyRef state = recorder(
      "  def set_stat_raising(self, name, value):\n"
      "    self.calls.append(name)\n"
      "    raise ValueError(name)\n"
      "Recorder.set_stat = Recorder.set_stat_raising\n");
  Ledger l = sample_ledger();
  ASSERT_TRUE(emit_ledger_stats(FLAG_PV_VEC | FLAG_CHOICES | FLAG_CASHFLOW | 4, l, state.get()));
  EXPECT_EQ(eval(state.get(), "state.calls"), "['PV_VEC', 'CHOICES', 'CASHFLOW']");
  EXPECT_FALSE(PyErr_Occurred());
  Ledger none = sample_ledger();
  EXPECT_TRUE(emit_ledger_stats(0, none, Py_None));  // no set_stat call at all
}

TEST(LedgerStats, LargeArraysOwnTheirMemoryUntilNumPyDropsThemOnAnyThread) {
  const std::size_t live = pool_stats().live;
  const std::size_t paths = 100000;
  PyRef state = recorder();
  for (int call = 0; call < 20; ++call) {
    Ledger l;
    l.len = paths;
    l.values.emplace(0, Values::filled(paths, call));
    l.choices[7].emplace(2, Mask::filled(paths, 1));
    l.cashflows[2].emplace(7, Values::filled(paths, -call));
    ASSERT_TRUE(emit_ledger_stats(FLAG_PV_VEC | FLAG_CHOICES | FLAG_CASHFLOW, l, state.get()));
  }
  EXPECT_EQ(pool_stats().live, live + 20 * 3 * paths * 8);
  EXPECT_EQ(eval(state.get(), "[int(v.sum()) for n, v in state.calls if n == 'PV_VEC'] == "
                              "[100000 * c for c in range(20)]"),
            "True");
  PyRef globals = PyRef::steal(PyDict_New());
  PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
  PyDict_SetItemString(globals.get(), "state", state.get());
  PyRef done = PyRef::steal(PyRun_String("import threading\n"
                                         "t = threading.Thread(target=state.calls.clear)\n"
                                         "t.start()\n"
                                         "t.join()\n",
                                         Py_file_input, globals.get(), globals.get()));
  ASSERT_TRUE(done);
  EXPECT_EQ(pool_stats().live, live) << "each array freed once, by the thread that dropped it";
}

TEST(BacktestCashflows, OneRecordBatchPerTrack) {
  PyRef state = recorder();
  Ledger l;
  l.len = 1;
  l.cashflows[3].emplace(5, Values::of({-2.0}));
  l.cashflows[3].emplace(1, Values::of({4.0}));
  l.cashflows[0];  // a track with no rows gets an empty batch
  ASSERT_TRUE(emit_backtest_cashflows(l, state.get()));
  EXPECT_EQ(eval(state.get(), "state.calls[0][0]"), "CASHFLOW");
  EXPECT_EQ(eval(state.get(), "str(state.calls[0][1][3].schema)"),
            "index: uint64 not null\nvalue: double not null");
  EXPECT_EQ(eval(state.get(), "sorted(zip(*state.calls[0][1][3].to_pydict().values()))"), "[(1, 4.0), (5, -2.0)]");
  EXPECT_EQ(eval(state.get(), "state.calls[0][1][0].num_rows"), "0");
  EXPECT_TRUE(l.cashflows.empty());
}

TEST(BacktestCashflows, NothingBookedGivesAnEmptyDict) {
  PyRef state = recorder();
  Ledger l;
  l.len = 1;
  ASSERT_TRUE(emit_backtest_cashflows(l, state.get()));
  EXPECT_EQ(eval(state.get(), "state.calls"), "[('CASHFLOW', {})]");
}

}  // namespace
}  // namespace vornik
