#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "engine/os/files.h"

namespace engine::os {
namespace {

namespace fs = std::filesystem;

TEST(Files, TemporaryNames) {
  struct Case {
    const char* name;
    bool temporary;
    unsigned long pid;
  };
  const Case cases[] = {
      {"state.json.tmp-4242-7", true, 4242},  // POSIX: process id and a number
      {"state.json.tmp-4242", true, 4242},    // Windows: the process id alone
      {"state.json.tmp-1-1", true, 1},
      {"state.json", false, 0},
      {"state.json.tmp-", false, 0},
      {"state.json.tmp-x", false, 0},
      {"state.json.tmp-12-", false, 0},
      {"state.json.tmp--12", false, 0},
      {"state.json.tmp-12-3-4", false, 0},
      {"state.json.tmp-12x", false, 0},
      {"state.json.tmp-12.bak", false, 0},
      {"state.json.corrupt-20260101_000000", false, 0},
      {"other_state.json.tmp-12-3", false, 0},   // another file's temporary
      {"xstate.json.tmp-12-3", false, 0},
      {"state.json.tmp-123456789012345678901", false, 0},
  };
  for (const Case& c : cases) {
    unsigned long pid = 0;
    EXPECT_EQ(is_temporary_of(c.name, "state.json", pid), c.temporary) << c.name;
    if (c.temporary) {
      EXPECT_EQ(pid, c.pid) << c.name;
    }
  }
  unsigned long pid = 0;
  EXPECT_FALSE(is_temporary_of(".tmp-12-3", "", pid));
}

// The id of a process that has ended (and been reaped). On Windows the
// replace asks no process: a temporary in use is held open and so cannot be
// removed, and any id serves.
unsigned long ended_process() {
#ifdef _WIN32
  return 4000000001ul;
#else
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  int status = 0;
  ::waitpid(child, &status, 0);
  return static_cast<unsigned long>(child);
#endif
}

unsigned long running_process() {
#ifdef _WIN32
  return ::GetCurrentProcessId();
#else
  return static_cast<unsigned long>(::getppid());
#endif
}

void plant(const fs::path& file, const std::string& content = "half") { std::ofstream(file) << content; }

std::set<std::string> names_in(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
  return names;
}

TEST(Files, ReplaceRemovesWhatKilledWritesOfTheSameFileLeft) {
  const fs::path dir = fs::path(::testing::TempDir()) / "qv_left_temporaries";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string dead = std::to_string(ended_process());
  const std::string alive = std::to_string(running_process());
  plant(dir / ("state.json.tmp-" + dead + "-1"));
  plant(dir / ("state.json.tmp-" + dead));
  plant(dir / ("state.json.tmp-" + alive + "-3"));          // a write in progress elsewhere
#ifdef _WIN32
  // There a write in progress holds its temporary open without delete sharing.
  std::ofstream writer(dir / ("state.json.tmp-" + alive + "-3"), std::ios::app);
#endif
  plant(dir / ("other.json.tmp-" + dead + "-1"));           // another file's
  plant(dir / ("state.json.tmp-" + dead + "-1.mine"));      // not named like a temporary
  plant(dir / "notes.txt");
  fs::create_directory(dir / ("state.json.tmp-" + dead + "-2"));  // a folder, not a temporary
#ifndef _WIN32  // symbolic links there need a privilege
  fs::create_symlink(dir / "notes.txt", dir / ("state.json.tmp-" + dead + "-4"));
#endif

  replace_file((dir / "state.json").string(), "new");

  std::set<std::string> kept{
      "state.json",
      "state.json.tmp-" + alive + "-3",
      "other.json.tmp-" + dead + "-1",
      "state.json.tmp-" + dead + "-1.mine",
      "notes.txt",
      "state.json.tmp-" + dead + "-2",
  };
#ifndef _WIN32
  kept.insert("state.json.tmp-" + dead + "-4");
#endif
  EXPECT_EQ(names_in(dir), kept);
#ifdef _WIN32
  writer.close();
#endif
  {
    std::ifstream in(dir / "notes.txt");
    std::string notes((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(notes, "half");
  }

  // A file in the working directory, named without a folder.
  const fs::path before = fs::current_path();
  fs::current_path(dir);
  plant("other.json");
  replace_file("other.json", "new");
  fs::current_path(before);
  EXPECT_FALSE(fs::exists(dir / ("other.json.tmp-" + dead + "-1")));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace engine::os
