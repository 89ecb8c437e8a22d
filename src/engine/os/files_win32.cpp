#include <windows.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "engine/os/files.h"
#include "engine/os/text_win32.h"

namespace engine::os {

FileReplacement::FileReplacement(const std::string& path, Durability durability)
    : path_(path), durability_(durability) {
  const std::wstring temp = widen(temporary_base(path)) + std::to_wstring(::GetCurrentProcessId());
  temp_ = narrow(temp);
  HANDLE h = ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw std::runtime_error(last_error_text() + ": '" + path + "'");
  handle_ = reinterpret_cast<std::intptr_t>(h);
  open_ = true;
}

FileReplacement::~FileReplacement() { abandon(); }

void FileReplacement::abandon() noexcept {
  if (!open_) return;
  ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
  ::DeleteFileW(widen(temp_).c_str());
  open_ = false;
}

void FileReplacement::write(std::string_view bytes) {
  if (!open_) throw std::logic_error("write after the replacement ended");
  HANDLE h = reinterpret_cast<HANDLE>(handle_);
  while (!bytes.empty()) {
    const DWORD piece = static_cast<DWORD>(bytes.size() < (1u << 30) ? bytes.size() : (1u << 30));
    DWORD written = 0;
    if (!::WriteFile(h, bytes.data(), piece, &written, nullptr) || written == 0) {
      const std::string error = last_error_text();
      abandon();
      throw std::runtime_error(error + ": '" + path_ + "'");
    }
    bytes.remove_prefix(written);
  }
}

void FileReplacement::commit(const Interrupt& interrupt) {
  if (!open_) throw std::logic_error("commit after the replacement ended");
  HANDLE h = reinterpret_cast<HANDLE>(handle_);
  if (durability_ == Durability::Sync && !::FlushFileBuffers(h)) {
    const std::string error = last_error_text();
    abandon();
    throw std::runtime_error(error + ": '" + path_ + "'");
  }
  ::CloseHandle(h);
  open_ = false;
  const std::wstring temp = widen(temp_);
  const std::wstring target = widen(path_);
  const auto give_up = std::chrono::steady_clock::now() + kReplaceWait;
  while (!::MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const DWORD code = ::GetLastError();
    // Another program's handle on the target without delete sharing: most
    // such handles are gone within moments, so try again for a while.
    const bool held = code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION;
    try {
      if (!held || std::chrono::steady_clock::now() >= give_up)
        throw std::runtime_error(last_error_text(code) + ": '" + path_ + "'");
      sleep(std::chrono::duration<double>(kSlice).count(), interrupt);
    } catch (...) {
      ::DeleteFileW(temp.c_str());
      throw;
    }
  }
  remove_left_temporaries(path_);
}

std::string_view native_line_end() { return "\r\n"; }

std::string module_file(const void* address) {
  HMODULE module = nullptr;
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(address), &module))
    return {};
  wchar_t buffer[MAX_PATH * 4];
  const DWORD n = ::GetModuleFileNameW(module, buffer, static_cast<DWORD>(std::size(buffer)));
  return narrow(std::wstring(buffer, n));
}

}  // namespace engine::os
