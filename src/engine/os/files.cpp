#include "engine/os/files.h"

namespace engine::os {

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
