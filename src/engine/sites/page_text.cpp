#include "engine/sites/page_text.h"

#include "engine/common/utf8.h"

namespace engine::sites {

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool is_space(char32_t cp) {
  // Characters of bidirectional class WS, B or S, or of category Zs.
  return (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x20) || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F ||
         cp == 0x3000;
}

std::string_view strip(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = 0;  // one past the last non-space code point
  bool seen = false;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t start = pos;
    if (!is_space(utf8::decode(text, pos))) {
      if (!seen) begin = start;
      seen = true;
      end = pos;
    }
  }
  return seen ? text.substr(begin, end - begin) : std::string_view();
}

}  // namespace engine::sites
