// Hand-built timetables and curves for the finite-difference tests: the
// columns live in vectors owned by a Contract, which the Timetable borrows.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "curves/curves.h"
#include "fd/settings.h"
#include "timetable/timetable.h"

namespace vornik::fdtest {

inline constexpr std::int64_t T0 = 1'704'067'200'000;  // 2024-01-01T00:00:00Z
inline constexpr std::int64_t YEAR = 31'536'000'000;
inline constexpr std::int64_t DAY = 86'400'000;
// A unit or op text that stands for a null dictionary value (a valid key).
inline constexpr const char* NULL_VALUE = "\x01null";

struct Row {
  std::optional<std::int64_t> time;
  const char* track;  // nullptr: a null cell
  const char* op;
  double quantity;
  const char* unit;
};

class Contract {
 public:
  // `tracks` fixes the first entries of the track dictionary (track 0 first).
  Contract(const std::vector<Row>& rows, const std::vector<std::string>& tracks, SnapperMap snappers = {},
           PhraseMap phrases = {}) {
    for (const auto& t : tracks) track_dict_.key(t.c_str());
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const Row& r = rows[i];
      times_.push(r.time.value_or(0), r.time.has_value());
      quantity_.push_back(r.quantity);
      push_key(track_keys_, track_dict_, r.track);
      push_key(op_keys_, op_dict_, r.op);
      push_key(unit_keys_, unit_dict_, r.unit);
    }
    TimetableColumns columns;
    columns.time = times_.view();
    columns.quantity = ColumnView<double>{quantity_.data(), {}, quantity_.size()};
    columns.track = {track_keys_.view(), track_dict_.view()};
    columns.op = {op_keys_.view(), op_dict_.view()};
    columns.unit = {unit_keys_.view(), unit_dict_.view()};
    auto built = timetable_from_columns(columns, std::move(snappers), std::move(phrases));
    if (!built) throw std::runtime_error(to_string(built.error()));
    timetable_ = std::make_unique<Timetable>(std::move(*built));
  }
  Contract(const Contract&) = delete;
  Contract& operator=(const Contract&) = delete;

  const Timetable& timetable() const { return *timetable_; }

 private:
  struct Column {
    std::vector<std::int64_t> values;
    std::vector<std::uint8_t> bits;
    void push(std::int64_t v, bool valid) {
      const std::size_t row = values.size();
      values.push_back(v);
      if (bits.size() * 8 <= row) bits.push_back(0);
      if (valid) bits[row / 8] |= static_cast<std::uint8_t>(1u << (row % 8));
    }
    ColumnView<std::int64_t> view() const { return {values.data(), {bits.data(), 0}, values.size()}; }
  };
  struct Dictionary {
    std::vector<std::string> names;
    std::vector<std::int32_t> offsets{0};
    std::string data;
    std::vector<std::uint8_t> bits;
    std::int64_t key(const char* name) {
      for (std::size_t k = 0; k < names.size(); ++k)
        if (names[k] == name) return static_cast<std::int64_t>(k);
      const std::size_t k = names.size();
      names.emplace_back(name);
      if (bits.size() * 8 <= k) bits.push_back(0);
      if (std::string(name) != NULL_VALUE) {
        data += name;
        bits[k / 8] |= static_cast<std::uint8_t>(1u << (k % 8));
      }
      offsets.push_back(static_cast<std::int32_t>(data.size()));
      return static_cast<std::int64_t>(k);
    }
    StringsView view() const {
      return {true, offsets.data(), data.data(), {bits.data(), 0}, names.size(), offsets.back()};
    }
  };
  static void push_key(Column& keys, Dictionary& dict, const char* text) {
    if (text == nullptr) {
      keys.push(0, false);
    } else {
      keys.push(dict.key(text), true);
    }
  }

  Column times_;
  std::vector<double> quantity_;
  Column track_keys_, op_keys_, unit_keys_;
  Dictionary track_dict_, op_dict_, unit_dict_;
  std::unique_ptr<Timetable> timetable_;
};

inline Asset zero_rates(std::vector<double> times, const std::vector<double>& rates,
                        AssetBase relation = AssetBase::InBase) {
  std::vector<double> y(times.size());
  for (std::size_t k = 0; k < times.size(); ++k) y[k] = rates[k] * times[k];
  return *build_asset(std::move(times), std::move(y), relation);
}
inline Asset forwards(std::vector<double> times, const std::vector<double>& fwds) {
  std::vector<double> y(times.size());
  for (std::size_t k = 0; k < times.size(); ++k) y[k] = std::log(fwds[k]);
  return *build_asset(std::move(times), std::move(y), AssetBase::InBase);
}

// USD, the base, at a flat 5% up to 50 years.
inline AssetTable flat_usd(double rate = 0.05) {
  AssetTable table;
  table.base = "USD";
  table.assets.emplace("USD", zero_rates({0.0, 50.0}, {rate, rate}, AssetBase::Base));
  return table;
}

inline FdSettings fd_settings(AssetTable assets, std::uint64_t n_x, double max_x, double timestep,
                              std::uint32_t flags = 0) {
  return FdSettings{std::move(assets), n_x, max_x, 2 * n_x + 1, timestep, T0, flags};
}
inline HwSettings hw_settings(FdSettings fd, double meanrev = 0.1, double vol = 0.01) {
  return HwSettings{std::move(fd), meanrev, vol};
}
inline BsSettings bs_settings(FdSettings fd, std::string asset = "EQ", double vol = 0.2) {
  return BsSettings{std::move(fd), std::move(asset), vol};
}

}  // namespace vornik::fdtest
