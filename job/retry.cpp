#include "job/retry.h"

#include "exchange/answer_header.h"
#include "platform/platform.h"
#include "services/bytes.h"
#include "services/console.h"

bool worth_retrying(const Failure& failure, bool post, int status) {
  switch (failure.step) {
    case Step::resolve:
    case Step::connect:
    case Step::send:
      return true;
    case Step::secure:
      // A handshake that failed or stalled, not a certificate refused or a
      // Site refused before connecting.
      return failure.number == kErrTimedOut || failure.reason.rfind("handshake failure", 0) == 0;
    case Step::tunnel:
      // Nothing of the request went out. A proxy that did not answer, or
      // says the server or itself is unavailable, may do better later; one
      // that forbids the tunnel or wants other credentials will not.
      return failure.status == 0 || failure.status == 502 || failure.status == 503 ||
             failure.status == 504;
    case Step::receive:
    case Step::answer:
      return !post;
    case Step::status:
      if (status == 408 || status == 429 || status == 503) return true;
      return !post && (status == 500 || status == 502 || status == 504);
    default:
      return false;
  }
}

std::int64_t pause_before(std::int64_t retry_wait, std::int64_t attempt) {
  std::int64_t pause = retry_wait != 0 ? retry_wait : 1;
  for (std::int64_t i = 1; i < attempt && pause < 300; ++i) pause *= 2;
  return pause < 300 ? pause : 300;
}

RetryDecision retry_decision(const RetrySettings& settings, std::int64_t attempt, const Failure& failure,
                             const std::string& header, const Moment& now) {
  RetryDecision decision;
  if (attempt >= settings.tries || !worth_retrying(failure, settings.post, answer_status(header))) return decision;
  std::int64_t pause = pause_before(settings.retry_wait, attempt);
  const std::int64_t asked = retry_after(header, now.unix_seconds);
  if (asked > pause) pause = asked;
  if (pause > kLongestRetryAfter) {
    decision.why_not = "not retried: the server asked for a pause of " + decimal_text(pause) + " s";
  } else if (settings.deadline_ms != 0 &&
             now.monotonic_ms + static_cast<std::uint64_t>(pause) * 1000 >= settings.deadline_ms) {
    decision.why_not = "not retried: a pause of " + decimal_text(pause) + " s would end past MaxTime";
  } else {
    decision.pause = pause;
  }
  return decision;
}

void wait_before_retry(std::int64_t seconds) {
  for (std::int64_t left = seconds; left > 0; --left) {
    progress_phase("Esperant... " + decimal_text(left));
    platform_sleep(1000);
  }
  progress_clear();
}
