#pragma once
// The five network probes: a TCP connect, a UDP exchange, an ICMP echo through
// ping, and the echo and the connect with their durations. Every failure is an
// outcome with a fixed reason text, never an error; only an interrupt leaves
// (as os::Interrupted).
#include <optional>
#include <string>
#include <string_view>

#include "engine/os/interrupt.h"

namespace engine::probes {

enum class Probe { Tcp, Udp, Icmp, IcmpPing, TcpPing };

struct Outcome {
  bool success = false;
  std::string reason;
  // Whole milliseconds, for the two latency probes when they succeed.
  std::optional<double> latency;
};

// The outcome of a failure raised around a probe's own work: a port or
// address that does not convert, a child that cannot start, output that does
// not decode. error_text is the failure's own message.
Outcome failed(Probe probe, std::string_view error_text);

// The TCP probes over a port already converted to a whole number; one outside
// 0..65535 fails as Python's connect_ex fails it. Returns once the connect
// attempt ends, at most about timeout seconds after name resolution.
Outcome check_tcp(const std::string& host, long long port, double timeout, const os::Interrupt& interrupt);
Outcome check_tcp_ping(const std::string& host, long long port, double timeout, const os::Interrupt& interrupt);

// The UDP probe: silence within the time-out counts as up, a reported
// port-unreachable answer as down.
Outcome check_udp(const std::string& host, long long port, double timeout, const os::Interrupt& interrupt);

// What a finished ping run means. On Windows success also needs an echo reply
// line in the output (see windows_reply_seen).
Outcome judge_icmp(int exit_status, bool windows, std::string_view output);
// As judge_icmp, with the latency from the output, or the elapsed time of the
// whole run when the output reports none.
Outcome judge_icmp_ping(int exit_status, bool windows, std::string_view output, double elapsed_ms);
// A ping run that outlived its limit.
Outcome ping_timed_out();

// Python's round(): to the nearest whole number, halves to the even one.
double round_half_even(double value);

// A success whose reason is the latency in whole milliseconds followed by "ms".
Outcome latency_outcome(double milliseconds);

}  // namespace engine::probes
