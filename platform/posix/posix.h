// What the POSIX backend files share with each other (and with tests).
#pragma once

#include <cstdint>

#include "platform/platform.h"

// The descriptor behind a handle, and the handle of a descriptor (kNoFile or
// kNoSocket for a negative one).
inline int fd_of(FileHandle file) { return static_cast<int>(file.value); }
inline int fd_of(SocketHandle socket) { return static_cast<int>(socket.value); }
inline FileHandle file_from_fd(int fd) { return fd >= 0 ? FileHandle{fd} : kNoFile; }
inline SocketHandle socket_from_fd(int fd) { return fd >= 0 ? SocketHandle{fd} : kNoSocket; }

// The error number for an errno value; creating tells a missing directory
// on the path (76) from a missing file (53). Keeps the value's text for
// platform_failure_reason.
int map_errno(int value, bool creating);

// Keeps text as the words of the last failure (for failures that have no
// errno value, such as a resolver's); lookup tells a failed name lookup.
void remember_failure_reason(const char* text, bool lookup = false);
