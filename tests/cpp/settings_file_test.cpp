#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/monitor/settings_file.h"

namespace engine::settings {
namespace {

// A value that remembers whether it is the file's own or a bound, so the
// tests see that a value within bounds is kept as it is, not rebuilt.
struct Value {
  double number;
  bool is_bound;
};

std::vector<std::string> comparisons;
const auto greater = [](const Value& v, int n) {
  comparisons.push_back(">" + std::to_string(n));
  return v.number > n;
};
const auto less = [](const Value& v, int n) {
  comparisons.push_back("<" + std::to_string(n));
  return v.number < n;
};
const auto bound = [](int n) { return Value{static_cast<double>(n), true}; };

struct Case {
  double given;
  double expected;
  bool is_bound;
};

TEST(SettingsFile, IntervalIsAtLeastFiveSeconds) {
  const Case cases[] = {
      {3, 5, true}, {5, 5, true}, {5.5, 5.5, false}, {120, 120, false}, {7.5, 7.5, false},
      {0, 5, true}, {-1, 5, true}, {NAN, 5, true},  // NaN compares false: the bound
  };
  for (const auto& c : cases) {
    const Value got = clamp_interval(Value{c.given, false}, greater, bound);
    EXPECT_EQ(got.number, c.expected) << c.given;
    EXPECT_EQ(got.is_bound, c.is_bound) << c.given;
  }
}

TEST(SettingsFile, RetryCountIsOneToSix) {
  const Case cases[] = {
      {0, 1, true},  {-3, 1, true}, {10, 6, true},      {6, 6, true},     {4, 4, false},
      {1, 1, true},  {2, 2, false}, {2.5, 2.5, false},  {5.9, 5.9, false}, {NAN, 6, true},
  };
  for (const auto& c : cases) {
    const Value got = clamp_retry_count(Value{c.given, false}, less, greater, bound);
    EXPECT_EQ(got.number, c.expected) << c.given;
    EXPECT_EQ(got.is_bound, c.is_bound) << c.given;
  }
}

// The upper bound is tried first and the lower one on its outcome: with only
// one comparison possible before an error, the error comes from "< 6".
TEST(SettingsFile, RetryCountComparesUpperBoundFirst) {
  comparisons.clear();
  clamp_retry_count(Value{10, false}, less, greater, bound);
  EXPECT_EQ(comparisons, (std::vector<std::string>{"<6", ">1"}));

  int calls = 0;
  const auto refuses = [&](const Value&, int) -> bool {
    ++calls;
    throw std::invalid_argument("not comparable");
  };
  EXPECT_THROW(clamp_retry_count(Value{1, false}, refuses, refuses, bound), std::invalid_argument);
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace engine::settings
