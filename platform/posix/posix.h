// What the POSIX backend files share with each other (and with tests).
#pragma once

#include <cstdint>

// The error number for an errno value; creating tells a missing directory
// on the path (76) from a missing file (53). Keeps the value's text for
// platform_failure_reason.
int map_errno(int value, bool creating);

// Keeps text as the words of the last failure (for failures that have no
// errno value, such as a resolver's); lookup tells a failed name lookup.
void remember_failure_reason(const char* text, bool lookup = false);

// The number of write() calls the terminal backend has made since the
// process started; tests check that each rendering is a single write.
std::uint64_t console_writes_made();
