// Win32 backend: the settings file, read with GetPrivateProfileStringA.
#include "platform/win32/win32.h"

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
