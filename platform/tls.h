// TLS client sessions over connected, non-blocking sockets: one backend per
// system (OpenSSL on POSIX, Schannel on Windows), each the only file that
// includes its library's headers. Nothing here waits: a call that needs the
// socket to be readable or writable says so in wait, and the caller waits
// (bounded) and calls again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/error_numbers.h"
#include "platform/platform.h"

// The backend's own record of one session.
struct TlsSession;

// What a call needs before it can go on.
enum class TlsWait : std::uint8_t { none, readable, writable };

// Whom the server's certificate must name.
struct TlsPeer {
  std::string name;     // the host as written: the DNS name checked, sent as SNI
  std::string address;  // 4 or 16 bytes when the host is an address: checked
                        // against the certificate's IP entries, no SNI
  bool tunnelled = false;  // the connection reached a proxy, not the server
};

// True when der is one whole X.509 certificate the TLS library reads; false
// with 57 recorded when the library itself cannot be had (its words in
// platform_failure_reason). Nothing is connected for it.
bool platform_tls_certificate_readable(ErrorNumber& error_code, const std::string& der);

// Starts a client session on socket for peer: TLS 1.2 or 1.3 only,
// authenticated and encrypted cipher suites only, whatever the system's
// policy allows beyond that; the certificate chain checked against roots
// (DER certificates; none: the system's store) and the peer's name or
// address checked against the certificate's subjectAltName entries alone,
// a wildcard standing for one whole left-most label. No byte is sent yet.
// nullptr with the failure recorded (57; 7 without memory).
TlsSession* platform_tls_start(ErrorNumber& error_code, SocketHandle socket, const TlsPeer& peer,
                               const std::vector<std::string>& roots);

// Goes on with the handshake: true once it is complete and every check has
// passed (a certificate was presented, and verified); false with wait set to
// what it needs, or false with wait none and the failure recorded (57),
// whose words platform_failure_reason gives: "untrusted authority", "name
// mismatch", "expired certificate", "certificate not yet valid", "not a
// server certificate", "handshake failure", "not TLS" (the peer answered in
// plain text), or the library's.
bool platform_tls_handshake(ErrorNumber& error_code, TlsSession* session, TlsWait& wait);

// Sends up to size bytes: the count taken (more than 0), 0 with wait set, or
// -1 with the failure recorded (57).
std::int64_t platform_tls_send(ErrorNumber& error_code, TlsSession* session, const char* data,
                               std::size_t size, TlsWait& wait);

// Receives up to size bytes: the count, 0 once the peer has closed (with a
// close-notify or with a plain TCP close), -2 with wait set when nothing is
// there yet, or -1 with the failure recorded (57: an alert, a record that
// does not decrypt, a reset, a request to renegotiate, which is refused).
std::int64_t platform_tls_receive(ErrorNumber& error_code, TlsSession* session, char* buffer,
                                  std::size_t size, TlsWait& wait);

// True when bytes the session has already taken from the socket wait to be
// received: the next receive needs no wait for the socket.
bool platform_tls_pending(const TlsSession* session);

// Sends a close-notify (when notify is set) without waiting for the peer's
// and frees the session; the socket stays open. Reports nothing.
void platform_tls_end(TlsSession* session, bool notify);
