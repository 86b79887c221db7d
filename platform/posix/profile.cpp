// POSIX backend: the settings-file reader. The file is parsed by the portable
// profile_text code; this file only reads it and keeps the parsed index while
// the file stays the same, so reading a long list costs one parse.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/platform.h"
#include "platform/profile_text.h"

namespace {

// What tells one state of a file from another: its identity, its size and
// its modification time to the nanosecond.
struct FileState {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  long long modified_seconds = 0;
  long modified_nanoseconds = 0;
};

struct CachedProfile {
  bool valid = false;
  FileState state;
  ProfileIndex index;
};

CachedProfile g_cached;

constexpr std::size_t kReadPiece = 64 * 1024;

FileState state_of(const struct stat& info) {
  FileState state;
  state.device = info.st_dev;
  state.inode = info.st_ino;
  state.size = info.st_size;
#if defined(__APPLE__)
  state.modified_seconds = info.st_mtimespec.tv_sec;
  state.modified_nanoseconds = info.st_mtimespec.tv_nsec;
#else
  state.modified_seconds = info.st_mtim.tv_sec;
  state.modified_nanoseconds = info.st_mtim.tv_nsec;
#endif
  return state;
}

bool same_state(const FileState& a, const FileState& b) {
  return a.device == b.device && a.inode == b.inode && a.size == b.size &&
         a.modified_seconds == b.modified_seconds &&
         a.modified_nanoseconds == b.modified_nanoseconds;
}

// Parses the regular file open on descriptor into the cache. Reads no more
// than the size it had when it was opened, so a file that keeps growing
// cannot hold the reader; the next call sees the new state and reads again.
bool parse_open_file(int descriptor, const FileState& state) {
  ProfileParser parser;
  profile_parse_begin(parser);
  std::vector<char> piece(kReadPiece);
  auto left = static_cast<std::uint64_t>(state.size);
  while (left > 0) {
    std::size_t want = left < piece.size() ? static_cast<std::size_t>(left) : piece.size();
    ssize_t got = read(descriptor, piece.data(), want);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    profile_parse_feed(parser, piece.data(), static_cast<std::size_t>(got));
    left -= static_cast<std::uint64_t>(got);
  }
  g_cached.index = profile_parse_end(parser);
  g_cached.state = state;
  g_cached.valid = true;
  return true;
}

// Brings the cache up to the file's present state; false when the file is
// missing, unreadable or not a regular file.
bool load_profile(const std::string& file_name) {
  struct stat info;
  if (stat(file_name.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  if (g_cached.valid && same_state(g_cached.state, state_of(info))) return true;

  // The old index goes first, so two never share the memory.
  g_cached = CachedProfile();
  int descriptor;
  do {
    // Non-blocking, so that a FIFO put in the file's place cannot stall the
    // open; it is refused below like any other non-regular file.
    descriptor = open(file_name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) return false;
  bool loaded = false;
  if (fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode)) {
    loaded = parse_open_file(descriptor, state_of(info));
  }
  close(descriptor);
  if (!loaded) g_cached = CachedProfile();
  return loaded;
}

// The system takes NUL-terminated names: a NUL ends each of them.
std::string up_to_nul(const std::string& name) { return name.substr(0, name.find('\0')); }

// load_profile for a name as the callers hand it.
bool load_named_profile(const std::string& file_name) {
  const std::string path = up_to_nul(file_name);
  return !path.empty() && load_profile(path);
}

}  // namespace

std::string platform_read_profile_string(const std::string& section, const std::string& key,
                                         const std::string& file_name) {
  if (!load_named_profile(file_name)) return std::string();
  return profile_lookup(g_cached.index, up_to_nul(section), up_to_nul(key));
}

std::vector<std::string> platform_profile_section_names(const std::string& file_name) {
  if (!load_named_profile(file_name)) return {};
  return profile_section_names(g_cached.index);
}

std::vector<std::string> platform_profile_key_names(const std::string& section,
                                                    const std::string& file_name) {
  if (!load_named_profile(file_name)) return {};
  return profile_key_names(g_cached.index, up_to_nul(section));
}
