// What the POSIX terminal backend offers beyond platform.h: a count of its
// writes, so that each rendering can be checked to reach the terminal as a
// single write.
#pragma once

#include <cstdint>

// The number of write() calls the terminal backend has made since the
// process started.
std::uint64_t console_writes_made();
