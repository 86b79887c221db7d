#include "services/tcp.h"

#include <algorithm>
#include <cstdint>
#include <new>

#include "services/number_table.h"

namespace {

// The waits of a connection opened with time-out 0 are practically unbounded.
constexpr std::uint32_t kNoTimeout = 0xFFFFFFFF;

// The connection open under number; records 52 when nothing is open there
// and 54 when a disk file is.
TcpConnection* find_connection(ErrorNumber& error_code, std::int16_t number) {
  NumberEntry* entry = find_number(number);
  if (entry == nullptr) {
    set_error(error_code, kErrNotOpen);
    return nullptr;
  }
  if (entry->kind != NumberKind::tcp || entry->connection == nullptr) {
    set_error(error_code, kErrWrongKind);
    return nullptr;
  }
  return entry->connection.get();
}

// Hands up to wanted waiting bytes over to text and returns the count.
std::uint32_t take_held(TcpConnection& connection, std::uint32_t wanted, std::string& text) {
  std::uint32_t count = std::min(wanted, connection.held);
  text.append(connection.buffer.data + connection.start, count);
  connection.start += count;
  connection.held -= count;
  if (connection.held == 0) connection.start = 0;
  return count;
}

}  // namespace

AlignedBytes aligned_bytes(std::size_t size, std::size_t skew) {
  constexpr std::size_t kPage = 4096;
  AlignedBytes bytes;
  bytes.storage.reset(new (std::nothrow) char[size + kPage + skew]);
  if (bytes.storage != nullptr) {
    const auto at = reinterpret_cast<std::uintptr_t>(bytes.storage.get());
    bytes.data = bytes.storage.get() + (kPage - at % kPage) % kPage + skew;
  }
  return bytes;
}

void tcp_open(ErrorNumber& error_code, std::int16_t number, const std::string& host,
              std::int32_t port, const WaitLimits& limits, const std::string& service) {
  const std::uint32_t timeout_ms = limits.wait_ms == 0 ? kNoTimeout : limits.wait_ms;
  NumberEntry* entry = enter_number(error_code, number, NumberKind::tcp, kNoFile);
  if (entry == nullptr) return;

  // The record and its buffer are made before any socket work, so a lack of
  // memory is told apart from a network failure.
  std::unique_ptr<TcpConnection> connection(new (std::nothrow) TcpConnection);
  if (connection != nullptr) {
    connection->buffer = aligned_bytes(kReceiveBufferSize, kReceiveBufferSkew);
  }
  if (connection == nullptr || connection->buffer.data == nullptr) {
    remove_number(number);
    set_error(error_code, kErrNoMemory);
    return;
  }
  connection->number = number;
  connection->timeout_ms = timeout_ms;
  connection->deadline_ms = limits.deadline_ms;

  // Every failure below is recorded in step_error first, so the number is
  // free again before the caller learns of it.
  ErrorNumber step_error = 0;
  if (port < 0) {
    std::int32_t found = platform_tcp_service_port(step_error, service);
    if (found >= 0) connection->remote_port = static_cast<std::uint16_t>(found);
  } else {
    connection->remote_port = static_cast<std::uint16_t>(port);
  }
  if (step_error == 0) connection->local_host_name = platform_local_host_name(step_error);
  // The host is used whole: a cut name would be another host.
  if (step_error == 0) {
    connection->socket =
        platform_tcp_connect(step_error, host, connection->remote_port, timeout_ms, limits.deadline_ms);
  }
  if (step_error != 0) {
    remove_number(number);
    set_error(error_code, step_error);
    return;
  }
  entry->connection = std::move(connection);
}

namespace {

// How long the next wait may last: the connection's time-out, or less when a
// limit on all waits ends sooner.
std::uint32_t wait_bound(const TcpConnection& connection) {
  if (connection.deadline_ms == 0) return connection.timeout_ms;
  const std::uint64_t now = platform_monotonic_milliseconds();
  if (now >= connection.deadline_ms) return 0;
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(connection.deadline_ms - now, connection.timeout_ms));
}

// The send loop of a TLS connection, the same rounds as send_all's: wait
// (bounded) for what the session needs, hand it what it takes. The session
// takes a record per call; the next call follows at once, and only a call
// that could not go on waits.
std::uint64_t send_all_secure(ErrorNumber& error_code, TcpConnection& connection, const char* data,
                              std::uint64_t size) {
  std::uint64_t sent = 0;
  TlsWait needed = TlsWait::writable;
  do {
    if (needed != TlsWait::none) {
      SocketWait wait = platform_wait_socket(error_code, connection.socket,
                                             needed != TlsWait::readable, wait_bound(connection));
      if (wait == SocketWait::timed_out) set_error(error_code, kErrTimedOut);
      if (wait != SocketWait::ready) return sent;
    }
    if (size == 0) break;
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(size - sent, SIZE_MAX));
    const std::int64_t accepted = platform_tls_send(error_code, connection.tls, data + sent, count, needed);
    if (accepted < 0) return sent;
    if (accepted == 0) {
      // Nothing taken: wait before the next call, so that the loop stays
      // bounded by the time-out.
      if (needed == TlsWait::none) needed = TlsWait::writable;
      continue;
    }
    needed = TlsWait::none;
    sent += static_cast<std::uint64_t>(accepted);
  } while (sent < size);
  connection.end_of_data = false;
  return sent;
}

// The one send loop every byte on the wire goes through: wait (bounded) for
// room, send what the socket takes without waiting, repeat. A peer that
// stops reading ends it with 24 after one time-out. At least one round runs
// even for no bytes: the wait still tells whether the connection can take
// data.
std::uint64_t send_all(ErrorNumber& error_code, TcpConnection& connection, const char* data,
                       std::uint64_t size) {
  if (connection.tls != nullptr) return send_all_secure(error_code, connection, data, size);
  std::uint64_t sent = 0;
  do {
    SocketWait wait =
        platform_wait_socket(error_code, connection.socket, true, wait_bound(connection));
    if (wait == SocketWait::timed_out) set_error(error_code, kErrTimedOut);
    if (wait != SocketWait::ready) return sent;
    const std::int64_t accepted = platform_socket_send(error_code, connection.socket, data + sent,
                                                       static_cast<std::size_t>(size - sent));
    if (accepted < 0) return sent;
    sent += static_cast<std::uint64_t>(accepted);
  } while (sent < size);
  connection.end_of_data = false;
  return sent;
}

}  // namespace

void tcp_send_bytes(ErrorNumber& error_code, std::int16_t number, const char* data,
                    std::size_t size) {
  TcpConnection* connection = find_connection(error_code, number);
  if (connection != nullptr) send_all(error_code, *connection, data, size);
}

std::uint64_t tcp_send_file(ErrorNumber& error_code, std::int16_t number, FileHandle file,
                            std::uint64_t offset, std::uint64_t size) {
  TcpConnection* connection = find_connection(error_code, number);
  if (connection == nullptr) return 0;
  if (size == 0) return send_all(error_code, *connection, nullptr, 0);
  const AlignedBytes piece = aligned_bytes(static_cast<std::size_t>(std::min<std::uint64_t>(size, kFilePiece)), 0);
  if (piece.data == nullptr) {
    set_error(error_code, kErrNoMemory);
    return 0;
  }
  std::uint64_t sent = 0;
  while (sent < size) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(size - sent, kFilePiece));
    ErrorNumber read_error = 0;
    const std::size_t got = platform_read_at(read_error, file, piece.data, want, offset + sent);
    if (read_error != 0 || got == 0) {
      // A failed read, or a file shorter than the size announced.
      set_error(error_code, read_error != 0 ? read_error : ErrorNumber{kErrEndOfFile});
      return sent;
    }
    sent += send_all(error_code, *connection, piece.data, got);
    if (error_code != 0) return sent;
  }
  return sent;
}

void tcp_start_tls(ErrorNumber& error_code, std::int16_t number, const TlsPeer& peer,
                   const std::vector<std::string>& roots) {
  TcpConnection* connection = find_connection(error_code, number);
  if (connection == nullptr) return;
  TcpConnection& c = *connection;
  ErrorNumber step_error = 0;
  // An address is checked as the one the connection reached, whatever the
  // resolver made of the text. Through a proxy the connection reached the
  // proxy; the address checked is then the strict one the proxy was asked
  // to connect to.
  TlsPeer reached = peer;
  if (!reached.address.empty() && !peer.tunnelled) {
    const std::string address = platform_socket_peer_address(c.socket);
    if (!address.empty()) reached.address = address;
  }
  TlsSession* session = platform_tls_start(step_error, c.socket, reached, roots);
  if (session == nullptr) {
    set_error(error_code, step_error);
    return;
  }
  // A server that accepts and then stalls the handshake ends it within one
  // time-out, however it spaces its bytes.
  const std::uint64_t deadline = platform_monotonic_milliseconds() + c.timeout_ms;
  TlsWait needed = TlsWait::none;
  while (!platform_tls_handshake(step_error, session, needed)) {
    if (needed == TlsWait::none) break;
    const std::uint64_t now = platform_monotonic_milliseconds();
    const std::uint32_t bound = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(wait_bound(c), now >= deadline ? 0 : deadline - now));
    SocketWait wait =
        platform_wait_socket(step_error, c.socket, needed == TlsWait::writable, bound);
    if (wait == SocketWait::timed_out) set_error(step_error, kErrTimedOut);
    if (wait != SocketWait::ready) break;
  }
  if (step_error != 0) {
    platform_tls_end(session, false);
    set_error(error_code, step_error);
    return;
  }
  c.tls = session;
}

void tcp_end_waits_by(std::int16_t number, std::uint64_t deadline_ms) {
  ErrorNumber ignored = 0;
  TcpConnection* connection = find_connection(ignored, number);
  if (connection != nullptr && deadline_ms != 0 &&
      (connection->deadline_ms == 0 || deadline_ms < connection->deadline_ms)) {
    connection->deadline_ms = deadline_ms;
  }
}

void tcp_limit_waits(std::int16_t number, std::uint32_t total_ms) {
  tcp_end_waits_by(number, platform_monotonic_milliseconds() + std::max<std::uint32_t>(total_ms, 1));
}

void tcp_send(ErrorNumber& error_code, std::int16_t number, const std::string& bytes) {
  tcp_send_bytes(error_code, number, bytes.data(), bytes.size());
}

void tcp_send_line(ErrorNumber& error_code, std::int16_t number, const std::string& text) {
  tcp_send(error_code, number, text);
  tcp_send_bytes(error_code, number, "\r\n", 2);
}

namespace {

// Fills the buffer from the TLS session: one receive, then more while the
// session holds bytes already, so that a short refill still means nothing
// more has arrived. The count, 0 once the peer has closed, -2 with needed
// set, or -1 with the failure in error_code. A failure after some bytes is
// kept in held_error and told once those bytes are handed over. The peer's
// close is kept in held_close: the session reads its close-notify once, and
// the socket may have nothing more to wait for (a server that waits for
// ours before it closes).
std::int64_t receive_secure(ErrorNumber& error_code, TcpConnection& c, TlsWait& needed) {
  std::uint32_t filled = 0;
  needed = TlsWait::readable;
  for (;;) {
    ErrorNumber step_error = 0;
    TlsWait wait = TlsWait::none;
    const std::int64_t got = platform_tls_receive(step_error, c.tls, c.buffer.data + filled,
                                                  kReceiveBufferSize - filled, wait);
    if (got > 0) {
      filled += static_cast<std::uint32_t>(got);
      if (filled < kReceiveBufferSize && platform_tls_pending(c.tls)) continue;
      return filled;
    }
    if (filled > 0) {
      if (got == -1) c.held_error = step_error;
      if (got == 0) c.held_close = true;
      return filled;
    }
    if (got == -2) needed = wait;
    if (got == -1) set_error(error_code, step_error);
    return got;
  }
}

}  // namespace

std::size_t tcp_receive_into(ErrorNumber& error_code, std::int16_t number, std::int32_t count,
                             std::string& text) {
  if (count < 0) {
    set_error(error_code, kErrNoMemory);
    return 0;
  }
  TcpConnection* connection = find_connection(error_code, number);
  if (connection == nullptr) return 0;
  TcpConnection& c = *connection;
  c.end_of_data = false;
  c.short_refill = false;

  std::uint32_t wanted = static_cast<std::uint32_t>(count);
  std::size_t obtained = 0;
  TlsWait needed = TlsWait::readable;  // what the TLS session waits for
  bool tls_blocked = false;            // its last receive needs the socket
  for (;;) {
    if (c.held > 0) {
      std::uint32_t taken = take_held(c, wanted, text);
      wanted -= taken;
      obtained += taken;
      if (c.held > 0) break;
      // A short refill handed over completely: whatever the peer sends next
      // has not arrived yet, so return rather than wait for it.
      if (c.short_refill) {
        c.end_of_data = true;
        break;
      }
    }
    if (wanted == 0) break;

    ErrorNumber step_error = 0;
    // A TLS failure met after bytes that were handed over is told now.
    if (c.held_error != 0) {
      set_error(error_code, c.held_error);
      c.held_error = 0;
      break;
    }
    // Bytes the TLS session holds already, or its peer's close, need no
    // wait for the socket.
    const bool buffered =
        c.held_close || (c.tls != nullptr && !tls_blocked && platform_tls_pending(c.tls));
    SocketWait wait = buffered ? SocketWait::ready
                               : platform_wait_socket(step_error, c.socket,
                                                      needed == TlsWait::writable, wait_bound(c));
    if (wait == SocketWait::timed_out) {
      // Bytes already handed over in this call end it quietly; a call that
      // got nothing reports the time-out.
      if (obtained > 0) {
        c.short_refill = true;
        c.end_of_data = true;
      } else {
        set_error(error_code, kErrTimedOut);
      }
      break;
    }
    std::int64_t received = -1;
    if (c.held_close) {
      received = 0;
    } else if (wait == SocketWait::ready && c.tls != nullptr) {
      received = receive_secure(step_error, c, needed);
      tls_blocked = received == -2;
    } else if (wait == SocketWait::ready) {
      received = platform_socket_receive(step_error, c.socket, c.buffer.data, kReceiveBufferSize);
    }
    // A readiness that brought nothing after all: wait again.
    if (received == -2) continue;
    if (received < 0) {
      // The bytes this call already took stay with the caller; losing them
      // would corrupt the data, and the error still tells the failure.
      set_error(error_code, step_error);
      break;
    }
    c.start = 0;
    c.held = static_cast<std::uint32_t>(received);
    if (c.held != kReceiveBufferSize) c.short_refill = true;
    if (received == 0) {
      if (c.tls != nullptr) c.held_close = true;
      c.end_of_data = true;
      break;
    }
  }
  return obtained;
}

std::string tcp_receive(ErrorNumber& error_code, std::int16_t number, std::int32_t count) {
  std::string result;
  // Room for what one buffer can hand over, never more than was asked for.
  if (count > 0) result.reserve(std::min<std::uint32_t>(count, kReceiveBufferSize));
  tcp_receive_into(error_code, number, count, result);
  return result;
}

bool tcp_at_end(ErrorNumber& error_code, std::int16_t number) {
  NumberEntry* entry = find_number(number);
  if (entry == nullptr) {
    set_error(error_code, kErrNotFound);
    return false;
  }
  return entry->kind == NumberKind::tcp && entry->connection != nullptr &&
         entry->connection->end_of_data;
}

void tcp_abandon(std::int16_t number) {
  ErrorNumber ignored = 0;
  TcpConnection* connection = find_connection(ignored, number);
  if (connection != nullptr) connection->abandoned = true;
}

void tcp_close(ErrorNumber& error_code, std::int16_t number) {
  NumberEntry* entry = find_number(number);
  if (entry == nullptr) return;
  if (entry->kind != NumberKind::tcp) {
    set_error(error_code, kErrWrongKind);
    return;
  }
  if (entry->connection != nullptr) {
    platform_tls_end(entry->connection->tls, !entry->connection->abandoned);
    entry->connection->tls = nullptr;
    platform_close_socket(entry->connection->socket);
  }
  remove_number(number);
}
