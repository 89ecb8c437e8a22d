// Winsock side of the socket layer. Error numbers are WSAGetLastError's, which
// is what Python's connect_ex reports on Windows (10061 refused, 10035 for a
// time-out); texts read like Python's OSError there.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "engine/os/socket.h"
#include "engine/os/text_win32.h"

namespace engine::os {
namespace {

using clock = std::chrono::steady_clock;

// Winsock must be started once per process before any other call; it stays
// started for the life of the process.
void start_winsock() {
  static std::once_flag once;
  static int rc = 0;
  std::call_once(once, [] {
    WSADATA data;
    rc = ::WSAStartup(MAKEWORD(2, 2), &data);
  });
  if (rc != 0) throw SocketError(last_error_text(static_cast<unsigned long>(rc)));
}

std::string wsa_text(int err) { return last_error_text(static_cast<unsigned long>(err)); }

struct Sock {
  SOCKET s;
  explicit Sock(SOCKET v) : s(v) {}
  ~Sock() {
    if (s != INVALID_SOCKET) ::closesocket(s);
  }
  Sock(const Sock&) = delete;
  Sock& operator=(const Sock&) = delete;
};

void set_non_blocking(SOCKET s) {
  u_long on = 1;
  if (::ioctlsocket(s, FIONBIO, &on) != 0) throw SocketError(wsa_text(::WSAGetLastError()));
}

clock::time_point deadline_after(double seconds) {
  if (!(seconds > 0)) seconds = 0;
  seconds = std::min(seconds, 1e9);
  return clock::now() + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(seconds));
}

// Microseconds to wait in the next slice, or a negative number when the deadline has passed.
long long next_slice_us(clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - clock::now()).count();
  if (left <= 0) return -1;
  return std::min<long long>(left, std::chrono::duration_cast<std::chrono::microseconds>(kSlice).count());
}

enum class Ready { Read, Write, Error, None };

// One select of at most one slice on a single socket.
Ready wait_once(SOCKET s, bool for_write, long long us) {
  fd_set rd, wr, ex;
  FD_ZERO(&rd);
  FD_ZERO(&wr);
  FD_ZERO(&ex);
  FD_SET(s, for_write ? &wr : &rd);
  FD_SET(s, &ex);
  timeval tv{static_cast<long>(us / 1000000), static_cast<long>(us % 1000000)};
  const int n = ::select(0, &rd, &wr, &ex, &tv);
  if (n == SOCKET_ERROR) throw SocketError(wsa_text(::WSAGetLastError()));
  if (n == 0) return Ready::None;
  if (FD_ISSET(s, &ex)) return Ready::Error;
  return for_write ? Ready::Write : Ready::Read;
}

struct Lookup {
  std::mutex mutex;
  bool done = false;
  int rc = 0;
  unsigned long address = 0;
};

}  // namespace

unsigned long resolve_ipv4(const std::string& host, const Interrupt& interrupt) {
  start_winsock();
  if (host.empty()) return htonl(INADDR_ANY);
  if (host == "<broadcast>") return htonl(INADDR_BROADCAST);
  in_addr numeric{};
  if (::inet_pton(AF_INET, host.c_str(), &numeric) == 1) return numeric.s_addr;
  // getaddrinfo has no time-out: it runs on a helper thread while this one
  // waits in slices, and an interrupted wait leaves the helper to finish alone.
  auto lookup = std::make_shared<Lookup>();
  std::thread([lookup, host] {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    std::lock_guard lock(lookup->mutex);
    lookup->rc = rc;
    if (rc == 0) {
      lookup->address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
      ::freeaddrinfo(found);
    }
    lookup->done = true;
  }).detach();
  while (true) {
    {
      std::lock_guard lock(lookup->mutex);
      if (lookup->done) {
        // Python on Windows words every resolver failure this way.
        if (lookup->rc != 0) throw ResolveError("[Errno " + std::to_string(lookup->rc) + "] getaddrinfo failed");
        return lookup->address;
      }
    }
    check(interrupt);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

int tcp_connect_ex(const std::string& host, int port, double timeout, const Interrupt& interrupt) {
  start_winsock();
  Sock sock(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (sock.s == INVALID_SOCKET) throw SocketError(wsa_text(::WSAGetLastError()));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  address.sin_addr.s_addr = static_cast<ULONG>(resolve_ipv4(host, interrupt));
  set_non_blocking(sock.s);
  if (::connect(sock.s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return 0;
  const int first = ::WSAGetLastError();
  if (first != WSAEWOULDBLOCK) return first;
  const auto deadline = deadline_after(timeout);
  while (true) {
    check(interrupt);
    const long long us = next_slice_us(deadline);
    if (us < 0) return WSAEWOULDBLOCK;  // what connect_ex reports for a time-out
    const Ready r = wait_once(sock.s, true, us);
    if (r == Ready::None) continue;
    int err = 0;
    int len = sizeof err;
    ::getsockopt(sock.s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len);
    return err;
  }
}

UdpReply udp_exchange(const std::string& host, int port, double timeout, const Interrupt& interrupt) {
  start_winsock();
  Sock sock(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  if (sock.s == INVALID_SOCKET) throw SocketError(wsa_text(::WSAGetLastError()));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  address.sin_addr.s_addr = static_cast<ULONG>(resolve_ipv4(host, interrupt));
  set_non_blocking(sock.s);
  const auto deadline = deadline_after(timeout);
  while (::sendto(sock.s, "", 0, 0, reinterpret_cast<sockaddr*>(&address), sizeof address) == SOCKET_ERROR) {
    const int err = ::WSAGetLastError();
    if (err == WSAECONNRESET || err == WSAECONNREFUSED) return UdpReply::Refused;
    if (err != WSAEWOULDBLOCK) throw SocketError(wsa_text(err));
    check(interrupt);
    const long long us = next_slice_us(deadline);
    if (us < 0) throw SocketError("timed out");
    wait_once(sock.s, true, us);
  }
  char buffer[1024];
  while (true) {
    if (::recvfrom(sock.s, buffer, sizeof buffer, 0, nullptr, nullptr) != SOCKET_ERROR) return UdpReply::Received;
    const int err = ::WSAGetLastError();
    // Windows fails the receive of a datagram longer than the buffer; it arrived all the same.
    if (err == WSAEMSGSIZE) return UdpReply::Received;
    // An ICMP port-unreachable answer surfaces on the next receive as a reset.
    if (err == WSAECONNRESET || err == WSAECONNREFUSED) return UdpReply::Refused;
    if (err != WSAEWOULDBLOCK) throw SocketError(wsa_text(err));
    check(interrupt);
    const long long us = next_slice_us(deadline);
    if (us < 0) return UdpReply::TimedOut;
    wait_once(sock.s, false, us);
  }
}

}  // namespace engine::os
