#include <windows.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "engine/os/files.h"
#include "engine/os/native_path.h"
#include "engine/os/text_win32.h"

namespace engine::os {

FileReplacement::FileReplacement(const std::string& path, Durability durability)
    : path_(path), durability_(durability) {
  // Every path below goes to the system in its native form on its own: the
  // temporary's longer name may pass the limit where the file's does not.
  temp_ = temporary_base(path) + std::to_string(::GetCurrentProcessId());
  HANDLE h = ::CreateFileW(native_path(temp_).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
  if (h == INVALID_HANDLE_VALUE) throw std::runtime_error(last_error_text() + ": '" + path + "'");
  handle_ = reinterpret_cast<std::intptr_t>(h);
  open_ = true;
}

FileReplacement::~FileReplacement() { abandon(); }

void FileReplacement::abandon() noexcept {
  if (!open_) return;
  ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
  ::DeleteFileW(native_path(temp_).c_str());
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
  const std::filesystem::path temp = native_path(temp_);
  const std::filesystem::path target = native_path(path_);
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
  remove_left_temporaries_once(path_);
}

// Listed and removed through the system's own calls, each name in its native
// form: a temporary's name can pass the limit where its folder's does not.
bool remove_left_temporaries(const std::string& path) noexcept {
  try {
    const std::size_t name_at = file_name_start(path);
    const std::string dir = path.substr(0, name_at);
    const std::string file_name = path.substr(name_at);
    WIN32_FIND_DATAW found;
    HANDLE search = ::FindFirstFileW(native_path(dir + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    bool none_left = true;
    do {
      // Folders and links are never a replace's temporaries. A writer holds
      // its temporary open without delete sharing, so the removal of one in
      // use fails by itself: no process need be asked.
      if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
      const std::string name = narrow(found.cFileName);
      unsigned long pid = 0;
      if (is_temporary_of(name, file_name, pid) && !::DeleteFileW(native_path(dir + name).c_str()) &&
          ::GetLastError() != ERROR_FILE_NOT_FOUND)
        none_left = false;
    } while (::FindNextFileW(search, &found));
    const bool listed = ::GetLastError() == ERROR_NO_MORE_FILES;
    ::FindClose(search);
    return none_left && listed;
  } catch (...) {  // out of memory
    return false;
  }
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
