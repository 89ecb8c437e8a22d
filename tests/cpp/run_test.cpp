#include <gtest/gtest.h>

#include <set>

#include "engine/run.h"

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

#include "engine/rounds.h"

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
  EXPECT_EQ(kept.rounds().front().number, 2);
  EXPECT_EQ(kept.rounds().back().number, 100001);
  EXPECT_EQ(kept.targets().size(), 2u);  // names are kept once, not per round
}

TEST(Run, ARoundWithoutLatencyKeepsNone) {
  RoundLog kept;
  kept.append(1, "12:00:00", {{"web", true}, {"ping", true}}, {});
  kept.append(2, "12:01:00", {{"web", true}, {"ping", true}, {"web", false}}, {{"ping", 0}});
  EXPECT_TRUE(kept.rounds()[0].latency.empty());
  ASSERT_EQ(kept.rounds()[1].latency.size(), 1u);
  EXPECT_EQ(kept.rounds()[1].latency[0].ms, 0);  // a latency of 0 is a latency
  ASSERT_EQ(kept.rounds()[1].results.size(), 2u);  // a repeated name keeps its place and the later outcome
  EXPECT_FALSE(kept.rounds()[1].results[0].success);
}

}  // namespace
}  // namespace engine
