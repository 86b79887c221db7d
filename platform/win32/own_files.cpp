// Win32 backend: the files the program makes for itself (the upload body
// file, the scratch file of a large answer, the unnamed file beside the save
// file).

// win32.h first: it brings windows.h, which the other system headers need.
#include "platform/win32/win32.h"

#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/win32/file_calls.h"

namespace {

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

// Creates name as a new file of the program's own (the upload body file,
// the scratch file of a large answer): the owner alone has access, nobody
// shares it, and it is deleted when its handle closes.
HANDLE create_own_file(const std::string& name, DWORD& system_value) {
  OwnerOnly security = owner_only_security();
  const FileOpen own{GENERIC_READ | GENERIC_WRITE, 0, &security.attributes, CREATE_NEW,
                     FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE};
  HANDLE handle = create_file(name, own, system_value);
  release_security(security);
  return handle;
}

// A name for a file of the program's own that no file is likely to bear
// yet: stem, the process, serial (counted up first) and the clock.
std::string fresh_name(const char* stem, unsigned& serial) {
  ++serial;
  char name[64];
  std::snprintf(name, sizeof name, "%s%08X%04X%08X.tmp", stem,
                static_cast<unsigned>(GetCurrentProcessId()), serial & 0xFFFFu,
                static_cast<unsigned>(GetTickCount64() & 0xFFFFFFFFu));
  return name;
}

}  // namespace

void platform_append_to_file(ErrorNumber& error_code, const std::string& name, const std::string& bytes) {
  // FILE_APPEND_DATA without FILE_WRITE_DATA: every write lands at the end
  // as one piece, so lines of jobs sharing the file never interleave. A
  // file made here is the owner's alone; an existing one keeps its own
  // security.
  OwnerOnly security = owner_only_security();
  const FileOpen append{FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        &security.attributes, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL};
  DWORD value = 0;
  HANDLE handle = create_file(name, append, value);
  release_security(security);
  if (handle == INVALID_HANDLE_VALUE) {
    record_system_error(error_code, value);
    return;
  }
  platform_write(error_code, from_handle(handle), bytes.data(), bytes.size());
  close_handle(handle);
}

FileHandle platform_create_unnamed(ErrorNumber& error_code, const std::string& name,
                                 bool& name_taken) {
  name_taken = false;
  // No sharing: while the handle is open nobody else opens the file, not
  // even to delete it; and it is deleted when the handle closes, however
  // the process ends. It is only ever reached through this handle.
  DWORD value = 0;
  HANDLE handle = create_own_file(name, value);
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
  return kNoFile;
}

FileHandle platform_open_scratch(ErrorNumber& error_code, const std::string& directory) {
  std::string prefix = directory.empty() ? std::string(".\\") : directory;
  if (!platform_ends_with_separator(prefix)) prefix.push_back('\\');
  // The name only has to be new; the file is gone when its handle closes.
  static unsigned serial = 0;
  DWORD value = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    HANDLE handle = create_own_file(prefix + fresh_name("ravelok", serial), value);
    if (handle != INVALID_HANDLE_VALUE) return from_handle(handle);
    if (value != ERROR_FILE_EXISTS && value != ERROR_ALREADY_EXISTS) break;
  }
  record_system_error(error_code, value);
  return kNoFile;
}

// ------------------------------------------------ the unnamed file beside

namespace {

// The files platform_open_unnamed_beside made that have no name yet. Only
// such a file may be given one: a scratch file is deleted when it closes,
// whatever name it then bears.
std::vector<HANDLE> g_unnamed;

bool is_unnamed(HANDLE handle) {
  return std::find(g_unnamed.begin(), g_unnamed.end(), handle) != g_unnamed.end();
}

// Marks the file to be deleted when its last handle closes (however the
// process ends), or takes the mark away again.
bool mark_for_deletion(HANDLE handle, bool remove) {
  FILE_DISPOSITION_INFO disposition;
  disposition.DeleteFile = remove ? TRUE : FALSE;
  UINT previous = begin_file_call();
  BOOL done = SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                         sizeof disposition);
  end_file_call(previous);
  return done != 0;
}

}  // namespace

void forget_unnamed(HANDLE handle) {
  g_unnamed.erase(std::remove(g_unnamed.begin(), g_unnamed.end(), handle), g_unnamed.end());
}

FileHandle platform_open_unnamed_beside(const std::string& name) {
  const std::string path = full_disk_path(name);
  if (path.empty()) return kNoFile;
  // The rename never replaces a file, so beside a name that exists already
  // (a save file to be rewritten in place, a directory, a link) the file
  // could never take it: the caller's scratch file serves, and the copy
  // follows as before. A path that cannot exist gets no file either.
  UINT previous = begin_file_call();
  DWORD attributes = GetFileAttributesA(path.c_str());
  DWORD value = end_file_call(previous);
  if (attributes != INVALID_FILE_ATTRIBUTES || value != ERROR_FILE_NOT_FOUND) return kNoFile;
  // A hidden file under a new name in the same directory, on the same
  // volume, so that a rename can later make it the save file. It gets the
  // security creating the save file would give, as it may become that
  // file; no sharing keeps everybody else from its bytes meanwhile, and the
  // deletion mark from opening it at all. Marked at once, it vanishes with
  // its handle, however the process ends.
  const std::string directory = directory_part(path);
  static unsigned serial = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string own = directory + fresh_name("~ravelok", serial);
    DWORD create_value = 0;
    const FileOpen hidden{GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_HIDDEN};
    HANDLE handle = create_file(own, hidden, create_value);
    if (handle == INVALID_HANDLE_VALUE) {
      if (create_value == ERROR_FILE_EXISTS || create_value == ERROR_ALREADY_EXISTS) continue;
      return kNoFile;
    }
    if (!mark_for_deletion(handle, true)) {
      // A system without the deletion mark: the file could outlive the run.
      UINT close_previous = begin_file_call();
      CloseHandle(handle);
      DeleteFileA(own.c_str());
      end_file_call(close_previous);
      return kNoFile;
    }
    g_unnamed.push_back(handle);
    return from_handle(handle);
  }
  return kNoFile;
}

namespace {

// Renames the open file to path (a full path), replacing a file there when
// replace is set; value receives the system's value of a refusal.
bool rename_open_file(HANDLE handle, const std::string& path, bool replace, DWORD& value) {
  // The rename goes to the system as an NT path ("\??\C:\dir\name"), in
  // UTF-16 from the ANSI code page.
  const std::string nt_path = "\\??\\" + path;
  int units = MultiByteToWideChar(CP_ACP, 0, nt_path.data(), static_cast<int>(nt_path.size()),
                                  nullptr, 0);
  value = ERROR_INVALID_NAME;
  if (units <= 0) return false;
  const std::size_t size =
      sizeof(FILE_RENAME_INFO) + static_cast<std::size_t>(units) * sizeof(WCHAR);
  std::vector<char> buffer(size, '\0');
  FILE_RENAME_INFO* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = replace ? TRUE : FALSE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(units) * sizeof(WCHAR);
  MultiByteToWideChar(CP_ACP, 0, nt_path.data(), static_cast<int>(nt_path.size()),
                      rename->FileName, units);
  UINT previous = begin_file_call();
  BOOL renamed = SetFileInformationByHandle(handle, FileRenameInfo, rename,
                                            static_cast<DWORD>(size));
  value = end_file_call(previous);
  return renamed != 0;
}

// Gives a renamed file the attributes it is to keep (no longer hidden).
void set_attributes(HANDLE handle, DWORD attributes) {
  FILE_BASIC_INFO basic;
  std::memset(&basic, 0, sizeof basic);  // times of 0 stay as they are
  basic.FileAttributes = attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
  UINT previous = begin_file_call();
  SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic);
  end_file_call(previous);
}

}  // namespace

bool platform_give_name(FileHandle file, const std::string& name, bool plain_files_only) {
  (void)plain_files_only;  // a file takes its access from its directory
  HANDLE handle = to_handle(file);
  if (file == kNoFile || !is_unnamed(handle)) return false;
  const std::string path = full_disk_path(name);
  if (path.empty()) return false;
  // The mark comes off first: a file waiting to be deleted cannot be
  // renamed everywhere. When the rename is refused (the name is taken) the
  // mark goes back on, and the file stays as it was.
  if (!mark_for_deletion(handle, false)) return false;
  DWORD value = 0;
  if (!rename_open_file(handle, path, false, value)) {
    mark_for_deletion(handle, true);
    return false;
  }
  forget_unnamed(handle);
  // The save file is a plain file, no longer hidden.
  set_attributes(handle, FILE_ATTRIBUTE_NORMAL);
  return true;
}

// ------------------------------------------------- replacing a file whole

namespace {

void delete_name(const std::string& name) {
  if (name_refusal(name) != 0) return;
  UINT previous = begin_file_call();
  DeleteFileA(name.c_str());
  end_file_call(previous);
}

}  // namespace

FileHandle platform_open_replacement(ErrorNumber& error_code, const std::string& name,
                                     bool plain_files_only, bool& in_place) {
  (void)plain_files_only;  // the name is never followed: a link is replaced itself
  in_place = false;
  // A device (NUL, CON) or a name without a full path is written as it is.
  const std::string path = full_disk_path(name);
  if (path.empty()) {
    in_place = true;
    return kNoFile;
  }
  UINT previous = begin_file_call();
  DWORD attributes = GetFileAttributesA(path.c_str());
  end_file_call(previous);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    in_place = true;
    return kNoFile;
  }
  const std::string fresh = platform_replacement_name(path);
  delete_name(fresh);
  // Hidden, shared with nobody, and marked at once: it vanishes with its
  // handle, however the process ends, unless it replaces the save file.
  DWORD value = 0;
  const FileOpen hidden{GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_HIDDEN};
  HANDLE handle = create_file(fresh, hidden, value);
  if (handle == INVALID_HANDLE_VALUE) {
    record_system_error(error_code, value);
    return kNoFile;
  }
  if (!mark_for_deletion(handle, true)) {
    value = GetLastError();
    close_handle(handle);
    delete_name(fresh);
    record_system_error(error_code, value);
    return kNoFile;
  }
  return from_handle(handle);
}

void platform_start_write_back(FileHandle file, std::uint64_t offset, std::uint64_t length) {
  // Windows has no call that starts writing without waiting; the flush
  // before the rename writes everything.
  (void)file;
  (void)offset;
  (void)length;
}

void platform_replace(ErrorNumber& error_code, FileHandle file, const std::string& name,
                      bool plain_files_only) {
  (void)plain_files_only;  // a new file takes its access from its directory
  HANDLE handle = to_handle(file);
  const std::string path = full_disk_path(name);
  // The old file's attributes (archive, hidden, system...) pass to the new
  // one; its data reaches the disk before the rename (the write-through a
  // MoveFileEx would ask for).
  UINT previous = begin_file_call();
  DWORD attributes = GetFileAttributesA(path.c_str());
  BOOL flushed = FlushFileBuffers(handle);
  DWORD value = end_file_call(previous);
  if (attributes == INVALID_FILE_ATTRIBUTES) attributes = FILE_ATTRIBUTE_NORMAL;
  attributes &= FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  bool done = flushed != 0 && !path.empty();
  if (done && !mark_for_deletion(handle, false)) {
    value = GetLastError();
    done = false;
  }
  if (done && !rename_open_file(handle, path, true, value)) {
    // Refused (the file open elsewhere, read-only): the mark goes back on,
    // and closing removes the new file.
    mark_for_deletion(handle, true);
    done = false;
  }
  if (done) {
    set_attributes(handle, attributes);
    previous = begin_file_call();
    FlushFileBuffers(handle);
    end_file_call(previous);
  } else {
    record_system_error(error_code, value == 0 ? ERROR_INVALID_NAME : value);
  }
  close_handle(handle);
}

void platform_drop_replacement(FileHandle file, const std::string& name, bool plain_files_only) {
  (void)plain_files_only;
  if (file != kNoFile) close_handle(to_handle(file));
  const std::string path = full_disk_path(name);
  if (!path.empty()) delete_name(platform_replacement_name(path));
}
