#include <gtest/gtest.h>

#include <string>

#include "engine/common/visible_text.h"

namespace engine {
namespace {

using namespace std::string_literals;

struct VisibleCase {
  LineBreaks breaks;
  std::string text;
  std::string shown;
};

std::string repeated(const std::string& piece, int times) {
  std::string out;
  for (int k = 0; k < times; ++k) out += piece;
  return out;
}

TEST(VisibleText, ControlCharactersReadAsEscapes) {
  constexpr LineBreaks E = LineBreaks::Escape;
  constexpr LineBreaks K = LineBreaks::KeepIndented;
  const VisibleCase cases[] = {
      {E, "", ""},
      {E, "2024-01-01 08:00:00", "2024-01-01 08:00:00"},
      // A stored time that would clear the screen and home the cursor.
      {E, "\x1b[2J\x1b[H2024-01-01", "\\x1b[2J\\x1b[H2024-01-01"},
      {E, "a\nb\rc\td", "a\\nb\\rc\\td"},
      {E, "\0\x01\x07\x08\x0b\x0c\x1f"s, "\\x00\\x01\\x07\\x08\\x0b\\x0c\\x1f"},
      {E, "\x7f", "\\x7f"},
      // C1 controls: NEL, the one-byte CSI and OSC, their ends; the blank after them is no control.
      {E, "\u0080|\u0085|\u009b|\u009d|\u009f|\u00a0", "\\x80|\\x85|\\x9b|\\x9d|\\x9f|\u00a0"},
      {E, "a\u2028b\u2029c", "a\\u2028b\\u2029c"},
      // Bytes that are not UTF-8: a stray byte, cut-off sequences, an overlong
      // form, a lead byte cut short by an ASCII one; a lone surrogate in the
      // form a Python text crosses in, as Python's escape of it.
      {E, "\xff", "\\xff"},
      {E, "ab\xc3", "ab\\xc3"},
      {E, "\xe2\x82", "\\xe2\\x82"},
      {E, "\xc0\xaf", "\\xc0\\xaf"},
      {E, "\xed\xb3\xbf", "\\udcff"},
      {E, "a\xed\xa0\x80" "b\xed\xb3", "a\\ud800b\\xed\\xb3"},
      {E, "\xe2(\xa1", "\\xe2(\\xa1"},
      // Already visible: Python's escape of a lone surrogate, backslashes of a path.
      {E, "\\udcff", "\\udcff"},
      {E, "C:\\new\\table \\x1b", "C:\\new\\table \\x1b"},
      {E, "监控 모니터 Мониторинг 🚨 ✅ 时间<1ms", "监控 모니터 Мониторинг 🚨 ✅ 时间<1ms"},
      // A name at the file system's 255-byte limit: Hangul as it is, controls four times as long.
      {E, repeated("한", 85), repeated("한", 85)},
      {E, repeated("\x1b", 255), repeated("\\x1b", 255)},
      {E, "Page.goto: Timeout\n  Call log:\n\t- navigating", "Page.goto: Timeout\\n  Call log:\\n\\t- navigating"},
      // Indented continuation lines stay lines; any other line break could pass for a record.
      {K, "Page.goto: Timeout\n  Call log:\n\t- navigating", "Page.goto: Timeout\n  Call log:\n\t- navigating"},
      {K, "a\n\t\tb", "a\n\t\\tb"},
      {K, "ok\n2024-01-01 08:00:00 - ERROR - forged", "ok\\n2024-01-01 08:00:00 - ERROR - forged"},
      {K, "a\n", "a\\n"},
      {K, "a\n\n b", "a\\n\n b"},
      {K, "a\r\n  b", "a\\r\n  b"},
      {K, "a\n\u3000b", "a\\n\u3000b"},
      {K, "a\n \x1b[2J", "a\n \\x1b[2J"},
  };
  for (const auto& c : cases) EXPECT_EQ(visible_text(c.text, c.breaks), c.shown) << c.text;
}

}  // namespace
}  // namespace engine
