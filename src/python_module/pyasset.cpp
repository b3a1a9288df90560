// The market data of the dataset (BASE and the curves under ASSETS) read into
// the AssetTable. Apart from the settings readers because it is the one
// reader that walks a dictionary and reads NumPy arrays.
#include <cmath>
#include <string_view>

#include "python_module/pyutils.h"
#include "python_module/settings_readers.h"

namespace vornik {

namespace {

// Keys read here, interned once per process.
namespace key {
constinit Key BASE("BASE");
constinit Key ASSETS("ASSETS");
}  // namespace key

DatasetError as_dataset_error(PyError e) { return DatasetError::PyErr{std::move(e).into_value()}; }

template <class T>
std::expected<T, DatasetError> or_pyerr(PyResult<T> r) {
  if (!r) return std::unexpected(as_dataset_error(std::move(r).error()));
  return std::move(*r);
}

std::expected<PyRef, DatasetError> tuple_item(PyObject* tuple, Py_ssize_t i) {
  PyRef item = PyRef::steal(PySequence_GetItem(tuple, i));
  if (!item) return std::unexpected(fetch_dataset_error());
  return item;
}

// One entry of ASSETS: (type, array) into an Asset.
std::expected<Asset, DatasetError> read_asset(std::string_view name, PyObject* value, AssetBase relation) {
  PyRef type_item = VK_TRY(tuple_item(value, 0));
  const std::string type = VK_TRY(or_pyerr(to_text(type_item.get())));
  PyRef array = VK_TRY(tuple_item(value, 1));
  auto [times, y] = VK_TRY(or_pyerr(array2_to_rows(array.get())));
  if (times.empty())
    return std::unexpected(
        DatasetError::Message{fmt::format("Asset '{}' has no pillars: its array has no column", name)});

  const std::size_t n = times.size();
  if (type == "ZERO_RATES") {
    for (std::size_t i = 0; i < n; ++i) y[i] = times[i] * y[i];
  } else if (type == "FORWARDS") {
    for (std::size_t i = 0; i < n; ++i) y[i] = std::log(y[i]);
  } else {
    return std::unexpected(DatasetError::Message{fmt::format("Unknown asset type {}", type)});
  }

  auto asset = build_asset(std::move(times), std::move(y), relation);
  if (!asset) return std::unexpected(DatasetError::Asset{std::move(asset).error()});
  return std::move(*asset);
}

}  // namespace

std::expected<AssetTable, DatasetError> read_assets(PyObject* dataset) {
  AssetTable table;
  table.base = VK_TRY(get_string(dataset, key::BASE));
  PyRef assets = VK_TRY(get_dict(dataset, key::ASSETS));
  PyObject* dict = assets.get();
  const Py_ssize_t size = PyDict_GET_SIZE(dict);
  table.assets.reserve(static_cast<std::size_t>(size));

  // The dict's own storage in its order. Each entry is held by a strong
  // reference, since a tuple subclass's item access may run Python code
  // that changes the dict; a change of size ends the walk as iteration would.
  Py_ssize_t pos = 0;
  PyObject* k = nullptr;
  PyObject* v = nullptr;
  while (PyDict_Next(dict, &pos, &k, &v)) {
    PyRef key = PyRef::borrow(k);
    PyRef value = PyRef::borrow(v);
    std::string name = VK_TRY(or_pyerr(to_text(key.get())));
    if (!PyTuple_Check(value.get()))
      return std::unexpected(cast_error_to_dataset_error(std::move(value), &PyTuple_Type));
    const AssetBase relation = name == table.base ? AssetBase::Base : AssetBase::InBase;
    Asset asset = VK_TRY(read_asset(name, value.get(), relation));
    table.assets.insert_or_assign(std::move(name), std::move(asset));
    if (PyDict_GET_SIZE(dict) != size)
      return std::unexpected(as_dataset_error(PyError(PyExc_RuntimeError, "dictionary changed size during iteration")));
  }
  return table;
}

}  // namespace vornik
