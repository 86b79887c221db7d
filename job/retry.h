// The retry rule: whether another try may mend a failed one, and how long
// to wait before it. Pure functions of the failure, the settings and the
// clock's reading, but for the wait itself.
#pragma once

#include <cstdint>
#include <string>

#include "services/errors.h"

// The longest pause a Retry-After field may ask for, in seconds: a server
// asking for more does not get another try, so a run never hangs on a
// server's word.
inline constexpr std::int64_t kLongestRetryAfter = 3600;

// What the retry rule takes from the settings.
struct RetrySettings {
  std::int64_t tries = 1;         // Retries + 1
  std::int64_t retry_wait = 0;    // RetryWait: seconds before the first retry; 0 is 1
  bool post = false;              // the request that failed is a POST or PATCH (a PUT is not)
  std::uint64_t deadline_ms = 0;  // where MaxTime ends on the monotonic clock; 0: never
};

// The clock when a try ended.
struct Moment {
  std::uint64_t monotonic_ms = 0;
  std::int64_t unix_seconds = 0;
};

// Whether trying again may help after a try that failed with failure
// (status: the answer's status, -1 without one): never after a failure of
// the settings, of a file or of a certificate check; after nothing was
// sent, or the request only in part, always; after an error answer that
// says the request was not processed (408, 429, 503), always; after another
// one (500, 502, 504), or when the answer failed once the request was sent
// whole, only for a GET or a PUT (which leaves the same however often it is
// sent): the server may have taken a POST or PATCH.
bool worth_retrying(const Failure& failure, bool post, int status);

// The pause before the retry that follows try attempt: RetryWait seconds
// (1 when 0), doubled for each further try, at most 300.
std::int64_t pause_before(std::int64_t retry_wait, std::int64_t attempt);

// What follows a failed try.
struct RetryDecision {
  std::int64_t pause = -1;  // the seconds to wait before the next try; -1: no other try
  std::string why_not;      // when the rule would retry but a pause stands in the way, why
};

// The decision after try attempt (from 1) ended with failure, header being
// the last answer's header: the pause, or the answer's Retry-After when
// longer. No other try after the last one or after a failure another try
// cannot mend; nor, with why_not said, when the pause is longer than
// kLongestRetryAfter or would end at or past the deadline.
RetryDecision retry_decision(const RetrySettings& settings, std::int64_t attempt, const Failure& failure,
                             const std::string& header, const Moment& now);

// Waits seconds, counting them down on the progress line.
void wait_before_retry(std::int64_t seconds);
