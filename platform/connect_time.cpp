#include "platform/connect_time.h"

bool connect_end(std::uint32_t timeout_ms, std::uint64_t deadline_ms, std::uint64_t now_ms,
                 std::uint64_t& end_ms) {
  const bool timed = timeout_ms != 0xFFFFFFFFu;
  end_ms = timed ? now_ms + timeout_ms : deadline_ms;
  if (timed && deadline_ms != 0 && deadline_ms < end_ms) end_ms = deadline_ms;
  return timed || deadline_ms != 0;
}

std::uint64_t attempt_end(std::uint64_t end_ms, std::uint64_t now_ms, int addresses_left) {
  if (now_ms >= end_ms) return end_ms;
  if (addresses_left < 1) addresses_left = 1;
  return now_ms + (end_ms - now_ms) / static_cast<std::uint64_t>(addresses_left);
}

ConnectWalk connect_walk(std::uint32_t timeout_ms, std::uint64_t deadline_ms, std::uint64_t now_ms,
                         int addresses) {
  ConnectWalk walk;
  walk.unbounded = !connect_end(timeout_ms, deadline_ms, now_ms, walk.end_ms);
  walk.addresses_left = addresses;
  return walk;
}

void start_attempt(ConnectWalk& walk, std::uint64_t now_ms) {
  walk.timed_out = false;
  walk.attempt_end_ms = walk.unbounded ? 0 : attempt_end(walk.end_ms, now_ms, walk.addresses_left);
  --walk.addresses_left;
}
