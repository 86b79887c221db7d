// POSIX backend: process, environment, paths, time and the viewer.
// The other POSIX backend files hold files, sockets, the terminal and the
// settings-file reader.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif
#include <spawn.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/environment.h"
#include "platform/platform.h"
#include "platform/posix/posix.h"

extern char** environ;

namespace {
std::vector<std::string> g_arguments;

bool needs_quotes(const std::string& argument) {
  return argument.empty() || argument.find_first_of(" ,;\t") != std::string::npos;
}
}  // namespace

void platform_start(int argc, char** argv) {
  // A run holds secrets expanded from the environment (header values,
  // passwords): no core file may keep them, and no other process of the
  // same user may trace the run or read its memory. The core size of 0
  // also covers systems without the non-dumpable flag.
  struct rlimit core;
  if (getrlimit(RLIMIT_CORE, &core) == 0 && core.rlim_cur != 0) {
    core.rlim_cur = 0;
    setrlimit(RLIMIT_CORE, &core);
  }
#if defined(__linux__)
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
  g_arguments.assign(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
  // An unattended job is not interrupted by Ctrl+C; Ctrl+\ still ends it.
  signal(SIGINT, SIG_IGN);
  // A peer that closes early makes a send fail, never kills the process.
  signal(SIGPIPE, SIG_IGN);
  // Every upload file stays open from counting to sending: a job of many
  // files may use all the descriptors its hard limit allows, not just the
  // soft limit's (often 1,024 under cron and systemd).
  struct rlimit files;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
}

void platform_finish() {}

std::string platform_command_tail() {
  // POSIX hands over argv, not one line: rebuild a tail that splits back into
  // the same words. An argument holding a quote goes unquoted, as it stands.
  std::string tail;
  for (std::size_t i = 0; i < g_arguments.size(); ++i) {
    if (i > 0) tail.push_back(' ');
    const std::string& argument = g_arguments[i];
    if (needs_quotes(argument) && argument.find('"') == std::string::npos) {
      tail += '"' + argument + '"';
    } else {
      tail += argument;
    }
  }
  return tail;
}

std::vector<std::string> platform_environment() {
  std::vector<std::string> entries;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    entries.emplace_back(*entry);
  }
  return entries;
}

std::string platform_current_directory() {
  std::string buffer(PATH_MAX, '\0');
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE || buffer.size() > (1u << 20)) return std::string();
    buffer.resize(buffer.size() * 2);
  }
  buffer.resize(std::strlen(buffer.c_str()));
  return buffer;
}

std::string platform_settings_file_name(const std::string& directory) {
  static const std::string kName = "RAVELOK.INI";
  std::string prefix = directory;
  if (!prefix.empty() && prefix.back() != '/') prefix.push_back('/');
  std::string exact = prefix + kName;
  struct stat info;
  if (lstat(exact.c_str(), &info) == 0) return exact;

  // No file of exactly that name: take the first entry, in byte order, whose
  // name matches it without regard to ASCII case.
  DIR* listing = opendir(prefix.empty() ? "." : prefix.c_str());
  if (listing == nullptr) return exact;
  std::string best;
  while (struct dirent* entry = readdir(listing)) {
    std::string name = entry->d_name;
    if (name.size() != kName.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < name.size() && same; ++i) {
      char c = name[i];
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      same = c == kName[i];
    }
    if (same && (best.empty() || name < best)) best = name;
  }
  closedir(listing);
  return best.empty() ? exact : prefix + best;
}

std::string platform_temp_directory() {
  std::string temp = environment_value("TEMP");
  if (!temp.empty()) return temp;
  temp = environment_value("TMPDIR");
  if (!temp.empty()) return temp;
  return "/tmp";
}

char platform_separator() { return '/'; }

bool platform_ends_with_separator(const std::string& path) {
  return !path.empty() && path.back() == '/';
}

std::uint32_t platform_local_milliseconds() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm local;
  time_t seconds = now.tv_sec;
  localtime_r(&seconds, &local);
  return static_cast<std::uint32_t>(local.tm_hour) * 3600000u +
         static_cast<std::uint32_t>(local.tm_min) * 60000u +
         static_cast<std::uint32_t>(std::min(local.tm_sec, 59)) * 1000u +
         static_cast<std::uint32_t>(now.tv_nsec / 1000000);
}

std::uint64_t platform_monotonic_milliseconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
         static_cast<std::uint64_t>(now.tv_nsec / 1000000);
}

std::int64_t platform_unix_seconds() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec);
}

void platform_sleep(std::uint32_t milliseconds) {
  struct timespec wait;
  wait.tv_sec = milliseconds / 1000;
  wait.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

namespace {
// The words of the last failure recorded here: the system reports them once.
std::string g_failure_reason;
bool g_failure_was_lookup = false;
}  // namespace

void remember_failure_reason(const char* text, bool lookup) {
  g_failure_reason = text != nullptr ? text : "";
  g_failure_was_lookup = lookup;
}

std::string platform_failure_reason() { return g_failure_reason; }

bool platform_failure_was_lookup() { return g_failure_was_lookup; }

bool platform_name_fits(const std::string& name) {
  // The system takes names of any length; a NUL would end one early.
  return name.find('\0') == std::string::npos;
}

int map_errno(int value, bool creating) {
  remember_failure_reason(std::strerror(value));
  switch (value) {
    case ENOMEM: return 7;
    case EBADF: case EINVAL: return 51;
    case ENOENT: return creating ? 76 : 53;
    case ENOSPC: case EDQUOT: case EFBIG: return 61;
    case EMFILE: case ENFILE: return 67;
    case ENODEV: case ENXIO: return 68;
    case EACCES: case EPERM: case EROFS: case EBUSY: case ETXTBSY: case EAGAIN: return 70;
    case EIO: return 72;
    case EXDEV: return 74;
    case ENOTDIR: case ENAMETOOLONG: case ELOOP: return 76;
    case EISDIR: return 70;
    default: return 75;
  }
}

void platform_shell_open(const std::string& file) {
#ifdef __APPLE__
  const char* viewer = "open";
#else
  const char* viewer = "xdg-open";
#endif
  // A name that starts with "-" would read as an option to the viewer.
  std::string argument = !file.empty() && file[0] == '-' ? "./" + file : file;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd <= 2; ++fd) {
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t all_signals;
  sigfillset(&all_signals);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &all_signals);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF |
                                            POSIX_SPAWN_SETSIGMASK);
  char* arguments[] = {const_cast<char*>(viewer), argument.data(), nullptr};
  pid_t child;
  // The viewer runs on its own; a missing viewer simply opens nothing.
  posix_spawnp(&child, viewer, &actions, &attributes, arguments, environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
}

bool platform_is_directory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

namespace {
void write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t written = write(fd, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    done += static_cast<std::size_t>(written);
  }
}
}  // namespace

void platform_write_standard_output(const std::string& text) { write_all(STDOUT_FILENO, text); }

void platform_write_standard_error(const std::string& text) { write_all(STDERR_FILENO, text); }
