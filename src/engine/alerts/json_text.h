#pragma once
// Just enough JSON for the robots: writing string literals for the bodies we
// post, and reading the members of a reply. Texts are UTF-8 and stay so.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace engine::alerts::json {

// Appends text as a JSON string literal; non-ASCII characters are kept as they are.
void append_string(std::string& out, std::string_view text);

// A member's value: as written in the reply, and a string's content.
struct Value {
  std::string source;
  std::optional<std::string> text;
  // As a person reads it: a string's content, anything else as written.
  std::string shown() const { return text ? *text : source; }
};

// A parsed reply: whether its top-level value is an object, and if so its
// members in order (a repeated name appears twice).
struct Document {
  bool is_object = false;
  std::vector<std::pair<std::string, Value>> members;
};

// Reads one whole JSON document, as Python's json module accepts it (NaN and
// Infinity included; any depth of nesting). Nothing when it is not JSON.
std::optional<Document> parse(std::string_view text);

// Whether a value's source text is a JSON number equal to zero.
bool is_zero(std::string_view value);

}  // namespace engine::alerts::json
