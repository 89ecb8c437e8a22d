#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "engine/os/files.h"
#include "engine/os/native_path.h"

namespace engine::os {
namespace {

namespace fs = std::filesystem;

std::string utf8_name(const fs::path& path) {
  const std::u8string name = path.filename().u8string();
  return std::string(name.begin(), name.end());
}

// Whether the process that wrote a temporary may still be writing it.
// EPERM: the process exists but belongs to another user.
bool may_still_write(unsigned long pid) { return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM; }

std::runtime_error os_error(const std::string& path) {
  const int err = errno;
  return std::runtime_error("[Errno " + std::to_string(err) + "] " + std::strerror(err) + ": '" + path + "'");
}

}  // namespace

FileReplacement::FileReplacement(const std::string& path, Durability durability)
    : path_(path), durability_(durability) {
  // A name of this process's own, created exclusively with the mode of an
  // ordinary file (the umask applies), so no other writer can share it.
  static unsigned counter = 0;
  const std::string base = temporary_base(path);
  for (int attempt = 0;; ++attempt) {
    temp_ = base + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    const int fd = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      handle_ = fd;
      open_ = true;
      return;
    }
    if (errno != EEXIST || attempt > 100) throw os_error(path_);
  }
}

FileReplacement::~FileReplacement() { abandon(); }

void FileReplacement::abandon() noexcept {
  if (!open_) return;
  ::close(static_cast<int>(handle_));
  ::unlink(temp_.c_str());
  open_ = false;
}

void FileReplacement::write(std::string_view bytes) {
  if (!open_) throw std::logic_error("write after the replacement ended");
  const int fd = static_cast<int>(handle_);
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      auto error = os_error(path_);
      abandon();
      throw error;
    }
    done += static_cast<std::size_t>(n);
  }
}

// A rename replaces a target whoever holds it open: nothing to wait for.
void FileReplacement::commit(const Interrupt& /*interrupt*/) {
  if (!open_) throw std::logic_error("commit after the replacement ended");
  const int fd = static_cast<int>(handle_);
  if (durability_ == Durability::Sync && ::fsync(fd) != 0) {
    auto error = os_error(path_);
    abandon();
    throw error;
  }
  open_ = false;
  if (::close(fd) != 0 || ::rename(temp_.c_str(), path_.c_str()) != 0) {
    auto error = os_error(path_);
    ::unlink(temp_.c_str());
    throw error;
  }
  remove_left_temporaries_once(path_);
}

bool remove_left_temporaries(const std::string& path) noexcept {
  try {
    const fs::path file = native_path(path);
    const std::string file_name = utf8_name(file);
    const fs::path dir = file.has_parent_path() ? file.parent_path() : fs::path(".");
    bool none_left = true;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      unsigned long pid = 0;
      if (!is_temporary_of(utf8_name(it->path()), file_name, pid)) continue;
      std::error_code kind;
      if (!fs::is_regular_file(it->symlink_status(kind))) continue;
      if (may_still_write(pid)) {
        none_left = false;
        continue;
      }
      std::error_code removed;
      fs::remove(it->path(), removed);  // one already gone is no error
      if (removed) none_left = false;
    }
    return none_left && !ec;
  } catch (...) {  // out of memory, or a name the platform cannot convert
    return false;
  }
}

std::string_view native_line_end() { return "\n"; }

std::string module_file(const void* address) {
  Dl_info info{};
  if (::dladdr(address, &info) == 0 || info.dli_fname == nullptr) return {};
  return info.dli_fname;
}

}  // namespace engine::os
