// The dataset dictionary as the settings record of each pricing entry. Each
// reader reads its keys in a fixed order and stops at the first failure.
#pragma once

#include <cstdint>
#include <expected>

#include "fd/settings.h"
#include "model/settings.h"
#include "python_module/errors.h"

namespace vornik {

std::expected<AssetTable, DatasetError> read_assets(PyObject* dataset);
std::expected<McSettings, DatasetError> read_mc_settings(PyObject* dataset);
std::expected<FixedSettings, DatasetError> read_fixed_settings(PyObject* dataset);
std::expected<FdSettings, DatasetError> read_fd_settings(PyObject* dataset);
std::expected<HwSettings, DatasetError> read_hw_settings(PyObject* dataset);
std::expected<BsSettings, DatasetError> read_bs_settings(PyObject* dataset);
// FLAGS of one of the MC, FIXED or FD dictionaries; 0 when absent.
std::expected<std::uint32_t, DatasetError> read_flags(PyObject* settings);

}  // namespace vornik
