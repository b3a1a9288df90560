#include "python_module/settings_readers.h"

namespace vornik {

// Placeholders until the dataset readers land.
std::expected<AssetTable, DatasetError> read_assets(PyObject*) { return AssetTable{}; }
std::expected<McSettings, DatasetError> read_mc_settings(PyObject*) { return McSettings{}; }
std::expected<FixedSettings, DatasetError> read_fixed_settings(PyObject*) { return FixedSettings{}; }
std::expected<FdSettings, DatasetError> read_fd_settings(PyObject*) { return FdSettings{}; }
std::expected<HwSettings, DatasetError> read_hw_settings(PyObject*) { return HwSettings{}; }
std::expected<BsSettings, DatasetError> read_bs_settings(PyObject*) { return BsSettings{}; }
std::expected<std::uint32_t, DatasetError> read_flags(PyObject*) { return 0u; }

}  // namespace vornik
