// Value buffers across their storage: a buffer of at most one element keeps
// it inline, so moves must carry the element and release() must still hand
// NumPy heap memory that free_raw frees.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "timetable/values.h"

namespace vornik {
namespace {

using Vec = std::vector<double>;

Values values_of(std::size_t n) {
  Values v = Values::uninit(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = 1.5 + static_cast<double>(i);
  return v;
}

Vec contents(const Values& v) { return {v.begin(), v.end()}; }

bool inside(const void* p, const Values& v) {
  const auto* at = static_cast<const char*>(p);
  const auto* object = reinterpret_cast<const char*>(&v);
  return at >= object && at < object + sizeof v;
}

// (length moved, length of the buffer it is moved onto)
class BufferMove : public ::testing::TestWithParam<std::pair<std::size_t, std::size_t>> {};

TEST_P(BufferMove, CarriesTheElementsAndEmptiesTheSource) {
  const auto [n, m] = GetParam();
  const Vec expected = contents(values_of(n));

  Values source = values_of(n);
  Values built(std::move(source));
  EXPECT_EQ(contents(built), expected);
  EXPECT_TRUE(source.empty());
  EXPECT_EQ(source.data(), nullptr);
  EXPECT_FALSE(inside(built.data(), source)) << "points into the moved-from buffer";

  Values target = values_of(m);
  target = std::move(built);
  EXPECT_EQ(contents(target), expected);
  EXPECT_TRUE(built.empty());
  EXPECT_EQ(inside(target.data(), target), n <= 1) << "at most one element stays inline";

  Values& same = target;
  target = std::move(same);
  EXPECT_EQ(contents(target), expected);
}

INSTANTIATE_TEST_SUITE_P(Lengths, BufferMove,
                         ::testing::Values(std::pair<std::size_t, std::size_t>{0, 0}, std::pair{1, 0}, std::pair{1, 1},
                                           std::pair{1, 4}, std::pair{4, 1}, std::pair{4, 3}, std::pair{0, 4}));

class BufferRelease : public ::testing::TestWithParam<std::size_t> {};

TEST_P(BufferRelease, HandsOverHeapMemoryThatFreeRawFrees) {
  const std::size_t n = GetParam();
  Values v = values_of(n);
  auto raw = std::move(v).release();
  ASSERT_NE(raw.data, nullptr);
  EXPECT_FALSE(inside(raw.data, v));
  EXPECT_EQ(Vec(raw.data, raw.data + raw.len), contents(values_of(n)));
  EXPECT_TRUE(v.empty());
  Values::free_raw(raw.data, raw.len, raw.cap);  // an inline address would abort here
}

INSTANTIATE_TEST_SUITE_P(Lengths, BufferRelease, ::testing::Values(0, 1, 4));

TEST(BufferRelease, MovedFromBufferHandsOverRealMemory) {
  Values v = values_of(1);
  Values taken = std::move(v);
  auto raw = std::move(v).release();
  ASSERT_NE(raw.data, nullptr);
  EXPECT_EQ(raw.len, 0u);
  Values::free_raw(raw.data, raw.len, raw.cap);
}

}  // namespace
}  // namespace vornik
