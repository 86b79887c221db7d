// Win32 backend: the settings file, read with GetPrivateProfileStringA and
// listed with GetPrivateProfileSectionNamesA and GetPrivateProfileStringA
// without a key name.
#include <vector>

#include "platform/win32/win32.h"

namespace {

// The most bytes a listing is given room for: far more than the names of
// any settings file a job has. A list that outgrows it keeps its whole
// names that fit.
constexpr std::size_t kMostListBytes = 64 * 1024 * 1024;

// The full name the profile calls are given; empty when there is none.
// A name without a directory would be looked up in the Windows directory;
// the settings file is meant relative to the current directory (or the
// current directory of the drive a "D:" name gives). A name that does not
// fit whole is never shortened into another file's; the job refuses it
// before asking (53).
std::string profile_path(const std::string& file_name) {
  if (file_name.empty() || !platform_name_fits(file_name)) return std::string();
  char full[MAX_PATH];
  DWORD length = GetFullPathNameA(file_name.c_str(), sizeof full, full, nullptr);
  if (length == 0 || length >= sizeof full) return std::string();
  return std::string(full, length);
}

// The names a listing call gives (each ended by a NUL, the list by one
// more): the sections' when section is null, else the keys of section. A
// call whose list does not fit says so by answering the room less 2; the
// room is then doubled. An empty name would end the list: it is never
// listed. A comment line is no key (Wine lists ";" lines as keys, which
// Windows and the POSIX reader take as comments).
std::vector<std::string> profile_list(const char* section, const std::string& path) {
  std::vector<char> room(16 * 1024);
  std::size_t count = 0;
  bool whole = false;
  for (;;) {
    const auto size = static_cast<DWORD>(room.size());
    const DWORD answer =
        section == nullptr
            ? GetPrivateProfileSectionNamesA(room.data(), size, path.c_str())
            : GetPrivateProfileStringA(section, nullptr, "", room.data(), size, path.c_str());
    count = answer < size ? answer : size - 1;
    whole = answer + 2 < size;
    if (whole || room.size() >= kMostListBytes) break;
    room.assign(room.size() * 2, '\0');
  }
  std::vector<std::string> names;
  std::size_t start = 0;
  for (std::size_t at = 0; at <= count; ++at) {
    // A name cut off by a list that never fit is left out.
    const bool ended = at < count ? room[at] == '\0' : whole && at > start;
    if (!ended) continue;
    std::string name(room.data() + start, at - start);
    start = at + 1;
    if (!name.empty() && (section == nullptr || name[0] != ';')) names.push_back(std::move(name));
  }
  return names;
}

}  // namespace

std::string platform_read_profile_string(const std::string& section, const std::string& key,
                                         const std::string& file_name) {
  const std::string full = profile_path(file_name);
  if (full.empty()) return std::string();
  // Section and key names go whole (up to a NUL, as on every platform).
  char value[2048];
  value[0] = '\0';
  DWORD count = GetPrivateProfileStringA(section.c_str(), key.c_str(), nullptr, value,
                                         sizeof value, full.c_str());
  if (count >= sizeof value) count = sizeof value - 1;
  return std::string(value, count);
}

std::vector<std::string> platform_profile_section_names(const std::string& file_name) {
  const std::string full = profile_path(file_name);
  if (full.empty()) return {};
  return profile_list(nullptr, full);
}

std::vector<std::string> platform_profile_key_names(const std::string& section,
                                                    const std::string& file_name) {
  const std::string full = profile_path(file_name);
  if (full.empty()) return {};
  return profile_list(section.c_str(), full);
}
