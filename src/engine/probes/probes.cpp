#include "engine/probes/probes.h"

#include <chrono>
#include <cmath>
#include <cstdio>

#include "engine/os/socket.h"
#include "engine/probes/ping.h"

namespace engine::probes {
namespace {

std::string text(std::string_view prefix, std::string_view rest) {
  std::string out(prefix);
  out.append(rest);
  return out;
}

Outcome failure(std::string reason) { return {false, std::move(reason), std::nullopt}; }

bool port_in_range(long long port) { return port >= 0 && port <= 65535; }

// Python's socket module refuses such a port before it resolves the name.
std::string port_range_text(std::string_view caller) { return text(caller, "(): port must be 0-65535."); }

}  // namespace

Outcome failed(Probe probe, std::string_view error_text) {
  switch (probe) {
    case Probe::Tcp:
      return failure(text("TCP check error: ", error_text));
    case Probe::Udp:
      return failure(text("UDP check error: ", error_text));
    case Probe::Icmp:
      return failure(text("Ping error: ", error_text));
    case Probe::IcmpPing:
    case Probe::TcpPing:
      break;
  }
  return failure(text("Error: ", error_text));
}

double round_half_even(double value) {
  double r = std::round(value);
  if (std::fabs(value - std::trunc(value)) == 0.5) r = 2.0 * std::round(value / 2.0);
  return r + 0.0;  // no "-0"
}

Outcome latency_outcome(double milliseconds) {
  const double ms = round_half_even(milliseconds);
  // What Python's round() raises for a time too large for a float.
  if (std::isinf(ms)) return failure("Error: cannot convert float infinity to integer");
  if (std::isnan(ms)) return failure("Error: cannot convert float NaN to integer");
  char digits[400];
  std::snprintf(digits, sizeof digits, "%.0f", ms);
  return {true, std::string(digits) + "ms", ms};
}

Outcome check_tcp(const std::string& host, long long port, double timeout, const os::Interrupt& interrupt) {
  if (!port_in_range(port)) return failed(Probe::Tcp, port_range_text("connect_ex"));
  try {
    const int err = os::tcp_connect_ex(host, static_cast<int>(port), timeout, interrupt);
    if (err == 0) return {true, "TCP port open", std::nullopt};
    return failure("TCP connection refused (errno=" + std::to_string(err) + ")");
  } catch (const os::ResolveError& e) {
    return failure(text("TCP hostname resolve failed: ", e.what()));
  } catch (const std::exception& e) {
    return failed(Probe::Tcp, e.what());
  }
}

Outcome check_tcp_ping(const std::string& host, long long port, double timeout, const os::Interrupt& interrupt) {
  if (!port_in_range(port)) return failed(Probe::TcpPing, port_range_text("connect_ex"));
  try {
    // A monotonic clock: a wall-clock step during the connect must not become the latency.
    const auto start = std::chrono::steady_clock::now();
    const int err = os::tcp_connect_ex(host, static_cast<int>(port), timeout, interrupt);
    const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
    if (err != 0) return failure("TCP failed (errno=" + std::to_string(err) + ")");
    return latency_outcome(elapsed.count());
  } catch (const std::exception& e) {
    return failed(Probe::TcpPing, e.what());
  }
}

Outcome check_udp(const std::string& host, long long port, double timeout, const os::Interrupt& interrupt) {
  if (!port_in_range(port)) return failed(Probe::Udp, port_range_text("sendto"));
  try {
    switch (os::udp_exchange(host, static_cast<int>(port), timeout, interrupt)) {
      case os::UdpReply::Received:
        return {true, "UDP response received", std::nullopt};
      case os::UdpReply::TimedOut:
        return {true, "UDP no reject (port likely open)", std::nullopt};
      case os::UdpReply::Refused:
        break;
    }
    return failure("UDP port unreachable");
  } catch (const os::ResolveError& e) {
    return failure(text("UDP hostname resolve failed: ", e.what()));
  } catch (const std::exception& e) {
    return failed(Probe::Udp, e.what());
  }
}

Outcome judge_icmp(int exit_status, bool windows, std::string_view output) {
  if (exit_status == 0 && (!windows || windows_reply_seen(output))) return {true, "Ping successful", std::nullopt};
  return failure("Ping failed (no response)");
}

Outcome judge_icmp_ping(int exit_status, bool windows, std::string_view output, double elapsed_ms) {
  if (exit_status != 0 || (windows && !windows_reply_seen(output))) return ping_timed_out();
  return latency_outcome(reported_time_ms(output).value_or(elapsed_ms));
}

Outcome ping_timed_out() { return failure("Ping timeout"); }

}  // namespace engine::probes
