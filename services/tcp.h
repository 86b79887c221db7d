// Client TCP stream connections, named by numbers from the number table.
// Connecting and every wait for readiness are bounded by the time-out fixed
// at the open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/tls.h"
#include "services/errors.h"

// Memory the system copies file or received bytes into. That copy (the
// kernel's, on Linux) runs at well under half its speed on some processors
// when the memory starts 16 bytes into a cache line, as a heap block does
// (measured on AMD EPYC: 0.57 s against 0.24 s to read and send 1 GiB in
// pieces of 512 KiB), so these buffers start where the program chooses.
struct AlignedBytes {
  std::unique_ptr<char[]> storage;
  char* data = nullptr;  // size bytes from skew bytes past a page boundary; null when memory ran out
};

// A buffer of size bytes that starts skew (less than 4096) bytes past a
// page boundary; its data is null when memory ran out.
AlignedBytes aligned_bytes(std::size_t size, std::size_t skew);

// Where the receive buffer starts: on a cache line, one line past a page
// boundary. The body store's buffer is a heap block, 16 bytes past one, and
// copying 4 KiB pieces out of a buffer on a page boundary into it was at
// times five times slower (the copy of a 1 GiB answer took 0.45 s of the
// processor instead of 0.08 s in some runs).
inline constexpr std::size_t kReceiveBufferSkew = 64;

// One open connection. The received bytes waiting to be handed over are
// buffer[start, start + held); start goes back to 0 whenever held reaches 0.
struct TcpConnection {
  std::int16_t number = 0;
  SocketHandle socket = kNoSocket;
  std::string local_host_name;     // as the system reported it at the open
  std::uint32_t start = 0;         // offset of the first waiting byte
  std::uint32_t held = 0;          // count of waiting bytes
  bool end_of_data = false;        // read by tcp_at_end
  bool short_refill = false;       // a refill in this receive was shorter than the buffer
  std::uint16_t remote_port = 0;   // host byte order
  std::uint32_t timeout_ms = 0;    // bound of every wait; 0xFFFFFFFF is practically none
  std::uint64_t deadline_ms = 0;   // when not 0: no wait lasts past this monotonic time
  AlignedBytes buffer;             // kReceiveBufferSize bytes
  TlsSession* tls = nullptr;       // every byte goes through it when set; ended by tcp_close
  ErrorNumber held_error = 0;      // a TLS receive failure not told yet
  bool held_close = false;         // the TLS peer has closed: a receive ends without waiting
  bool abandoned = false;          // closed without a TLS close-notify
};

inline constexpr std::uint32_t kReceiveBufferSize = 65536;

// How long a connection may wait.
struct WaitLimits {
  std::uint32_t wait_ms = 3000;   // each wait, connecting included; 0: practically none
  std::uint64_t deadline_ms = 0;  // no wait lasts past this monotonic time; 0: no such bound
};

// Opens a connection under number to host and port with the time-out and
// deadline of limits. Connecting is bounded by both: every address the
// name gives, tried in turn, within one time-out from the end of the lookup
// (platform_tcp_connect); so is every later wait. A negative port looks
// service up instead. The host is used whole, never cut. Fails with 52
// (negative number), 55 (number open), 7, 24 (out of time), 57 or 70; a
// failed open leaves the number free.
void tcp_open(ErrorNumber& error_code, std::int16_t number, const std::string& host,
              std::int32_t port, const WaitLimits& limits, const std::string& service);

// Makes the open connection a TLS one: the handshake and the checks of the
// server's certificate (against roots, DER certificates, or the system's
// store when there are none) and of the peer (a name; an address is checked
// as the address the connection actually reached, or, through a proxy's
// tunnel, as peer.address), every wait bounded by
// the connection's time-out and the whole handshake by one time-out. From
// then on every send and receive goes through the session. Nothing of the
// request is sent before it succeeds. Fails with 52, 54, 7, 24 or 57 (the
// reason words in platform_failure_reason); the connection then stays
// open, plain, for tcp_close.
void tcp_start_tls(ErrorNumber& error_code, std::int16_t number, const TlsPeer& peer,
                   const std::vector<std::string>& roots);

// Sends exactly bytes: each round waits (bounded) for room and sends what
// the socket takes, so a peer that stops reading ends the send with 24
// after one time-out. Fails with 52, 54, 24, 57 or 70; bytes already sent
// stay sent.
void tcp_send(ErrorNumber& error_code, std::int16_t number, const std::string& bytes);
void tcp_send_bytes(ErrorNumber& error_code, std::int16_t number, const char* data,
                    std::size_t size);

// A file goes out in pieces of this size, each read and then sent while it
// is still in the processor's cache: on loopback a gigabyte goes in half the
// time of the kernel's page-by-page copy (sendfile), and over TLS each
// piece is encrypted in records of the largest size.
inline constexpr std::size_t kFilePiece = 512u << 10;

// Sends size bytes of file, from offset, read in pieces of kFilePiece: each
// round waits (bounded) for room and sends what the socket takes.
// Returns the count of the file's bytes sent. Fails as tcp_send, with the
// file's read error, or with 62 when the file ends before size bytes; bytes
// already sent stay sent.
std::uint64_t tcp_send_file(ErrorNumber& error_code, std::int16_t number, FileHandle file,
                            std::uint64_t offset, std::uint64_t size);

// tcp_send of text, then a separate tcp_send of CR LF (which runs even when
// the first failed).
void tcp_send_line(ErrorNumber& error_code, std::int16_t number, const std::string& text);

// From now on, every wait of the connection ends at the latest total_ms
// from now: all the waits together last no longer than that. A bound set
// before that ends sooner stays.
void tcp_limit_waits(std::int16_t number, std::uint32_t total_ms);

// No wait of the connection lasts past the monotonic time deadline_ms (as
// platform_monotonic_milliseconds counts); a sooner bound stays.
void tcp_end_waits_by(std::int16_t number, std::uint64_t deadline_ms);

// Receives up to count bytes: returns as soon as it has handed over all of a
// refill shorter than the buffer. Empty with 24 when a wait timed out before
// any byte; empty without error once the peer has closed. Bytes taken before
// a failure are still returned (the failure is recorded). Fails with 7
// (negative count), 52, 54, 24, 57 or 70.
std::string tcp_receive(ErrorNumber& error_code, std::int16_t number, std::int32_t count);

// As tcp_receive, but appends the bytes to text; returns how many.
std::size_t tcp_receive_into(ErrorNumber& error_code, std::int16_t number, std::int32_t count,
                             std::string& text);

// The end-of-data flag; 53 and false when number is not open.
bool tcp_at_end(ErrorNumber& error_code, std::int16_t number);

// Makes the next tcp_close end a TLS session without its close-notify, so
// that what was sent is never taken as complete.
void tcp_abandon(std::int16_t number);

// Closes the connection and frees the number; a number that is not open is
// ignored, a disk file's number fails with 54.
void tcp_close(ErrorNumber& error_code, std::int16_t number);
