// The HTTP transaction: one request from preparation to the cut body.
#pragma once

#include <cstdint>
#include <string>

#include "exchange/body_store.h"
#include "exchange/proxy_route.h"
#include "exchange/request.h"
#include "services/bytes.h"
#include "services/errors.h"

struct TransactionResult {
  ErrorNumber outcome = 0;  // 0 when the answer came whole, else failure.number
  Failure failure;          // the first failure of the step that failed
  std::string header;       // the answer's header as it arrived, without the blank line
};

// How long the exchange may wait.
struct ExchangeLimits {
  std::uint32_t wait_ms = 3000;   // each wait, connecting included
  std::uint64_t deadline_ms = 0;  // no wait lasts past this monotonic time; 0: no such bound
};

// Performs the request and reads the answer, its body into store; with
// secure, over TLS, the server's certificate checked against the PEM
// certificates of ca_file (read before connecting; empty: the system's
// store). Every wait lasts at most limits.wait_ms (after a failed send,
// all the reading's waits together), none past limits.deadline_ms. A Port
// of 0 becomes 80 (443 with secure), in the caller's
// variable too. outcome is the first failure
// of the step that failed: preparing or opening, sending, reading (24, 57,
// 70), keeping the answer, or 62 when the server closed before any byte or
// before the Content-Length it gave. The answer is complete once its body
// has reached that Content-Length, or, without one, once the server has
// closed. Through route's proxy, plain HTTP goes to the proxy with the
// whole URL in the request line (failures after connecting name the
// proxy); HTTPS goes through a CONNECT tunnel (open_tunnel), after which the
// handshake and every check are those of a direct connection to the server.
TransactionResult http_transaction(const std::string& site, std::int16_t& port,
                                   const std::string& page, const std::string& method,
                                   const StringList& vars, const StringList& files,
                                   bool secure, const std::string& ca_file, BodyStore& store,
                                   const ExchangeLimits& limits = ExchangeLimits(),
                                   const RequestOptions& options = RequestOptions(),
                                   const ProxyRoute& route = ProxyRoute());
