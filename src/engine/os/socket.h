#pragma once
// IPv4 sockets with time-outs, waited on in interruptible slices.
#include <stdexcept>
#include <string>

#include "engine/os/interrupt.h"

namespace engine::os {

// A host name did not resolve. The text reads like Python's socket.gaierror,
// e.g. "[Errno -2] Name or service not known".
struct ResolveError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Any other socket failure, with an OSError-like text "[Errno N] text".
struct SocketError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The IPv4 address (network byte order) of a host name or dotted address. As
// in Python's socket module, the empty name is the any-address and
// "<broadcast>" the broadcast address.
unsigned long resolve_ipv4(const std::string& host, const Interrupt& interrupt);

// Connects an IPv4 TCP socket to host:port within timeout seconds and closes
// it. Returns 0 when connected, else the error number of the failed attempt
// (the refusal's number, or the "would block" number when the time-out
// expired), as Python's socket.connect_ex reports it. Resolution failures
// throw ResolveError, other failures SocketError.
int tcp_connect_ex(const std::string& host, int port, double timeout, const Interrupt& interrupt);

// What came back for one datagram sent to a UDP port.
enum class UdpReply {
  Received,  // some datagram arrived, from any sender
  TimedOut,  // nothing within the time-out
  Refused,   // the system reported the port unreachable
};

// Sends one empty datagram from an unconnected IPv4 socket to host:port and
// waits up to timeout seconds for one datagram of up to 1024 bytes (a longer
// one still counts as received; neither content nor sender is looked at).
// The system's report of an ICMP port-unreachable answer is Refused: on Linux
// the socket asks for such reports (IP_RECVERR), which an unconnected socket
// otherwise never sees; Windows reports it as WSAECONNRESET. Resolution
// failures throw ResolveError, every other failure SocketError.
UdpReply udp_exchange(const std::string& host, int port, double timeout, const Interrupt& interrupt);

}  // namespace engine::os
