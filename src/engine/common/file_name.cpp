#include "engine/common/file_name.h"

#include <cstdint>

namespace engine {
namespace {

// FNV-1a over the name's bytes: fixed by its definition, so a file name made
// today is made again by every later run on every platform.
std::string hash_text(std::string_view text) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ULL;
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(16, '0');
  for (std::size_t i = out.size(); i-- > 0; hash >>= 4) out[i] = kDigits[hash & 0xF];
  return out;
}

bool continues_character(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

std::string fit_file_name(std::string_view prefix, std::string_view name, std::string_view suffix,
                          std::size_t limit) {
  if (prefix.size() + name.size() + suffix.size() <= limit) {
    return std::string(prefix).append(name).append(suffix);
  }
  return marked_file_name(prefix, name, name, suffix, '-', limit);
}

std::string marked_file_name(std::string_view prefix, std::string_view name, std::string_view whole,
                             std::string_view suffix, char separator, std::size_t limit) {
  const std::string mark = separator + hash_text(whole);
  const std::size_t fixed = prefix.size() + mark.size() + suffix.size();
  std::size_t cut = limit > fixed ? limit - fixed : 0;
  while (cut > 0 && cut < name.size() && continues_character(name[cut])) --cut;
  return std::string(prefix).append(name.substr(0, cut)).append(mark).append(suffix);
}

std::string case_blind_key(std::string_view file_name) {
  std::string key(file_name);
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

}  // namespace engine
