#pragma once
// Just enough UTF-8 for the rules that count characters the way Python does
// (one code point is one character).
#include <cstddef>
#include <string>
#include <string_view>

namespace engine::utf8 {

// Decodes the code point at text[pos] and advances pos past it. Throws
// std::invalid_argument on a malformed sequence.
char32_t decode(std::string_view text, std::size_t& pos);

// Appends the UTF-8 form of a code point.
void append(std::string& out, char32_t cp);

// Number of code points.
std::size_t length(std::string_view text);

// The first n code points of text (all of it when shorter).
std::string_view prefix(std::string_view text, std::size_t n);

}  // namespace engine::utf8
