// --verbose: the exchange shown on standard error as it went, line by line:
// "> " before each line of a request as it was sent, "< " before each line
// of an answer's header, "* " before each decision the run took.
#pragma once

#include <cstdint>
#include <string>

#include "job/redirects.h"
#include "job/retry.h"

// The head of a request as it was sent, a line each after "> ", then the
// size of its body ("> (body: 1234 bytes)") when it has one. The values of
// Authorization, Proxy-Authorization and Cookie lines, and of the lines
// among secret_lines (those that took a ${NAME}), are shown as ***.
std::string verbose_request(const std::string& head, std::uint64_t body, const StringList& secret_lines);

// An answer's header as it arrived, a line each after "< ".
std::string verbose_answer(const std::string& header);

// What one request of a chain did: the way it took (a proxy or none), the
// CONNECT request and the proxy's answer when it went through a tunnel, the
// request and its answer, and the redirect it leads to, followed or not.
void verbose_exchange(const JobSettings& job, const HttpRequest& sent, const TransactionResult& answer,
                      const RedirectStep& step);

// An [Expect] or [Reject] check that failed on the body of length bytes:
// "* body of N bytes checked: [Expect] 1 "text" not found in the answer".
void verbose_check(const Failure& failure, std::uint64_t length);

// A try that failed: the next one and its pause, or why there is none.
void verbose_retry(std::int64_t attempt, std::int64_t tries, const RetryDecision& next);
