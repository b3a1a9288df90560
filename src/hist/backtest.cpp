// The backtest hooks of the forward run: every name that is neither a phrase
// nor a snap is asked of the source, at the row's time.
#include "hist/backtest.h"

#include "model/forwardmodel.h"

namespace vornik {

namespace {

class BacktestHooks final : public ForwardModel {
 public:
  explicit BacktestHooks(ValueSource& source) : source_(source) {}
  std::int64_t clock_start() const override { return 0; }  // the epoch
  std::string_view null_time_text() const override { return "No event time"; }
  // The numeraire stays [1.0]: nothing is discounted.
  std::expected<void, EvaluationError> clock_step(ForwardState&, std::int64_t, std::int64_t) override { return {}; }
  std::expected<Values, EvaluationError> asset_value(const ForwardState&, AssetName name, EventScale v,
                                                     std::int64_t t) override {
    const double x = VK_TRY(source_.value(name.text, t));
    return v.times(x);
  }

 private:
  ValueSource& source_;
};

}  // namespace

std::expected<void, EvaluationError> run_backtest_model(const BacktestModel& model, ForwardState& state,
                                                        const Timetable& timetable) {
  BacktestHooks hooks(*model.source);
  return run_forward_model(hooks, state, timetable);
}

std::expected<Ledger, EvaluationError> run_backtest(const BacktestModel& model, const Timetable& timetable) {
  BacktestHooks hooks(*model.source);
  return run_and_settle(hooks, build_forward_state(timetable, 1), timetable, model.flags);
}

}  // namespace vornik
