// Win32 backend: disk files, devices and pipes; the files the program makes
// for itself are in own_files.cpp.

// win32.h first: it brings windows.h, which the other system headers need.
#include "platform/win32/win32.h"

#include <cstring>

#include "platform/win32/file_calls.h"

HANDLE create_file(const std::string& name, const FileOpen& open, DWORD& system_value) {
  system_value = name_refusal(name);
  if (system_value != 0) return INVALID_HANDLE_VALUE;
  UINT previous = begin_file_call();
  HANDLE handle = CreateFileA(name.c_str(), open.access, open.sharing, open.security,
                              open.disposition, open.flags, nullptr);
  system_value = end_file_call(previous);
  return handle;
}

void close_handle(HANDLE handle) {
  UINT previous = begin_file_call();
  CloseHandle(handle);
  end_file_call(previous);
}

std::string full_disk_path(const std::string& name) {
  if (name.empty() || name_refusal(name) != 0) return std::string();
  char full[MAX_PATH];
  UINT previous = begin_file_call();
  DWORD length = GetFullPathNameA(name.c_str(), sizeof full, full, nullptr);
  end_file_call(previous);
  if (length == 0 || length >= sizeof full) return std::string();
  std::string path(full, length);
  if (path.rfind("\\\\.\\", 0) == 0 || path.rfind("\\\\?\\", 0) == 0) return std::string();
  return path;
}

std::string directory_part(const std::string& path) {
  std::size_t end = path.find_last_of("\\/");
  return end == std::string::npos ? std::string() : path.substr(0, end + 1);
}

namespace {

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

// Opens name for writing, with no sharing: OPEN_ALWAYS creates a missing
// file, OPEN_EXISTING does not. With only_plain anything but a disk file that
// is neither a directory nor (with plain_files_only, opened as itself) a
// reparse point is refused (70). Nothing is written or emptied. value
// receives the system value of a failed open.
HANDLE open_unchanged(ErrorNumber& error_code, const std::string& name, bool plain_files_only,
                      DWORD disposition, bool only_plain, DWORD& value) {
  DWORD flags = FILE_ATTRIBUTE_NORMAL;
  if (plain_files_only) flags |= FILE_FLAG_OPEN_REPARSE_POINT;
  const FileOpen writing{GENERIC_WRITE, 0, nullptr, disposition, flags};
  HANDLE handle = create_file(name, writing, value);
  // For an open the handle decides: OPEN_ALWAYS leaves a last-error value
  // on success too.
  if (handle == INVALID_HANDLE_VALUE) {
    record_system_error(error_code, value);
    return handle;
  }
  if (only_plain) {
    BY_HANDLE_FILE_INFORMATION info;
    bool plain = is_disk(handle) && GetFileInformationByHandle(handle, &info) &&
                 (info.dwFileAttributes &
                  (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0;
    if (!plain) {
      CloseHandle(handle);
      record_system_error(error_code, ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
  }
  return handle;
}

// Opens name for writing as open_unchanged does; a disk file then loses its
// old content, a device is written as it is.
FileHandle open_for_writing(ErrorNumber& error_code, const std::string& name,
                            bool plain_files_only, DWORD disposition, bool only_plain) {
  DWORD value = 0;
  ErrorNumber open_error = 0;
  HANDLE handle =
      open_unchanged(open_error, name, plain_files_only, disposition, only_plain, value);
  if (handle == INVALID_HANDLE_VALUE) {
    // A missing directory on the way means no file bears the name either.
    if (disposition == OPEN_EXISTING && value == ERROR_PATH_NOT_FOUND) {
      record_system_error(open_error, ERROR_FILE_NOT_FOUND);
    }
    set_error(error_code, open_error);
    return kNoFile;
  }
  FileHandle file = from_handle(handle);
  if (is_disk(handle)) platform_empty_file(error_code, file);
  return file;
}

}  // namespace

FileHandle platform_open_output(ErrorNumber& error_code, const std::string& name,
                                bool plain_files_only) {
  return open_for_writing(error_code, name, plain_files_only, OPEN_ALWAYS, plain_files_only);
}

FileHandle platform_open_existing_output(ErrorNumber& error_code, const std::string& name,
                                         bool plain_files_only) {
  ErrorNumber open_error = 0;
  FileHandle file = open_for_writing(open_error, name, plain_files_only, OPEN_EXISTING, true);
  if (open_error != 0 && is_open(file)) {
    // Not emptied: not to be written either.
    platform_close_file(file);
    file = kNoFile;
  }
  if (open_error != 0) set_error(error_code, open_error);
  return file;
}

void platform_empty_file(ErrorNumber& error_code, FileHandle file) {
  HANDLE handle = to_handle(file);
  if (!move_to(error_code, handle, 0, FILE_BEGIN)) return;
  UINT previous = begin_file_call();
  BOOL cut = SetEndOfFile(handle);
  DWORD cut_value = end_file_call(previous);
  if (!cut) record_system_error(error_code, cut_value);
}

FileHandle platform_open_read(ErrorNumber& error_code, const std::string& name) {
  // Never creates: an upload file that is missing is a failure, not an empty
  // part. A directory cannot be opened this way (access denied, 70).
  DWORD value = 0;
  const FileOpen reading{GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL};
  HANDLE handle = create_file(name, reading, value);
  if (handle == INVALID_HANDLE_VALUE) {
    record_system_error(error_code, value);
    return kNoFile;
  }
  return from_handle(handle);
}

bool platform_is_disk_file(FileHandle handle) {
  return handle != kNoFile && is_disk(to_handle(handle));
}

void platform_write(ErrorNumber& error_code, FileHandle handle, const char* data,
                    std::size_t size) {
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

std::size_t platform_read(ErrorNumber& error_code, FileHandle handle, char* buffer,
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

std::size_t platform_read_at(ErrorNumber& error_code, FileHandle handle, char* buffer,
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

FileStamp platform_file_stamp(ErrorNumber& error_code, FileHandle handle) {
  FileStamp stamp;
  HANDLE system_handle = to_handle(handle);
  UINT previous = begin_file_call();
  const DWORD type = GetFileType(system_handle);
  DWORD mode = 0;
  stamp.terminal = type == FILE_TYPE_CHAR && GetConsoleMode(system_handle, &mode) != 0;
  BY_HANDLE_FILE_INFORMATION info;
  BOOL ok = type != FILE_TYPE_DISK || GetFileInformationByHandle(system_handle, &info);
  DWORD value = end_file_call(previous);
  if (!ok) {
    record_system_error(error_code, value);
    return FileStamp{};
  }
  if (type == FILE_TYPE_DISK) {
    stamp.regular = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    stamp.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    stamp.modified = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
        info.ftLastWriteTime.dwLowDateTime);
  }
  return stamp;
}

std::uint64_t platform_file_size(ErrorNumber& error_code, FileHandle handle) {
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

void platform_copy_file(ErrorNumber& error_code, FileHandle from, std::uint64_t offset,
                        std::uint64_t length, FileHandle to) {
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

void platform_cut_at_position(ErrorNumber& error_code, FileHandle handle) {
  UINT previous = begin_file_call();
  BOOL cut = SetEndOfFile(to_handle(handle));
  DWORD value = end_file_call(previous);
  if (!cut) record_system_error(error_code, value);
}

void platform_close_file(FileHandle handle) {
  if (handle == kNoFile) return;
  forget_unnamed(to_handle(handle));
  close_handle(to_handle(handle));
}

void platform_delete_file(const std::string& name) {
  // A name that does not fit whole could name another file.
  if (name.empty() || !platform_name_fits(name)) return;
  UINT previous = begin_file_call();
  DeleteFileA(name.c_str());
  end_file_call(previous);
}

void platform_check_output(ErrorNumber& error_code, const std::string& name,
                           bool plain_files_only) {
  // An existing file (or device) is opened as the save opens it, with no
  // sharing, so that one another program holds open is found too; then it
  // is closed, never written or emptied.
  DWORD value = 0;
  ErrorNumber open_error = 0;
  HANDLE handle =
      open_unchanged(open_error, name, plain_files_only, OPEN_EXISTING, plain_files_only, value);
  if (handle != INVALID_HANDLE_VALUE) {
    close_handle(handle);
    return;
  }
  // A missing directory, a directory, a name that does not fit: what the
  // save's own open would meet too.
  if (value != ERROR_FILE_NOT_FOUND) {
    set_error(error_code, open_error);
    return;
  }
  // Nothing bears the name: the directory must let this process add a
  // file. Opening the directory for that right alone (FILE_ADD_FILE) asks
  // its ACL and the volume (a read-only one refuses any write access) the
  // question creating the file would ask, and creates nothing.
  const std::string path = full_disk_path(name);
  if (path.empty()) return;
  const FileOpen add_file{FILE_ADD_FILE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS};
  handle = create_file(directory_part(path), add_file, value);
  if (handle == INVALID_HANDLE_VALUE) {
    record_system_error(error_code, value);
    return;
  }
  close_handle(handle);
}

namespace {

// 100-nanosecond steps from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kFileTimeOf1970 = 116444736000000000;

}  // namespace

std::int64_t platform_file_modified(ErrorNumber& error_code, const std::string& name) {
  DWORD value = name_refusal(name);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (value == 0) {
    UINT previous = begin_file_call();
    const BOOL found = GetFileAttributesExA(name.c_str(), GetFileExInfoStandard, &data);
    value = end_file_call(previous);
    if (found) {
      const std::int64_t steps = static_cast<std::int64_t>(
          (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
          data.ftLastWriteTime.dwLowDateTime);
      const std::int64_t since = steps - kFileTimeOf1970;
      // Whole seconds, rounded down also before 1970.
      return since >= 0 ? since / 10000000 : -((-since + 9999999) / 10000000);
    }
  }
  record_system_error(error_code, value);
  return -1;
}

void platform_set_file_modified(ErrorNumber& error_code, const std::string& name,
                                std::int64_t unix_seconds) {
  FileOpen open{};
  open.access = FILE_WRITE_ATTRIBUTES;
  open.sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  open.disposition = OPEN_EXISTING;
  open.flags = FILE_ATTRIBUTE_NORMAL;
  DWORD value = 0;
  HANDLE handle = create_file(name, open, value);
  if (handle == INVALID_HANDLE_VALUE) {
    record_system_error(error_code, value);
    return;
  }
  const std::uint64_t steps = static_cast<std::uint64_t>(unix_seconds * 10000000 + kFileTimeOf1970);
  FILETIME written;
  written.dwLowDateTime = static_cast<DWORD>(steps & 0xffffffffu);
  written.dwHighDateTime = static_cast<DWORD>(steps >> 32);
  UINT previous = begin_file_call();
  const BOOL set = SetFileTime(handle, nullptr, nullptr, &written);
  value = end_file_call(previous);
  if (!set) record_system_error(error_code, value);
  close_handle(handle);
}
