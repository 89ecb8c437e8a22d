#include "engine/common/utf8.h"

#include <stdexcept>

namespace engine::utf8 {

char32_t decode(std::string_view text, std::size_t& pos) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(pos);
  std::size_t extra = 0;
  char32_t cp = 0;
  if (lead < 0x80) {
    ++pos;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    extra = 1;
    cp = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2;
    cp = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3;
    cp = lead & 0x07;
  } else {
    throw std::invalid_argument("invalid UTF-8 text");
  }
  if (pos + extra >= text.size()) throw std::invalid_argument("invalid UTF-8 text");
  for (std::size_t k = 1; k <= extra; ++k) {
    const unsigned char c = byte(pos + k);
    if ((c & 0xC0) != 0x80) throw std::invalid_argument("invalid UTF-8 text");
    cp = (cp << 6) | (c & 0x3F);
  }
  pos += extra + 1;
  return cp;
}

void append(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::size_t length(std::string_view text) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < text.size(); ++n) decode(text, i);
  return n;
}

std::string_view prefix(std::string_view text, std::size_t n) {
  std::size_t i = 0;
  for (std::size_t k = 0; k < n && i < text.size(); ++k) decode(text, i);
  return text.substr(0, i);
}

char32_t lone_surrogate_at(std::string_view text, std::size_t pos) {
  if (pos + 2 >= text.size() || static_cast<unsigned char>(text[pos]) != 0xED) return 0;
  const auto second = static_cast<unsigned char>(text[pos + 1]);
  const auto third = static_cast<unsigned char>(text[pos + 2]);
  if ((second & 0xE0) != 0xA0 || (third & 0xC0) != 0x80) return 0;
  return 0xD000u | ((second & 0x3Fu) << 6) | (third & 0x3Fu);
}

std::size_t strict_step(std::string_view text, bool& valid) {
  valid = false;
  const auto lead = static_cast<unsigned char>(text[0]);
  std::size_t n = 0;
  unsigned char low = 0x80, high = 0xBF;  // where the second byte must lie
  if (lead < 0x80) {
    n = 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 1;
  }
  for (std::size_t k = 1; k < n; ++k) {
    if (k == text.size()) return k;
    const auto c = static_cast<unsigned char>(text[k]);
    if (c < low || c > high) return k;
    low = 0x80;
    high = 0xBF;
  }
  valid = true;
  return n;
}

}  // namespace engine::utf8
