#include "engine/common/visible_text.h"

namespace engine {
namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_escape(std::string& out, char kind, unsigned value, int digits) {
  out += '\\';
  out += kind;
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out += kHex[(value >> shift) & 0xF];
}

// The length of the well-formed UTF-8 sequence at text[i] (surrogates in
// their three-byte form included), or 0 when the byte starts none.
std::size_t sequence_length(std::string_view text, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
  const auto follows = [&](std::size_t k) { return i + k < text.size() && (b(k) & 0xC0) == 0x80; };
  const unsigned char lead = b(0);
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return follows(1) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    if (!follows(1) || !follows(2)) return 0;
    if (lead == 0xE0 && b(1) < 0xA0) return 0;  // overlong
    return 3;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    if (!follows(1) || !follows(2) || !follows(3)) return 0;
    if (lead == 0xF0 && b(1) < 0x90) return 0;  // overlong
    if (lead == 0xF4 && b(1) > 0x8F) return 0;  // beyond U+10FFFF
    return 4;
  }
  return 0;
}

}  // namespace

std::string visible_text(std::string_view text, LineBreaks breaks) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = sequence_length(text, i);
    if (n == 0) {
      append_escape(out, 'x', static_cast<unsigned char>(text[i]), 2);
      ++i;
      continue;
    }
    unsigned cp = static_cast<unsigned char>(text[i]);
    if (n == 2) cp = ((cp & 0x1Fu) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu);
    if (n == 3) {
      cp = ((cp & 0x0Fu) << 12) | ((static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 6) |
           (static_cast<unsigned char>(text[i + 2]) & 0x3Fu);
    }
    if (cp == '\n') {
      const bool indented = i + 1 < text.size() && (text[i + 1] == ' ' || text[i + 1] == '\t');
      if (breaks == LineBreaks::KeepIndented && indented) {
        out += '\n';
        out += text[i + 1];  // the indent itself, a tab included
        i += 2;
        continue;
      }
      out += "\\n";
    } else if (cp == '\r') {
      out += "\\r";
    } else if (cp == '\t') {
      out += "\\t";
    } else if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
      append_escape(out, 'x', cp, 2);
    } else if (n == 3 && (cp == 0x2028 || cp == 0x2029 || (cp >= 0xD800 && cp <= 0xDFFF))) {
      append_escape(out, 'u', cp, 4);
    } else {
      out.append(text.substr(i, n));
    }
    i += n;
  }
  return out;
}

}  // namespace engine
