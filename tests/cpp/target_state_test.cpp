#include <gtest/gtest.h>

#include "engine/monitor/target_state.h"

namespace engine {
namespace {

TEST(TargetState, DecideTable) {
  struct Case {
    const char* stored;
    bool success;
    Transition expected;
  };
  const Case cases[] = {
      {"DOWN", true, Transition::Recovered},  {"UP", true, Transition::StaysUp},
      {"down", true, Transition::StaysUp},    {"", true, Transition::StaysUp},
      {"UP", false, Transition::WentDown},    {"DOWN", false, Transition::AlreadyDown},
      {"Up", false, Transition::AlreadyDown}, {"", false, Transition::AlreadyDown},
  };
  for (const auto& c : cases) EXPECT_EQ(decide(c.stored, c.success), c.expected) << c.stored << " " << c.success;
}

TEST(TargetState, SanitizeName) {
  const std::pair<const char*, const char*> cases[] = {
      {"Local page", "Local_page"},
      {"my-api", "my_api"},
      {"a  b", "a__b"},
      {" (web) ", "web"},
      {"__x__", "x"},
      {"内网服务（备用）", "内网服务_备用"},
      {"___", ""},
      {"?!", ""},
      {"かな", ""},
      {"a\xED\x95\x9C" "b", "a_b"},            // Hangul
      {"a\xEF\xBC\x91" "b", "a_b"},            // full-width digit one
      {"caf\xC3\xA9" "x", "caf_x"},            // accented letter
      {"a\xF0\x9F\x98\x80" "b", "a_b"},        // outside the BMP: one underscore
      {"\xE4\xB8\x80\xE9\xBF\xBF", "\xE4\xB8\x80\xE9\xBF\xBF"},  // U+4E00 and U+9FFF kept
  };
  for (const auto& [name, expected] : cases) EXPECT_EQ(sanitize_name(name), expected) << name;
}

TEST(TargetState, CustomStateFileSharesNames) {
  EXPECT_EQ(custom_state_file("my api"), custom_state_file("my-api"));
  EXPECT_EQ(custom_state_file("!!"), "custom__state.json");
  EXPECT_THROW(sanitize_name("\xC3"), std::invalid_argument);
}

}  // namespace
}  // namespace engine
