// The constant history: the time plays no part, so no time (however far
// beyond the calendar) can make it fail.
#include "hist/tsdata.h"

namespace vornik {

std::expected<double, EvaluationError> TsDataSource::lookup(std::string_view, std::int64_t) { return asset_value_; }

}  // namespace vornik
