#include "platform/profile_text.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "platform/ascii.h"

namespace {

constexpr std::uint32_t kNoSection = 0;
constexpr std::uint32_t kMostEntries = std::numeric_limits<std::uint32_t>::max() - 1;

// Blanks around lines, names and values: space, tab and vertical tab.
bool is_blank(char byte) { return byte == ' ' || byte == '\t' || byte == '\v'; }

// FNV-1a over the owner's number and the upper-cased name, so that names
// differing only in letter case fall together.
std::uint64_t entry_hash(std::uint32_t owner, const char* name, std::size_t length) {
  std::uint64_t hash = 14695981039346656037ull;
  for (int shift = 0; shift < 32; shift += 8) {
    hash = (hash ^ ((owner >> shift) & 0xFFu)) * 1099511628211ull;
  }
  for (std::size_t i = 0; i < length; ++i) {
    hash = (hash ^ static_cast<unsigned char>(ascii_upper(name[i]))) * 1099511628211ull;
  }
  return hash;
}

// True when the length bytes at a and b are equal but for ASCII letter case.
bool same_name(const char* a, const char* b, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    if (ascii_upper(a[i]) != ascii_upper(b[i])) return false;
  }
  return true;
}

std::size_t first_slot(std::uint64_t hash, std::size_t slot_count) {
  return static_cast<std::size_t>(hash ^ (hash >> 32)) & (slot_count - 1);
}

// The entry of owner with this name (in any letter case), or nullptr.
const ProfileEntry* find_entry(const ProfileIndex& index, std::uint64_t hash,
                               std::uint32_t owner, const std::string& name) {
  if (index.slots.empty()) return nullptr;
  std::size_t mask = index.slots.size() - 1;
  for (std::size_t slot = first_slot(hash, index.slots.size()); index.slots[slot] != 0;
       slot = (slot + 1) & mask) {
    const ProfileEntry& entry = index.entries[index.slots[slot] - 1];
    if (entry.hash == hash && entry.owner == owner && entry.name_length == name.size() &&
        same_name(index.store.data() + entry.name_at, name.data(), name.size())) {
      return &entry;
    }
  }
  return nullptr;
}

void place_in_slots(ProfileIndex& index, std::uint32_t entry_number) {
  std::size_t mask = index.slots.size() - 1;
  std::size_t slot = first_slot(index.entries[entry_number].hash, index.slots.size());
  while (index.slots[slot] != 0) slot = (slot + 1) & mask;
  index.slots[slot] = entry_number + 1;
}

// Adds an entry whose name was just put at the end of the store. A repeat
// is only listed, never looked up, so it stays out of the slots.
void add_entry(ProfileIndex& index, const ProfileEntry& entry) {
  index.entries.push_back(entry);
  // Kept at most half full so that probe runs stay short.
  if (index.entries.size() * 2 > index.slots.size()) {
    index.slots.assign(std::max<std::size_t>(16, index.slots.size() * 2), 0);
    for (std::size_t i = 0; i < index.entries.size(); ++i) {
      if (!index.entries[i].repeat) place_in_slots(index, static_cast<std::uint32_t>(i));
    }
  } else if (!entry.repeat) {
    place_in_slots(index, static_cast<std::uint32_t>(index.entries.size() - 1));
  }
}

// Lists a section or key (owner) whose name an earlier one of the same
// owner bears, up to kProfileMostRepeats of them: its name only.
void add_repeat(ProfileIndex& index, std::uint64_t hash, std::uint32_t owner,
                const std::string& name) {
  if (index.repeat_count >= kProfileMostRepeats) return;
  ++index.repeat_count;
  ProfileEntry entry;
  entry.hash = hash;
  entry.owner = owner;
  entry.name_at = index.store.size();
  entry.name_length = static_cast<std::uint32_t>(name.size());
  entry.repeat = true;
  index.store += name;
  add_entry(index, entry);
}

void trim_trailing_blanks(std::string& text) {
  while (!text.empty() && is_blank(text.back())) text.pop_back();
}

// Names are kept as written, for the listings; they match in any letter
// case. Blanks past the limit are dropped unseen: they are trailing unless a
// later byte makes the name too long anyway.
void add_name_byte(ProfileParser& parser, char byte) {
  if (parser.name_too_long) return;
  if (parser.name.size() < kProfileNameLimit) {
    parser.name.push_back(byte);
  } else if (!is_blank(byte)) {
    parser.name_too_long = true;
  }
}

// Takes a run of value bytes holding no line end and no NUL. Only the head of
// the value is kept, with the place and byte of its last non-blank, so a huge
// value costs no memory.
void add_value_run(ProfileParser& parser, const char* run, std::size_t length) {
  std::size_t room = kProfileValueLimit + 1 - std::min(parser.value_head.size(),
                                                       kProfileValueLimit + 1);
  parser.value_head.append(run, std::min(room, length));
  std::size_t content = length;
  while (content > 0 && is_blank(run[content - 1])) --content;
  if (content > 0) {
    parser.value_end = parser.value_seen + content;
    parser.value_last = run[content - 1];
  }
  parser.value_seen += length;
}

void commit_section(ProfileParser& parser) {
  ProfileIndex& index = parser.index;
  trim_trailing_blanks(parser.name);
  // A later section of a known name is ignored, not merged; a name too long
  // to be asked for takes its keys out of reach as well.
  parser.section = kNoSection;
  if (parser.name_too_long || index.entries.size() >= kMostEntries) return;
  std::uint64_t hash = entry_hash(kNoSection, parser.name.data(), parser.name.size());
  if (find_entry(index, hash, kNoSection, parser.name) != nullptr) {
    add_repeat(index, hash, kNoSection, parser.name);
    return;
  }

  ProfileEntry entry;
  entry.hash = hash;
  entry.name_at = index.store.size();
  entry.name_length = static_cast<std::uint32_t>(parser.name.size());
  entry.section_number = ++index.section_count;
  index.store += parser.name;
  add_entry(index, entry);
  parser.section = entry.section_number;
}

void commit_key(ProfileParser& parser) {
  ProfileIndex& index = parser.index;
  if (parser.section == kNoSection || parser.name_too_long) return;
  if (index.entries.size() >= kMostEntries) return;
  trim_trailing_blanks(parser.name);
  std::uint64_t hash = entry_hash(parser.section, parser.name.data(), parser.name.size());
  if (find_entry(index, hash, parser.section, parser.name) != nullptr) {
    add_repeat(index, hash, parser.section, parser.name);
    return;
  }

  // The value runs from its first to its last non-blank byte; a pair of equal
  // quotes around it (and only that pair) is removed.
  const std::string& head = parser.value_head;
  std::uint64_t end = parser.value_end;
  std::size_t start = 0;
  std::size_t stop = static_cast<std::size_t>(std::min<std::uint64_t>(end, head.size()));
  if (end >= 2 && (head[0] == '"' || head[0] == '\'') && parser.value_last == head[0]) {
    start = 1;
    stop = static_cast<std::size_t>(std::min<std::uint64_t>(end - 1, head.size()));
  }
  std::size_t length = std::min(stop - start, kProfileValueLimit);

  ProfileEntry entry;
  entry.hash = hash;
  entry.owner = parser.section;
  entry.name_at = index.store.size();
  entry.name_length = static_cast<std::uint32_t>(parser.name.size());
  index.store += parser.name;
  entry.value_at = index.store.size();
  entry.value_length = static_cast<std::uint32_t>(length);
  index.store.append(head, start, length);
  add_entry(index, entry);
}

void end_line(ProfileParser& parser) {
  switch (parser.state) {
    case ProfileLineState::section_start:
    case ProfileLineState::section_name:
      commit_section(parser);
      break;
    case ProfileLineState::value_start:
    case ProfileLineState::value:
      commit_key(parser);
      break;
    default:
      break;
  }
  parser.state = ProfileLineState::line_start;
  parser.name.clear();
  parser.name_too_long = false;
  parser.value_head.clear();
  parser.value_seen = 0;
  parser.value_end = 0;
}

// Runs decoded bytes through the line reader.
void feed_lines(ProfileParser& parser, const char* data, std::size_t size) {
  std::size_t at = 0;
  while (at < size) {
    char byte = data[at];
    if (byte == '\r' || byte == '\n') {
      end_line(parser);
      ++at;
      continue;
    }
    switch (parser.state) {
      case ProfileLineState::line_start:
        if (is_blank(byte)) break;
        if (byte == '[') {
          parser.state = ProfileLineState::section_start;
        } else if (byte == ';' || byte == '\0' || parser.section == kNoSection) {
          // Comments, empty texts and keys that nobody can read.
          parser.state = ProfileLineState::skip;
        } else if (byte == '=') {
          parser.state = ProfileLineState::value_start;
        } else {
          parser.state = ProfileLineState::key_name;
          add_name_byte(parser, byte);
        }
        break;
      case ProfileLineState::section_start:
        if (is_blank(byte)) break;
        parser.state = ProfileLineState::section_name;
        [[fallthrough]];
      case ProfileLineState::section_name:
        if (byte == ']' || byte == '\0') {
          commit_section(parser);
          parser.state = ProfileLineState::skip;
        } else {
          add_name_byte(parser, byte);
        }
        break;
      case ProfileLineState::key_name:
        if (byte == '=') {
          parser.state = ProfileLineState::value_start;
        } else if (byte == '\0') {
          // The text ended before any "=": not a key.
          parser.state = ProfileLineState::skip;
        } else {
          add_name_byte(parser, byte);
        }
        break;
      case ProfileLineState::value_start:
        if (is_blank(byte)) break;
        parser.state = ProfileLineState::value;
        [[fallthrough]];
      case ProfileLineState::value: {
        std::size_t end = at;
        while (end < size && data[end] != '\r' && data[end] != '\n' && data[end] != '\0') ++end;
        add_value_run(parser, data + at, end - at);
        at = end;
        if (at < size && data[at] == '\0') {
          commit_key(parser);
          parser.state = ProfileLineState::skip;
          ++at;
        }
        continue;
      }
      case ProfileLineState::skip:
        while (at < size && data[at] != '\r' && data[at] != '\n') ++at;
        continue;
    }
    ++at;
  }
}

// The Windows-1252 byte for a UTF-16 code unit outside the surrogates, or
// '?' when the code page has none.
char windows_1252_byte(std::uint32_t unit) {
  if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) return static_cast<char>(unit);
  // The five bytes the code page leaves undefined stand for themselves.
  if (unit == 0x81 || unit == 0x8D || unit == 0x8F || unit == 0x90 || unit == 0x9D) {
    return static_cast<char>(unit);
  }
  static const std::uint16_t kHigh[32] = {
      0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
  };
  for (std::uint32_t i = 0; i < 32; ++i) {
    if (kHigh[i] != 0 && kHigh[i] == unit) return static_cast<char>(0x80 + i);
  }
  return '?';
}

void feed_utf16(ProfileParser& parser, const char* data, std::size_t size) {
  std::string decoded;
  decoded.reserve(size / 2 + 2);
  for (std::size_t i = 0; i < size; ++i) {
    auto byte = static_cast<unsigned char>(data[i]);
    if (parser.odd_byte < 0) {
      parser.odd_byte = byte;
      continue;
    }
    std::uint32_t unit = static_cast<std::uint32_t>(parser.odd_byte) | (byte << 8);
    parser.odd_byte = -1;
    // A character beyond the basic plane (a surrogate pair) has no byte:
    // one '?'. A lone surrogate also becomes '?'.
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (parser.after_high_surrogate) decoded.push_back('?');
      parser.after_high_surrogate = true;
      continue;
    }
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
      decoded.push_back('?');
      parser.after_high_surrogate = false;
      continue;
    }
    if (parser.after_high_surrogate) decoded.push_back('?');
    parser.after_high_surrogate = false;
    decoded.push_back(windows_1252_byte(unit));
  }
  feed_lines(parser, decoded.data(), decoded.size());
}

void feed_decided(ProfileParser& parser, const char* data, std::size_t size) {
  if (parser.encoding == ProfileEncoding::utf16le) {
    feed_utf16(parser, data, size);
  } else {
    feed_lines(parser, data, size);
  }
}

// Settles the encoding from the first bytes once they tell it (or the file
// has ended), and feeds the bytes held back meanwhile.
void decide_encoding(ProfileParser& parser, bool at_end) {
  const std::string& head = parser.head;
  auto byte = [&head](std::size_t i) { return static_cast<unsigned char>(head[i]); };
  std::size_t mark = 0;
  if (head.empty()) {
    if (!at_end) return;
  } else if (byte(0) == 0xFF) {
    if (head.size() < 2 && !at_end) return;
    if (head.size() >= 2 && byte(1) == 0xFE) {
      parser.encoding = ProfileEncoding::utf16le;
      mark = 2;
    }
  } else if (byte(0) == 0xEF) {
    bool mark_so_far = (head.size() < 2 || byte(1) == 0xBB) && (head.size() < 3 || byte(2) == 0xBF);
    if (mark_so_far && head.size() < 3 && !at_end) return;
    if (mark_so_far && head.size() == 3) mark = 3;
  }
  if (parser.encoding == ProfileEncoding::undecided) parser.encoding = ProfileEncoding::bytes;
  std::string rest = parser.head.substr(mark);
  parser.head.clear();
  feed_decided(parser, rest.data(), rest.size());
}

// The section a name asks for (trimmed of spaces, in any letter case), or
// nullptr.
const ProfileEntry* find_section(const ProfileIndex& index, const std::string& section) {
  const std::string name = trim_spaces(section);
  if (name.size() > kProfileNameLimit) return nullptr;
  return find_entry(index, entry_hash(kNoSection, name.data(), name.size()), kNoSection, name);
}

}  // namespace

void profile_parse_begin(ProfileParser& parser) { parser = ProfileParser(); }

void profile_parse_feed(ProfileParser& parser, const char* data, std::size_t size) {
  while (parser.encoding == ProfileEncoding::undecided && size > 0) {
    parser.head.push_back(*data);
    ++data;
    --size;
    decide_encoding(parser, false);
  }
  if (size > 0) feed_decided(parser, data, size);
}

ProfileIndex profile_parse_end(ProfileParser& parser) {
  if (parser.encoding == ProfileEncoding::undecided) decide_encoding(parser, true);
  // A trailing odd byte is half a character and is dropped.
  if (parser.after_high_surrogate) {
    parser.after_high_surrogate = false;
    feed_lines(parser, "?", 1);
  }
  end_line(parser);
  // The index is kept for as long as the file stays the same: give back what
  // growing it left over.
  parser.index.store.shrink_to_fit();
  parser.index.entries.shrink_to_fit();
  return std::move(parser.index);
}

ProfileIndex profile_parse(const std::string& bytes) {
  ProfileParser parser;
  profile_parse_begin(parser);
  profile_parse_feed(parser, bytes.data(), bytes.size());
  return profile_parse_end(parser);
}

std::string profile_lookup(const ProfileIndex& index, const std::string& section,
                           const std::string& key) {
  const ProfileEntry* found = find_section(index, section);
  if (found == nullptr) return std::string();
  const std::string key_name = trim_spaces(key);
  if (key_name.size() > kProfileNameLimit) return std::string();
  std::uint32_t owner = found->section_number;
  found = find_entry(index, entry_hash(owner, key_name.data(), key_name.size()), owner, key_name);
  if (found == nullptr) return std::string();
  return index.store.substr(found->value_at, found->value_length);
}

std::vector<std::string> profile_section_names(const ProfileIndex& index) {
  std::vector<std::string> names;
  for (const ProfileEntry& entry : index.entries) {
    if (entry.owner == kNoSection && entry.name_length > 0) {
      names.push_back(index.store.substr(entry.name_at, entry.name_length));
    }
  }
  return names;
}

std::vector<std::string> profile_key_names(const ProfileIndex& index, const std::string& section) {
  std::vector<std::string> names;
  const ProfileEntry* found = find_section(index, section);
  if (found == nullptr) return names;
  // Entries are kept in the order of the file, so its keys follow it.
  for (const ProfileEntry& entry : index.entries) {
    if (entry.owner == found->section_number && entry.name_length > 0) {
      names.push_back(index.store.substr(entry.name_at, entry.name_length));
    }
  }
  return names;
}
