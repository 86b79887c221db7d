// Win32 backend: process, environment, paths, time, the viewer, standard
// output and the record of failures. The other Win32 backend files hold the
// settings reader, the console, files and sockets; they are the only files
// of the Windows build that include a system header.

// win32.h first: it brings windows.h, which the other system headers need.
#include "platform/win32/win32.h"

#include <ole2.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/command_tail.h"
#include "platform/environment.h"

namespace {

// The system value behind the last failure recorded (a GetLastError or
// WSAGetLastError value); 0 while there has been none.
DWORD g_last_failure = 0;

// The words behind the last failure recorded, when they are the program's
// own rather than a system value's message; empty otherwise.
std::string g_failure_text;

// The longest name, in bytes, that the ANSI calls take: MAX_PATH less the NUL.
constexpr std::size_t kLongestName = MAX_PATH - 1;

}  // namespace

UINT begin_file_call() {
  UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  SetLastError(0);
  return previous;
}

DWORD end_file_call(UINT previous) {
  DWORD value = GetLastError();
  SetErrorMode(previous);
  return value;
}

void remember_system_value(DWORD value) {
  g_last_failure = value;
  g_failure_text.clear();
}

void remember_failure_text(const char* text) {
  g_last_failure = 0;
  g_failure_text = text;
}

void record_system_error(ErrorNumber& error_code, DWORD value) {
  remember_system_value(value);
  set_error(error_code, map_system_error(value));
}

DWORD name_refusal(const std::string& name) {
  if (name.find('\0') != std::string::npos) return ERROR_INVALID_NAME;
  if (name.size() > kLongestName) return ERROR_FILENAME_EXCED_RANGE;
  // A relative name is resolved against the current directory, and the
  // whole path is what has to fit. Some systems fail the call itself for a
  // path that long; any other failure is left for the real call to report.
  if (name.empty()) return 0;
  char full[MAX_PATH];
  SetLastError(0);
  DWORD length = GetFullPathNameA(name.c_str(), sizeof full, full, nullptr);
  if (length >= sizeof full) return ERROR_FILENAME_EXCED_RANGE;
  if (length == 0 && GetLastError() == ERROR_FILENAME_EXCED_RANGE) return ERROR_FILENAME_EXCED_RANGE;
  return 0;
}

void platform_start(int argc, char** argv) {
  // The command line comes from GetCommandLineA, not from argv.
  (void)argc;
  (void)argv;
  // The desktop's viewer is started through the shell, which wants OLE.
  OleInitialize(nullptr);
}

void platform_finish() { OleUninitialize(); }

std::string platform_command_tail() { return command_tail_of(GetCommandLineA()); }

std::vector<std::string> platform_environment() {
  std::vector<std::string> entries;
  char* block = GetEnvironmentStringsA();
  if (block == nullptr) return entries;
  // The block is NUL-separated entries ended by an empty one.
  for (const char* entry = block; *entry != '\0'; entry += std::strlen(entry) + 1) {
    entries.emplace_back(entry);
  }
  FreeEnvironmentStringsA(block);
  return entries;
}

std::string platform_current_directory() {
  char buffer[MAX_PATH];
  DWORD length = GetCurrentDirectoryA(sizeof buffer, buffer);
  if (length == 0) return std::string();
  if (length < sizeof buffer) return std::string(buffer, length);
  // Longer than the usual buffer: the count asked for includes the NUL.
  std::string longer(length, '\0');
  DWORD again = GetCurrentDirectoryA(length, longer.data());
  if (again == 0 || again >= length) return std::string();
  longer.resize(again);
  return longer;
}

std::string platform_settings_file_name(const std::string& directory) {
  std::string name = directory;
  if (!name.empty() && !platform_ends_with_separator(name)) name.push_back('\\');
  return name + "RAVELOK.INI";
}

std::string platform_temp_directory() { return environment_value("TEMP"); }

char platform_separator() { return '\\'; }

bool platform_ends_with_separator(const std::string& path) {
  if (path.empty()) return false;
  char last = path.back();
  return last == ':' || last == '\\' || last == '/';
}

std::uint32_t platform_local_milliseconds() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return static_cast<std::uint32_t>(now.wHour) * 3600000u +
         static_cast<std::uint32_t>(now.wMinute) * 60000u +
         static_cast<std::uint32_t>(now.wSecond) * 1000u +
         static_cast<std::uint32_t>(now.wMilliseconds);
}

std::uint64_t platform_monotonic_milliseconds() { return GetTickCount64(); }

std::int64_t platform_unix_seconds() {
  // FILETIME counts 100 ns steps from 1601; 1970 is 11,644,473,600 s later.
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const std::uint64_t steps = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return static_cast<std::int64_t>(steps / 10000000u) - 11644473600;
}

void platform_sleep(std::uint32_t milliseconds) { Sleep(milliseconds); }

void platform_shell_open(const std::string& file) {
  // A name that does not fit would open some other file: nothing is shown.
  if (!platform_name_fits(file)) return;
  // The viewer runs on its own; what the shell answers changes nothing.
  ShellExecuteA(nullptr, "open", file.c_str(), "", "", SW_SHOWNORMAL);
}

std::string platform_failure_reason() {
  if (!g_failure_text.empty()) return g_failure_text;
  if (g_last_failure == 0) return std::string();
  char* text = nullptr;
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, g_last_failure, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string reason;
  if (length > 0 && text != nullptr) reason.assign(text, length);
  if (text != nullptr) LocalFree(text);
  // The message ends in CR LF and often a period; the caller adds its own
  // punctuation.
  while (!reason.empty() && (reason.back() == '\r' || reason.back() == '\n' ||
                             reason.back() == ' ')) {
    reason.pop_back();
  }
  if (!reason.empty() && reason.back() == '.') reason.pop_back();
  if (reason.empty()) {
    // Values with the top bit set are status codes, read in hexadecimal.
    char number[16];
    std::snprintf(number, sizeof number, g_last_failure >= 0x80000000u ? "0x%08lX" : "%lu",
                  static_cast<unsigned long>(g_last_failure));
    reason = std::string("Windows error ") + number;
  }
  return reason;
}

bool platform_name_fits(const std::string& name) { return name_refusal(name) == 0; }

bool platform_failure_was_lookup() {
  return g_last_failure == WSAHOST_NOT_FOUND || g_last_failure == WSATRY_AGAIN ||
         g_last_failure == WSANO_RECOVERY || g_last_failure == WSANO_DATA;
}

bool platform_is_directory(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

namespace {
// Writes the bytes as they stand (no LF to CR LF conversion), in pieces a
// DWORD can count; a console, a pipe or a file alike.
void write_standard_handle(DWORD which, const std::string& text) {
  HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  std::size_t done = 0;
  while (done < text.size()) {
    DWORD piece = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 1u << 20));
    DWORD written = 0;
    if (!WriteFile(handle, text.data() + done, piece, &written, nullptr) || written == 0) return;
    done += written;
  }
}
}  // namespace

void platform_write_standard_output(const std::string& text) {
  write_standard_handle(STD_OUTPUT_HANDLE, text);
}

void platform_write_standard_error(const std::string& text) {
  write_standard_handle(STD_ERROR_HANDLE, text);
}
