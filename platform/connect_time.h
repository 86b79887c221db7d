// How long connecting may take, the same rule in both backends: one bound
// for the whole step, shared out among the addresses the name gave.
#pragma once

#include <cstdint>

// Sets end_ms to when connecting must be over, as a monotonic time:
// timeout_ms after now_ms, or deadline_ms (0 for none) when that comes
// first. False when neither bounds it (timeout_ms 0xFFFFFFFF and no
// deadline): only the system's own bound applies then.
bool connect_end(std::uint32_t timeout_ms, std::uint64_t deadline_ms, std::uint64_t now_ms,
                 std::uint64_t& end_ms);

// When the attempt on the next address must be over, at now_ms with
// addresses_left addresses (this one included) still to try: an equal part
// of the time left before end_ms, so the last one may take all of it.
std::uint64_t attempt_end(std::uint64_t end_ms, std::uint64_t now_ms, int addresses_left);

// One connect's way through the addresses the resolver gave, in its order of
// preference: the backend starts an attempt on each address in turn until
// one accepts. Each attempt may take an equal part of the time left, so one
// whose packets vanish leaves time for the next, one that fails at once
// hands its part on, and the last may take all that remains. Only the last
// attempt's failure is reported, as running out of time when timed_out says
// that is how it ended.
struct ConnectWalk {
  std::uint64_t end_ms = 0;          // when the whole step must be over
  bool unbounded = false;            // no bound but the system's own
  int addresses_left = 0;            // still to try, the next one included
  std::uint64_t attempt_end_ms = 0;  // when the attempt under way must be
                                     // over (0 when unbounded)
  bool timed_out = false;            // the attempt under way ran out of time
};

// The walk through addresses addresses, starting at now_ms, bounded as
// connect_end says.
ConnectWalk connect_walk(std::uint32_t timeout_ms, std::uint64_t deadline_ms, std::uint64_t now_ms,
                         int addresses);

// Starts the attempt on the next address at now_ms: gives it its share of
// the time left (attempt_end), counts it off and clears timed_out.
void start_attempt(ConnectWalk& walk, std::uint64_t now_ms);
