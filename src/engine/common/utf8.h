#pragma once
// Just enough UTF-8 for the rules that count characters the way Python does
// (one code point is one character), and for reading text as Python's strict
// decoder reads it.
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

// The code point of a lone surrogate (U+D800..U+DFFF) whose three-byte form
// starts at text[pos], as Python's "surrogatepass" writes one; 0 when none
// does. Strict UTF-8 has no such form, so the rules that carry Python's text
// (the JSON writer, the visible form of a text) recognise it here.
char32_t lone_surrogate_at(std::string_view text, std::size_t pos);

// How many bytes at the start of a non-empty text Python's strict decoder
// (no overlong forms, no surrogates, nothing above U+10FFFF) takes as one
// step: a whole character, and valid is set; or else the longest start of a
// character that the text breaks off or cuts short, at least one byte.
std::size_t strict_step(std::string_view text, bool& valid);

}  // namespace engine::utf8
