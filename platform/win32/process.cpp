// Win32 backend: every procedure of platform.h on the Windows API itself.
// This is the only file of the Windows build that includes a system header.
//
// Names reach the system whole or not at all: one longer than the ANSI
// calls take (MAX_PATH with its NUL) or holding a NUL byte is refused with
// ERROR_FILENAME_EXCED_RANGE or ERROR_INVALID_NAME, never shortened. File
// calls run with the error mode 0x8001 and a cleared last-error value, so a
// missing disk fails with an error number instead of a dialog box. The last
// system value behind a recorded failure is kept for
// platform_failure_reason, as errno would be.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <ole2.h>
#include <sddl.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/command_tail.h"
#include "services/environment.h"
#include "platform/platform.h"

namespace {

// ---------------------------------------------------------------- helpers

HANDLE to_handle(OsHandle handle) { return reinterpret_cast<HANDLE>(handle); }
OsHandle from_handle(HANDLE handle) { return reinterpret_cast<OsHandle>(handle); }
SOCKET to_socket(OsHandle handle) { return static_cast<SOCKET>(handle); }

// The text as a NUL-terminated buffer of buffer_size bytes holds it: up to
// its first NUL and at most buffer_size - 1 bytes.
std::string through_buffer(const std::string& text, std::size_t buffer_size) {
  std::size_t length = text.find('\0');
  if (length == std::string::npos) length = text.size();
  if (length > buffer_size - 1) length = buffer_size - 1;
  return text.substr(0, length);
}

// Every file call is bracketed by these two: no critical-error or
// open-file dialog, and a last-error value that belongs to this call alone.
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

// The system value behind the last failure recorded (a GetLastError or
// WSAGetLastError value); 0 while there has been none.
DWORD g_last_failure = 0;

void record_system_error(ErrorNumber& error_code, DWORD value) {
  g_last_failure = value;
  set_error(error_code, map_system_error(value));
}

// The longest name, in bytes, that the ANSI calls take: MAX_PATH less the NUL.
constexpr std::size_t kLongestName = MAX_PATH - 1;

// Why name cannot be handed to the system whole: 0 when it can, else the
// system value a refusal records.
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

// The security of the files the program makes for itself (the upload body
// file, the scratch file of a large answer): the owner alone has access,
// whatever the directory would hand down.
struct OwnerOnly {
  SECURITY_ATTRIBUTES attributes;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
};

// The DACL names the running user's own SID: the "owner rights" SID is not
// understood everywhere, and a file nobody may delete would outlive the run.
std::string owner_only_sddl() {
  std::string sddl;
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return sddl;
  alignas(8) char buffer[512];
  DWORD size = 0;
  char* sid_text = nullptr;
  if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
      ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid_text)) {
    // "P" keeps the directory's inheritable entries out.
    sddl = std::string("D:P(A;;FA;;;") + sid_text + ")";
    LocalFree(sid_text);
  }
  CloseHandle(token);
  return sddl;
}

OwnerOnly owner_only_security() {
  OwnerOnly security;
  std::memset(&security.attributes, 0, sizeof security.attributes);
  security.attributes.nLength = sizeof security.attributes;
  security.attributes.bInheritHandle = FALSE;
  // Without a descriptor the file gets the directory's default security.
  std::string sddl = owner_only_sddl();
  if (!sddl.empty() &&
      ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                           &security.descriptor, nullptr)) {
    security.attributes.lpSecurityDescriptor = security.descriptor;
  }
  return security;
}

void release_security(OwnerOnly& security) {
  if (security.descriptor != nullptr) LocalFree(security.descriptor);
  security.descriptor = nullptr;
}

// ---------------------------------------------------------------- process

// The console the progress line is drawn on (see the console section).
HANDLE g_output = INVALID_HANDLE_VALUE;
HANDLE g_input = INVALID_HANDLE_VALUE;
bool g_pending_scroll = false;
constexpr WORD kAttribute = 7;  // light grey on black, whatever the console had
constexpr int kMostCells = 255;

}  // namespace

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

void platform_sleep(std::uint32_t milliseconds) { Sleep(milliseconds); }

void platform_shell_open(const std::string& file) {
  // A name that does not fit would open some other file: nothing is shown.
  if (!platform_name_fits(file)) return;
  // The viewer runs on its own; what the shell answers changes nothing.
  ShellExecuteA(nullptr, "open", file.c_str(), "", "", SW_SHOWNORMAL);
}

std::string platform_failure_reason() {
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
  if (reason.empty()) reason = "Windows error " + std::to_string(g_last_failure);
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

// --------------------------------------------------------------- settings

std::string platform_read_profile_string(const std::string& section, const std::string& key,
                                         const std::string& file_name) {
  // A name without a directory would be looked up in the Windows directory;
  // the settings file is meant relative to the current directory (or the
  // current directory of the drive a "D:" name gives).
  // A name that does not fit whole is never shortened into another file's;
  // the job refuses it before asking (53).
  if (file_name.empty() || !platform_name_fits(file_name)) return std::string();
  char full[MAX_PATH];
  DWORD length = GetFullPathNameA(file_name.c_str(), sizeof full, full, nullptr);
  if (length == 0 || length >= sizeof full) return std::string();

  // Section and key names go whole (up to a NUL, as on every platform).
  char value[2048];
  value[0] = '\0';
  DWORD count = GetPrivateProfileStringA(section.c_str(), key.c_str(), nullptr, value,
                                         sizeof value, full);
  if (count >= sizeof value) count = sizeof value - 1;
  return std::string(value, count);
}

// ---------------------------------------------------------------- console

namespace {

bool read_screen(CONSOLE_SCREEN_BUFFER_INFO& info) {
  return g_output != INVALID_HANDLE_VALUE && GetConsoleScreenBufferInfo(g_output, &info) != 0;
}

// Moves the whole screen buffer up one row; the last row becomes blank.
void scroll_up_one_row(const CONSOLE_SCREEN_BUFFER_INFO& info) {
  SMALL_RECT moved;
  moved.Left = 0;
  moved.Top = 1;
  moved.Right = static_cast<SHORT>(info.dwSize.X - 1);
  moved.Bottom = static_cast<SHORT>(info.dwSize.Y - 1);
  COORD origin = {0, 0};
  CHAR_INFO fill;
  fill.Char.AsciiChar = ' ';
  fill.Attributes = kAttribute;
  ScrollConsoleScreenBufferA(g_output, &moved, nullptr, origin, &fill);
}

}  // namespace

bool platform_console_init() {
  HANDLE error_handle = GetStdHandle(STD_ERROR_HANDLE);
  HANDLE output_handle = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  g_output = GetConsoleMode(output_handle, &mode) ? output_handle : error_handle;
  g_input = CreateFileA("CONIN$", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                        nullptr);
  SetConsoleMode(g_output, ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT);
  // No line input, no echo and no processed input: Ctrl+C reaches the
  // console as a key press and does not end the unattended job.
  SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), 0);
  CONSOLE_CURSOR_INFO cursor;
  bool has_cursor = GetConsoleCursorInfo(g_output, &cursor) && cursor.dwSize != 0;
  if (!has_cursor) has_cursor = GetConsoleCursorInfo(output_handle, &cursor) && cursor.dwSize != 0;
  if (!has_cursor) {
    cursor.dwSize = 10;
    cursor.bVisible = TRUE;
    SetConsoleCursorInfo(g_output, &cursor);
  }
  g_pending_scroll = false;
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!read_screen(info)) {
    g_output = INVALID_HANDLE_VALUE;
    return false;
  }
  return true;
}

int platform_console_width() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  return read_screen(info) ? info.dwSize.X : 80;
}

int platform_console_column() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  return read_screen(info) ? info.dwCursorPosition.X + 1 : 1;
}

void platform_console_locate(int column, int row) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!read_screen(info)) return;
  int x = column >= 1 && column <= info.dwSize.X ? column - 1 : info.dwCursorPosition.X;
  int y = row >= 1 && row <= info.dwSize.Y ? row - 1 : info.dwCursorPosition.Y;
  COORD position = {static_cast<SHORT>(x), static_cast<SHORT>(y)};
  SetConsoleCursorPosition(g_output, position);
  g_pending_scroll = false;
}

void platform_console_print(const std::string& text) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (text.empty() || !read_screen(info) || info.dwSize.X <= 0 || info.dwSize.Y <= 0) return;
  const int width = info.dwSize.X;
  const int height = info.dwSize.Y;
  int x = info.dwCursorPosition.X;
  int y = info.dwCursorPosition.Y;
  // One fixed buffer of cells: output allocates nothing.
  CHAR_INFO cells[256];
  std::size_t done = 0;
  while (done < text.size()) {
    if (g_pending_scroll) {
      g_pending_scroll = false;
      scroll_up_one_row(info);
    }
    // A buffer narrowed under the cursor leaves no room on its row: the
    // text goes on at the start of the next one, and on the last row the
    // buffer scrolls up to make that row, as a terminal does.
    std::size_t room = x < width ? static_cast<std::size_t>(width - x) : 0;
    if (room == 0) {
      x = 0;
      if (y + 1 < height) {
        ++y;
      } else {
        scroll_up_one_row(info);
      }
      room = static_cast<std::size_t>(width);
    }
    std::size_t n = text.size() - done;
    if (n > room) n = room;
    if (n > static_cast<std::size_t>(kMostCells)) n = kMostCells;
    for (std::size_t i = 0; i < n; ++i) {
      // Bytes are shown as the font's glyphs, never obeyed.
      cells[i].Char.AsciiChar = text[done + i];
      cells[i].Attributes = kAttribute;
    }
    COORD block = {static_cast<SHORT>(n), 1};
    COORD from = {0, 0};
    SMALL_RECT region;
    region.Left = static_cast<SHORT>(x);
    region.Top = static_cast<SHORT>(y);
    region.Right = static_cast<SHORT>(x + static_cast<int>(n) - 1);
    region.Bottom = static_cast<SHORT>(y);
    WriteConsoleOutputA(g_output, cells, block, from, &region);
    done += n;
    x += static_cast<int>(n);
    if (x >= width) {
      x = 0;
      if (y + 1 == height) {
        g_pending_scroll = true;
      } else {
        ++y;
      }
    }
  }
  COORD position = {static_cast<SHORT>(x), static_cast<SHORT>(y)};
  SetConsoleCursorPosition(g_output, position);
}

void platform_console_new_line() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!read_screen(info)) return;
  int row = info.dwCursorPosition.Y;
  if (row + 1 < info.dwSize.Y) {
    ++row;
  } else {
    if (g_pending_scroll) {
      g_pending_scroll = false;
      scroll_up_one_row(info);
    }
    scroll_up_one_row(info);
  }
  platform_console_locate(1, row + 1);
}

// Every call above draws at once; there is nothing to hand over.
void platform_console_flush() {}

// ------------------------------------------------------------------ files

namespace {

// Opens name with CreateFileA; system_value receives the last-error value of
// the call. A name that does not fit whole is refused without a call.
HANDLE create_file(const std::string& name, DWORD access, DWORD sharing,
                   SECURITY_ATTRIBUTES* security, DWORD disposition, DWORD flags,
                   DWORD& system_value) {
  system_value = name_refusal(name);
  if (system_value != 0) return INVALID_HANDLE_VALUE;
  UINT previous = begin_file_call();
  HANDLE handle = CreateFileA(name.c_str(), access, sharing, security, disposition, flags, nullptr);
  system_value = end_file_call(previous);
  return handle;
}

bool is_disk(HANDLE handle) {
  UINT previous = begin_file_call();
  DWORD type = GetFileType(handle);
  end_file_call(previous);
  return type == FILE_TYPE_DISK;
}

// Moves the file pointer; false with the failure recorded.
bool move_to(ErrorNumber& error_code, HANDLE handle, std::uint64_t offset, DWORD method) {
  LARGE_INTEGER distance;
  distance.QuadPart = static_cast<LONGLONG>(offset);
  UINT previous = begin_file_call();
  BOOL moved = SetFilePointerEx(handle, distance, nullptr, method);
  DWORD value = end_file_call(previous);
  if (!moved) record_system_error(error_code, value);
  return moved != 0;
}

std::uint64_t position_of(HANDLE handle) {
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  LARGE_INTEGER now;
  now.QuadPart = 0;
  SetFilePointerEx(handle, zero, &now, FILE_CURRENT);
  return static_cast<std::uint64_t>(now.QuadPart);
}

// The largest piece one ReadFile or WriteFile is given.
constexpr std::size_t kLargestPiece = 1u << 30;

}  // namespace

OsHandle platform_open_output(ErrorNumber& error_code, const std::string& name,
                              bool plain_files_only) {
  // With plain files only a reparse point (a link or junction) is opened as
  // itself, so it can be refused instead of followed.
  DWORD flags = FILE_ATTRIBUTE_NORMAL;
  if (plain_files_only) flags |= FILE_FLAG_OPEN_REPARSE_POINT;
  DWORD value = 0;
  HANDLE handle = create_file(name, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, flags, value);
  // For an open the handle decides: OPEN_ALWAYS leaves a last-error value
  // on success too.
  if (handle == INVALID_HANDLE_VALUE) {
    record_system_error(error_code, value);
    return kNoHandle;
  }
  bool disk = is_disk(handle);
  if (plain_files_only) {
    BY_HANDLE_FILE_INFORMATION info;
    bool plain = disk && GetFileInformationByHandle(handle, &info) &&
                 (info.dwFileAttributes &
                  (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0;
    if (!plain) {
      CloseHandle(handle);
      record_system_error(error_code, ERROR_ACCESS_DENIED);
      return kNoHandle;
    }
  }
  // A disk file loses its old content; a device is written as it is.
  if (disk && move_to(error_code, handle, 0, FILE_BEGIN)) {
    UINT previous = begin_file_call();
    BOOL cut = SetEndOfFile(handle);
    DWORD cut_value = end_file_call(previous);
    if (!cut) record_system_error(error_code, cut_value);
  }
  return from_handle(handle);
}

OsHandle platform_open_read(ErrorNumber& error_code, const std::string& name) {
  // Never creates: an upload file that is missing is a failure, not an empty
  // part. A directory cannot be opened this way (access denied, 70).
  DWORD value = 0;
  HANDLE handle = create_file(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, value);
  if (handle == INVALID_HANDLE_VALUE) {
    record_system_error(error_code, value);
    return kNoHandle;
  }
  return from_handle(handle);
}

OsHandle platform_create_unnamed(ErrorNumber& error_code, const std::string& name,
                                 bool& name_taken) {
  name_taken = false;
  // No sharing: while the handle is open nobody else opens the file, not
  // even to delete it; and it is deleted when the handle closes, however
  // the process ends. It is only ever reached through this handle.
  OwnerOnly security = owner_only_security();
  DWORD value = 0;
  HANDLE handle = create_file(name, GENERIC_READ | GENERIC_WRITE, 0, &security.attributes,
                              CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                              value);
  release_security(security);
  if (handle != INVALID_HANDLE_VALUE) return from_handle(handle);
  // CREATE_NEW refuses any existing entry, a link included; a directory of
  // that name, or a file waiting to be deleted, shows as access denied.
  bool exists = value == ERROR_FILE_EXISTS || value == ERROR_ALREADY_EXISTS;
  if (value == ERROR_ACCESS_DENIED) {
    UINT previous = begin_file_call();
    exists = GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES;
    end_file_call(previous);
  }
  if (exists) {
    name_taken = true;
  } else {
    record_system_error(error_code, value);
  }
  return kNoHandle;
}

OsHandle platform_open_scratch(ErrorNumber& error_code, const std::string& directory) {
  std::string prefix = directory.empty() ? std::string(".\\") : directory;
  if (!platform_ends_with_separator(prefix)) prefix.push_back('\\');
  // The name only has to be new; the file is gone when its handle closes.
  static unsigned serial = 0;
  const unsigned process = GetCurrentProcessId();
  DWORD value = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    ++serial;
    char name[64];
    std::snprintf(name, sizeof name, "ravelok%08X%04X%08X.tmp", process, serial & 0xFFFFu,
                  static_cast<unsigned>(GetTickCount64() & 0xFFFFFFFFu));
    OwnerOnly security = owner_only_security();
    HANDLE handle = create_file(prefix + name, GENERIC_READ | GENERIC_WRITE, 0,
                                &security.attributes, CREATE_NEW,
                                FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, value);
    release_security(security);
    if (handle != INVALID_HANDLE_VALUE) return from_handle(handle);
    if (value != ERROR_FILE_EXISTS && value != ERROR_ALREADY_EXISTS) break;
  }
  record_system_error(error_code, value);
  return kNoHandle;
}

bool platform_is_disk_file(OsHandle handle) {
  return handle != kNoHandle && is_disk(to_handle(handle));
}

void platform_write(ErrorNumber& error_code, OsHandle handle, const char* data, std::size_t size) {
  // One WriteFile of everything; only a piece larger than a DWORD can count
  // is given in further calls.
  std::size_t done = 0;
  do {
    std::size_t piece = size - done < kLargestPiece ? size - done : kLargestPiece;
    DWORD written = 0;
    UINT previous = begin_file_call();
    BOOL ok = WriteFile(to_handle(handle), data + done, static_cast<DWORD>(piece), &written,
                        nullptr);
    DWORD value = end_file_call(previous);
    if (!ok) {
      record_system_error(error_code, value);
      return;
    }
    if (written < piece) {
      if (platform_is_disk_file(handle)) {
        record_system_error(error_code, ERROR_DISK_FULL);
      } else {
        set_error(error_code, kErrSocket);
      }
      return;
    }
    done += written;
  } while (done < size);
}

std::size_t platform_read(ErrorNumber& error_code, OsHandle handle, char* buffer,
                          std::size_t size) {
  // Fill the buffer as far as the file goes, as one piece read.
  std::size_t done = 0;
  while (done < size) {
    std::size_t piece = size - done < kLargestPiece ? size - done : kLargestPiece;
    DWORD got = 0;
    UINT previous = begin_file_call();
    BOOL ok = ReadFile(to_handle(handle), buffer + done, static_cast<DWORD>(piece), &got, nullptr);
    DWORD value = end_file_call(previous);
    if (!ok) {
      // A pipe whose writer has gone has simply ended.
      if (value != ERROR_BROKEN_PIPE && value != ERROR_HANDLE_EOF) {
        record_system_error(error_code, value);
      }
      break;
    }
    if (got == 0) break;
    done += got;
  }
  return done;
}

std::size_t platform_read_at(ErrorNumber& error_code, OsHandle handle, char* buffer,
                             std::size_t size, std::uint64_t offset) {
  // Each read names its offset in an OVERLAPPED (the handle is synchronous,
  // so the call still waits); such a read leaves the file pointer after the
  // bytes read, so the position is put back once, at the end.
  HANDLE file = to_handle(handle);
  std::uint64_t kept = position_of(file);
  std::size_t done = 0;
  while (done < size) {
    std::size_t piece = size - done < kLargestPiece ? size - done : kLargestPiece;
    std::uint64_t at = offset + done;
    OVERLAPPED where;
    std::memset(&where, 0, sizeof where);
    where.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD got = 0;
    UINT previous = begin_file_call();
    BOOL ok = ReadFile(file, buffer + done, static_cast<DWORD>(piece), &got, &where);
    DWORD value = end_file_call(previous);
    if (!ok) {
      // Reading from the end of the file on is an end, not a failure.
      if (value != ERROR_HANDLE_EOF) record_system_error(error_code, value);
      break;
    }
    if (got == 0) break;
    done += got;
  }
  // Even a read at or past the end moves the pointer to its offset.
  ErrorNumber ignored = 0;
  move_to(ignored, file, kept, FILE_BEGIN);
  return done;
}

std::uint64_t platform_file_size(ErrorNumber& error_code, OsHandle handle) {
  DWORD high = 0;
  UINT previous = begin_file_call();
  DWORD low = GetFileSize(to_handle(handle), &high);
  DWORD value = end_file_call(previous);
  // All bits set in the low part is a size too; the last-error value tells.
  if (low == INVALID_FILE_SIZE && value != NO_ERROR) {
    record_system_error(error_code, value);
    return 0;
  }
  return (static_cast<std::uint64_t>(high) << 32) | low;
}

void platform_copy_file(ErrorNumber& error_code, OsHandle from, std::uint64_t offset,
                        std::uint64_t length, OsHandle to) {
  // Large pieces keep the number of calls small; the source is the
  // program's own scratch file, so its file pointer is free to move.
  constexpr std::size_t kCopyPiece = 1u << 20;
  if (length == 0) return;
  std::string buffer(kCopyPiece, '\0');
  if (!move_to(error_code, to_handle(from), offset, FILE_BEGIN)) return;
  std::uint64_t remaining = length;
  while (remaining > 0) {
    std::size_t want = remaining < kCopyPiece ? static_cast<std::size_t>(remaining) : kCopyPiece;
    ErrorNumber read_error = 0;
    std::size_t got = platform_read(read_error, from, buffer.data(), want);
    if (got == 0) {
      set_error(error_code, read_error != 0 ? int{read_error} : int{kErrEndOfFile});
      return;
    }
    ErrorNumber write_error = 0;
    platform_write(write_error, to, buffer.data(), got);
    if (write_error != 0) {
      set_error(error_code, write_error);
      return;
    }
    remaining -= got;
  }
}

void platform_cut_at_position(ErrorNumber& error_code, OsHandle handle) {
  UINT previous = begin_file_call();
  BOOL cut = SetEndOfFile(to_handle(handle));
  DWORD value = end_file_call(previous);
  if (!cut) record_system_error(error_code, value);
}

void platform_close_file(OsHandle handle) {
  if (handle == kNoHandle) return;
  UINT previous = begin_file_call();
  CloseHandle(to_handle(handle));
  end_file_call(previous);
}

void platform_delete_file(const std::string& name) {
  // A name that does not fit whole could name another file.
  if (name.empty() || !platform_name_fits(name)) return;
  UINT previous = begin_file_call();
  DeleteFileA(name.c_str());
  end_file_call(previous);
}

// ---------------------------------------------------------------- sockets

namespace {

constexpr std::size_t kNameLimit = 256;

// Every failing socket call gives 57, or 70 when the library reports that a
// blocking call is still in progress.
void record_socket_value(ErrorNumber& error_code, int value) {
  g_last_failure = static_cast<DWORD>(value);
  set_error(error_code, value == WSAEINPROGRESS ? kErrAccessDenied : kErrSocket);
}

void record_socket_error(ErrorNumber& error_code) {
  record_socket_value(error_code, WSAGetLastError());
}

// Starts the socket library asking for version 1.1; false with 68 recorded
// when it cannot be started or offers less. Each successful start is ended
// by one WSACleanup.
bool start_sockets(ErrorNumber& error_code) {
  WSADATA data;
  int started = WSAStartup(MAKEWORD(1, 1), &data);
  if (started != 0) {
    g_last_failure = static_cast<DWORD>(started);
    set_error(error_code, kErrNoDevice);
    return false;
  }
  unsigned major = LOBYTE(data.wVersion);
  unsigned minor = HIBYTE(data.wVersion);
  if (major < 1 || (major == 1 && minor < 1)) {
    WSACleanup();
    g_last_failure = WSAVERNOTSUPPORTED;
    set_error(error_code, kErrNoDevice);
    return false;
  }
  return true;
}

// One attempt on one resolved address; the socket, made non-blocking once
// connected, or INVALID_SOCKET with the library's error value left for the
// caller.
SOCKET connect_one(const struct addrinfo& address) {
  SOCKET s = socket(address.ai_family, address.ai_socktype, address.ai_protocol);
  if (s == INVALID_SOCKET) return s;
  // A close never waits for unsent data.
  BOOL dont_linger = TRUE;
  bool ok = setsockopt(s, SOL_SOCKET, SO_DONTLINGER, reinterpret_cast<const char*>(&dont_linger),
                       sizeof dont_linger) == 0;
  if (ok) ok = connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0;
  // From here on no send or receive waits; the caller waits with select.
  u_long non_blocking = 1;
  if (ok) ok = ioctlsocket(s, FIONBIO, &non_blocking) == 0;
  if (!ok) {
    int value = WSAGetLastError();
    closesocket(s);
    WSASetLastError(value);
    return INVALID_SOCKET;
  }
  return s;
}

}  // namespace

OsHandle platform_tcp_connect(ErrorNumber& error_code, const std::string& host,
                              std::uint16_t port) {
  // The name goes to the resolver whole; a NUL byte would cut it short, so a
  // name holding one names no host.
  if (host.find('\0') != std::string::npos) {
    record_socket_value(error_code, WSAHOST_NOT_FOUND);
    return kNoHandle;
  }
  if (!start_sockets(error_code)) return kNoHandle;
  char service[8];
  std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
  struct addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  struct addrinfo* answer = nullptr;
  int resolved = getaddrinfo(host.c_str(), service, &hints, &answer);
  if (resolved != 0) {
    record_socket_value(error_code, resolved);
    WSACleanup();
    return kNoHandle;
  }
  // The addresses come in the resolver's order of preference; the first that
  // accepts wins, and only the last failure is reported.
  SOCKET s = INVALID_SOCKET;
  for (const struct addrinfo* address = answer; address != nullptr && s == INVALID_SOCKET;
       address = address->ai_next) {
    s = connect_one(*address);
  }
  if (s == INVALID_SOCKET) record_socket_error(error_code);
  freeaddrinfo(answer);
  if (s == INVALID_SOCKET) {
    WSACleanup();
    return kNoHandle;
  }
  return static_cast<OsHandle>(s);
}

SocketWait platform_wait_socket(ErrorNumber& error_code, OsHandle socket, bool for_writing,
                                std::uint32_t timeout_ms) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(to_socket(socket), &set);
  struct timeval limit;
  limit.tv_sec = static_cast<long>(timeout_ms / 1000);
  limit.tv_usec = static_cast<long>(timeout_ms % 1000) * 1000;
  struct timeval* bound = timeout_ms == 0xFFFFFFFFu ? nullptr : &limit;
  int result = select(0, for_writing ? nullptr : &set, for_writing ? &set : nullptr, nullptr, bound);
  if (result == SOCKET_ERROR) {
    record_socket_error(error_code);
    return SocketWait::failed;
  }
  return result == 0 ? SocketWait::timed_out : SocketWait::ready;
}

std::int64_t platform_socket_send(ErrorNumber& error_code, OsHandle socket, const char* data,
                                  std::size_t size) {
  int piece = size > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(size);
  int sent = send(to_socket(socket), data, piece, 0);
  if (sent == SOCKET_ERROR) {
    // No room in the socket's buffer now: nothing taken, nothing failed.
    if (WSAGetLastError() == WSAEWOULDBLOCK) return 0;
    record_socket_error(error_code);
    return -1;
  }
  return sent;
}

std::int64_t platform_socket_receive(ErrorNumber& error_code, OsHandle socket, char* buffer,
                                     std::size_t size) {
  int piece = size > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(size);
  int received = recv(to_socket(socket), buffer, piece, 0);
  if (received == SOCKET_ERROR) {
    // Nothing has arrived yet; the peer has not closed either.
    if (WSAGetLastError() == WSAEWOULDBLOCK) return -2;
    record_socket_error(error_code);
    return -1;
  }
  return received;
}

std::int32_t platform_tcp_service_port(ErrorNumber& error_code, const std::string& service) {
  std::string name = through_buffer(service, kNameLimit + 1);
  if (!start_sockets(error_code)) return -1;
  // The empty name is never a service.
  const struct servent* entry = name.empty() ? nullptr : getservbyname(name.c_str(), "tcp");
  std::int32_t port = entry == nullptr ? -1 : ntohs(static_cast<u_short>(entry->s_port));
  if (entry == nullptr) set_error(error_code, kErrSocket);
  WSACleanup();
  return port;
}

int platform_socket_peek(ErrorNumber& failure, OsHandle socket) {
  // The socket is non-blocking: a look at nothing yet fails with
  // WSAEWOULDBLOCK at once and tells nothing.
  char first = 0;
  int seen = recv(to_socket(socket), &first, 1, MSG_PEEK);
  if (seen > 0) return 1;
  if (seen == 0) return 0;
  if (WSAGetLastError() != WSAEWOULDBLOCK) record_socket_error(failure);
  return -1;
}

std::string platform_local_host_name(ErrorNumber& error_code) {
  if (!start_sockets(error_code)) return std::string();
  char name[kNameLimit + 1];
  std::memset(name, 0, sizeof name);
  std::string result;
  if (gethostname(name, static_cast<int>(kNameLimit)) != 0) {
    record_socket_error(error_code);
  } else {
    result.assign(name, strnlen(name, kNameLimit));
  }
  WSACleanup();
  return result;
}

void platform_close_socket(OsHandle socket) {
  if (socket == kNoHandle) return;
  closesocket(to_socket(socket));
  // The start-up that the connect made ends with the connection.
  WSACleanup();
}

// --------------------------------------------------------- bulk transfers

// Windows has no file without a name that could be given one later: a large
// answer waits in TEMP and the save copies it.
OsHandle platform_open_scratch_beside(const std::string&) { return kNoHandle; }

bool platform_place_file(OsHandle, const std::string&) { return false; }

std::int64_t platform_socket_send_file(ErrorNumber& error_code, OsHandle socket, OsHandle file,
                                       std::uint64_t offset, std::uint64_t size,
                                       bool& end_of_file) {
  end_of_file = false;
  if (size == 0) return 0;
  // One read and one send; bytes the socket did not take are read again by
  // the next call, from the offset that far.
  char buffer[65536];
  std::size_t want = size < sizeof buffer ? static_cast<std::size_t>(size) : sizeof buffer;
  ErrorNumber read_error = 0;
  std::size_t got = platform_read_at(read_error, file, buffer, want, offset);
  if (read_error != 0) {
    set_error(error_code, read_error);
    return -1;
  }
  if (got == 0) {
    end_of_file = true;
    return 0;
  }
  return platform_socket_send(error_code, socket, buffer, got);
}
