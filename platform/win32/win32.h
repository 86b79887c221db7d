// What the Win32 backend files share with each other: the system headers in
// the order they need, the conversions of handles, the bracket of every file
// call, the record of the last system failure and the refusal of names that
// do not fit.
//
// Names reach the system whole or not at all: one longer than the ANSI
// calls take (MAX_PATH with its NUL) or holding a NUL byte is refused with
// ERROR_FILENAME_EXCED_RANGE or ERROR_INVALID_NAME, never shortened. File
// calls run with the error mode 0x8001 and a cleared last-error value, so a
// missing disk fails with an error number instead of a dialog box. The last
// system value behind a recorded failure is kept for
// platform_failure_reason, as errno would be.
#pragma once

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/platform.h"

inline HANDLE to_handle(FileHandle file) { return reinterpret_cast<HANDLE>(file.value); }
inline FileHandle from_handle(HANDLE handle) {
  return FileHandle{reinterpret_cast<std::intptr_t>(handle)};
}
inline SOCKET to_socket(SocketHandle socket) { return static_cast<SOCKET>(socket.value); }
inline SocketHandle from_socket(SOCKET socket) {
  return SocketHandle{static_cast<std::intptr_t>(socket)};
}

// Every file call is bracketed by these two: no critical-error or
// open-file dialog, and a last-error value that belongs to this call alone.
UINT begin_file_call();
DWORD end_file_call(UINT previous);

// Keeps value (a GetLastError or WSAGetLastError value) as the system value
// behind the last failure recorded, for platform_failure_reason.
void remember_system_value(DWORD value);

// Keeps text as the reason behind the last failure recorded, for
// platform_failure_reason, in place of a system value: the TLS checks'
// words ("untrusted authority", "name mismatch", ...), which no system
// message says as plainly.
void remember_failure_text(const char* text);

// Keeps value and records its error number in error_code.
void record_system_error(ErrorNumber& error_code, DWORD value);

// Why name cannot be handed to the system whole: 0 when it can, else the
// system value a refusal records.
DWORD name_refusal(const std::string& name);
