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
