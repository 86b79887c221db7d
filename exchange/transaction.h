// The HTTP transaction: one request from preparation to the cut body.
#pragma once

#include <cstdint>
#include <string>

#include "exchange/body_store.h"
#include "exchange/request.h"
#include "services/bytes.h"
#include "services/errors.h"
#include "services/tcp.h"

struct TransactionResult {
  Failure failure;     // the first failure of the step that failed; none when the answer came whole
  std::string header;  // the answer's header as it arrived, without the blank line
  std::string tunnel_head;    // HTTPS through a proxy: the CONNECT request as sent; empty: none
  std::string tunnel_header;  // and the proxy's answer header, once it came whole
  std::string request_head;        // the request's head as it was sent; empty: not sent
  std::uint64_t request_body = 0;  // the size of the body after that head
  std::uint64_t sent = 0;          // the request's bytes that went out
  std::uint64_t received = 0;      // the answer's body bytes that came in
};

// Makes request and reads the answer, its body into store; over HTTPS, the
// server's certificate checked against the PEM certificates of ca_file
// (read before connecting; empty: the system's store). Every wait lasts at
// most limits.wait_ms (after a failed send, all the reading's waits
// together), none past limits.deadline_ms. The failure is the first of the
// step that failed: preparing or opening, sending, reading (24, 57, 70),
// keeping the answer, or 62 when the server closed before any byte or
// before the Content-Length it gave. The answer is complete once its body
// has reached that Content-Length, or, without one, once the server has
// closed. Through the request's proxy, plain HTTP goes to the proxy with
// the whole URL in the request line (failures after connecting name the
// proxy); HTTPS goes through a CONNECT tunnel (open_tunnel), after which the
// handshake and every check are those of a direct connection to the server.
TransactionResult http_transaction(const HttpRequest& request, const std::string& ca_file,
                                   BodyStore& store, const WaitLimits& limits = WaitLimits());
