#include "engine/os/files.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "engine/os/native_path.h"

#ifndef _WIN32
#include <signal.h>
#endif

namespace engine::os {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kTemporaryMark = ".tmp-";

std::string utf8_name(const fs::path& path) {
  const std::u8string name = path.filename().u8string();
  return std::string(name.begin(), name.end());
}

// Digits only, at least one; false for anything else or a value too large.
bool parse_number(std::string_view digits, unsigned long& value) {
  if (digits.empty() || digits.size() > 18) return false;
  value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  return true;
}

// Whether the process that wrote a temporary may still be writing it.
bool may_still_write(unsigned long pid) {
#ifdef _WIN32
  // A writer there holds its temporary open without delete sharing, so the
  // removal of a temporary in use fails by itself.
  (void)pid;
  return false;
#else
  // EPERM: the process exists but belongs to another user.
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
#endif
}

}  // namespace

std::string temporary_stem(std::string_view file_name) {
  if (file_name.size() + kTemporaryRoom <= kFileNameLimit) return std::string(file_name);
  std::size_t cut = kFileNameLimit - kTemporaryRoom;
  // Back to the first byte of a UTF-8 character.
  while (cut > 0 && (static_cast<unsigned char>(file_name[cut]) & 0xC0) == 0x80) --cut;
  return std::string(file_name.substr(0, cut));
}

std::string temporary_base(const std::string& path) {
#ifdef _WIN32
  const std::size_t slash = path.find_last_of("/\\");
#else
  const std::size_t slash = path.find_last_of('/');
#endif
  const std::size_t name_at = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(0, name_at) + temporary_stem(std::string_view(path).substr(name_at)) + std::string(kTemporaryMark);
}

bool is_temporary_of(std::string_view name, std::string_view file_name, unsigned long& pid) {
  if (file_name.empty()) return false;
  const std::string stem = temporary_stem(file_name);
  if (name.size() <= stem.size() + kTemporaryMark.size()) return false;
  if (name.substr(0, stem.size()) != stem) return false;
  std::string_view rest = name.substr(stem.size());
  if (rest.substr(0, kTemporaryMark.size()) != kTemporaryMark) return false;
  rest.remove_prefix(kTemporaryMark.size());
  const std::size_t dash = rest.find('-');
  unsigned long number = 0;
  if (dash != std::string_view::npos && !parse_number(rest.substr(dash + 1), number)) return false;
  return parse_number(rest.substr(0, dash), pid);
}

void remove_left_temporaries(const std::string& path) noexcept {
  try {
    const fs::path file = native_path(path);
    const std::string file_name = utf8_name(file);
    const fs::path dir = file.has_parent_path() ? file.parent_path() : fs::path(".");
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      unsigned long pid = 0;
      if (!is_temporary_of(utf8_name(it->path()), file_name, pid)) continue;
      std::error_code kind;
      if (!fs::is_regular_file(it->symlink_status(kind)) || may_still_write(pid)) continue;
      std::error_code removed;
      fs::remove(it->path(), removed);
    }
  } catch (...) {  // out of memory, or a name the platform cannot convert
  }
}

void replace_file(const std::string& path, std::string_view bytes, Durability durability,
                  const Interrupt& interrupt) {
  FileReplacement replacement(path, durability);
  replacement.write(bytes);
  replacement.commit(interrupt);
}

std::string native_lines(std::string_view text) {
  const std::string_view eol = native_line_end();
  if (eol == "\n") return std::string(text);
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (char c : text) {
    if (c == '\n') {
      out.append(eol);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace engine::os
