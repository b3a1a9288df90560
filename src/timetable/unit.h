// Units: what a row's event is worth, resolved once per unit dictionary
// value, so that the runs dispatch on a Unit and never look at texts.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "timetable/columns.h"
#include "timetable/errors.h"
#include "timetable/expression.h"
#include "timetable/string_map.h"

namespace vornik {

struct Unit {
  enum class Kind : std::uint8_t { Track, Asset, NoUnit, Snapper, Snap, Phrase };
  Kind kind = Kind::NoUnit;
  std::uint64_t track = 0;  // Track: the track dictionary key
  std::string name;         // Asset, Snapper, Snap, Phrase

  // "Track({})", "Asset({})", "<none>", "Snapper({})", "Snap({})", "Phrase({})".
  std::string display() const;
};

struct Snapper {
  std::vector<std::string> out;
  std::unique_ptr<Expression> expression;
};
using SnapperMap = StringMap<Snapper>;
using PhraseMap = StringMap<std::unique_ptr<Expression>>;

// One Unit per value of the unit dictionary, in dictionary order.
std::expected<std::vector<Unit>, SpecError> build_unit_table(const SnapperMap& snappers, const PhraseMap& phrases,
                                                             const TimetableColumns& columns);

}  // namespace vornik
