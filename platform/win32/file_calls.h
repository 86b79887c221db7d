// What the Win32 backend's two file sources share: files.cpp (disk files,
// devices and pipes) and own_files.cpp (the files the program makes for
// itself).
#pragma once

#include <string>

#include "platform/win32/win32.h"

// How CreateFileA is to open a file.
struct FileOpen {
  DWORD access = 0;
  DWORD sharing = 0;
  SECURITY_ATTRIBUTES* security = nullptr;
  DWORD disposition = 0;
  DWORD flags = 0;
};

// Opens name with CreateFileA; system_value receives the last-error value of
// the call. A name that does not fit whole is refused without a call.
HANDLE create_file(const std::string& name, const FileOpen& open, DWORD& system_value);

// Closes a handle, the call bracketed as every file call is.
void close_handle(HANDLE handle);

// The full path of name, or empty when it has none that fits. A device
// name (NUL, CON, COM1) comes back as "\\.\NUL" and is refused too: only a
// disk file can take an unnamed file's place.
std::string full_disk_path(const std::string& name);

// The directory part of a full path, with its separator.
std::string directory_part(const std::string& path);

// Takes a closing file out of the record of the unnamed files, which alone
// may be given a name.
void forget_unnamed(HANDLE handle);
