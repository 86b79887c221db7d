// Asks the platform's settings reader for every section and key that a
// settings file names (and a few neighbours of those names), and prints each
// answer as one line of hexadecimal text, then the reader's listings of the
// sections and of each section's keys:
//
//   file NAME
//   SECTION-HEX KEY-HEX VALUE-HEX
//   sections SECTION-HEX ...
//   keys SECTION-HEX KEY-HEX ...
//   skip NAME REASON
//
// Built twice, on the POSIX reader and on GetPrivateProfileStringA (run under
// Wine), so scripts/profile-diff.sh can compare the two byte for byte. The
// names asked are chosen from the file's bytes alone, so both builds ask the
// same questions. Questions whose answer Wine gives differently from Windows
// are left out, and so are files that begin with a UTF-8 or UTF-16BE mark.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

constexpr std::size_t kLongestName = 63;
constexpr std::size_t kMostSections = 40;
constexpr std::size_t kMostKeys = 80;

std::string hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char c : bytes) {
    text.push_back(kDigits[c >> 4]);
    text.push_back(kDigits[c & 15]);
  }
  return text.empty() ? "-" : text;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\v'; }

std::string trim_blanks(const std::string& text) {
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && is_blank(text[first])) ++first;
  while (last > first && is_blank(text[last - 1])) --last;
  return text.substr(first, last - first);
}

std::string ascii_case(std::string text, bool upper) {
  for (char& c : text) {
    if (upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (!upper && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// The file's text as the readers see it: a UTF-16LE file becomes one byte
// per character (characters beyond one byte become "?", which no question
// then names).
std::string text_of(const std::string& bytes) {
  if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0xFF ||
      static_cast<unsigned char>(bytes[1]) != 0xFE) {
    return bytes;
  }
  std::string text;
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
    unsigned unit = static_cast<unsigned char>(bytes[i]) |
                    (static_cast<unsigned>(static_cast<unsigned char>(bytes[i + 1])) << 8);
    text.push_back(unit < 0x80 || (unit >= 0xA0 && unit < 0x100) ? static_cast<char>(unit) : '?');
  }
  return text;
}

// Where a question would meet one of Wine's departures from Windows.
bool wine_trims_differently(const std::string& name) {
  std::string asked = name;
  while (!asked.empty() && asked.front() == ' ') asked.erase(asked.begin());
  while (!asked.empty() && asked.back() == ' ') asked.pop_back();
  if (asked.empty()) return false;
  for (char end : {asked.front(), asked.back()}) {
    if (end == '\t' || end == '\r' || end == '\n' || end == '\f' || end == '\x1a') return true;
  }
  return false;
}

void add_name(std::vector<std::string>& names, std::set<std::string>& seen,
              const std::string& name, std::size_t most) {
  if (names.size() >= most || name.size() > kLongestName) return;
  if (name.find('\0') != std::string::npos || name.find('?') != std::string::npos) return;
  if (wine_trims_differently(name)) return;
  if (seen.insert(name).second) names.push_back(name);
}

// The listings, one line each: the sections, then the keys of each section.
void list_file(const std::string& file_name) {
  std::string line = "sections";
  std::vector<std::string> sections;
  for (const std::string& section : platform_profile_section_names(file_name)) {
    sections.push_back(section);
    line += " " + hex(section);
  }
  std::printf("%s\n", line.c_str());
  for (const std::string& section : sections) {
    line = "keys " + hex(section);
    for (const std::string& key : platform_profile_key_names(section, file_name)) {
      line += " " + hex(key);
    }
    std::printf("%s\n", line.c_str());
  }
}

void query_file(const std::string& file_name) {
  std::ifstream in(file_name, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::printf("file %s\n", file_name.c_str());
  const auto starts_with = [&](const char* mark) { return bytes.rfind(mark, 0) == 0; };
  if (starts_with("\xEF\xBB\xBF")) {
    std::printf("skip %s utf-8 mark\n", file_name.c_str());
    return;
  }
  if (starts_with("\xFE\xFF")) {
    std::printf("skip %s utf-16be mark\n", file_name.c_str());
    return;
  }
  const bool utf16 = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                     static_cast<unsigned char>(bytes[1]) == 0xFE;
  // Three cases where the readers differ and Microsoft's documentation of
  // GetPrivateProfileString does not say what Windows does (docs/HACKING.md,
  // "The differential check of the settings readers"): an odd last byte of a UTF-16LE file (dropped here,
  // a "?" in Wine), characters beyond U+FFFF (one "?" here, one per UTF-16
  // unit in Wine), and a NUL before the "=" of a line (the line ends here;
  // Wine reads the key).
  if (utf16 && bytes.size() % 2 != 0) {
    std::printf("skip %s utf-16le with an odd byte at the end\n", file_name.c_str());
    return;
  }
  for (std::size_t i = 3; utf16 && i < bytes.size(); i += 2) {
    unsigned char high = static_cast<unsigned char>(bytes[i]);
    if (high >= 0xD8 && high <= 0xDF) {
      std::printf("skip %s utf-16le surrogates\n", file_name.c_str());
      return;
    }
  }
  const std::string text = text_of(bytes);

  std::vector<std::string> sections;
  std::vector<std::string> keys;
  std::set<std::string> seen_sections;
  std::set<std::string> seen_keys;
  std::set<std::string> long_quoted_keys;
  // A name that Wine trims otherwise, one too long to be read, or one
  // holding a character the code pages map differently, shows as written
  // in the listings; an empty key name ends Wine's list of keys: such a
  // file is listed by neither.
  bool listed_alike = true;
  const auto list_name = [&](const std::string& name) {
    if (wine_trims_differently(name) || name.size() > 1024 ||
        (utf16 && name.find('?') != std::string::npos)) {
      listed_alike = false;
    }
  };
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    std::size_t nul = line.find('\0');
    if (nul != std::string::npos && line.find('=', nul) != std::string::npos &&
        line.find('=') > nul) {
      std::printf("skip %s NUL byte before the = of a line\n", file_name.c_str());
      return;
    }
    if (nul != std::string::npos && line.rfind('[', 0) == 0) listed_alike = false;
    line = trim_blanks(line.substr(0, nul));
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      std::size_t close = line.find(']');
      // Wine ends the name at the last "]" and drops a line without one.
      if (close == std::string::npos || line.find(']', close + 1) != std::string::npos) {
        std::printf("skip %s section line that Wine reads differently\n", file_name.c_str());
        return;
      }
      list_name(trim_blanks(line.substr(1, close - 1)));
      add_name(sections, seen_sections, trim_blanks(line.substr(1, close - 1)), kMostSections);
      continue;
    }
    std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string key = trim_blanks(line.substr(0, equals));
    list_name(key);
    if (key.empty()) listed_alike = false;
    std::string value = trim_blanks(line.substr(equals + 1));
    // Wine gives 2,046 bytes of a quoted value of 2,047 and more.
    if (value.size() >= 2047 && (value[0] == '"' || value[0] == '\'')) {
      long_quoted_keys.insert(ascii_case(key, true));
    }
    add_name(keys, seen_keys, key, kMostKeys);
  }

  // Neighbours of the names: other letter cases, blanks around, and names
  // that are not there.
  for (std::size_t i = 0, count = sections.size(); i < count; ++i) {
    add_name(sections, seen_sections, ascii_case(sections[i], true), kMostSections + 8);
    add_name(sections, seen_sections, ascii_case(sections[i], false), kMostSections + 8);
    add_name(sections, seen_sections, " " + sections[i] + "  ", kMostSections + 8);
  }
  add_name(sections, seen_sections, "NoSuchSection", kMostSections + 9);
  for (std::size_t i = 0, count = keys.size(); i < count; ++i) {
    add_name(keys, seen_keys, ascii_case(keys[i], false), kMostKeys + 8);
    add_name(keys, seen_keys, "  " + keys[i] + " ", kMostKeys + 8);
  }
  for (const char* extra : {"1", "2", "3", "Site", "NoSuchKey"}) {
    add_name(keys, seen_keys, extra, kMostKeys + 13);
  }

  for (const std::string& section : sections) {
    // Wine keeps the lines before the first section as a section named "",
    // which both hides a "[]" section and lets those keys be read.
    if (trim_blanks(section).empty()) continue;
    for (const std::string& key : keys) {
      // Wine reads ";" lines as keys.
      if (trim_blanks(key).rfind(';', 0) == 0) continue;
      std::string upper_key = ascii_case(trim_blanks(key), true);
      if (long_quoted_keys.count(upper_key) != 0) continue;
      std::string value = platform_read_profile_string(section, key, file_name);
      std::printf("%s %s %s\n", hex(section).c_str(), hex(key).c_str(), hex(value).c_str());
    }
  }
  if (listed_alike) list_file(file_name);
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) query_file(argv[i]);
  return 0;
}
