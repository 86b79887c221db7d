// The HTTP transaction: one request from preparation to the cut body.
#pragma once

#include <cstdint>
#include <string>

#include "exchange/response.h"
#include "services/bytes.h"
#include "services/errors.h"

struct TransactionResult {
  ResponseBody body;        // the answer without its header (possibly empty)
  ErrorNumber outcome = 0;  // 0 when the answer came whole, else failure.number
  Failure failure;          // the first failure of the step that failed
  // What the answer announced and what came of it, for telling a cut answer.
  bool length_field_seen = false;
  std::uint64_t length_field = 0;
  std::uint64_t body_received = 0;
};

// Performs the request and reads the answer. A Port of 0 becomes 80, in the
// caller's variable too. outcome is the first failure of the step that
// failed: preparing or opening, sending, reading (24, 57, 70), keeping the
// answer, or 62 when the server closed before any byte or before the
// Content-Length it gave. The answer is complete once its body has reached
// that Content-Length, or, without one, once the server has closed.
// save_name, when given, is where the answer will be saved: a large answer
// then waits beside it, so that saving needs no copy.
TransactionResult http_transaction(const std::string& site, std::int16_t& port,
                                   const std::string& page, const std::string& method,
                                   const StringList& vars, const StringList& files,
                                   const std::string& save_name = std::string());

// Connection time-out of every wait (milliseconds); after a failed send it
// bounds all the reading's waits together.
inline constexpr std::uint32_t kConnectionTimeout = 3000;
