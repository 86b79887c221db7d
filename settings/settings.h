// Reading the job's settings file.
#pragma once

#include <cstddef>
#include <string>

#include "services/bytes.h"

// A list holds at most this many entries (its index is a signed 16-bit
// counter).
inline constexpr std::size_t kMostListEntries = 32767;

// The value of key in section of the settings file file_name, at most 2,047
// bytes; empty when the file, the section or the key is missing. The
// section and key names are cut to 63 bytes; the file name is never cut (a
// shortened name would read another file).
std::string read_setting(const std::string& file_name, const std::string& section,
                         const std::string& key);

// The entries 1, 2, 3, ... of section, up to the first key that is missing,
// empty or only spaces; at most 32,767 entries.
StringList read_setting_list(const std::string& file_name, const std::string& section);

// The sections of the settings file, and the keys of one of them (of its
// first section of that name): in the order of the file, as written there,
// a name met before in any letter case again, although read_setting reads
// only the first of a name. Empty when the file or the section is missing.
StringList setting_sections(const std::string& file_name);
StringList setting_keys(const std::string& file_name, const std::string& section);
