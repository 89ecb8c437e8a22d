#pragma once
// File names made from names of any length. One name component holds at most
// 255 bytes on Linux and 255 UTF-16 units on Windows; a text never has more
// UTF-16 units than UTF-8 bytes, so counting bytes keeps both.
#include <cstddef>
#include <string>
#include <string_view>

namespace engine {

inline constexpr std::size_t kFileNameLimit = 255;

// prefix + name + suffix, unchanged when it fits in limit bytes. A longer one
// keeps prefix and suffix whole and puts in the place of name its start, cut
// at a character boundary, then "-" and 16 hex digits of a hash of the whole
// name, filling limit. The same name always gives the same file name, and two
// names meet only when both their starts and the hashes of their whole texts
// do.
std::string fit_file_name(std::string_view prefix, std::string_view name, std::string_view suffix,
                          std::size_t limit = kFileNameLimit);

}  // namespace engine
