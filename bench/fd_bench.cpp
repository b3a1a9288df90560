// Cost of the finite-difference roll-back: nanoseconds per grid point per
// roll per booked track, for N_X 500 and daily steps over ten years, under
// both models and with one to sixteen booked tracks.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "../tests/cpp/engine/fd_contract.h"
#include "fd/run.h"

#include <fmt/format.h>

using namespace vornik;
using namespace vornik::fdtest;

namespace {

constexpr std::uint64_t N_X = 500;
constexpr int YEARS = 10;
constexpr int REPEATS = 5;

// Every track books one unit of the base asset at the last row's time.
std::vector<Row> rows_for(const std::vector<std::string>& tracks) {
  std::vector<Row> rows;
  for (const std::string& t : tracks) rows.push_back({T0 + YEARS * YEAR, t.c_str(), "+", 1.0, "USD"});
  return rows;
}

template <class Settings, class Run>
void measure(const char* model, const Settings& settings, Run run, std::size_t tracks) {
  std::vector<std::string> names;
  for (std::size_t k = 0; k < tracks; ++k) names.push_back(fmt::format("t{}", k));
  const Contract contract(rows_for(names), names);
  double best = 1e300;
  double price = 0.0;
  for (int r = 0; r < REPEATS; ++r) {
    const auto start = std::chrono::steady_clock::now();
    auto ledger = run(settings, contract.timetable());
    const auto stop = std::chrono::steady_clock::now();
    if (!ledger) {
      std::printf("%s failed: %s\n", model, to_string(ledger.error()).c_str());
      return;
    }
    price = (*fd_price(settings.fd, *ledger));
    best = std::min(best, std::chrono::duration<double, std::nano>(stop - start).count());
  }
  const double rolls = static_cast<double>(YEARS * YEAR / fd_step_ms(settings.fd.timestep));
  const double points = static_cast<double>(2 * N_X + 1);
  std::printf("%-14s tracks %2zu  rolls %5.0f  %7.2f ms  %6.2f ns/point/roll/track  (price %.6f)\n", model, tracks,
              rolls, best / 1e6, best / (rolls * points * static_cast<double>(tracks)), price);
}

}  // namespace

int main() {
  AssetTable assets = flat_usd(0.03);
  assets.assets.emplace("EQ", forwards({0.0, 50.0}, {100.0, 100.0 * std::exp(1.5)}));
  const HwSettings hw = hw_settings(fd_settings(assets, N_X, 0.2, 1.0 / 365), 0.1, 0.01);
  const BsSettings bs = bs_settings(fd_settings(assets, N_X, 2.0, 1.0 / 365), "EQ", 0.2);
  for (const std::size_t tracks : {1, 2, 4, 16}) {
    measure("Hull-White", hw, run_fd_hullwhite, tracks);
    measure("Black-Scholes", bs, run_fd_blackscholes, tracks);
  }
  return 0;
}
