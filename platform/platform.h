// The operating-system interface. Every system call of the program lives in
// one backend (platform/posix/*.cpp, platform/win32/*.cpp), split by subject:
// process, profile, console, files, net; everything else calls these
// procedures only. Failures are recorded in the caller's error_code as
// the program's error numbers, never as raw system values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/error_numbers.h"

// An open disk file, device or pipe: a file descriptor or a HANDLE. A file
// and a socket are different types, so neither can be handed where the
// other is expected.
struct FileHandle {
  std::intptr_t value = -1;
  friend bool operator==(FileHandle, FileHandle) = default;
};

// An open stream socket: a file descriptor or a SOCKET.
struct SocketHandle {
  std::intptr_t value = -1;
  friend bool operator==(SocketHandle, SocketHandle) = default;
};

inline constexpr FileHandle kNoFile{};
inline constexpr SocketHandle kNoSocket{};

inline bool is_open(FileHandle file) { return file != kNoFile; }
inline bool is_open(SocketHandle socket) { return socket != kNoSocket; }

// ---------------------------------------------------------------- process

// Keeps argc/argv for the command-line tail and sets the process up for an
// unattended run (interrupt key ignored, no signal on a broken connection;
// on POSIX no core file, and not open to tracing).
void platform_start(int argc, char** argv);

// Undoes what platform_start set up that the system does not undo by itself
// at exit (OLE on Windows); called once, after the job.
void platform_finish();

// The command line less the program name, as one byte string.
std::string platform_command_tail();

// The environment as it was at start-up, one "NAME=value" entry each.
std::vector<std::string> platform_environment();

// The current directory; a root ends in a separator, any other does not.
// Empty when it cannot be had.
std::string platform_current_directory();

// The settings file name for a configuration directory: the directory, a
// separator when it needs one, and the settings file's own name.
std::string platform_settings_file_name(const std::string& directory);

// The temporary directory that default save names and body files go in.
std::string platform_temp_directory();

// The path separator that joins a directory and a name.
char platform_separator();

// True when path ends in a byte that already separates a directory.
bool platform_ends_with_separator(const std::string& path);

// Milliseconds since local midnight, 0 to 86,399,999.
std::uint32_t platform_local_milliseconds();

// A clock that only goes forward, in milliseconds.
std::uint64_t platform_monotonic_milliseconds();

// The calendar time: seconds since 1970-01-01 00:00 UTC.
std::int64_t platform_unix_seconds();

// Blocks the process for the given time.
void platform_sleep(std::uint32_t milliseconds);

// Starts the desktop's viewer on file and does not wait; reports nothing.
void platform_shell_open(const std::string& file);

// The system's own words for the last failure this backend recorded (the
// text of an errno value, of a resolver failure or of a Windows error);
// empty when it has recorded none. Read it right after the failing call.
std::string platform_failure_reason();

// True when that last failure was a host name that could not be looked up.
bool platform_failure_was_lookup();

// True when a file of this name can be handed to the system whole. Names
// are never shortened to fit: one that does not fit is not used at all.
bool platform_name_fits(const std::string& name);

// True when path names an existing directory (a link to one included).
bool platform_is_directory(const std::string& path);

// Write text to standard output or standard error as it stands, all of it
// unless the stream fails; report nothing.
void platform_write_standard_output(const std::string& text);
void platform_write_standard_error(const std::string& text);

// --------------------------------------------------------------- settings

// The value of key in section of a private-profile (INI) file, at most
// 2,047 bytes; empty when the file, the section or the key is missing.
std::string platform_read_profile_string(const std::string& section, const std::string& key,
                                         const std::string& file_name);

// The names of the sections of a private-profile file, in the order of the
// file, as written there, a name met before (in any letter case) again,
// although platform_read_profile_string reads the first section of a name
// alone; empty when the file is missing. The empty name is never listed.
std::vector<std::string> platform_profile_section_names(const std::string& file_name);

// The names of the keys of section (the first section of that name), in
// the order of the file, as written there, a name met before again; empty
// when the file or the section is missing. A comment is no key, and the
// empty name (a line "=value") is never listed: on Windows it ends the
// list, so the keys after it may be missing there.
std::vector<std::string> platform_profile_key_names(const std::string& section,
                                                    const std::string& file_name);

// ---------------------------------------------------------------- console

// Chooses the terminal for the progress line; false when there is none,
// and every later console call then does nothing.
bool platform_console_init();

// Width of the terminal in columns (80 when unknown) and the cursor column,
// 1-based.
int platform_console_width();
int platform_console_column();

// Moves the cursor; a value out of range keeps that coordinate (row 0 keeps
// the row). Clears a pending scroll.
void platform_console_locate(int column, int row);

// Writes text at the cursor and advances it; control bytes are not obeyed.
void platform_console_print(const std::string& text);

// Column 1 of the next row, scrolling at the last row.
void platform_console_new_line();

// Hands what the calls since the last flush drew to the terminal at once.
void platform_console_flush();

// ------------------------------------------------------------------ files

// Opens name for writing, creating it when missing. A regular file is cut to
// length 0; a device or pipe is written as it is. With plain_files_only a
// symbolic link is not followed, anything but a regular file fails (70) and,
// on POSIX, a file it creates is readable and writable by its owner only.
FileHandle platform_open_output(ErrorNumber& error_code, const std::string& name,
                              bool plain_files_only);

// Finds, without changing anything on disk, the failure that
// platform_open_output(name, plain_files_only) would record, and records it;
// nothing when that open would succeed as far as can be told beforehand. An
// existing file is opened for writing as that open would open it and closed
// unwritten (a FIFO or device is only asked about, not opened); for a missing
// one, the directory that would hold it must let this process add a file.
void platform_check_output(ErrorNumber& error_code, const std::string& name,
                           bool plain_files_only);

// Opens name for writing only when it is an existing regular file (with
// plain_files_only, not through a link), and empties it; never creates one.
// 53 when nothing bears the name; 70 for anything but a regular file.
FileHandle platform_open_existing_output(ErrorNumber& error_code, const std::string& name,
                                         bool plain_files_only);

// Appends bytes at the end of name with one write, creating the file when
// it is missing (readable and writable by its owner only); a link is
// followed. Processes that append to the same file at once never mix their
// bytes: each call's land together. A short write is a failure.
void platform_append_to_file(ErrorNumber& error_code, const std::string& name, const std::string& bytes);

// Empties a disk file and puts its position back at the start.
void platform_empty_file(ErrorNumber& error_code, FileHandle handle);

// Opens an existing file for reading; never creates one; a directory is
// refused (70).
FileHandle platform_open_read(ErrorNumber& error_code, const std::string& name);

// Creates name new for reading and writing, readable by its owner only,
// never through an existing file or link, and at once takes the name away
// again (on Windows: no sharing, deleted when closed): from then on the file
// is only this handle, and nothing of it outlives the process. When the name
// is taken, name_taken is set and no error is recorded.
FileHandle platform_create_unnamed(ErrorNumber& error_code, const std::string& name,
                                 bool& name_taken);

// An anonymous file for reading and writing in directory, gone when closed.
FileHandle platform_open_scratch(ErrorNumber& error_code, const std::string& directory);

// True when handle is a regular disk file.
bool platform_is_disk_file(FileHandle handle);

// Writes every byte (one logical write); a short write is a failure.
void platform_write(ErrorNumber& error_code, FileHandle handle, const char* data, std::size_t size);

// Reads up to size bytes at the current position; 0 at the end of the file.
std::size_t platform_read(ErrorNumber& error_code, FileHandle handle, char* buffer,
                          std::size_t size);

// Reads up to size bytes at offset, leaving the position alone.
std::size_t platform_read_at(ErrorNumber& error_code, FileHandle handle, char* buffer,
                             std::size_t size, std::uint64_t offset);

// What an open file looks like now. A regular disk file's size is known
// before it is read; a pipe's or a device's is not.
struct FileStamp {
  std::uint64_t size = 0;
  std::int64_t modified = 0;  // the last write, in the system's own units
  bool regular = false;       // a regular disk file
  bool terminal = false;      // a terminal or console: reading it would wait for a user
  friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

// The stamp of an open file; a zero stamp with the failure recorded.
FileStamp platform_file_stamp(ErrorNumber& error_code, FileHandle handle);

// The time of the last write to the file name, in seconds since 1970 UTC;
// -1 when it cannot be had (no such file among them), with the failure
// recorded.
std::int64_t platform_file_modified(ErrorNumber& error_code, const std::string& name);

// Gives the file name the time of last write unix_seconds (seconds since
// 1970 UTC), its other times left alone.
void platform_set_file_modified(ErrorNumber& error_code, const std::string& name,
                                std::int64_t unix_seconds);

// Size of an open file in bytes; 0 on failure.
std::uint64_t platform_file_size(ErrorNumber& error_code, FileHandle handle);

// Copies length bytes from offset of file from to the current position of
// to, with the kernel's copy where it has one; one logical write.
void platform_copy_file(ErrorNumber& error_code, FileHandle from, std::uint64_t offset,
                        std::uint64_t length, FileHandle to);

// Cuts a disk file at its current position.
void platform_cut_at_position(ErrorNumber& error_code, FileHandle handle);

// Closes a file handle; reports nothing.
void platform_close_file(FileHandle handle);

// Deletes a file; reports nothing.
void platform_delete_file(const std::string& name);

// ---------------------------------------------------------------- sockets

// Resolves host (IPv4 and IPv6) and connects a stream socket to port, trying
// each address in turn; the last attempt's failure is recorded (57 or 70,
// 24 when its time ran out). Connecting is one non-blocking connect per
// address, all of them together bounded by timeout_ms from the end of the
// lookup (0xFFFFFFFF: only the system's bound) and never past the monotonic
// time deadline_ms when that is not 0; each address may take an equal part
// of the time left (connect_time.h). The name is used whole: one holding a
// NUL byte resolves to nothing (57). The socket is non-blocking: sends and
// receives never wait.
SocketHandle platform_tcp_connect(ErrorNumber& error_code, const std::string& host,
                                  std::uint16_t port, std::uint32_t timeout_ms,
                                  std::uint64_t deadline_ms);

enum class SocketWait { ready, timed_out, failed };

// Waits until the socket is writable (or readable), bounded by timeout_ms;
// 0xFFFFFFFF waits without bound. A failure is recorded (57 or 70).
SocketWait platform_wait_socket(ErrorNumber& error_code, SocketHandle socket, bool for_writing,
                                std::uint32_t timeout_ms);

// One send of up to size bytes without waiting; the count accepted (0 when
// the socket has no room now), or -1 with the failure recorded (57 or 70).
std::int64_t platform_socket_send(ErrorNumber& error_code, SocketHandle socket, const char* data,
                                  std::size_t size);

// One receive of up to size bytes without waiting; the count, 0 when the
// peer has closed, -2 when nothing has arrived yet, or -1 with the failure
// recorded (57 or 70).
std::int64_t platform_socket_receive(ErrorNumber& error_code, SocketHandle socket, char* buffer,
                                     std::size_t size);

// The port, in host byte order, of a TCP service name such as "http", looked
// up from the name's first 256 bytes; -1 with 57 recorded when it is unknown
// (the empty name always is).
std::int32_t platform_tcp_service_port(ErrorNumber& error_code, const std::string& service);

// The local host name, at most 256 bytes.
std::string platform_local_host_name(ErrorNumber& error_code);

// The address a connected socket reached, 4 or 16 bytes in network order
// (an IPv4 address reached over IPv6 as its 4 bytes); empty when it cannot
// be had.
std::string platform_socket_peer_address(SocketHandle socket);

// Closes a socket at once; reports nothing.
void platform_close_socket(SocketHandle socket);

// The system's own proxy setting for programs without a user session's
// (Windows: WinHTTP's, as `netsh winhttp set proxy` writes it): the proxy
// list ("host:port", or "http=host:port;https=host:port") and the bypass
// list, in the ANSI code page. False when the system names no proxy (always
// on POSIX systems, which keep none).
bool platform_system_proxy(std::string& proxy, std::string& bypass);

// ------------------------------------------------------- bulk transfers

// A file with no name yet, for reading and writing, on the file system of
// name's directory, that platform_give_name can later give that name
// without copying. kNoFile (nothing recorded) when name exists and is not a
// regular file, or when the system cannot make such a file there: the
// caller then uses a scratch file (platform_open_scratch). Nothing of it
// outlives the process unless it is given the name. On Linux it has no
// directory entry at all; on Windows it is a hidden file under a name of
// its own, made only while name is free, since it can never replace a file.
FileHandle platform_open_unnamed_beside(const std::string& name);

// Gives the file made by platform_open_unnamed_beside the name when nothing
// bears that name yet, with the access a file created by
// platform_open_output(name, plain_files_only) would get. False, with
// nothing changed, in every other case (an existing save file is rewritten
// in place); the caller then copies.
bool platform_give_name(FileHandle file, const std::string& name, bool plain_files_only);

// ------------------------------------------------- replacing a file whole

// The name under which the file that is to replace name (Keep) may be seen
// in name's directory: name's own last part after a dot, with
// ".ravelok-new" after it ("dir/answer.txt" gives
// "dir/.answer.txt.ravelok-new"). The same for every run of a job, so that
// a file a power cut left there is found and removed by the next run.
std::string platform_replacement_name(const std::string& name);

// A new file, for reading and writing, that is to replace name whole; any
// file under platform_replacement_name(name) is removed first. Nothing of it
// outlives the process unless platform_replace puts it in name's place: on
// Linux it has no directory entry until then, on Windows it is hidden and
// marked for deletion. in_place is set, with no file made and nothing
// recorded, when name is no regular file (a device, a pipe, a directory):
// such a save is written as without Keep. Where name is a symbolic link,
// the file it leads to is replaced; with plain_files_only (the generated
// default name) a link is never followed, and only a regular file is
// replaced (in_place otherwise, and that save refuses it).
FileHandle platform_open_replacement(ErrorNumber& error_code, const std::string& name,
                                     bool plain_files_only, bool& in_place);

// Starts writing length bytes of file from offset out to the disk, without
// waiting for them (Linux: sync_file_range), so that platform_replace finds
// little left to wait for; nothing where the system has no such call.
void platform_start_write_back(FileHandle file, std::uint64_t offset, std::uint64_t length);

// Puts file, made by platform_open_replacement(name), in name's place in
// one step, once its bytes are on the disk: it takes the old file's mode
// (and, where allowed, owner), or, with no old file, the access
// platform_open_output(name, plain_files_only) would give a file it
// creates. On POSIX the directory is synced after the rename. Closes file
// in every case; on failure name is as it was and nothing is left beside it.
void platform_replace(ErrorNumber& error_code, FileHandle file, const std::string& name,
                      bool plain_files_only);

// Closes file (kNoFile: none) and removes whatever bears
// platform_replacement_name(name) (beside the file a link leads to, unless
// plain_files_only); name itself is left as it was.
void platform_drop_replacement(FileHandle file, const std::string& name, bool plain_files_only);

