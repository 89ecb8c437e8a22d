#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "engine/monitor/run.h"

namespace engine {
namespace {

TEST(Run, TargetsText) {
  EXPECT_EQ(targets_text({}, "none"), "none");
  EXPECT_EQ(targets_text({"Google"}, "none"), "Google");
  EXPECT_EQ(targets_text({"Google", "GitHub", "内网"}, "none"), "Google / GitHub / 内网");
}

TEST(Run, WaitHasAFloorOfFiveAndKeepsTheNumberKind) {
  struct Case {
    Seconds interval;
    int jitter;
    Seconds wait;
  };
  const Case cases[] = {
      {60LL, 15, 75LL},  {60LL, -15, 45LL}, {5LL, 0, 5LL},     {5LL, -3, 5LL},
      {12LL, -10, 5LL},  {12LL, -6, 6LL},   {7.5, 0, 7.5},     {7.5, -2, 5.5},
      {7.5, -3, 5LL},    {6LL, -1, 5LL},    {20.25, -15, 5.25},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(round_wait(c.interval, c.jitter), c.wait) << to_double(c.interval) << " " << c.jitter;
  }
}

TEST(Run, JitterCoversItsWholeRange) {
  std::set<int> seen;
  for (int i = 0; i < 5000; ++i) {
    const int j = draw_jitter();
    ASSERT_GE(j, kJitterMin);
    ASSERT_LE(j, kJitterMax);
    seen.insert(j);
  }
  EXPECT_EQ(seen.size(), 31u);
}

TEST(Run, BuiltInTargetsInTheirOrder) {
  const char* names[] = {"Google", "Google Scholar", "Gemini", "ChatGPT", "GitHub", "Claude", "NotebookLM", "LinkedIn"};
  for (std::size_t i = 0; i < kTargetToggles.size(); ++i) EXPECT_EQ(kTargetToggles[i].display_name, names[i]);
  EXPECT_EQ(kTargetToggles[1].state_file_setting, "STATE_FILE");
  EXPECT_EQ(kTargetToggles[1].check_function, "check_google");
}

}  // namespace
}  // namespace engine

#include "engine/monitor/rounds.h"

namespace engine {
namespace {

TEST(Run, KeptRoundsStopAtTheCap) {
  RoundLog kept;
  const std::vector<std::pair<std::string_view, bool>> results{{"Google", true}, {"db", false}};
  const std::vector<std::pair<std::string_view, std::int64_t>> none;
  for (std::int64_t round = 1; round <= static_cast<std::int64_t>(RoundLog::kKeep) + 1; ++round) {
    kept.append(round, "12:00:00", results, none);
  }
  EXPECT_EQ(kept.size(), 100000u);
  EXPECT_EQ(kept.round(0).number, 2);
  EXPECT_EQ(kept.round(kept.size() - 1).number, 100001);
  EXPECT_TRUE(kept.round(0).success(0) && !kept.round(0).success(1));
  EXPECT_EQ(kept.round(0).time, "12:00:00");
  EXPECT_EQ(kept.targets().size(), 2u);  // names are kept once, not per round
}

TEST(Run, ARoundWithoutLatencyKeepsNone) {
  RoundLog kept;
  kept.append(1, "12:00:00", {{"web", true}, {"ping", true}}, {});
  kept.append(2, "12:01:00", {{"web", true}, {"ping", true}, {"web", false}}, {{"ping", 0}});
  EXPECT_TRUE(kept.round(0).latency_targets.empty());
  ASSERT_EQ(kept.round(1).latency_targets.size(), 1u);
  EXPECT_EQ(kept.round(1).latency_ms[0], 0);  // a latency of 0 is a latency
  ASSERT_EQ(kept.round(1).result_targets.size(), 2u);  // a repeated name keeps its place and the later outcome
  EXPECT_FALSE(kept.round(1).success(0));
}

}  // namespace
}  // namespace engine

namespace engine {
namespace {

void expect_round(const RoundLog::RoundView& round, std::int64_t n) {
  ASSERT_EQ(round.number, n);
  ASSERT_EQ(round.latency_targets.size(), static_cast<std::size_t>(n % 3 + 1));
  for (std::size_t k = 0; k < round.latency_targets.size(); ++k) {
    ASSERT_EQ(round.latency_ms[k], n * 10 + static_cast<std::int64_t>(k)) << "round " << n;
    ASSERT_EQ(round.success(k), (n + static_cast<std::int64_t>(k)) % 2 == 0) << "round " << n;
  }
}

TEST(Run, KeptRoundsSurviveThePoolsBeingCompacted) {
  RoundLog kept(50);
  const std::string names[] = {"a", "b", "c"};
  for (std::int64_t n = 1; n <= 20000; ++n) {
    std::vector<std::pair<std::string_view, bool>> results;
    std::vector<std::pair<std::string_view, std::int64_t>> latency;
    for (std::int64_t k = 0; k <= n % 3; ++k) {
      results.emplace_back(names[k], (n + k) % 2 == 0);
      latency.emplace_back(names[k], n * 10 + k);
    }
    kept.append(n, "01:02:03", results, latency);
    // The oldest kept round is the one a cut of the pools could spoil first.
    ASSERT_NO_FATAL_FAILURE(expect_round(kept.round(0), std::max<std::int64_t>(1, n - 49)));
  }
  for (std::size_t i = 0; i < kept.size(); ++i) {
    ASSERT_NO_FATAL_FAILURE(expect_round(kept.round(i), 19951 + static_cast<std::int64_t>(i)));
  }
}

}  // namespace
}  // namespace engine
