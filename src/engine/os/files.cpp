#include "engine/os/files.h"

#include "engine/os/native_path.h"

namespace engine::os {
namespace {

constexpr std::string_view kTemporaryMark = ".tmp-";

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

}  // namespace

std::string temporary_stem(std::string_view file_name) {
  if (file_name.size() + kTemporaryRoom <= kFileNameLimit) return std::string(file_name);
  std::size_t cut = kFileNameLimit - kTemporaryRoom;
  // Back to the first byte of a UTF-8 character.
  while (cut > 0 && (static_cast<unsigned char>(file_name[cut]) & 0xC0) == 0x80) --cut;
  return std::string(file_name.substr(0, cut));
}

std::size_t file_name_start(std::string_view path) {
#ifdef _WIN32
  const std::size_t slash = path.find_last_of("/\\");
  if (slash == std::string_view::npos && path.size() >= 2 && path[1] == ':') return 2;  // C:name, on drive C
#else
  const std::size_t slash = path.find_last_of('/');
#endif
  return slash == std::string_view::npos ? 0 : slash + 1;
}

std::string temporary_base(const std::string& path) {
  const std::size_t name_at = file_name_start(path);
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

bool SweptFiles::contains(const std::filesystem::path& file) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return files_.count(file.native()) != 0;
}

void SweptFiles::add(const std::filesystem::path& file) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (files_.size() >= limit_) files_.clear();
  files_.insert(file.native());
}

void remove_left_temporaries_once(const std::string& path) noexcept {
  // Never destroyed: a replace on a host's daemon thread may still run while
  // the process exits.
  static SweptFiles& swept = *new SweptFiles(kSweptFilesLimit);
  try {
    std::error_code ec;
    const std::filesystem::path file = std::filesystem::absolute(native_path(path), ec);
    if (ec) {  // no working directory to resolve it against: sweep every time
      remove_left_temporaries(path);
      return;
    }
    if (!swept.contains(file) && remove_left_temporaries(path)) swept.add(file);
  } catch (...) {  // out of memory
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
