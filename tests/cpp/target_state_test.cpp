#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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
  // A name that fits the file system keeps its plain file name: the replace's
  // temporary shortens its own name when it must.
  const std::string longest_kept(kFileNameLimit - std::string("custom__state.json").size(), 'a');
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
      {std::string(210, 'x'), false},
      {std::string(250, 'x'), true},
      {std::string(1'000'000, 'y'), true},
      {ideographs, true},
  };
  for (const auto& c : cases) {
    const std::string file = custom_state_file(c.name);
    EXPECT_LE(file.size(), kFileNameLimit) << c.name.size();
    EXPECT_EQ(file == "custom_" + sanitize_name(c.name) + "_state.json", !c.shortened) << c.name.size();
    EXPECT_EQ(file.find('-') != std::string::npos, c.shortened) << c.name.size();
    EXPECT_EQ(file.substr(file.size() - 11), "_state.json");
    EXPECT_NO_THROW(utf8::length(file)) << "cut inside a character";
  }
  // Two long names that share their start still get files of their own, and
  // a name's file does not change from run to run.
  EXPECT_NE(custom_state_file(std::string(300, 'x') + "1"), custom_state_file(std::string(300, 'x') + "2"));
  EXPECT_EQ(custom_state_file(std::string(300, 'x')),
            "custom_" + std::string(kFileNameLimit - 7 - 17 - 11, 'x') + "-" + "e78ddf9f1ba85555" + "_state.json");
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

// Names whose plain file is taken by another target get one of their own,
// marked with a hash of the whole name: stable, distinct, and within the limit.
TEST(TargetState, OwnStateFilesAreStableAndDistinct) {
  const std::string korean_1 = "\xEC\x84\x9C\xEB\xB2\x84", korean_2 = "\xEC\x9E\xA5\xEC\xB9\x98";  // 서버, 장치
  EXPECT_EQ(custom_state_file(korean_1), custom_state_file(korean_2));
  const std::string own_1 = own_custom_state_file(korean_1), own_2 = own_custom_state_file(korean_2);
  EXPECT_NE(own_1, own_2);
  EXPECT_EQ(own_1, own_custom_state_file(korean_1));
  EXPECT_EQ(own_1.substr(0, 8), "custom_~");
  EXPECT_EQ(own_1.size(), std::string("custom_~0123456789abcdef_state.json").size());
  EXPECT_EQ(own_custom_state_file("DB").substr(0, 10), "custom_DB~");
  EXPECT_NE(own_custom_state_file("DB"), own_custom_state_file("db"));
  EXPECT_NE(own_custom_state_file("a\xED\xB3\xBF"), own_custom_state_file("a\xED\xB3\xBE")) << "lone surrogates";
  const std::string own_long = own_custom_state_file(std::string(1000, 'z'));
  EXPECT_EQ(own_long.size(), kFileNameLimit);
  // Never a long name's shortened file, even where the hashed texts agree.
  EXPECT_NE(own_long, custom_state_file(std::string(1000, 'z')));
}

// What a run finds of one target: its name, its plain file's key, the owner
// that file records, the "name" an earlier build may have recorded there, and
// when each file was saved (nothing: not there).
StateFileFinding F(std::string name, std::string key, std::optional<std::string> owner = {},
                   std::optional<std::string> earlier_owner = {}, std::optional<std::int64_t> plain_saved = {},
                   std::optional<std::int64_t> own_saved = {}) {
  return {std::move(name), std::move(key), std::move(owner), std::move(earlier_owner), plain_saved, own_saved};
}

// Which file each of a run's clashing targets takes, from what the run finds.
TEST(TargetState, ChooseStateFiles) {
  constexpr auto P = StateFile::Plain, O = StateFile::Own;
  constexpr std::int64_t kBefore = 1000, kAfter = 2000;
  const std::optional<std::string> none;
  const std::string seoul = "\xEC\x84\x9C\xEB\xB2\x84", device = "\xEC\x9E\xA5\xEC\xB9\x98";  // 서버, 장치
  const std::string server = "\xD1\x81\xD0\xB5\xD1\x80\xD0\xB2\xD0\xB5\xD1\x80";  // сервер
  const std::string lone = "a\xED\xB3\xBF", lone_other = "a\xED\xB3\xBE", long_name(255, 'n');
  const std::string control = "db\x01\x1f";
  struct Case {
    const char* what;
    std::vector<StateFileFinding> found;
    std::vector<StateFile> expected;
  };
  const Case cases[] = {
      {"new names: the first in order has the plain file", {F("db main", "k"), F("db-main", "k")}, {P, O}},
      {"no clash: each keeps its plain file", {F("a", "a"), F("b", "b")}, {P, P}},
      {"a plain file that records its name stays that target's, a clashing name added ahead of it",
       {F("db main", "k"), F("db-main", "k", "db-main", none, kAfter)}, {O, P}},
      {"a plain file recording another name is no one else's, that target switched off",
       {F("db-main", "k", "db main", none, kAfter)}, {O}},
      {"case-distinct plain files, each recording its own name",
       {F("DB", "k", "DB", none, kBefore), F("db", "k", "db", none, kAfter)}, {P, P}},
      {"case-distinct plain files, reordered",
       {F("db", "k", "db", none, kAfter), F("DB", "k", "DB", none, kBefore)}, {P, P}},
      {"one file for both where case does not count: the name it records keeps it",
       {F("db", "k", "DB", none, kAfter), F("DB", "k", "DB", none, kAfter)}, {O, P}},
      {"an own file saved last is kept, alone or reordered",
       {F("db-main", "k", none, none, kBefore, kAfter), F("db main", "k", "db main", none, kBefore)}, {O, P}},
      {"this build's record of its name outweighs an own file saved since",
       {F("db main", "k", "db main", none, kBefore, kAfter)}, {P}},
      {"an earlier build moved it back to its plain file, saved since: its own file is stale",
       {F("db main", "k", none, none, kAfter, kBefore)}, {P}},
      {"an earlier build's files, the same settings: the first in order has the plain file, saved in one round",
       {F("db-main", "k", none, none, kAfter), F("db main", "k", none, none, kAfter, kAfter)}, {P, O}},
      {"the same, reordered", {F("db main", "k", none, none, kAfter, kAfter), F("db-main", "k", none, none, kAfter)},
       {O, P}},
      {"an own file whose plain file, saved since, a target higher in the list takes",
       {F("db-main", "k", none, none, kAfter), F("db main", "k", none, none, kAfter, kBefore)}, {P, O}},
      {"the earlier build's record of its name keeps the file from a clashing name ahead",
       {F("db-main", "k"), F("db main", "k", none, "db main", kAfter)}, {O, P}},
      {"the earlier build kept it on its own file though its plain one records its name",
       {F("db", "k", none, "db", kBefore, kAfter)}, {O}},
      {"the earlier build's record of another, saved after the own file: the own file",
       {F("db main", "k", none, "db-main", kAfter, kBefore)}, {O}},
      {"a \"name\" of another and no own file: a person's note, the file is the target's",
       {F("web", "k", none, "Web front end", kAfter)}, {P}},
      {"this build's record outweighs a \"name\"", {F("db main", "k", "db-main", "db main", kAfter)}, {O}},
      {"an unrecorded plain file is taken only where no recorded owner has it",
       {F(seoul, "k", none, none, kAfter), F(device, "k", device, none, kAfter)}, {O, P}},
      {"names in any script, a lone surrogate, control characters, 255 bytes",
       {F(server, "k", none, none, kAfter), F(lone, "k", lone_other, none, kAfter),
        F(lone_other, "k", none, none, kAfter, kAfter), F(control, "c", none, control, kAfter),
        F(long_name, "l", long_name, none, kAfter)},
       {P, O, O, P, P}},
  };
  for (const auto& c : cases) EXPECT_EQ(choose_state_files(c.found), c.expected) << c.what;
}

TEST(TargetState, CustomStateFileSharesNames) {
  EXPECT_EQ(custom_state_file("my api"), custom_state_file("my-api"));
  EXPECT_EQ(custom_state_file("!!"), "custom__state.json");
  EXPECT_THROW(sanitize_name("\xC3"), std::invalid_argument);
}

}  // namespace
}  // namespace engine
