// Win32 backend: TCP connections on Winsock, and sending a file on one.
#include <cstdio>
#include <cstring>

#include "platform/connect_time.h"
#include "platform/peer_address.h"
#include "platform/win32/win32.h"

#include <winhttp.h>

namespace {

// The text as a NUL-terminated buffer of buffer_size bytes holds it: up to
// its first NUL and at most buffer_size - 1 bytes.
std::string through_buffer(const std::string& text, std::size_t buffer_size) {
  std::size_t length = text.find('\0');
  if (length == std::string::npos) length = text.size();
  if (length > buffer_size - 1) length = buffer_size - 1;
  return text.substr(0, length);
}

constexpr std::size_t kNameLimit = 256;

// Every failing socket call gives 57, or 70 when the library reports that a
// blocking call is still in progress.
void record_socket_value(ErrorNumber& error_code, int value) {
  remember_system_value(static_cast<DWORD>(value));
  set_error(error_code, value == WSAEINPROGRESS ? kErrAccessDenied : kErrSocket);
}

void record_socket_error(ErrorNumber& error_code) {
  record_socket_value(error_code, WSAGetLastError());
}

// Starts the socket library asking for version 1.1; false with 68 recorded
// when it cannot be started or offers less. Each successful start is ended
// by one WSACleanup.
bool start_sockets(ErrorNumber& error_code) {
  WSADATA data;
  int started = WSAStartup(MAKEWORD(1, 1), &data);
  if (started != 0) {
    remember_system_value(static_cast<DWORD>(started));
    set_error(error_code, kErrNoDevice);
    return false;
  }
  unsigned major = LOBYTE(data.wVersion);
  unsigned minor = HIBYTE(data.wVersion);
  if (major < 1 || (major == 1 && minor < 1)) {
    WSACleanup();
    remember_system_value(WSAVERNOTSUPPORTED);
    set_error(error_code, kErrNoDevice);
    return false;
  }
  return true;
}

// Waits until the connect under way on s has ended, at the latest when the
// walk's attempt must be over. Returns 0 once connected, the library's error
// value of a failed connect, or WSAETIMEDOUT with the walk's timed_out set
// when the time ran out first. select, not WSAPoll: WSAPoll does not report
// a failed connect on every Windows version; select tells it in the
// exception set.
int finish_connect(SOCKET s, ConnectWalk& walk) {
  for (;;) {
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    // select takes at most a day at a time; a longer bound takes rounds.
    constexpr std::uint64_t kRound = 86400000;
    std::uint64_t wait_ms = kRound;
    if (!walk.unbounded) {
      const std::uint64_t now = platform_monotonic_milliseconds();
      wait_ms = now >= walk.attempt_end_ms ? 0 : walk.attempt_end_ms - now;
      if (wait_ms > kRound) wait_ms = kRound;
    }
    struct timeval limit;
    limit.tv_sec = static_cast<long>(wait_ms / 1000);
    limit.tv_usec = static_cast<long>(wait_ms % 1000) * 1000;
    const int result = select(0, nullptr, &writable, &failed, &limit);
    if (result == SOCKET_ERROR) return WSAGetLastError();
    if (result > 0) break;
    if (!walk.unbounded && wait_ms < kRound) {
      walk.timed_out = true;
      return WSAETIMEDOUT;
    }
  }
  // Writable, or in the exception set: the connect's own outcome decides.
  int value = 0;
  int size = sizeof value;
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&value), &size) != 0) {
    return WSAGetLastError();
  }
  return value;
}

// How many addresses the resolver's answer holds.
int count_addresses(const struct addrinfo* answer) {
  int count = 0;
  for (; answer != nullptr; answer = answer->ai_next) ++count;
  return count;
}

// The walk's next attempt, on one resolved address; the socket, or
// INVALID_SOCKET with the library's error value left for the caller
// (WSAETIMEDOUT with the walk's timed_out set when the time ran out).
SOCKET connect_one(const struct addrinfo& address, ConnectWalk& walk) {
  start_attempt(walk, platform_monotonic_milliseconds());
  SOCKET s = socket(address.ai_family, address.ai_socktype, address.ai_protocol);
  if (s == INVALID_SOCKET) return s;
  // A close never waits for unsent data.
  BOOL dont_linger = TRUE;
  bool ok = setsockopt(s, SOL_SOCKET, SO_DONTLINGER, reinterpret_cast<const char*>(&dont_linger),
                       sizeof dont_linger) == 0;
  // Non-blocking from the start: the connect returns at once and is waited
  // for with the bound below, and later no send or receive waits either;
  // the caller waits with select.
  u_long non_blocking = 1;
  if (ok) ok = ioctlsocket(s, FIONBIO, &non_blocking) == 0;
  int value = 0;
  if (ok && connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0) {
    value = WSAGetLastError();
    if (value == WSAEWOULDBLOCK) value = finish_connect(s, walk);
    ok = value == 0;
  } else if (!ok) {
    value = WSAGetLastError();
  }
  if (!ok) {
    closesocket(s);
    WSASetLastError(value);
    return INVALID_SOCKET;
  }
  return s;
}

}  // namespace

SocketHandle platform_tcp_connect(ErrorNumber& error_code, const std::string& host,
                                  std::uint16_t port, std::uint32_t timeout_ms,
                                  std::uint64_t deadline_ms) {
  // The name goes to the resolver whole; a NUL byte would cut it short, so a
  // name holding one names no host.
  if (host.find('\0') != std::string::npos) {
    record_socket_value(error_code, WSAHOST_NOT_FOUND);
    return kNoSocket;
  }
  if (!start_sockets(error_code)) return kNoSocket;
  char service[8];
  std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
  struct addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  struct addrinfo* answer = nullptr;
  int resolved = getaddrinfo(host.c_str(), service, &hints, &answer);
  if (resolved != 0) {
    record_socket_value(error_code, resolved);
    WSACleanup();
    return kNoSocket;
  }
  // The first address that accepts wins; the time from here on is shared
  // among them (connect_time.h).
  ConnectWalk walk = connect_walk(timeout_ms, deadline_ms, platform_monotonic_milliseconds(),
                                  count_addresses(answer));
  SOCKET s = INVALID_SOCKET;
  for (const struct addrinfo* address = answer; address != nullptr && s == INVALID_SOCKET;
       address = address->ai_next) {
    s = connect_one(*address, walk);
  }
  if (s == INVALID_SOCKET && walk.timed_out) {
    // Out of time: the program's own finding, whatever the system says.
    remember_system_value(WSAETIMEDOUT);
    set_error(error_code, kErrTimedOut);
  } else if (s == INVALID_SOCKET) {
    record_socket_error(error_code);
  }
  freeaddrinfo(answer);
  if (s == INVALID_SOCKET) {
    WSACleanup();
    return kNoSocket;
  }
  return from_socket(s);
}

SocketWait platform_wait_socket(ErrorNumber& error_code, SocketHandle socket, bool for_writing,
                                std::uint32_t timeout_ms) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(to_socket(socket), &set);
  struct timeval limit;
  limit.tv_sec = static_cast<long>(timeout_ms / 1000);
  limit.tv_usec = static_cast<long>(timeout_ms % 1000) * 1000;
  struct timeval* bound = timeout_ms == 0xFFFFFFFFu ? nullptr : &limit;
  int result = select(0, for_writing ? nullptr : &set, for_writing ? &set : nullptr, nullptr, bound);
  if (result == SOCKET_ERROR) {
    record_socket_error(error_code);
    return SocketWait::failed;
  }
  return result == 0 ? SocketWait::timed_out : SocketWait::ready;
}

std::int64_t platform_socket_send(ErrorNumber& error_code, SocketHandle socket, const char* data,
                                  std::size_t size) {
  int piece = size > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(size);
  int sent = send(to_socket(socket), data, piece, 0);
  if (sent == SOCKET_ERROR) {
    // No room in the socket's buffer now: nothing taken, nothing failed.
    if (WSAGetLastError() == WSAEWOULDBLOCK) return 0;
    record_socket_error(error_code);
    return -1;
  }
  return sent;
}

std::int64_t platform_socket_receive(ErrorNumber& error_code, SocketHandle socket, char* buffer,
                                     std::size_t size) {
  int piece = size > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(size);
  int received = recv(to_socket(socket), buffer, piece, 0);
  if (received == SOCKET_ERROR) {
    // Nothing has arrived yet; the peer has not closed either.
    if (WSAGetLastError() == WSAEWOULDBLOCK) return -2;
    record_socket_error(error_code);
    return -1;
  }
  return received;
}

std::int32_t platform_tcp_service_port(ErrorNumber& error_code, const std::string& service) {
  std::string name = through_buffer(service, kNameLimit + 1);
  if (!start_sockets(error_code)) return -1;
  // The empty name is never a service.
  const struct servent* entry = name.empty() ? nullptr : getservbyname(name.c_str(), "tcp");
  std::int32_t port = entry == nullptr ? -1 : ntohs(static_cast<u_short>(entry->s_port));
  if (entry == nullptr) set_error(error_code, kErrSocket);
  WSACleanup();
  return port;
}

std::string platform_local_host_name(ErrorNumber& error_code) {
  if (!start_sockets(error_code)) return std::string();
  char name[kNameLimit + 1];
  std::memset(name, 0, sizeof name);
  std::string result;
  if (gethostname(name, static_cast<int>(kNameLimit)) != 0) {
    record_socket_error(error_code);
  } else {
    result.assign(name, strnlen(name, kNameLimit));
  }
  WSACleanup();
  return result;
}

std::string platform_socket_peer_address(SocketHandle socket) {
  sockaddr_storage address;
  int size = sizeof address;
  std::memset(&address, 0, sizeof address);
  if (getpeername(to_socket(socket), reinterpret_cast<sockaddr*>(&address), &size) != 0) return {};
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    return std::string(reinterpret_cast<const char*>(&v4.sin_addr), 4);
  }
  if (address.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    return ipv6_address_bytes(reinterpret_cast<const char*>(&v6.sin6_addr));
  }
  return {};
}

void platform_close_socket(SocketHandle socket) {
  if (socket == kNoSocket) return;
  closesocket(to_socket(socket));
  // The start-up that the connect made ends with the connection.
  WSACleanup();
}

namespace {

// A wide string from WinHTTP in the ANSI code page; empty for none.
std::string ansi_text(const wchar_t* text) {
  if (text == nullptr || *text == L'\0') return std::string();
  const int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return std::string();
  std::string result(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, -1, result.data(), size, nullptr, nullptr);
  result.resize(static_cast<std::size_t>(size - 1));
  return result;
}

}  // namespace

bool platform_system_proxy(std::string& proxy, std::string& bypass) {
  proxy.clear();
  bypass.clear();
  WINHTTP_PROXY_INFO info = {};
  if (!WinHttpGetDefaultProxyConfiguration(&info)) return false;
  if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY) {
    proxy = ansi_text(info.lpszProxy);
    bypass = ansi_text(info.lpszProxyBypass);
  }
  if (info.lpszProxy != nullptr) GlobalFree(info.lpszProxy);
  if (info.lpszProxyBypass != nullptr) GlobalFree(info.lpszProxyBypass);
  return !proxy.empty();
}
