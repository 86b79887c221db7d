#include "support/fixtures.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#ifndef RAVELOK_BINARY
#define RAVELOK_BINARY "ravelok"
#endif

TempDir::TempDir() {
  char pattern[] = "/tmp/ravelok-test-XXXXXX";
  char* made = mkdtemp(pattern);
  path = made != nullptr ? made : "/tmp";
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Make everything removable again (tests take permissions away).
  for (auto it = std::filesystem::recursive_directory_iterator(path, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (!it->is_symlink(ignored)) chmod(it->path().c_str(), 0700);
  }
  if (path != "/tmp") std::filesystem::remove_all(path, ignored);
}

void note_settings_file(const std::string& bytes) {
  const char* corpus = getenv("RAVELOK_SETTINGS_CORPUS");
  if (corpus == nullptr || *corpus == '\0') return;
  // Named by a hash of the content, so a file written by many tests is kept
  // once.
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ull;
  char name[40];
  std::snprintf(name, sizeof name, "/test-%016llx.ini", static_cast<unsigned long long>(hash));
  std::ofstream out(std::string(corpus) + name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool file_exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

std::vector<std::string> list_directory(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(path.c_str())) {
    while (struct dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool testing_windows_binary() {
  const char* exe = getenv("RAVELOK_WINDOWS_EXE");
  return exe != nullptr && *exe != '\0';
}

namespace {

// The environment Wine needs to run the Windows binary, and the test's own
// variables in the form Wine hands on: it sets TEMP and TMP itself and
// passes WINETEMP and WINETMP on as TEMP and TMP (the prefix that
// scripts/test-windows.sh makes has no registry values for them).
std::vector<std::string> wine_environment(const std::vector<std::string>& environment) {
  std::vector<std::string> result;
  for (const std::string& entry : environment) {
    bool temp = entry.rfind("TEMP=", 0) == 0 || entry.rfind("TMP=", 0) == 0;
    result.push_back(temp ? "WINE" + entry : entry);
  }
  for (const char* name : {"WINEPREFIX", "WINEDEBUG", "WINESERVER", "WINELOADER", "HOME", "LANG",
                           "LC_ALL"}) {
    const char* value = getenv(name);
    if (value != nullptr) result.push_back(std::string(name) + "=" + value);
  }
  return result;
}

}  // namespace

RunResult run_ravelok(const RunOptions& options) {
  RunResult result;
  int output[2];
  if (pipe2(output, O_CLOEXEC) != 0) return result;

  std::vector<std::string> environment = options.environment;
  bool has_path = std::any_of(environment.begin(), environment.end(),
                              [](const std::string& e) { return e.rfind("PATH=", 0) == 0; });
  if (!has_path) environment.push_back(std::string("PATH=") + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin"));
  // A sanitized binary reads its settings from the environment: hand on the
  // test's own, so that a report in the child ends it the same way.
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
    const char* value = getenv(name);
    std::string prefix = std::string(name) + "=";
    bool given = std::any_of(environment.begin(), environment.end(),
                             [&prefix](const std::string& e) { return e.rfind(prefix, 0) == 0; });
    if (value != nullptr && !given) environment.push_back(prefix + value);
  }

  std::vector<std::string> arguments = options.wrapper;
  arguments.push_back(RAVELOK_BINARY);
  if (testing_windows_binary()) {
    const char* wine = getenv("RAVELOK_WINE");
    arguments.back() = wine != nullptr ? wine : "/usr/lib/wine/wine64";
    arguments.push_back(getenv("RAVELOK_WINDOWS_EXE"));
    environment = wine_environment(environment);
  }
  arguments.insert(arguments.end(), options.arguments.begin(), options.arguments.end());
  std::vector<char*> argv;
  for (std::string& a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);

  int master = -1;
  std::string slave_name;
  if (options.terminal_columns > 0) {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return result;
    slave_name = ptsname(master);
    struct winsize size = {};
    size.ws_row = 24;
    size.ws_col = static_cast<unsigned short>(options.terminal_columns);
    ioctl(master, TIOCSWINSZ, &size);
  }

  auto start = std::chrono::steady_clock::now();
  pid_t child = fork();
  if (child == 0) {
    int null_in = open("/dev/null", O_RDONLY);
    dup2(null_in, 0);
    dup2(output[1], 1);
    dup2(output[1], 2);
    if (master >= 0) {
      setsid();
      int slave = open(slave_name.c_str(), O_RDWR);
      struct termios modes;
      tcgetattr(slave, &modes);
      modes.c_oflag &= ~static_cast<tcflag_t>(OPOST);
      tcsetattr(slave, TCSANOW, &modes);
      dup2(slave, 1);
      dup2(slave, 2);
      if (slave > 2) close(slave);
    }
    if (!options.directory.empty() && chdir(options.directory.c_str()) != 0) _exit(126);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(output[1]);
  if (child < 0) {
    close(output[0]);
    return result;
  }
  fcntl(output[0], F_SETFL, O_NONBLOCK);
  if (master >= 0) fcntl(master, F_SETFL, O_NONBLOCK);
  int wait_status = 0;
  for (;;) {
    char buffer[4096];
    ssize_t got;
    while ((got = read(output[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, static_cast<std::size_t>(got));
    while (master >= 0 && (got = read(master, buffer, sizeof buffer)) > 0) {
      result.terminal.append(buffer, static_cast<std::size_t>(got));
    }
    struct rusage usage {};
    pid_t done = wait4(child, &wait_status, WNOHANG, &usage);
    if (done == child) {
      result.peak_rss_kib = usage.ru_maxrss;
      break;
    }
    auto elapsed = std::chrono::steady_clock::now() - start;
    if (elapsed > std::chrono::milliseconds(options.timeout_ms)) {
      kill(child, SIGKILL);
      waitpid(child, &wait_status, 0);
      result.timed_out = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  char buffer[4096];
  ssize_t got;
  while ((got = read(output[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, static_cast<std::size_t>(got));
  while (master >= 0 && (got = read(master, buffer, sizeof buffer)) > 0) {
    result.terminal.append(buffer, static_cast<std::size_t>(got));
  }
  if (master >= 0) close(master);
  close(output[0]);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!result.timed_out && WIFEXITED(wait_status)) result.status = WEXITSTATUS(wait_status);
  // The program itself prints no such text: a report from a sanitizer in the
  // child fails the test whatever the test expects of the run.
  bool reported = result.status == kSanitizerExitStatus;
  for (const std::string* text : {&result.output, &result.terminal}) {
    reported = reported || text->find("Sanitizer") != std::string::npos ||
               text->find("runtime error:") != std::string::npos;
  }
  if (reported) {
    ADD_FAILURE() << "ravelok reported a sanitizer finding (status " << result.status << "):\n"
                  << result.output << result.terminal;
  }
  return result;
}

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

int start_background(const std::vector<std::string>& argv) {
  std::vector<std::string> words = argv;
  std::vector<char*> pointers;
  for (std::string& w : words) pointers.push_back(w.data());
  pointers.push_back(nullptr);
  pid_t child = fork();
  if (child == 0) {
    int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    execvp(pointers[0], pointers.data());
    _exit(127);
  }
  return child;
}

void stop_background(int pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  for (int i = 0; i < 300; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

int wait_for_port_file(const std::string& path, int timeout_ms) {
  for (int waited = 0; waited < timeout_ms; waited += 20) {
    std::string text = read_file(path);
    if (!text.empty() && text.back() == '\n') return std::atoi(text.c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return 0;
}

int free_loopback_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t size = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

bool wait_for_listener(int port, int timeout_ms) {
  for (int waited = 0; waited < timeout_ms; waited += 20) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    if (ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}
