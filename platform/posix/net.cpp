// POSIX backend: client stream sockets. Every failure is recorded as 57, or
// as 70 when the system reports EINPROGRESS, or 24 when connecting runs out
// of time; EINTR never leaves this file.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/connect_time.h"
#include "platform/peer_address.h"
#include "platform/platform.h"
#include "platform/posix/posix.h"

#ifndef MSG_NOSIGNAL
// Systems without the flag (macOS) get SO_NOSIGPIPE on each socket instead.
#define MSG_NOSIGNAL 0
#endif

namespace {

constexpr std::size_t kNameLimit = 256;

void record_socket_error(ErrorNumber& error_code, int value) {
  remember_failure_reason(std::strerror(value));
  set_error(error_code, value == EINPROGRESS ? kErrAccessDenied : kErrSocket);
}

// The text the system sees: at most kNameLimit bytes, ended by a NUL byte.
std::string system_name(const std::string& text) {
  std::string name = text.substr(0, kNameLimit);
  return name.substr(0, name.find('\0'));
}

// Waits until the connect under way on fd has ended, at the latest when
// the walk's attempt must be over. Returns 0 once connected, the errno value
// of a failed connect, or ETIMEDOUT with the walk's timed_out set when the
// time ran out first. A signal does not stop the connect: the wait goes on
// for the time that is left.
int finish_connect(int fd, ConnectWalk& walk) {
  struct pollfd entry;
  entry.fd = fd;
  entry.events = POLLOUT;
  for (;;) {
    int wait_ms = -1;
    if (!walk.unbounded) {
      const std::uint64_t now = platform_monotonic_milliseconds();
      const std::uint64_t left = now >= walk.attempt_end_ms ? 0 : walk.attempt_end_ms - now;
      wait_ms = left > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(left);
    }
    entry.revents = 0;
    const int result = poll(&entry, 1, wait_ms);
    if (result > 0) break;
    if (result == 0 && wait_ms != INT_MAX) {
      walk.timed_out = true;
      return ETIMEDOUT;
    }
    if (result < 0 && errno != EINTR) return errno;
  }
  // Writable, or an error or hang-up: the connect's own outcome decides.
  int value = 0;
  socklen_t size = sizeof value;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &value, &size) != 0) return errno;
  return value;
}

// How many addresses the resolver's answer holds.
int count_addresses(const struct addrinfo* answer) {
  int count = 0;
  for (; answer != nullptr; answer = answer->ai_next) ++count;
  return count;
}

// The walk's next attempt, on one resolved address; returns the socket or -1
// with the errno value in failure (ETIMEDOUT with the walk's timed_out set
// when the time ran out).
int connect_one(const struct addrinfo& address, ConnectWalk& walk, int& failure) {
  start_attempt(walk, platform_monotonic_milliseconds());
  int fd = socket(address.ai_family, address.ai_socktype, address.ai_protocol);
  if (fd < 0) {
    failure = errno;
    return -1;
  }
  // The connection must not leak into a viewer started later.
  int result = fcntl(fd, F_SETFD, FD_CLOEXEC);
  // A close never waits for unsent data: lingering switched off.
  struct linger no_linger;
  no_linger.l_onoff = 0;
  no_linger.l_linger = 0;
  if (result == 0) {
    result = setsockopt(fd, SOL_SOCKET, SO_LINGER, &no_linger, sizeof no_linger);
  }
#ifdef SO_NOSIGPIPE
  int on = 1;
  if (result == 0) result = setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
  // Non-blocking from the start: the connect itself returns at once and is
  // waited for with the bound below, and later no send or receive waits
  // either; the caller's bounded waits for readiness decide how long.
  if (result == 0) {
    const int flags = fcntl(fd, F_GETFL);
    result = flags < 0 ? -1 : fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  }
  if (result == 0) {
    result = connect(fd, address.ai_addr, address.ai_addrlen);
    // EINTR leaves the connect going on in the background, as EINPROGRESS
    // does: both are waited for.
    if (result != 0 && (errno == EINPROGRESS || errno == EINTR)) {
      const int outcome = finish_connect(fd, walk);
      result = outcome == 0 ? 0 : -1;
      errno = outcome;
    }
  }
  if (result != 0) {
    failure = errno;
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

SocketHandle platform_tcp_connect(ErrorNumber& error_code, const std::string& host,
                                  std::uint16_t port, std::uint32_t timeout_ms,
                                  std::uint64_t deadline_ms) {
  // A NUL would end the name early: the host asked for is not the one the
  // resolver would see.
  if (host.find('\0') != std::string::npos) {
    remember_failure_reason("the host name holds a NUL byte", true);
    set_error(error_code, kErrSocket);
    return kNoSocket;
  }
  const std::string& name = host;
  std::string service = std::to_string(port);
  struct addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  struct addrinfo* answer = nullptr;
  int resolved = getaddrinfo(name.c_str(), service.c_str(), &hints, &answer);
  if (resolved != 0) {
    if (resolved == EAI_SYSTEM) {
      record_socket_error(error_code, errno);
    } else {
      remember_failure_reason(gai_strerror(resolved), true);
      set_error(error_code, kErrSocket);
    }
    return kNoSocket;
  }
  // The first address that accepts wins; the time from here on is shared
  // among them (connect_time.h).
  ConnectWalk walk = connect_walk(timeout_ms, deadline_ms, platform_monotonic_milliseconds(),
                                  count_addresses(answer));
  int failure = 0;
  int fd = -1;
  for (const struct addrinfo* address = answer; address != nullptr && fd < 0;
       address = address->ai_next) {
    fd = connect_one(*address, walk, failure);
  }
  freeaddrinfo(answer);
  if (fd < 0 && walk.timed_out) {
    // Out of time: the program's own finding, whatever the system says.
    remember_failure_reason(std::strerror(ETIMEDOUT));
    set_error(error_code, kErrTimedOut);
    return kNoSocket;
  }
  if (fd < 0) {
    record_socket_error(error_code, failure);
    return kNoSocket;
  }
  return socket_from_fd(fd);
}

SocketWait platform_wait_socket(ErrorNumber& error_code, SocketHandle socket, bool for_writing,
                                std::uint32_t timeout_ms) {
  // Waits of INT_MAX ms (almost 25 days) and more cannot be told from no
  // bound at all and do not fit poll's argument.
  bool unbounded = timeout_ms >= static_cast<std::uint32_t>(INT_MAX);
  std::uint64_t deadline = platform_monotonic_milliseconds() + timeout_ms;
  struct pollfd entry;
  entry.fd = fd_of(socket);
  entry.events = for_writing ? POLLOUT : POLLIN;
  for (;;) {
    int wait_ms = -1;
    if (!unbounded) {
      std::uint64_t now = platform_monotonic_milliseconds();
      wait_ms = now >= deadline ? 0 : static_cast<int>(deadline - now);
    }
    entry.revents = 0;
    int result = poll(&entry, 1, wait_ms);
    if (result > 0) {
      if ((entry.revents & POLLNVAL) != 0) {
        record_socket_error(error_code, EBADF);
        return SocketWait::failed;
      }
      // An error or hang-up counts as ready: the send or receive that
      // follows reports it.
      return SocketWait::ready;
    }
    if (result == 0) return SocketWait::timed_out;
    if (errno != EINTR) {
      record_socket_error(error_code, errno);
      return SocketWait::failed;
    }
  }
}

std::int64_t platform_socket_send(ErrorNumber& error_code, SocketHandle socket, const char* data,
                                  std::size_t size) {
  for (;;) {
    ssize_t sent = send(fd_of(socket), data, size, MSG_NOSIGNAL);
    if (sent >= 0) return sent;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    if (errno != EINTR) {
      record_socket_error(error_code, errno);
      return -1;
    }
  }
}

std::int64_t platform_socket_receive(ErrorNumber& error_code, SocketHandle socket, char* buffer,
                                     std::size_t size) {
  for (;;) {
    ssize_t received = recv(fd_of(socket), buffer, size, 0);
    if (received >= 0) return received;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return -2;
    if (errno != EINTR) {
      record_socket_error(error_code, errno);
      return -1;
    }
  }
}

std::int32_t platform_tcp_service_port(ErrorNumber& error_code, const std::string& service) {
  std::string name = system_name(service);
  // The empty name is never a service; some systems would match it anyway.
  const struct servent* entry = name.empty() ? nullptr : getservbyname(name.c_str(), "tcp");
  if (entry == nullptr) {
    set_error(error_code, kErrSocket);
    return -1;
  }
  return ntohs(static_cast<std::uint16_t>(entry->s_port));
}

std::string platform_local_host_name(ErrorNumber& error_code) {
  char name[kNameLimit + 1];
  std::memset(name, 0, sizeof name);
  if (gethostname(name, kNameLimit) != 0) {
    record_socket_error(error_code, errno);
    return std::string();
  }
  return std::string(name, strnlen(name, kNameLimit));
}

std::string platform_socket_peer_address(SocketHandle socket) {
  struct sockaddr_storage address;
  socklen_t size = sizeof address;
  std::memset(&address, 0, sizeof address);
  if (getpeername(fd_of(socket), reinterpret_cast<struct sockaddr*>(&address), &size) != 0) return {};
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const struct sockaddr_in&>(address);
    return std::string(reinterpret_cast<const char*>(&v4.sin_addr), 4);
  }
  if (address.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const struct sockaddr_in6&>(address);
    return ipv6_address_bytes(reinterpret_cast<const char*>(&v6.sin6_addr));
  }
  return {};
}

void platform_close_socket(SocketHandle socket) {
  if (socket != kNoSocket) close(fd_of(socket));
}

bool platform_system_proxy(std::string& proxy, std::string& bypass) {
  // Proxies come from the environment alone here.
  proxy.clear();
  bypass.clear();
  return false;
}
