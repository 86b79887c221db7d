#include "services/files.h"

#include "platform/platform.h"
#include "services/number_table.h"

namespace {

// Wildcards are refused on every platform so that both builds open the
// same names.
bool name_allowed(ErrorNumber& error_code, const std::string& name) {
  if (name.empty() || name.find_first_of("*?") != std::string::npos) {
    set_error(error_code, kErrBadName);
    return false;
  }
  return true;
}

// The checks every open makes before it touches the file system, so that a
// refused number never creates or empties a file.
bool may_open(ErrorNumber& error_code, std::int16_t number, const std::string& name) {
  if (number < 0) {
    set_error(error_code, kErrNotOpen);
    return false;
  }
  if (find_number(number) != nullptr) {
    set_error(error_code, kErrAlreadyOpen);
    return false;
  }
  return name_allowed(error_code, name);
}

void enter_or_close(ErrorNumber& error_code, std::int16_t number, NumberKind kind,
                    FileHandle handle) {
  if (handle == kNoFile) return;
  if (enter_number(error_code, number, kind, handle) == nullptr) platform_close_file(handle);
}

// The entry of a disk file under number: 52 when nothing is open there, 54
// when a connection is.
NumberEntry* find_file(ErrorNumber& error_code, std::int16_t number) {
  NumberEntry* entry = find_number(number);
  if (entry == nullptr) {
    set_error(error_code, kErrNotOpen);
    return nullptr;
  }
  if (entry->kind == NumberKind::tcp) {
    set_error(error_code, kErrWrongKind);
    return nullptr;
  }
  return entry;
}

}  // namespace

void file_open_output(ErrorNumber& error_code, std::int16_t number, const std::string& name,
                      bool plain_files_only) {
  if (!may_open(error_code, number, name)) return;
  FileHandle handle = platform_open_output(error_code, name, plain_files_only);
  enter_or_close(error_code, number, NumberKind::file_output, handle);
}

void file_check_output(ErrorNumber& error_code, const std::string& name, bool plain_files_only) {
  if (name_allowed(error_code, name)) platform_check_output(error_code, name, plain_files_only);
}

void file_open_read(ErrorNumber& error_code, std::int16_t number, const std::string& name) {
  if (!may_open(error_code, number, name)) return;
  FileHandle handle = platform_open_read(error_code, name);
  enter_or_close(error_code, number, NumberKind::file_read, handle);
}

void file_create_unnamed(ErrorNumber& error_code, std::int16_t number, const std::string& name,
                         bool& name_taken) {
  name_taken = false;
  if (!may_open(error_code, number, name)) return;
  FileHandle handle = platform_create_unnamed(error_code, name, name_taken);
  enter_or_close(error_code, number, NumberKind::file_output, handle);
}

void file_write(ErrorNumber& error_code, std::int16_t number, const char* data, std::size_t size) {
  NumberEntry* entry = find_number(number);
  if (entry == nullptr) {
    set_error(error_code, kErrNotOpen);
    return;
  }
  // Only a file opened for output takes writes; a connection is written
  // with the TCP procedures.
  if (entry->kind != NumberKind::file_output) {
    set_error(error_code, kErrWrongKind);
    return;
  }
  if (size == 0) return;
  platform_write(error_code, entry->handle, data, size);
}

void file_write(ErrorNumber& error_code, std::int16_t number, const std::string& bytes) {
  file_write(error_code, number, bytes.data(), bytes.size());
}

void file_write_line_end(ErrorNumber& error_code, std::int16_t number) {
  file_write(error_code, number, "\r\n", 2);
}

std::size_t file_read(ErrorNumber& error_code, std::int16_t number, char* buffer,
                      std::size_t size) {
  NumberEntry* entry = find_file(error_code, number);
  if (entry == nullptr) return 0;
  if (entry->kind != NumberKind::file_read) {
    set_error(error_code, kErrWrongKind);
    return 0;
  }
  if (size == 0) return 0;
  return platform_read(error_code, entry->handle, buffer, size);
}

std::uint64_t file_size(ErrorNumber& error_code, std::int16_t number) {
  NumberEntry* entry = find_file(error_code, number);
  if (entry == nullptr) return 0;
  return platform_file_size(error_code, entry->handle);
}

FileHandle file_handle(std::int16_t number) {
  NumberEntry* entry = find_number(number);
  if (entry == nullptr || entry->kind == NumberKind::tcp) return kNoFile;
  return entry->handle;
}

void file_close(ErrorNumber& error_code, std::int16_t number) {
  NumberEntry* entry = find_number(number);
  if (entry == nullptr) return;
  if (entry->kind == NumberKind::tcp) {
    set_error(error_code, kErrWrongKind);
    return;
  }
  // The file ends where writing stopped, whatever was there before.
  if (entry->kind == NumberKind::file_output && platform_is_disk_file(entry->handle)) {
    platform_cut_at_position(error_code, entry->handle);
  }
  platform_close_file(entry->handle);
  remove_number(number);
}
