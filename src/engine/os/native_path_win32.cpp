#include <windows.h>

#include <optional>

#include "engine/os/native_path.h"
#include "engine/os/text_win32.h"

namespace engine::os {
namespace {

constexpr std::wstring_view kExtended = L"\\\\?\\";
constexpr std::wstring_view kExtendedUnc = L"\\\\?\\UNC\\";
constexpr std::wstring_view kDevice = L"\\\\.\\";
constexpr std::wstring_view kNtObject = L"\\??\\";
constexpr std::wstring_view kUnc = L"\\\\";

// The path as the system completes it: from the working directory, with "/"
// as "\" and "." and ".." resolved. The extended form does none of that
// itself, so it is made from this.
std::wstring full_path(const std::wstring& path) {
  std::wstring full(kWindowsPathLimit, L'\0');
  for (;;) {
    const DWORD n = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0) return {};
    if (n < full.size()) {  // the length without the end; a larger one asks for room, the end included
      full.resize(n);
      return full;
    }
    full.resize(n);
  }
}

// The extended-length form of a path that would reach the limit; nothing for
// any other, and for one that is already in a form the system takes whole.
std::optional<std::wstring> extended_form(const std::wstring& path) {
  if (path.starts_with(kExtended) || path.starts_with(kDevice) || path.starts_with(kNtObject)) return std::nullopt;
  const std::wstring full = full_path(path);
  if (full.size() < kWindowsPathLimit) return std::nullopt;
  // A device such as \\.\CON is no file of the file system.
  if (full.starts_with(kExtended) || full.starts_with(kDevice)) return std::nullopt;
  if (full.starts_with(kUnc)) return std::wstring(kExtendedUnc) + full.substr(kUnc.size());
  return std::wstring(kExtended) + full;
}

}  // namespace

std::filesystem::path native_path(std::string_view utf8) {
  std::wstring wide = widen(std::string(utf8));
  if (auto extended = extended_form(wide)) wide = std::move(*extended);
  return std::filesystem::path(std::move(wide));
}

std::string native_path_text(std::string_view utf8) {
  if (auto extended = extended_form(widen(std::string(utf8)))) return narrow(*extended);
  return std::string(utf8);
}

}  // namespace engine::os
