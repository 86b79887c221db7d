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

// A client certificate with its key, loaded by the backend before
// connecting and offered to the server when it asks for one.
struct TlsClientCredential;

// Whom the server's certificate must name, and what the client offers.
struct TlsPeer {
  std::string name;     // the host as written: the DNS name checked, sent as SNI
  std::string address;  // 4 or 16 bytes when the host is an address: checked
                        // against the certificate's IP entries, no SNI
  bool tunnelled = false;  // the connection reached a proxy, not the server
  const TlsClientCredential* credential = nullptr;  // offered when asked for; nullptr: none
};

// What a client certificate is loaded from: the bytes of the files the job
// names, or an entry of the system's certificate store.
struct TlsClientSource {
  std::string certificate;  // PEM (certificate, its chain, maybe its key) or PKCS#12
  std::string key;          // a PEM key; empty: the key is in certificate
  std::string password;     // of an encrypted PEM key or of the PKCS#12 file
  std::string store_entry;  // CurrentUser\My\THUMBPRINT or LocalMachine\My\THUMBPRINT
                            // (Windows); certificate is then empty
};

// What loading a client certificate found beside the credential.
struct TlsClientFindings {
  std::string problem;  // why it cannot be used (with 54); never holds the password
  bool in_key = false;  // the problem lies in the key file
  bool expired = false;
  bool not_yet_valid = false;
};

// Loads the certificate, its chain and its private key from source: PEM or
// PKCS#12 told apart by their bytes, the key checked against the
// certificate. nullptr with 54 recorded and findings.problem set when they
// hold no certificate, no key, a key the password does not open or one that
// does not match; 57 when the TLS library cannot be had (its words in
// platform_failure_reason). Freed with platform_tls_free_client_credential.
TlsClientCredential* platform_tls_load_client_credential(ErrorNumber& error_code, const TlsClientSource& source,
                                                         TlsClientFindings& findings);

void platform_tls_free_client_credential(TlsClientCredential* credential);

// True when der is one whole X.509 certificate the TLS library reads; false
// with 57 recorded when the library itself cannot be had (its words in
// platform_failure_reason). Nothing is connected for it.
bool platform_tls_certificate_readable(ErrorNumber& error_code, const std::string& der);

// Starts a client session on socket for peer: TLS 1.2 or 1.3 only,
// authenticated and encrypted cipher suites only, whatever the system's
// policy allows beyond that; the certificate chain checked against roots
// (DER certificates; none: the system's store) and the peer's name or
// address checked against the certificate's subjectAltName entries alone,
// a wildcard standing for one whole left-most label; peer's credential, if
// any, offered when the server asks for a certificate. No byte is sent yet.
// nullptr with the failure recorded (57; 7 without memory).
TlsSession* platform_tls_start(ErrorNumber& error_code, SocketHandle socket, const TlsPeer& peer,
                               const std::vector<std::string>& roots);

// Goes on with the handshake: true once it is complete and every check has
// passed (a certificate was presented, and verified); false with wait set to
// what it needs, or false with wait none and the failure recorded (57),
// whose words platform_failure_reason gives: "untrusted authority", "name
// mismatch", "expired certificate", "certificate not yet valid", "not a
// server certificate", "handshake failure", "not TLS" (the peer answered in
// plain text), "the server refused the client certificate: ALERT" (its TLS
// alert, e.g. "certificate required", "bad certificate", "unknown ca"), or
// the library's. Under TLS 1.3 a server refuses a client certificate after
// the client's handshake is done: that alert ends a later receive or send.
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
