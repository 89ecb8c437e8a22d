#include <windows.h>

#include "engine/os/text_win32.h"

namespace engine::os {

namespace {

// The three-byte form of a lone surrogate (U+D800..U+DFFF) at text[pos]:
// ED A0..BF 80..BF. Strict UTF-8 has none, so the system's conversion would
// make it U+FFFD.
bool lone_surrogate_at(const std::string& text, std::size_t pos) {
  return pos + 2 < text.size() && static_cast<unsigned char>(text[pos]) == 0xED &&
         (static_cast<unsigned char>(text[pos + 1]) & 0xE0) == 0xA0 &&
         (static_cast<unsigned char>(text[pos + 2]) & 0xC0) == 0x80;
}

bool is_surrogate(wchar_t unit) { return unit >= 0xD800 && unit <= 0xDFFF; }

void append_wide(std::wstring& out, const char* utf8, std::size_t size) {
  if (size == 0) return;
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8, static_cast<int>(size), nullptr, 0);
  const std::size_t at = out.size();
  out.resize(at + static_cast<std::size_t>(n));
  ::MultiByteToWideChar(CP_UTF8, 0, utf8, static_cast<int>(size), out.data() + at, n);
}

void append_utf8(std::string& out, const wchar_t* wide, std::size_t size) {
  if (size == 0) return;
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(size), nullptr, 0, nullptr, nullptr);
  const std::size_t at = out.size();
  out.resize(at + static_cast<std::size_t>(n));
  ::WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(size), out.data() + at, n, nullptr, nullptr);
}

}  // namespace

std::wstring widen(const std::string& utf8) {
  std::wstring out;
  std::size_t from = 0;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    if (!lone_surrogate_at(utf8, i)) continue;
    append_wide(out, utf8.data() + from, i - from);
    out.push_back(static_cast<wchar_t>(0xD000 | (static_cast<unsigned char>(utf8[i + 1]) & 0x3F) << 6 |
                                       (static_cast<unsigned char>(utf8[i + 2]) & 0x3F)));
    i += 2;
    from = i + 1;
  }
  append_wide(out, utf8.data() + from, utf8.size() - from);
  return out;
}

std::string narrow(const std::wstring& wide) {
  std::string out;
  std::size_t from = 0;
  for (std::size_t i = 0; i < wide.size(); ++i) {
    if (!is_surrogate(wide[i])) continue;
    // A pair is one character; only a unit without its partner stands alone.
    if (wide[i] < 0xDC00 && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
      ++i;
      continue;
    }
    append_utf8(out, wide.data() + from, i - from);
    const unsigned unit = wide[i];
    out.push_back(static_cast<char>(0xE0 | unit >> 12));
    out.push_back(static_cast<char>(0x80 | (unit >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    from = i + 1;
  }
  append_utf8(out, wide.data() + from, wide.size() - from);
  return out;
}

std::string last_error_text(unsigned long code) {
  if (code == 0) code = ::GetLastError();
  wchar_t* buffer = nullptr;
  const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  std::wstring text = n ? std::wstring(buffer, n) : L"Windows error " + std::to_wstring(code);
  if (buffer) ::LocalFree(buffer);
  // As Python words an OSError: without the message's line end and full stop.
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' || text.back() == L'.'))
    text.pop_back();
  return "[WinError " + std::to_string(code) + "] " + narrow(text);
}

}  // namespace engine::os
