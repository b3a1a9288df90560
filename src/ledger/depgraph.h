// The event dependency graph of a forward run: what the walk found for each
// row, kept until every later row is booked, then settled into the Ledger
// from the last row to the first.
#pragma once

#include <cstdint>
#include <expected>
#include <utility>
#include <variant>
#include <vector>

#include "ledger/ledger.h"
#include "timetable/errors.h"
#include "timetable/timetable.h"
#include "timetable/values.h"

namespace vornik {

struct NodeState {
  struct Empty {};
  // A value booked under the row's own op.
  struct Value {
    Values value;
  };
  // What the later rows booked on `track`, booked under the row's op.
  struct TrackRef {
    std::uint64_t track;
  };
  // A value blended into its track by the weight of the row's named op.
  struct Choice {
    Values value;
    Values weight;
  };
  std::variant<Empty, Value, TrackRef, Choice> v;
};

struct DepGraph {
  std::vector<NodeState> nodes;  // the node of row i at index i
};

DepGraph build_depgraph(const Timetable& timetable);

// Inline: the walk sets one node per row.
inline void set_node_value(DepGraph& graph, std::uint64_t row, Values&& value) {
  graph.nodes[row].v.emplace<NodeState::Value>(std::move(value));
}
inline void set_node_track_ref(DepGraph& graph, std::uint64_t row, std::uint64_t track) {
  graph.nodes[row].v.emplace<NodeState::TrackRef>(track);
}
inline void set_node_choice(DepGraph& graph, std::uint64_t row, Values&& value, Values&& weight) {
  graph.nodes[row].v.emplace<NodeState::Choice>(std::move(value), std::move(weight));
}

// Books every node, last row first, and leaves the graph empty. Errors are
// not wrapped with the row.
std::expected<void, EvaluationError> settle_event_graph(DepGraph& graph, Ledger& ledger, const Timetable& timetable,
                                                        std::uint32_t flags);

}  // namespace vornik
