#pragma once
// Text rules of the page checks that must agree with the host language's
// own string operations on UTF-8 text.
#include <string>
#include <string_view>

namespace engine::sites {

// Only A-Z become a-z; every other byte stays.
std::string ascii_lower(std::string_view text);

// Whitespace as Python's str.isspace() sees it (Unicode-aware: also the
// no-break space U+00A0, the ideographic space U+3000 and their kin, but not
// the zero-width space U+200B).
bool is_space(char32_t cp);

// The text without leading and trailing whitespace, as str.strip() gives it.
// Throws std::invalid_argument on malformed UTF-8.
std::string_view strip(std::string_view text);

}  // namespace engine::sites
