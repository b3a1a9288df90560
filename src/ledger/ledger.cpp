// Booking into the Ledger: the track values, the cashflows each event pays
// (voided or scaled by the earlier rows booked after it) and the choice
// indicators of ">" and "<" events. Every loop runs over plain buffers.
#include "ledger/ledger.h"

#include <utility>

#include "timetable/pool.h"

namespace vornik {

namespace {

// vector_alloc as a memory resource: an arena's buffers lie on huge pages.
class PoolResource final : public std::pmr::memory_resource {
  void* do_allocate(std::size_t bytes, std::size_t) override { return vector_alloc(bytes); }
  void do_deallocate(void* p, std::size_t bytes, std::size_t) override { vector_free(p, bytes); }
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }
};
PoolResource pool_resource;  // stateless: one for every arena

// An arena whose first buffer lies beside it: a ledger of a few tracks makes
// one allocation in all.
struct Arena final : std::pmr::monotonic_buffer_resource {
  Arena() : monotonic_buffer_resource(first, sizeof first, &pool_resource) {}
  alignas(std::max_align_t) std::byte first[1024];
};

// Vectors that cannot be combined elementwise; the data model admits only
// lengths len and 1, so this guards against arrays from user code.
OpError length_error(std::size_t left, std::size_t right) {
  return OpError::Spec{SpecError::Message{length_mismatch_text(left, right)}};
}

// `other` may be read alongside a vector of length n: the same length, or one element.
std::expected<void, OpError> check_alongside(std::size_t n, std::size_t other) {
  if (other == n || other == 1) return {};
  return std::unexpected(length_error(n, other));
}

Values& insert_track_value(Ledger& ledger, std::uint64_t track, Values&& value) {
  Values& inserted = ledger.values.emplace(track, std::move(value)).first->second;
  ledger.booked.put(track, &inserted);
  return inserted;
}

// values[track], first inserted as zeros: the first event booked meets zero.
Values& track_value(Ledger& ledger, std::uint64_t track) {
  if (Values* current = booking::find_track_value(ledger, track)) return *current;
  return insert_track_value(ledger, track, Values::zeros(ledger.len));
}

// Work of a booked cashflow that a booking revisits, for the interrupt poll,
// in units of about a nanosecond, plus one per element.
constexpr std::uint64_t CASHFLOW_WORK = 20;
// A row counted by expect_cashflows, and the fewest rows it counts.
constexpr std::uint64_t COUNT_WORK = 2;
constexpr std::size_t COUNTED_ROWS = std::size_t{1} << 16;

bool is_compare(const Op& op) { return op.kind == Op::Kind::Max || op.kind == Op::Kind::Min; }

bool is_single_zero(const Values& value) { return value.size() == 1 && value[0] == 0.0; }

// won[i] = value[i] > current[i] (Max) or value[i] < current[i] (Min); NaN never wins.
template <class Beats>
void fill_won(Won& won, const Values& current, const Values& value, Beats beats) {
  const std::size_t n = current.size();
  bool* w = won.data();
  const double* c = current.data();
  const double* x = value.data();
  if (value.size() == n) {
    for (std::size_t i = 0; i < n; ++i) w[i] = beats(x[i], c[i]);
  } else {
    const double x0 = x[0];
    for (std::size_t i = 0; i < n; ++i) w[i] = beats(x0, c[i]);
  }
}

std::expected<Won, OpError> winning_paths(const Values& current, const Values& value, const Op& op) {
  VK_CHECK(check_alongside(current.size(), value.size()));
  Won won = Won::uninit(current.size());
  if (op.kind == Op::Kind::Max) {
    fill_won(won, current, value, [](double x, double c) { return x > c; });
  } else {
    fill_won(won, current, value, [](double x, double c) { return x < c; });
  }
  return won;
}

// The cashflows that later rows booked on the track pay nothing where this event wins.
std::expected<void, OpError> void_cashflows(Ledger& ledger, std::uint64_t track, const Won& won) {
  auto it = ledger.cashflows.find(track);
  if (it == ledger.cashflows.end()) return {};
  for (auto& [event, cashflow] : it->second) {
    VK_CHECK(ledger.poll.spend(CASHFLOW_WORK + cashflow.size()));
    if (won.size() != cashflow.size()) return std::unexpected(length_error(cashflow.size(), won.size()));
    double* c = cashflow.data();
    const bool* w = won.data();
    for (std::size_t i = 0; i < cashflow.size(); ++i) c[i] = w[i] ? 0.0 : c[i];
  }
  return {};
}

// c[i] × (1 − w[i]) + x[i] × w[i], a narrow side's one element repeated.
template <bool WideWeight, bool WideValue>
void blend(double* c, const double* w, const double* x, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const double wi = w[WideWeight ? i : 0];
    c[i] = c[i] * (1.0 - wi) + x[WideValue ? i : 0] * wi;
  }
}

// current × (1 − weight) + value × weight in current's own buffer: the same
// operations, in the same order, as the blend of three vectors. False when
// the result would not have current's length.
bool blend_in_place(Values& current, const Values& weight, const Values& value) {
  const std::size_t n = current.size();
  const bool wide_weight = weight.size() == n;
  const bool wide_value = value.size() == n;
  if ((!wide_weight && weight.size() != 1) || (!wide_value && value.size() != 1)) return false;
  double* c = current.data();
  if (wide_weight && wide_value) {
    blend<true, true>(c, weight.data(), value.data(), n);
  } else if (wide_weight) {
    blend<true, false>(c, weight.data(), value.data(), n);
  } else if (wide_value) {
    blend<false, true>(c, weight.data(), value.data(), n);
  } else {
    blend<false, false>(c, weight.data(), value.data(), n);
  }
  return true;
}

}  // namespace

LedgerArena::LedgerArena() : resource_(std::make_unique<Arena>()) {}

namespace booking {

std::expected<const Values*, OpError> cashflow_step(Ledger& ledger, const Op& op, std::uint64_t track, Values& value,
                                                    std::uint64_t event) {
  if (is_compare(op)) {
    Won won = VK_TRY(winning_paths(track_value(ledger, track), value, op));
    VK_CHECK(void_cashflows(ledger, track, won));
    if (!is_single_zero(value)) {
      Values paid = VK_TRY(mask_value(won, value));
      VK_CHECK(book_track_event_cashflow(ledger, event, track, std::move(paid)));
    }
  } else if (op.kind == Op::Kind::Add) {
    if (value.size() == ledger.len) return book_track_event_cashflow(ledger, event, track, std::move(value));
    VK_CHECK(book_track_event_cashflow(ledger, event, track, value.clone()));
  }
  return &value;
}

std::expected<void, OpError> choice_step(Ledger& ledger, const Op& op, std::uint64_t track, const Values& value,
                                         std::uint64_t event) {
  Mask mask = Mask::zeros(ledger.len);
  VK_CHECK(choice_mask(track_value(ledger, track), mask, value, op, 1));
  book_track_event_choice(ledger.choices, event, track, std::move(mask));
  return {};
}

// Computed without the zeros where the op and the lengths allow.
std::expected<void, OpError> first_value(Ledger& ledger, const Op& op, std::uint64_t track, Values& value,
                                         const Values& operand) {
  if (op.kind == Op::Kind::NoOp || op.kind == Op::Kind::Named ||
      (operand.size() != ledger.len && operand.size() != 1)) {
    auto applied = apply_op(op, insert_track_value(ledger, track, Values::zeros(ledger.len)), operand);
    if (!applied) return std::unexpected(OpError::Spec{std::move(applied).error()});
    return {};
  }
  auto first = &operand == &value ? apply_op_to_zeros(op, ledger.len, std::move(value))
                                  : apply_op_to_zeros(op, ledger.len, operand);
  if (!first) return std::unexpected(OpError::Spec{std::move(first).error()});
  insert_track_value(ledger, track, std::move(*first));
  return {};
}

Values* find_uncached(Ledger& ledger, std::uint64_t track) {
  auto it = ledger.values.find(track);
  if (it == ledger.values.end()) return nullptr;
  ledger.booked.put(track, &it->second);
  return &it->second;
}

}  // namespace booking

std::expected<void, OpError> book_cashflow(Ledger& ledger, Values&& weight, std::uint64_t track, Values&& value,
                                           std::uint64_t event, std::uint32_t flags) {
  const auto one_minus = [](double w) { return 1.0 - w; };
  if (flags & FLAG_CASHFLOW) {
    Values factor = Values::uninit(weight.size());
    for (std::size_t i = 0; i < weight.size(); ++i) factor[i] = one_minus(weight[i]);
    VK_CHECK(scale_track_cashflows(ledger, track, factor));
    if (!is_single_zero(value)) {
      auto paid = multiply(weight, value);
      if (!paid) return std::unexpected(length_error(paid.error().left, paid.error().right));
      VK_CHECK(book_track_event_cashflow(ledger, event, track, std::move(*paid)));
    }
  }
  Values& current = track_value(ledger, track);
  if (blend_in_place(current, weight, value)) return {};
  // current × (1 − weight) + value × weight, in that order of operations.
  auto kept = zip_with(current, weight, [&](double c, double w) { return c * one_minus(w); });
  if (!kept) return std::unexpected(length_error(kept.error().left, kept.error().right));
  auto taken = multiply(value, weight);
  if (!taken) return std::unexpected(length_error(taken.error().left, taken.error().right));
  auto blended = zip_with(*kept, *taken, [](double k, double t) { return k + t; });
  if (!blended) return std::unexpected(length_error(blended.error().left, blended.error().right));
  current = std::move(*blended);
  return {};
}

std::expected<const Values*, OpError> get_track_value(const U64Map<Values>& values, std::uint64_t track) {
  auto it = values.find(track);
  if (it == values.end()) return std::unexpected(OpError::TrackNotFound{track});
  return &it->second;
}

std::expected<const Values*, OpError> book_track_event_cashflow(Ledger& ledger, std::uint64_t event,
                                                                std::uint64_t track, Values vector) {
  if (vector.size() == 1 && ledger.len != 1) {
    vector = Values::filled(ledger.len, vector[0]);
  } else if (vector.size() != ledger.len) {
    // The only error the book has for a length mismatch.
    return std::unexpected(OpError::TrackNotFound{track});
  }
  auto [book, fresh] = ledger.cashflows.try_emplace(track);
  if (fresh && track < ledger.cashflow_rows.size()) book->second.reserve(ledger.cashflow_rows[track]);
  Values& booked = book->second[event];
  booked = std::move(vector);
  return &booked;
}

std::expected<void, Interrupted> expect_cashflows(Ledger& ledger, const Timetable& timetable) {
  // A short timetable's books rehash in well under a millisecond; a track
  // dictionary longer than the rows (a sliced batch keeps its table's) is
  // not worth a count per entry.
  const std::size_t tracks = timetable.columns.track.dictionary.length;
  if (timetable.rows() < COUNTED_ROWS || tracks > timetable.rows()) return {};
  std::vector<std::uint64_t>& rows = ledger.cashflow_rows;
  rows.assign(tracks, 0);
  return in_pieces(ledger.poll, timetable.rows(), COUNT_WORK, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i)
      if (auto track = timetable.track_at(i); track && *track < rows.size()) ++rows[*track];  // else the booking fails
  });
}

void book_track_event_choice(U64Map<U64Map<Mask>>& choices, std::uint64_t event, std::uint64_t track, Mask mask) {
  choices[event][track] = std::move(mask);
}

std::expected<void, OpError> scale_track_cashflows(Ledger& ledger, std::uint64_t track, const Values& factor) {
  auto it = ledger.cashflows.find(track);
  if (it == ledger.cashflows.end()) return {};
  for (auto& [event, cashflow] : it->second) {
    VK_CHECK(ledger.poll.spend(CASHFLOW_WORK + cashflow.size()));
    VK_CHECK(check_alongside(cashflow.size(), factor.size()));
    double* c = cashflow.data();
    const double* f = factor.data();
    if (factor.size() == cashflow.size()) {
      for (std::size_t i = 0; i < cashflow.size(); ++i) c[i] *= f[i];
    } else {
      const double f0 = f[0];
      for (std::size_t i = 0; i < cashflow.size(); ++i) c[i] *= f0;
    }
  }
  return {};
}

std::expected<void, OpError> choice_mask(const Values& current, Mask& mask, const Values& value, const Op& op,
                                         std::uint64_t mark) {
  if (mask.size() != current.size()) return std::unexpected(length_error(mask.size(), current.size()));
  if (!is_compare(op)) return {};
  Won won = VK_TRY(winning_paths(current, value, op));
  std::uint64_t* m = mask.data();
  const bool* w = won.data();
  for (std::size_t i = 0; i < mask.size(); ++i) m[i] = w[i] ? mark : m[i];
  return {};
}

std::expected<Values, OpError> mask_value(const Won& won, const Values& value) {
  VK_CHECK(check_alongside(won.size(), value.size()));
  const std::size_t n = won.size();
  Values out = Values::uninit(n);
  double* o = out.data();
  const bool* w = won.data();
  const double* x = value.data();
  if (value.size() == n) {
    for (std::size_t i = 0; i < n; ++i) o[i] = w[i] ? x[i] : 0.0;
  } else {
    const double x0 = x[0];
    for (std::size_t i = 0; i < n; ++i) o[i] = w[i] ? x0 : 0.0;
  }
  return out;
}

}  // namespace vornik
