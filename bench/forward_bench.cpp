// Cost of the Monte Carlo forward run: nanoseconds per path per row for an
// Asian option over 100,000 paths and 250 event times, the paths precomputed
// and lent per lookup as the state object's arrays are.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "../tests/cpp/engine/forward_fixture.h"
#include "model/forwardmodel.h"

using namespace vornik;
using namespace vornik::testing;

namespace {

constexpr std::size_t PATHS = 100000;
constexpr std::size_t TIMES = 250;
constexpr int REPEATS = 5;

// One precomputed path vector per event time; get_value lends it.
class PrecomputedPaths final : public McStateObject {
 public:
  PrecomputedPaths() : paths_(TIMES) {
    double x = 100.0;
    for (std::size_t k = 0; k < TIMES; ++k) {
      paths_[k].resize(PATHS);
      for (std::size_t p = 0; p < PATHS; ++p) paths_[k][p] = x + static_cast<double>(p % 97) * 0.01;
      x += 0.1;
    }
  }
  void rewind() { step_ = 0; }
  std::expected<Advance, EvaluationError> advance(double) override {
    ++step_;
    return Other{};
  }
  std::expected<std::optional<LentArray>, EvaluationError> get_value(std::string_view name) override {
    if (name != "S") return std::nullopt;
    return LentArray::over(paths_[step_ - 1]);
  }

 private:
  std::vector<std::vector<double>> paths_;
  std::size_t step_ = 0;
};

// Row 0 keeps max(0, average − strike) on track P; rows 1..TIMES average S on A.
std::vector<Row> asian_rows() {
  std::vector<Row> rows{Row{T0, "P", ">", 1.0, "A"}};
  for (std::size_t k = 1; k <= TIMES; ++k) {
    rows.push_back(Row{T0 + static_cast<std::int64_t>(k) * DAY, "A", "+", 1.0 / TIMES, "S"});
  }
  rows.push_back(Row{T0 + static_cast<std::int64_t>(TIMES) * DAY, "A", "+", -100.0, "USD"});
  return rows;
}

long peak_rss_mib() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6)) / 1024;
  }
  return -1;
}

void measure(PrecomputedPaths& state, const Contract& contract, std::uint32_t flags) {
  McSettings settings;
  settings.assets = flat_market();
  settings.paths = PATHS;
  settings.pricing_ts = T0;
  settings.flags = flags;
  const McModel model{std::move(settings), state};
  double best = 1e300;
  double first = 0.0;
  double price = 0.0;
  for (int r = 0; r < REPEATS; ++r) {
    state.rewind();
    const auto start = std::chrono::steady_clock::now();
    auto ledger = run_forward_model_mc(model, contract);
    const auto stop = std::chrono::steady_clock::now();
    if (!ledger) {
      std::printf("run failed: %s\n", to_string(ledger.error()).c_str());
      return;
    }
    price = *mean_pv(*ledger);
    const double ns = std::chrono::duration<double, std::nano>(stop - start).count();
    if (r == 0) first = ns;
    best = std::min(best, ns);
  }
  const double rows = static_cast<double>(contract.timetable().rows());
  // The first run pays the kernel's page faults for all the node vectors;
  // later runs reuse the part the pool keeps between calls.
  std::printf("FLAGS %2u: best %.2f ms = %.3f ns per path per row (first run %.3f), price %.6f, peak RSS %ld MiB\n",
              flags, best / 1e6, best / (rows * PATHS), first / (rows * PATHS), price, peak_rss_mib());
}

}  // namespace

int main() {
  PrecomputedPaths state;
  const Contract contract(asian_rows(), {}, {}, {"P", "A"});
  std::printf("paths %zu, rows %zu, precomputed paths %zu MiB\n", PATHS, contract.timetable().rows(),
              TIMES * PATHS * sizeof(double) >> 20);
  for (std::uint32_t flags : {0u, FLAG_CASHFLOW | FLAG_CHOICES}) measure(state, contract, flags);
}
