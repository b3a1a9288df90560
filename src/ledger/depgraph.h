// The event dependency graph of a forward run: what the walk found for each
// row, kept until every later row is booked, then settled into the Ledger
// from the last row to the first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <new>
#include <utility>
#include <variant>
#include <vector>

#include "ledger/ledger.h"
#include "timetable/errors.h"
#include "timetable/pool.h"
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

// The memory of vector_alloc: the nodes of millions of rows lie on huge
// pages, which fault in and are given back many times faster.
template <class T>
struct PoolAllocator {
  using value_type = T;
  PoolAllocator() = default;
  template <class U>
  PoolAllocator(const PoolAllocator<U>&) {}
  T* allocate(std::size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(vector_alloc(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { vector_free(p, n * sizeof(T)); }
  template <class U>
  bool operator==(const PoolAllocator<U>&) const {
    return true;
  }
};

struct DepGraph {
  std::vector<NodeState, PoolAllocator<NodeState>> nodes;  // the node of row i at index i
};

// A node for every row, Empty.
DepGraph build_depgraph(const Timetable& timetable);
// Room for every row's node, none made: a walk adds them as it goes.
DepGraph reserve_depgraph(const Timetable& timetable);
// The nodes of rows [0, rows) exist.
inline void cover_rows(DepGraph& graph, std::size_t rows) {
  if (graph.nodes.size() < rows) graph.nodes.resize(rows);
}

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
