#include "platform/profile_text.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <random>

#include "platform/platform.h"
#include "support/fixtures.h"

namespace {

using namespace std::string_literals;

struct LookupCase {
  const char* what;
  std::string file;
  std::string section;
  std::string key;
  std::string value;
};

// Parses bytes fed in pieces of piece_size (0: all at once).
ProfileIndex parse_in_pieces(const std::string& bytes, std::size_t piece_size) {
  if (piece_size == 0) return profile_parse(bytes);
  ProfileParser parser;
  profile_parse_begin(parser);
  for (std::size_t at = 0; at < bytes.size(); at += piece_size) {
    profile_parse_feed(parser, bytes.data() + at, std::min(piece_size, bytes.size() - at));
  }
  return profile_parse_end(parser);
}

bool same_index(const ProfileIndex& a, const ProfileIndex& b) {
  if (a.store != b.store || a.entries.size() != b.entries.size()) return false;
  for (std::size_t i = 0; i < a.entries.size(); ++i) {
    const ProfileEntry& x = a.entries[i];
    const ProfileEntry& y = b.entries[i];
    if (x.hash != y.hash || x.owner != y.owner || x.name_at != y.name_at ||
        x.value_at != y.value_at || x.value_length != y.value_length ||
        x.section_number != y.section_number || x.repeat != y.repeat) {
      return false;
    }
  }
  return true;
}

const std::string kLong3000(3000, 'x');
const std::string kLongName(kProfileNameLimit, 'n');

const LookupCase kCases[] = {
    {"plain", "[URL]\r\nSite=example.org\r\n", "URL", "Site", "example.org"},
    {"LF ends", "[S]\nk=v\nj=w", "S", "j", "w"},
    {"CR ends", "[S]\rk=v\rj=w\r", "S", "j", "w"},
    {"runs of ends", "[S]\r\r\n\n\r\nk=v\n\r", "S", "k", "v"},
    {"blanks trimmed", " \t\v[ URL ]\t\n \tSite \v=\t a b \t\v\n", "URL", "Site", "a b"},
    {"form feed is no blank", "[S]\n\fk=v\n", "S", "k", ""},
    {"form feed stays in name", "[S]\n\fk=v\n", "S", "\fk", "v"},
    {"section ends at first ]", "[a]b]\nk=v", "a", "k", "v"},
    {"not at last ]", "[a]b]\nk=v", "a]b", "k", ""},
    {"section without ]", "[ abc \nk=v", "abc", "k", "v"},
    {"text after ] ignored", "[S] k=w\nk=v", "S", "k", "v"},
    {"empty section name", "[]\nk=v", "", "k", "v"},
    {"blank section name", "[ ]\nk=v", "", "k", "v"},
    {"comment", "[S]\n;k=v\n", "S", ";k", ""},
    {"indented comment", "[S]\n  ;k=v\nk=w", "S", "k", "w"},
    {"hash is no comment", "[S]\n#k=v\n", "S", "#k", "v"},
    {"first = splits", "[S]\nk = a=b\n", "S", "k", "a=b"},
    {"empty key name", "[S]\n = v\n", "S", "", "v"},
    {"empty key asked with spaces", "[S]\n=v\n", "S", "   ", "v"},
    {"; and # stay in value", "[S]\nk=v ;c #d\n", "S", "k", "v ;c #d"},
    {"other lines ignored", "[S]\njunk\nk=v", "S", "junk", ""},
    {"empty value", "[S]\nk=\nj=w", "S", "k", ""},
    {"keys before any section", "k=v\n[S]\n", "", "k", ""},
    {"... nor in the first one", "k=v\n[S]\n", "S", "k", ""},
    {"asked names trimmed of spaces", "[S]\nk=v", " S ", "  k ", "v"},
    {"tab in asked name", "[S]\nk=v", "S", "\tk", ""},
    {"CR in asked name", "[S]\nk=v", "S\r", "k", ""},
    {"letter case ignored", "[url]\nSITE=x", "URL", "site", "x"},
    {"high bytes match themselves", "[\xE4]\n\xC4=v", "\xE4", "\xC4", "v"},
    {"high bytes have no case", "[\xE4]\nk=v", "\xC4", "k", ""},
    {"first section wins", "[S]\nk=1\n[T]\n[s]\nk=2\nj=3", "S", "k", "1"},
    {"later section not merged", "[S]\nk=1\n[T]\n[s]\nk=2\nj=3", "S", "j", ""},
    {"first key wins", "[S]\nk=1\nK=2", "S", "k", "1"},
    {"missing section", "[S]\nk=1", "T", "k", ""},
    {"missing key", "[S]\nk=1", "S", "j", ""},
    {"double quotes", "[S]\nk=\" v \"", "S", "k", " v "},
    {"single quotes", "[S]\nk='v'", "S", "k", "v"},
    {"mismatched quotes", "[S]\nk=\"v'", "S", "k", "\"v'"},
    {"lone quote", "[S]\nk=\"", "S", "k", "\""},
    {"empty quotes", "[S]\nk=''", "S", "k", ""},
    {"only the outer pair", "[S]\nk='a'b'", "S", "k", "a'b"},
    {"quote not at end", "[S]\nk=\"a\" b", "S", "k", "\"a\" b"},
    {"quotes after trimming", "[S]\nk= \t\"a\"\t ", "S", "k", "a"},
    {"value cut", "[S]\nk=" + kLong3000, "S", "k", kLong3000.substr(0, 2047)},
    {"2,048 cut", "[S]\nk=" + kLong3000.substr(0, 2048), "S", "k", kLong3000.substr(0, 2047)},
    {"quoted 2,047", "[S]\nk=\"" + kLong3000.substr(0, 2047) + "\"", "S", "k",
     kLong3000.substr(0, 2047)},
    {"quoted 2,046", "[S]\nk='" + kLong3000.substr(0, 2046) + "'", "S", "k",
     kLong3000.substr(0, 2046)},
    {"quoted long", "[S]\nk=\"" + kLong3000 + "\"", "S", "k", kLong3000.substr(0, 2047)},
    {"NUL ends value", "[S]\nk=ab\0cd\nj=2"s, "S", "k", "ab"},
    {"next line after NUL", "[S]\nk=ab\0cd\nj=2"s, "S", "j", "2"},
    {"NUL ends section", "[S\0]x\nk=v"s, "S", "k", "v"},
    {"NUL before =", "[S]\nk\0=v\nk=w"s, "S", "k", "w"},
    {"NUL line", "[S]\n\0k=v\nk=w"s, "S", "k", "w"},
    {"UTF-8 mark skipped", "\xEF\xBB\xBF[S]\nk=v", "S", "k", "v"},
    {"UTF-8 mark only at start", "\n\xEF\xBB\xBF[S]\nk=v", "S", "k", ""},
    {"partial UTF-8 mark", "\xEF\xBB[S]\nk=v", "S", "k", ""},
    {"UTF-16LE", "\xFF\xFE[\0S\0]\0\r\0\n\0k\0=\0\xAC\x20\xE9\0\x03\x26\x3D\xD8\x00\xDE!\0"s, "S",
     "k", "\x80\xE9?\?!"},
    {"UTF-16LE lone surrogates", "\xFF\xFE[\0S\0]\0\n\0k\0=\0\x00\xDC" "a\0\x00\xD8"s, "S", "k",
     "?a?"},
    {"UTF-16LE NUL", "\xFF\xFE[\0S\0]\0\n\0k\0=\0a\0\0\0b\0\n\0j\0=\0c\0z"s, "S", "j", "c"},
    {"FF without FE", "\xFF[S]\n[T]\nk=v", "T", "k", "v"},
    {"longest name", "[S]\n" + kLongName + " \t=v", "S", kLongName, "v"},
    {"too long name", "[S]\n" + kLongName + "n=v", "S", kLongName + "n", ""},
    {"too long section", "[" + kLongName + "n]\nk=v", kLongName + "n", "k", ""},
    {"keys of a too long section", "[S]\n[" + kLongName + "n]\nk=v", "S", "k", ""},
};

TEST(ProfileText, ReadingRules) {
  for (const LookupCase& c : kCases) {
    note_settings_file(c.file);
    EXPECT_EQ(profile_lookup(profile_parse(c.file), c.section, c.key), c.value) << c.what;
  }
}

// Pieces may end anywhere: inside a mark, a UTF-16 unit, a name or a value.
TEST(ProfileText, PiecesGiveTheSameIndex) {
  for (const LookupCase& c : kCases) {
    ProfileIndex whole = profile_parse(c.file);
    for (std::size_t piece : {1, 2, 3, 7}) {
      EXPECT_TRUE(same_index(whole, parse_in_pieces(c.file, piece))) << c.what << " " << piece;
    }
  }
}

// The listings: every section and key in the order of the file, as written,
// a repeated name again; the keys of the first section of a name. Lookups
// still find the first of a name, however many repeats follow.
TEST(ProfileText, ListsSectionsAndKeysAsWritten) {
  struct Case { std::string file; std::string section; std::vector<std::string> sections, keys; };
  const Case cases[] = {
      {"[URL]\nSite=x\n[vars]\n2=a\n1=b\n", " VARS ", {"URL", "vars"}, {"2", "1"}},
      {"[S]\nk=1\nK=2\n[T]\nx=1\n[s]\nj=3\n", "s", {"S", "T", "s"}, {"k", "K"}},
      {" [ S ]\n ; c=1\nnoeq\n k \t= v\n=e\n[]\nj=1\n", "S", {"S"}, {"k"}},
      {"k=v\n[S]\n", "S", {"S"}, {}},
      {"[S]\nk=v\n", "T", {"S"}, {}},
      {"[S]\n" + kLongName + "n=v\nk=v\n[" + kLongName + "n]\nj=v\n", "S", {"S"}, {"k"}},
  };
  for (const Case& c : cases) {
    ProfileIndex index = profile_parse(c.file);
    EXPECT_EQ(profile_section_names(index), c.sections) << c.file;
    EXPECT_EQ(profile_key_names(index, c.section), c.keys) << c.file;
  }
  std::string repeats = "[S]\n";
  for (int i = 0; i < 5000; ++i) repeats += "k=" + std::to_string(i) + "\n";
  ProfileIndex index = profile_parse(repeats + "j=last\n");
  EXPECT_EQ(profile_key_names(index, "S").size(), 2 + kProfileMostRepeats);
  EXPECT_EQ(profile_lookup(index, "S", "K"), "0");
  EXPECT_EQ(profile_lookup(index, "S", "j"), "last");
}

TEST(ProfileText, RandomBytesNeverBreakTheParser) {
  const std::string alphabet = "[]=;#\"' \t\v\r\n\0aAkK\xE4\xC4\xFF\xFE\xEF\xBB\xBF\xD8\xDC"s;
  std::mt19937 random(12345);
  for (int round = 0; round < 3000; ++round) {
    std::string bytes(random() % 120, '\0');
    for (char& byte : bytes) byte = alphabet[random() % alphabet.size()];
    ProfileIndex whole = profile_parse(bytes);
    ASSERT_TRUE(same_index(whole, parse_in_pieces(bytes, 1 + random() % 9))) << round;
    for (const ProfileEntry& entry : whole.entries) {
      ASSERT_LE(entry.value_length, kProfileValueLimit);
      ASSERT_LE(entry.value_at + entry.value_length, whole.store.size());
    }
    for (const char* section : {"", "a", "A\xE4", "k"}) {
      for (const char* key : {"", "a", "k", "\"", "K;"}) {
        ASSERT_LE(profile_lookup(whole, section, key).size(), kProfileValueLimit);
      }
    }
  }
}

// ---------------------------------------------------------- the backend
// The POSIX reader's own file handling; the Windows build reads through
// GetPrivateProfileStringA, checked by the differential check instead.
#ifndef _WIN32

TEST(ProfileFile, UnreadableFilesGiveEmptyValues) {
  TempDir scratch;
  ASSERT_FALSE(scratch.path.empty());
  ASSERT_TRUE(write_file(scratch.file("a.ini"), "[S]\nk=v\n"));
  EXPECT_EQ(platform_read_profile_string("S", "k", scratch.file("a.ini")), "v");

  ASSERT_EQ(mkdir(scratch.file("dir.ini").c_str(), 0700), 0);
  ASSERT_EQ(mkfifo(scratch.file("fifo.ini").c_str(), 0600), 0);
  ASSERT_TRUE(write_file(scratch.file("locked.ini"), "[S]\nk=v\n"));
  ASSERT_EQ(chmod(scratch.file("locked.ini").c_str(), 0), 0);
  ASSERT_EQ(symlink("missing.ini", scratch.file("dangling.ini").c_str()), 0);

  std::vector<std::string> names = {"missing.ini", "dir.ini", "fifo.ini", "dangling.ini",
                                    "a.ini/k"};
  if (geteuid() != 0) names.push_back("locked.ini");  // root reads it anyway
  for (const std::string& name : names) {
    EXPECT_EQ(platform_read_profile_string("S", "k", scratch.file(name)), "") << name;
  }
  EXPECT_EQ(platform_read_profile_string("S", "k", ""), "");
  EXPECT_EQ(platform_read_profile_string("S", "k", scratch.file("a.ini") + "\0x"s), "v");
}

void set_modified(const std::string& file, long seconds) {
  struct timespec times[2];
  times[0].tv_sec = seconds;
  times[0].tv_nsec = 0;
  times[1] = times[0];
  ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
}

TEST(ProfileFile, RereadsAFileThatChanged) {
  TempDir scratch;
  std::string name = scratch.file("RAVELOK.INI");
  ASSERT_TRUE(write_file(name, "[S]\nk=one\n"));
  set_modified(name, 1000000);
  EXPECT_EQ(platform_read_profile_string("S", "k", name), "one");

  // Same inode, same size, new time.
  ASSERT_TRUE(write_file(name, "[S]\nk=two\n"));
  set_modified(name, 1000001);
  EXPECT_EQ(platform_read_profile_string("S", "k", name), "two");

  // Same size and time, but another file put in its place. The old one stays
  // linked so that its inode number cannot come back.
  ASSERT_EQ(link(name.c_str(), scratch.file("old").c_str()), 0);
  ASSERT_TRUE(write_file(scratch.file("new"), "[S]\nk=six\n"));
  set_modified(scratch.file("new"), 1000001);
  ASSERT_EQ(std::rename(scratch.file("new").c_str(), name.c_str()), 0);
  EXPECT_EQ(platform_read_profile_string("S", "k", name), "six");

  // A different size with the time put back.
  ASSERT_TRUE(write_file(name, "[S]\nk=seven\n"));
  set_modified(name, 1000001);
  EXPECT_EQ(platform_read_profile_string("S", "k", name), "seven");

  // Gone: nothing is served from the cache.
  ASSERT_EQ(unlink(name.c_str()), 0);
  EXPECT_EQ(platform_read_profile_string("S", "k", name), "");
}

TEST(ProfileFile, HugeLinesKeepOnlyWhatCanBeRead) {
  TempDir scratch;
  std::string bytes = "[S]\nbig=\"" + std::string(8 << 20, 'b') + "\"\n";
  bytes += "k=after\n[T]\n" + std::string(4 << 20, ' ') + "k=t";
  ASSERT_TRUE(write_file(scratch.file("big.ini"), bytes));
  EXPECT_EQ(platform_read_profile_string("S", "big", scratch.file("big.ini")),
            std::string(2047, 'b'));
  EXPECT_EQ(platform_read_profile_string("S", "k", scratch.file("big.ini")), "after");
  EXPECT_EQ(platform_read_profile_string("T", "k", scratch.file("big.ini")), "t");
  ProfileIndex index = profile_parse(bytes);
  EXPECT_LT(index.store.size(), 3000u);
}

#endif  // _WIN32

}  // namespace
