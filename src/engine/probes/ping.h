#pragma once
// The system's ping command: its command line per platform, its run, and the
// round-trip time read back from its output.
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/os/interrupt.h"

namespace engine::probes {

// An address that ping would read as one of its own options: it begins with
// "-", or on Windows with "-" or "/". Such text names no host; no command line
// is made for it, so no child ever sees it. The text says which sign it is.
struct NotAnAddress : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

struct PingCommand {
  std::vector<std::string> argv;
  // Variables set for the child: iputils translates its texts, and the time
  // is only read reliably from the untranslated ones.
  std::vector<std::pair<std::string, std::string>> env;
};

// Whether ping on the platform (named as sys.platform names it) takes its
// wait in milliseconds: Windows' "-w", and macOS' "-W", where a wait in
// seconds would read 3 as 3 ms and call every farther host down.
bool ping_wait_in_milliseconds(std::string_view platform);

// One echo request to address: "-n 1 -w" on Windows, "-c 1 -W" elsewhere,
// with the wait as the text to pass, in the unit the platform's ping takes
// (the caller writes the number as the host language does). Throws
// NotAnAddress for an address ping would take for an option.
PingCommand ping_command(std::string_view platform, const std::string& address, const std::string& wait);

struct PingRun {
  int exit_status = 0;
  std::string out;  // raw bytes, as the child wrote them
  std::string err;
  double elapsed_ms = 0;  // the whole run, start and end of the child included
};

// Runs ping_command's command line to completion within limit seconds.
// NotAnAddress leaves before anything starts; os::StartError, os::TimedOut
// and os::Interrupted as os::run lets them.
PingRun run_ping(std::string_view platform, const std::string& address, const std::string& wait, double limit,
                 const os::Interrupt& interrupt);

// The round-trip time in the first part of the output that reads like
// "time=12.7 ms", "time<1ms" or "时间=14ms": the word time (any letter case) or
// 时间, then "=", "<" or ">", optional white space, digits with an optional
// decimal point and more digits, optional white space, "ms" (any case).
// Digits and white space are those of Unicode, as in a Python text pattern.
// Nothing when no part matches. Throws std::invalid_argument on invalid UTF-8.
std::optional<double> reported_time_ms(std::string_view utf8_output);

// Windows' ping exits 0 even when a router answers "Destination host
// unreachable"; only a real echo reply carries "TTL=" or a round-trip time:
// "=" or "<" straight before a whole number and "ms" (in Russian "мс"), as in
// "time<1ms", "时间=14ms", "Zeit<1ms" or "время=14мс". An IPv6 reply
// ("Reply from ::1: time<1ms") has no TTL, only the time. The words around
// the figures are the system's language and are not read.
bool windows_reply_seen(std::string_view output);

}  // namespace engine::probes
