#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "engine/os/socket.h"

namespace engine::os {
namespace {

std::string errno_text(int err) { return "[Errno " + std::to_string(err) + "] " + std::strerror(err); }

struct Fd {
  int fd;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

// getaddrinfo blocks without a time-out, so a name is resolved on a helper
// thread while this one waits in slices; an interrupted wait leaves the helper
// to finish on its own.
struct Lookup {
  std::mutex mutex;
  bool done = false;
  int rc = 0;
  unsigned long address = 0;
};

using clock = std::chrono::steady_clock;

// The end of a wait of the given seconds; a time-out too large for the clock
// (or not a number) is clamped rather than overflowing it.
clock::time_point deadline_after(double seconds) {
  if (!(seconds > 0)) seconds = 0;
  seconds = std::min(seconds, 1e9);
  return clock::now() + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(seconds));
}

// Milliseconds to wait in the next slice, or a negative number when the deadline has passed.
int next_slice_ms(clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
  if (left <= 0) return deadline > clock::now() ? 1 : -1;
  return static_cast<int>(std::min<long long>(left, kSlice.count()));
}

}  // namespace

unsigned long resolve_ipv4(const std::string& host, const Interrupt& interrupt) {
  if (host.empty()) return htonl(INADDR_ANY);
  if (host == "<broadcast>") return htonl(INADDR_BROADCAST);
  in_addr numeric{};
  if (::inet_pton(AF_INET, host.c_str(), &numeric) == 1) return numeric.s_addr;
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
        if (lookup->rc != 0) {
          const int rc = lookup->rc;
          throw ResolveError("[Errno " + std::to_string(rc) + "] " + ::gai_strerror(rc));
        }
        return lookup->address;
      }
    }
    check(interrupt);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

int tcp_connect_ex(const std::string& host, int port, double timeout, const Interrupt& interrupt) {
  Fd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (sock.fd < 0) throw SocketError(errno_text(errno));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = static_cast<in_addr_t>(resolve_ipv4(host, interrupt));
  ::fcntl(sock.fd, F_SETFL, ::fcntl(sock.fd, F_GETFL) | O_NONBLOCK);
  if (::connect(sock.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return 0;
  if (errno != EINPROGRESS) return errno;
  const auto deadline = deadline_after(timeout);
  while (true) {
    check(interrupt);
    const int slice = next_slice_ms(deadline);
    if (slice < 0) return EAGAIN;  // what connect_ex reports for a time-out
    pollfd p{sock.fd, POLLOUT, 0};
    const int n = ::poll(&p, 1, slice);
    if (n < 0 && errno != EINTR) return errno;
    if (n > 0) {
      int err = 0;
      socklen_t len = sizeof err;
      ::getsockopt(sock.fd, SOL_SOCKET, SO_ERROR, &err, &len);
      return err;
    }
  }
}

UdpReply udp_exchange(const std::string& host, int port, double timeout, const Interrupt& interrupt) {
  Fd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (sock.fd < 0) throw SocketError(errno_text(errno));
  // Without this an unconnected socket never hears of an ICMP port-unreachable
  // answer, and a closed port would pass for a silent open one.
  const int on = 1;
  ::setsockopt(sock.fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = static_cast<in_addr_t>(resolve_ipv4(host, interrupt));
  const auto deadline = deadline_after(timeout);
  while (::sendto(sock.fd, "", 0, 0, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
    if (errno == ECONNREFUSED) return UdpReply::Refused;
    if (errno != EAGAIN && errno != EINTR) throw SocketError(errno_text(errno));
    // A full send buffer: wait for room like a blocking socket with a time-out.
    check(interrupt);
    const int slice = next_slice_ms(deadline);
    if (slice < 0) throw SocketError("timed out");
    pollfd p{sock.fd, POLLOUT, 0};
    ::poll(&p, 1, slice);
  }
  char buffer[1024];
  while (true) {
    // A datagram longer than the buffer is cut to it and still counts.
    if (::recvfrom(sock.fd, buffer, sizeof buffer, 0, nullptr, nullptr) >= 0) return UdpReply::Received;
    if (errno == ECONNREFUSED) return UdpReply::Refused;
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) throw SocketError(errno_text(errno));
    check(interrupt);
    const int slice = next_slice_ms(deadline);
    if (slice < 0) return UdpReply::TimedOut;
    pollfd p{sock.fd, POLLIN, 0};
    if (::poll(&p, 1, slice) < 0 && errno != EINTR) throw SocketError(errno_text(errno));
  }
}

}  // namespace engine::os
