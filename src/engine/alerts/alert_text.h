#pragma once
// The notice text every channel renders from: a title line, then one
// "label：value" line per field. Parsing, the Feishu colour word and the
// Markdown of DingTalk and WeCom live here; nothing here reads a setting.
//
// Texts are UTF-8. Lone surrogates (which a Python str may hold) arrive in
// their three-byte form and pass through untouched, like any other letter.
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace engine::alerts {

// Stands between a field's label and its value in every notice text (U+FF1A).
inline constexpr std::string_view kFullWidthColon = "：";

// White space as Python's str.strip() and the regular expression \s see it:
// U+0009..U+000D, U+001C..U+001F, U+0020, U+0085, U+00A0, U+1680,
// U+2000..U+200A, U+2028, U+2029, U+202F, U+205F and U+3000. Returns the
// byte length of the space character that starts at text[pos], or 0.
std::size_t space_at(std::string_view text, std::size_t pos);

// text without white space at either end.
std::string_view strip(std::string_view text);

// Fields keep the order in which their labels first appeared; a repeated
// label keeps its place and takes the later value.
struct ParsedAlert {
  std::string title;
  std::vector<std::pair<std::string, std::string>> fields;
  bool operator==(const ParsedAlert&) const = default;
};

ParsedAlert parse_alert_msg(std::string_view msg);

// The header template of a Feishu card: "red", "carmine", "yellow", "green"
// or "blue", from the first mark found in the raw text.
std::string_view alert_card_color(std::string_view msg);

// "### title" and one "- **label**：value" line per field.
std::string format_markdown(std::string_view msg);
std::string format_markdown(const ParsedAlert& parsed);

}  // namespace engine::alerts
