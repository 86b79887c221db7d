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
