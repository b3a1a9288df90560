// Settlement of the event graph: the rows are booked from the last to the
// first, so each row meets exactly what the rows after it booked.
#include "ledger/depgraph.h"

#include <utility>

#include "timetable/interrupt.h"

namespace vornik {

DepGraph build_depgraph(const Timetable& timetable) {
  DepGraph graph;
  graph.nodes.resize(timetable.rows());
  return graph;
}

DepGraph reserve_depgraph(const Timetable& timetable) {
  DepGraph graph;
  graph.nodes.reserve(timetable.rows());
  return graph;
}

namespace {

// A node's work for the interrupt poll, in units of about a nanosecond, plus
// one per element of the ledger's vectors.
constexpr std::uint64_t NODE_WORK = 100;

// An Empty node books nothing. (Tests of the kind rather than a visitor: a
// visitor of capturing lambdas rebuilt its captures at every node.) Always
// inline in the settlement loop, where the call cost as much as a booking.
[[gnu::always_inline]] inline std::expected<void, EvaluationError> settle_node(NodeState& node, Ledger& ledger,
                                                                               const Timetable& timetable,
                                                                               std::uint64_t row, std::uint32_t flags) {
  if (auto* n = std::get_if<NodeState::Value>(&node.v)) {
    const std::uint64_t track = VK_TRY(timetable.track_at(row));
    const Op* op = VK_TRY(timetable.op_at(row));
    VK_CHECK(book_event_value(ledger, *op, track, std::move(n->value), row, flags));
  } else if (auto* n = std::get_if<NodeState::TrackRef>(&node.v)) {
    const std::uint64_t track = VK_TRY(timetable.track_at(row));
    const Op* op = VK_TRY(timetable.op_at(row));
    const Values* referenced = VK_TRY(get_track_value(ledger.values, n->track));
    // Copied before booking: a row may refer to its own track.
    VK_CHECK(book_event_value(ledger, *op, track, referenced->clone(), row, flags));
  } else if (auto* n = std::get_if<NodeState::Choice>(&node.v)) {
    const std::uint64_t track = VK_TRY(timetable.track_at(row));
    VK_CHECK(book_cashflow(ledger, std::move(n->weight), track, std::move(n->value), row, flags));
  }
  return {};
}

}  // namespace

std::expected<void, EvaluationError> settle_event_graph(DepGraph& graph, Ledger& ledger, const Timetable& timetable,
                                                        std::uint32_t flags) {
  while (!graph.nodes.empty()) {
    const std::uint64_t row = graph.nodes.size() - 1;
    VK_CHECK(settle_node(graph.nodes.back(), ledger, timetable, row, flags));
    graph.nodes.pop_back();
    VK_CHECK(ledger.poll.spend(NODE_WORK + ledger.len));
  }
  return {};
}

}  // namespace vornik
