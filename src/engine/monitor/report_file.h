#pragma once
// The run report file "monitor_report.json": one object whose "sessions" list
// holds a ReportSession per stopped run, oldest first, the newest 20 kept.
// Every stopped run appends its session; old sessions are copied back exactly
// as Python's json would write them again, whatever they hold.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "engine/common/json_writer.h"
#include "engine/os/interrupt.h"
#include "engine/monitor/rounds.h"

namespace engine::report {

inline constexpr const char* kReportFile = "monitor_report.json";
inline constexpr std::size_t kKeepSessions = 20;

struct SessionHead {
  std::string start_time;  // "%Y-%m-%d %H:%M:%S"
  std::string end_time;
  std::int64_t total_rounds = 0;
};

// Writes the new ReportSession object as one value.
using SessionWriter = std::function<void(json::Writer&)>;

// The ReportSession of a run: its head, then one ReportRound per kept round,
// each with "latency" (empty when no target gave one).
void write_session(json::Writer& writer, const SessionHead& head, const RoundLog& rounds);

struct SaveOutcome {
  std::size_t old_sessions = 0;  // sessions taken over from the old file
  std::string kept_aside;        // where an unreadable old file now lies; empty when none was
};

// Appends a session to the report at path and keeps the newest kKeepSessions.
// The new file replaces the old one in a single step. An old file that cannot
// be read, is not a JSON object, or whose "sessions" is not a list counts as
// holding no sessions; unless empty it is first moved aside (see aside_name),
// so no earlier session is lost. Throws std::runtime_error when the new file
// cannot be written; the old file is then where and as it was.
SaveOutcome save_session(const std::string& path, const SessionWriter& session, const os::Interrupt& interrupt = {});

// path + ".corrupt-" + stamp, or with "-2", "-3", ... after it when a file of
// that name exists already.
std::string aside_name(const std::string& path, const std::string& stamp);

}  // namespace engine::report
