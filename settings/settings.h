// Reading the job's settings file.
#pragma once

#include <string>

#include "services/bytes.h"

// The value of key in section of the settings file file_name, at most 2,047
// bytes; empty when the file, the section or the key is missing. The file name
// is cut to 255 bytes and the section and key names to 63.
std::string read_setting(const std::string& file_name, const std::string& section,
                         const std::string& key);

// The entries 1, 2, 3, ... of section, up to the first key that is missing,
// empty or only spaces; at most 32,767 entries.
StringList read_setting_list(const std::string& file_name, const std::string& section);
