// The settings-file parser over arbitrary file bytes, fed whole and in
// arbitrary pieces, and asked for arbitrary section and key names. Every
// answer is compared with a plain reference reader written apart from it.
//
// Input: section name and key name (libFuzzer's length-prefixed strings: a
// backslash and one more byte end each), a 16-bit piece seed taken from the
// end, and the file's bytes in between.
#include <fuzzer/FuzzedDataProvider.h>

#include <map>
#include <utility>

#include "fuzz_check.h"
#include "platform/profile_text.h"

namespace {

bool blank(char byte) { return byte == ' ' || byte == '\t' || byte == '\v'; }

std::string trim_blanks(const std::string& text) {
  std::size_t start = 0;
  std::size_t end = text.size();
  while (start < end && blank(text[start])) ++start;
  while (end > start && blank(text[end - 1])) --end;
  return text.substr(start, end - start);
}

std::string trim_space_bytes(const std::string& text) {
  std::size_t start = text.find_first_not_of(' ');
  if (start == std::string::npos) return std::string();
  return text.substr(start, text.find_last_not_of(' ') + 1 - start);
}

// Windows-1252 for the code units 0x80-0x9F that the code page defines.
char from_windows_1252(std::uint32_t unit) {
  static const std::pair<std::uint32_t, unsigned char> kTable[] = {
      {0x20AC, 0x80}, {0x201A, 0x82}, {0x0192, 0x83}, {0x201E, 0x84}, {0x2026, 0x85},
      {0x2020, 0x86}, {0x2021, 0x87}, {0x02C6, 0x88}, {0x2030, 0x89}, {0x0160, 0x8A},
      {0x2039, 0x8B}, {0x0152, 0x8C}, {0x017D, 0x8E}, {0x2018, 0x91}, {0x2019, 0x92},
      {0x201C, 0x93}, {0x201D, 0x94}, {0x2022, 0x95}, {0x2013, 0x96}, {0x2014, 0x97},
      {0x02DC, 0x98}, {0x2122, 0x99}, {0x0161, 0x9A}, {0x203A, 0x9B}, {0x0153, 0x9C},
      {0x017E, 0x9E}, {0x0178, 0x9F}};
  if (unit <= 0xFF) {
    bool defined_elsewhere = unit >= 0x80 && unit <= 0x9F && unit != 0x81 && unit != 0x8D &&
                             unit != 0x8F && unit != 0x90 && unit != 0x9D;
    if (!defined_elsewhere) return static_cast<char>(unit);
  }
  for (const auto& [code, byte] : kTable) {
    if (code == unit) return static_cast<char>(byte);
  }
  return '?';
}

// The file's text as single bytes: a UTF-8 mark is dropped, a UTF-16LE file
// (FF FE) is turned into Windows-1252 with '?' for what it cannot hold.
std::string decoded_text(const std::string& file) {
  if (file.size() >= 3 && file.compare(0, 3, "\xEF\xBB\xBF") == 0) return file.substr(3);
  if (file.size() < 2 || file.compare(0, 2, "\xFF\xFE") != 0) return file;
  std::vector<std::uint32_t> units;
  for (std::size_t i = 2; i + 1 < file.size(); i += 2) {
    units.push_back(static_cast<unsigned char>(file[i]) |
                    static_cast<std::uint32_t>(static_cast<unsigned char>(file[i + 1])) << 8);
  }
  std::string text;
  for (std::size_t i = 0; i < units.size(); ++i) {
    std::uint32_t unit = units[i];
    bool high = unit >= 0xD800 && unit <= 0xDBFF;
    bool surrogate = unit >= 0xD800 && unit <= 0xDFFF;
    if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      ++i;  // a pair stands for one character beyond the code page
      text.push_back('?');
    } else {
      text.push_back(surrogate ? '?' : from_windows_1252(unit));
    }
  }
  return text;
}

using Reference = std::map<std::pair<std::string, std::string>, std::string>;

// The whole file read line by line: the first section of a name and, in it,
// the first key of a name. A later section of a known name, and a section
// whose name is too long, take their keys out of reach.
Reference reference_read(const std::string& file) {
  std::string text = decoded_text(file);
  Reference values;
  std::map<std::string, bool> sections;
  std::string section;
  bool in_section = false;
  std::size_t at = 0;
  while (at <= text.size()) {
    std::size_t end = text.find_first_of("\r\n", at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;

    std::size_t first = 0;
    while (first < line.size() && blank(line[first])) ++first;
    if (first == line.size()) continue;
    if (line[first] == '[') {
      std::size_t close = line.find_first_of(std::string("]\0", 2), first + 1);
      std::string name = trim_blanks(line.substr(first + 1, close == std::string::npos
                                                                ? std::string::npos
                                                                : close - first - 1));
      in_section = false;
      if (name.size() > kProfileNameLimit) continue;
      name = fuzz_upper(name);
      if (sections.count(name) != 0) continue;
      sections[name] = true;
      section = name;
      in_section = true;
      continue;
    }
    if (line[first] == ';' || line[first] == '\0' || !in_section) continue;
    std::size_t equals = line.find('=', first);
    std::size_t nul = line.find('\0', first);
    if (equals == std::string::npos || (nul != std::string::npos && nul < equals)) continue;
    std::string key = trim_blanks(line.substr(first, equals - first));
    if (key.size() > kProfileNameLimit) continue;
    std::string value = line.substr(equals + 1);
    value = trim_blanks(value.substr(0, value.find('\0')));
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
      value = value.substr(1, value.size() - 2);
    }
    values.emplace(std::make_pair(section, fuzz_upper(key)), value.substr(0, kProfileValueLimit));
  }
  return values;
}

std::string reference_lookup(const Reference& values, const std::string& section,
                             const std::string& key) {
  std::string s = trim_space_bytes(section);
  std::string k = trim_space_bytes(key);
  if (s.size() > kProfileNameLimit || k.size() > kProfileNameLimit) return std::string();
  auto found = values.find(std::make_pair(fuzz_upper(s), fuzz_upper(k)));
  return found == values.end() ? std::string() : found->second;
}

std::string lower(std::string text) {
  for (char& byte : text) {
    if (byte >= 'A' && byte <= 'Z') byte = static_cast<char>(byte + 32);
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  std::string section = provider.ConsumeRandomLengthString(4096);
  std::string key = provider.ConsumeRandomLengthString(4096);
  std::uint16_t seed = provider.ConsumeIntegral<std::uint16_t>();
  std::string file = provider.ConsumeRemainingBytesAsString();

  ProfileIndex whole = profile_parse(file);
  ProfileParser parser;
  profile_parse_begin(parser);
  std::size_t at = 0;
  for (std::size_t piece : piece_sizes(seed, file.size())) {
    profile_parse_feed(parser, file.data() + at, piece);
    at += piece;
  }
  ProfileIndex pieces = profile_parse_end(parser);

  Reference values = reference_read(file);
  std::string expected = reference_lookup(values, section, key);
  FUZZ_CHECK(profile_lookup(whole, section, key) == expected, "asked names, whole file");
  FUZZ_CHECK(profile_lookup(pieces, section, key) == expected, "asked names, file in pieces");

  // Every key the reference found, also asked in lower case between spaces.
  int asked = 0;
  for (const auto& [names, value] : values) {
    if (++asked > 256) break;
    FUZZ_CHECK(value.size() <= kProfileValueLimit, "value within the limit");
    FUZZ_CHECK(profile_lookup(whole, names.first, names.second) == value, "file key, whole");
    FUZZ_CHECK(profile_lookup(pieces, names.first, names.second) == value, "file key, pieces");
    FUZZ_CHECK(profile_lookup(whole, " " + lower(names.first) + "  ", lower(names.second) + " ") ==
                   value,
               "file key in lower case between spaces");
  }
  return 0;
}
