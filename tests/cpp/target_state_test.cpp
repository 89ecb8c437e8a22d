#include <gtest/gtest.h>

#include <string>

#include "engine/common/file_name.h"
#include "engine/common/utf8.h"
#include "engine/monitor/target_state.h"
#include "engine/os/files.h"

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
      {"a\xED\xA0\x80" "b", "a_b"},        // a lone surrogate, as Python's surrogatepass writes it
  };
  for (const auto& [name, expected] : cases) EXPECT_EQ(sanitize_name(name), expected) << name;
}

TEST(TargetState, LongNamesGetShortStableFileNames) {
  const std::string longest_kept(kFileNameLimit - os::kTemporaryRoom - std::string("custom__state.json").size(), 'a');
  const std::string ideographs = [] {
    std::string s;
    for (int i = 0; i < 100; ++i) s += "内";
    return s;
  }();
  struct Case {
    std::string name;
    bool shortened;
  };
  const Case cases[] = {
      {"db main", false},
      {longest_kept, false},
      {longest_kept + "b", true},
      {std::string(250, 'x'), true},
      {std::string(1'000'000, 'y'), true},
      {ideographs, true},
  };
  for (const auto& c : cases) {
    const std::string file = custom_state_file(c.name);
    EXPECT_LE(file.size() + os::kTemporaryRoom, kFileNameLimit) << c.name.size();
    EXPECT_EQ(file == "custom_" + sanitize_name(c.name) + "_state.json", !c.shortened) << c.name.size();
    EXPECT_EQ(file.find('-') != std::string::npos, c.shortened) << c.name.size();
    EXPECT_EQ(file.substr(file.size() - 11), "_state.json");
    EXPECT_NO_THROW(utf8::length(file)) << "cut inside a character";
  }
  // Two long names that share their start still get files of their own, and
  // a name's file does not change from run to run.
  EXPECT_NE(custom_state_file(std::string(300, 'x') + "1"), custom_state_file(std::string(300, 'x') + "2"));
  EXPECT_EQ(custom_state_file(std::string(300, 'x')),
            "custom_" + std::string(kFileNameLimit - os::kTemporaryRoom - 7 - 17 - 11, 'x') + "-" +
                "e78ddf9f1ba85555" + "_state.json");
}

TEST(TargetState, FitFileNameKeepsItsEnds) {
  EXPECT_EQ(fit_file_name("20240101_120000_", "tag", ".png"), "20240101_120000_tag.png");
  const std::string tag(400, 't');
  const std::string fitted = fit_file_name("20240101_120000_", tag, ".png");
  EXPECT_EQ(fitted.size(), kFileNameLimit);
  EXPECT_EQ(fitted.substr(0, 20), "20240101_120000_tttt");
  EXPECT_EQ(fitted.substr(fitted.size() - 4), ".png");
  EXPECT_EQ(fit_file_name("20240102_000000_", tag, ".png").substr(16), fitted.substr(16)) << "the cut is the tag's own";
}

TEST(TargetState, CustomStateFileSharesNames) {
  EXPECT_EQ(custom_state_file("my api"), custom_state_file("my-api"));
  EXPECT_EQ(custom_state_file("!!"), "custom__state.json");
  EXPECT_THROW(sanitize_name("\xC3"), std::invalid_argument);
}

}  // namespace
}  // namespace engine
