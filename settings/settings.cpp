#include "settings/settings.h"

#include <cstdint>
#include <utility>

#include "platform/platform.h"

namespace {

// Buffer sizes of the read operation, terminating NUL included. The same cuts
// hold on every platform so that every build reads the same values. The
// file name is never cut: a shortened name would read another file.
constexpr std::size_t kNameBuffer = 64;
constexpr std::size_t kValueBuffer = 2048;

// text as it comes out of a NUL-terminated buffer of buffer_size bytes: up to
// its first NUL and at most buffer_size - 1 bytes.
std::string through_buffer(const std::string& text, std::size_t buffer_size) {
  std::size_t length = text.find('\0');
  if (length == std::string::npos) length = text.size();
  if (length > buffer_size - 1) length = buffer_size - 1;
  return text.substr(0, length);
}

}  // namespace

std::string read_setting(const std::string& file_name, const std::string& section,
                         const std::string& key) {
  std::string value = platform_read_profile_string(through_buffer(section, kNameBuffer),
                                                   through_buffer(key, kNameBuffer),
                                                   file_name);
  // The call's count says how much of the buffer is the value.
  if (value.size() > kValueBuffer - 1) value.resize(kValueBuffer - 1);
  return value;
}

StringList read_setting_list(const std::string& file_name, const std::string& section) {
  StringList list;
  // Past 32,767 entries the 16-bit index would wrap; the list ends there
  // with every entry read so far.
  while (list.size() < kMostListEntries) {
    std::string value = read_setting(file_name, section,
                                     decimal_text(static_cast<std::int64_t>(list.size() + 1)));
    if (trim_trailing_spaces(value).empty()) break;
    list.push_back(std::move(value));
  }
  return list;
}

StringList setting_sections(const std::string& file_name) {
  return platform_profile_section_names(file_name);
}

StringList setting_keys(const std::string& file_name, const std::string& section) {
  return platform_profile_key_names(section, file_name);
}
