// Private-profile (INI) text: parsing a file's bytes into an index of its
// values, and looking values up in that index. Pure procedures over bytes;
// reading the file itself is the platform backend's business.
//
// The bytes may be fed in pieces of any size; the parser keeps only the index
// and a bounded amount of the current line, so a huge file costs no more than
// the values it holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Longest section or key name that can match; a longer name in the file or
// asked for never matches. (The settings reader asks for 63 bytes at most.)
inline constexpr std::size_t kProfileNameLimit = 1024;

// Longest value a lookup returns; the rest is cut off.
inline constexpr std::size_t kProfileValueLimit = 2047;

// One section or one key, found by the hash of its owner and upper-cased name.
struct ProfileEntry {
  std::uint64_t hash = 0;
  std::uint64_t name_at = 0;       // name as written, blanks around dropped, in store
  std::uint64_t value_at = 0;      // value as it is returned, in store
  std::uint32_t owner = 0;         // 0 for a section; else its section's number
  std::uint32_t name_length = 0;
  std::uint32_t value_length = 0;  // for a section: unused
  std::uint32_t section_number = 0;  // for a section: its number (from 1)
  bool repeat = false;             // an earlier entry of the owner has the name: listed only
};

// The most repeats (sections or keys of a name met before) an index lists;
// past them a repeat costs nothing.
inline constexpr std::uint32_t kProfileMostRepeats = 4096;

// The first section of each name and, in it, the first key of each name, in
// the order of the file; and, for the listings alone, the names of later
// ones.
struct ProfileIndex {
  std::string store;                  // names and values back to back
  std::vector<ProfileEntry> entries;
  std::vector<std::uint32_t> slots;   // open addressing: entry index + 1, 0 free
  std::uint32_t section_count = 0;
  std::uint32_t repeat_count = 0;
};

enum class ProfileEncoding { undecided, bytes, utf16le };

enum class ProfileLineState {
  line_start,     // blanks before the first byte of the line
  section_start,  // blanks after "["
  section_name,   // up to "]" or the end of the line
  key_name,       // up to the first "="
  value_start,    // blanks after "="
  value,          // up to the end of the line or a NUL
  skip,           // the rest of the line means nothing
};

// The state of a parse in progress. Start it with profile_parse_begin.
struct ProfileParser {
  ProfileIndex index;
  ProfileEncoding encoding = ProfileEncoding::undecided;
  std::string head;                 // first bytes, until the encoding is known
  int odd_byte = -1;                // UTF-16: first byte of an unfinished unit
  bool after_high_surrogate = false;
  ProfileLineState state = ProfileLineState::line_start;
  std::uint32_t section = 0;        // section the keys go to; 0 for none
  std::string name;                 // at most kProfileNameLimit bytes
  bool name_too_long = false;
  std::string value_head;           // first kProfileValueLimit + 1 value bytes
  std::uint64_t value_seen = 0;     // value bytes from its first non-blank
  std::uint64_t value_end = 0;      // length through its last non-blank
  char value_last = 0;              // its last non-blank byte
};

// Makes parser ready for a new file.
void profile_parse_begin(ProfileParser& parser);

// Feeds the next size bytes of the file.
void profile_parse_feed(ProfileParser& parser, const char* data, std::size_t size);

// Ends the file and hands over its index; parser must be begun again before
// it is used for another file.
ProfileIndex profile_parse_end(ProfileParser& parser);

// The index of a whole file's bytes.
ProfileIndex profile_parse(const std::string& bytes);

// The value of key in section, at most kProfileValueLimit bytes; empty when
// the section or the key is missing. The names asked are trimmed of spaces
// (code 32) and match without regard to ASCII letter case.
std::string profile_lookup(const ProfileIndex& index, const std::string& section,
                           const std::string& key);

// The names of the sections, in the order of the file, as written there: a
// name met before (in any letter case) again, although lookups find only the
// first section of a name. The empty name is left out, as the Windows
// listings, whose empty name ends the list, leave it out.
std::vector<std::string> profile_section_names(const ProfileIndex& index);

// The names of the keys of section (its first section of that name, asked
// as profile_lookup asks for it), in the order of the file, as written
// there, a repeated name again, the empty name left out; empty when the
// section is missing.
std::vector<std::string> profile_key_names(const ProfileIndex& index, const std::string& section);
