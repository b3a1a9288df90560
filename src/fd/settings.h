// Settings records of the finite-difference entries, read from the dataset.
#pragma once

#include <cstdint>
#include <string>

#include "curves/curves.h"

namespace vornik {

struct FdSettings {
  AssetTable assets;
  std::uint64_t n_x = 0;        // half the number of grid intervals
  double max_x = 0.0;           // half-width of the grid
  std::uint64_t grid_size = 0;  // 2 n_x + 1
  double timestep = 0.0;        // roll-back step in years
  std::int64_t pricing_ts = 0;
  std::uint32_t flags = 0;
};

struct HwSettings {
  FdSettings fd;
  double meanrev = 0.0;
  double vol = 0.0;
};

struct BsSettings {
  FdSettings fd;
  std::string asset;
  double vol = 0.0;
};

}  // namespace vornik
