// Resolving the unit dictionary against the track dictionary and the
// expression maps. Each fill overwrites what the earlier ones set, which
// gives the precedence Phrase > Snap, Snapper > Track > Asset.
#include "timetable/unit.h"

#include <fmt/format.h>

#include <optional>

#include "timetable/interrupt.h"

namespace vornik {

namespace {

// Work for the interrupt poll, in units of about a nanosecond: a unit made
// from its text; a text compared with a name. With a value per row in each
// dictionary, tracks times units comparisons are made.
constexpr std::uint64_t UNIT_WORK = 50;
constexpr std::uint64_t COMPARE_WORK = 2;

// The first position holding exactly this text; validity is not consulted.
std::expected<std::optional<std::size_t>, SpecError> find_dictionary_string(const StringsView& dictionary,
                                                                            std::string_view name,
                                                                            InterruptPoll& poll) {
  for (std::size_t k = 0; k < dictionary.length; ++k) {
    if (VK_TRY(dictionary.at(k)) == name) return k;  // lengths first, then bytes
    VK_CHECK(poll.spend(COMPARE_WORK));
  }
  return std::nullopt;
}

std::expected<void, SpecError> fill(std::vector<Unit>& units, const StringsView& dictionary, Unit::Kind kind,
                                    std::string_view name, InterruptPoll& poll) {
  if (auto k = VK_TRY(find_dictionary_string(dictionary, name, poll))) units[*k] = Unit{kind, 0, std::string(name)};
  return {};
}

}  // namespace

std::string Unit::display() const {
  switch (kind) {
    case Kind::Track:
      return fmt::format("Track({})", track);
    case Kind::Asset:
      return fmt::format("Asset({})", name);
    case Kind::NoUnit:
      return "<none>";
    case Kind::Snapper:
      return fmt::format("Snapper({})", name);
    case Kind::Snap:
      return fmt::format("Snap({})", name);
    case Kind::Phrase:
      return fmt::format("Phrase({})", name);
  }
  return "<none>";
}

std::expected<std::vector<Unit>, SpecError> build_unit_table(const SnapperMap& snappers, const PhraseMap& phrases,
                                                             const TimetableColumns& columns) {
  const StringsView& unit_dict = columns.unit.dictionary;
  if (!unit_dict.utf8) return std::unexpected(SpecError::Message{"Error in units column, expected strings"});

  const auto asset = [&](std::size_t k) -> std::expected<Unit, SpecError> {
    if (!unit_dict.valid(k)) return Unit{};
    return Unit{Unit::Kind::Asset, 0, std::string(VK_TRY(unit_dict.at(k)))};
  };
  std::vector<Unit> units = VK_TRY(dictionary_table(unit_dict, UNIT_WORK, asset));
  InterruptPoll poll;

  const StringsView& track_dict = columns.track.dictionary;
  if (!track_dict.utf8) return std::unexpected(SpecError::Message{"Error in tracks column, expected strings"});
  for (std::size_t i = 0; i < track_dict.length; ++i) {
    VK_CHECK(poll.spend(COMPARE_WORK));
    if (!track_dict.valid(i)) return std::unexpected(SpecError::Message{"Missing Track Value"});
    if (auto k = VK_TRY(find_dictionary_string(unit_dict, VK_TRY(track_dict.at(i)), poll)))
      units[*k] = Unit{Unit::Kind::Track, i, {}};
  }

  for (const auto& [name, snapper] : snappers) {
    VK_CHECK(fill(units, unit_dict, Unit::Kind::Snapper, name, poll));
    for (const std::string& out : snapper.out) VK_CHECK(fill(units, unit_dict, Unit::Kind::Snap, out, poll));
  }
  for (const auto& [name, phrase] : phrases) VK_CHECK(fill(units, unit_dict, Unit::Kind::Phrase, name, poll));
  return units;
}

}  // namespace vornik
