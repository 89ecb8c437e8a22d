#include "engine/common/visible_text.h"

#include "engine/common/utf8.h"

namespace engine {
namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_hex(std::string& out, std::string_view prefix, unsigned value, int digits) {
  out.append(prefix);
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out.push_back(kHex[(value >> shift) & 0xF]);
}

bool indent_follows(std::string_view text, std::size_t pos) {
  return pos < text.size() && (text[pos] == ' ' || text[pos] == '\t');
}

}  // namespace

std::string visible_text(std::string_view text, LineBreaks breaks) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    if (const char32_t surrogate = utf8::lone_surrogate_at(text, pos)) {
      append_hex(out, "\\u", surrogate, 4);
      pos += 3;
      continue;
    }
    bool valid = false;
    const std::size_t n = utf8::strict_step(text.substr(pos), valid);
    if (!valid) {
      for (std::size_t k = 0; k < n; ++k) append_hex(out, "\\x", static_cast<unsigned char>(text[pos + k]), 2);
      pos += n;
      continue;
    }
    std::size_t next = pos;
    const char32_t c = utf8::decode(text, next);
    if (c == U'\n') {
      if (breaks == LineBreaks::KeepIndented && indent_follows(text, next)) {
        out.push_back('\n');
        out.push_back(text[next++]);  // the indent, a tab included
      } else {
        out.append("\\n");
      }
    } else if (c == U'\r') {
      out.append("\\r");
    } else if (c == U'\t') {
      out.append("\\t");
    } else if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
      append_hex(out, "\\x", static_cast<unsigned>(c), 2);
    } else if (c == 0x2028 || c == 0x2029) {
      append_hex(out, "\\u", static_cast<unsigned>(c), 4);
    } else {
      out.append(text.substr(pos, n));
    }
    pos = next;
  }
  return out;
}

}  // namespace engine
