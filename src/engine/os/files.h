#pragma once
// Files that a run rewrites are replaced in one step, so an interrupt or a
// failed write leaves either the old content or the new one, never half.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>

#include "engine/os/interrupt.h"

namespace engine::os {

// How far a replaced file is pushed before the rename. The rename alone makes
// the replace atomic for an interrupted or crashed process; a sync also covers
// a power loss, at the cost of a disk flush (milliseconds) per file.
enum class Durability { Rename, Sync };

// How long a replace waits for a target that another program holds open
// without delete sharing, as virus scanners, indexers and backup tools do for
// moments at a time on Windows (elsewhere a rename never waits). It tries
// again every slice and asks its interrupt in between.
inline constexpr std::chrono::milliseconds kReplaceWait{2000};

// One name component holds at most 255 bytes on Linux and 255 UTF-16 units
// on Windows; a text never has more UTF-16 units than UTF-8 bytes, so
// counting bytes keeps both.
inline constexpr std::size_t kFileNameLimit = 255;

// How much longer than its stem a replace's temporary name can be: ".tmp-",
// a process id, "-" and a counter (at most 26 bytes), with a margin.
inline constexpr std::size_t kTemporaryRoom = 32;

// The start of a replace's temporary name: the file's own name when the
// temporary's additions still fit beside it, otherwise its start cut at a
// character boundary so that they do. Every file whose name fits gets a
// replace, however long the name.
std::string temporary_stem(std::string_view file_name);

// Writes bytes to a temporary file beside path and renames it over path.
// Throws std::runtime_error (text like Python's OSError) on failure; the old
// file is then untouched and no temporary is left behind.
void replace_file(const std::string& path, std::string_view bytes, Durability durability = Durability::Sync,
                  const Interrupt& interrupt = {});

// The same replace for content too large to hold in memory at once: the bytes
// go to the temporary in pieces, and commit() puts it in place. A replacement
// dropped without commit() removes its temporary and leaves path untouched.
class FileReplacement {
 public:
  explicit FileReplacement(const std::string& path, Durability durability = Durability::Sync);
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;
  ~FileReplacement();

  void write(std::string_view bytes);
  // Puts the temporary in place, then removes what earlier replaces of the
  // same file left behind (remove_left_temporaries_once).
  void commit(const Interrupt& interrupt = {});

 private:
  void abandon() noexcept;

  std::string path_;
  std::string temp_;
  Durability durability_;
  std::intptr_t handle_ = -1;  // a file descriptor, or a HANDLE on Windows
  bool open_ = false;
};

// Where the file's own name starts in a path: after the last "/" (on Windows
// also after the last backslash, or after the drive of "C:name").
std::size_t file_name_start(std::string_view path);

// The temporary of a replace is named after its file: the directory, the
// temporary_stem of the file's name, ".tmp-" and the id of the writing
// process, on POSIX followed by "-" and a number of its own. temporary_base
// is that name up to the process id.
std::string temporary_base(const std::string& path);

// True when name (a file name without directory) is such a temporary of the
// file named file_name; the writer's process id goes to pid.
bool is_temporary_of(std::string_view name, std::string_view file_name, unsigned long& pid);

// Removes the temporaries that earlier replaces of path left beside it: a
// write killed mid-way leaves its temporary, and nothing else ever removes it.
// A temporary whose process still runs belongs to a write in progress and
// stays; anything not named like a temporary of path stays too. Never fails;
// true when no temporary of path is left (the folder read to its end, each
// one found removed).
bool remove_left_temporaries(const std::string& path) noexcept;

// The files whose left temporaries this process has removed, each by its
// absolute path, as the system resolves a relative one against the working
// directory of the moment: one path never names two files at once, and two
// paths of one file (through a link, in another case on Windows) cost one
// more sweep, never a missed one. Replaces run on any thread (the Python shell
// releases the GIL around them), so the set is guarded. Past limit files it
// forgets them all, and each is swept once more.
class SweptFiles {
 public:
  explicit SweptFiles(std::size_t limit) : limit_(limit) {}
  bool contains(const std::filesystem::path& file) const;
  void add(const std::filesystem::path& file);

 private:
  mutable std::mutex mutex_;
  std::unordered_set<std::filesystem::path::string_type> files_;
  std::size_t limit_;
};

// How many files SweptFiles keeps: far more than a run has targets.
inline constexpr std::size_t kSweptFilesLimit = 4096;

// remove_left_temporaries after a replace of path, once per file and
// process: the process's own replaces leave nothing (each removes its
// temporary when it fails), so once a sweep has left no temporary, only
// another process killed mid-write could leave one, and the next run's first
// replace removes it. A sweep that had to leave one (its writer still runs, or
// it could not be removed) runs again at the next replace.
void remove_left_temporaries_once(const std::string& path) noexcept;

// The platform's text line end ("\r\n" on Windows, "\n" elsewhere).
std::string_view native_line_end();

// Text with every "\n" turned into the platform's line end, as a file opened
// in text mode writes it.
std::string native_lines(std::string_view text);

// The path of the shared library (or executable) holding the given address.
std::string module_file(const void* address);

}  // namespace engine::os
