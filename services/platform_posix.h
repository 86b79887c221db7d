// What the POSIX backend files share with each other (and with tests).
#pragma once

#include <cstdint>

// The error number for an errno value; creating tells a missing directory
// on the path (76) from a missing file (53).
int map_errno(int value, bool creating);

// The number of write() calls the terminal backend has made since the
// process started; tests check that each rendering is a single write.
std::uint64_t console_writes_made();
