// Settings records of the forward-run entries, read from the dataset.
#pragma once

#include <cstdint>

#include "curves/curves.h"

namespace vornik {

struct McSettings {
  AssetTable assets;
  std::uint64_t paths = 0;
  std::uint64_t seed = 0;  // required by the dataset, used by no run
  std::int64_t pricing_ts = 0;
  std::uint32_t flags = 0;
};

struct FixedSettings {
  AssetTable assets;
  std::int64_t pricing_ts = 0;
  std::uint32_t flags = 0;
};

}  // namespace vornik
