// Whole runs of the Windows binary (under Wine, see scripts/test-windows.sh)
// that find the settings file by Windows' path rules: backslashes, a
// separator already at the end, a drive designator alone, and a bare name
// that must be read from the current directory, never the Windows directory;
// and the progress line on a console (Wine's, drawn on a pseudo-terminal).
// Skipped when the tests run the POSIX binary.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>

#include "support/fixtures.h"
#include "support/scripted_server.h"

extern char** environ;

namespace {

// The Windows form of a POSIX path, on Wine's drive Z: (the root).
std::string on_drive_z(const std::string& path) {
  std::string text = "Z:" + path;
  for (char& c : text) {
    if (c == '/') c = '\\';
  }
  return text;
}

class WindowsRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing_windows_binary()) GTEST_SKIP() << "runs the Windows binary only";
    prefix_ = getenv("WINEPREFIX") != nullptr ? getenv("WINEPREFIX") : "";
    ASSERT_FALSE(prefix_.empty());
    port_ = free_loopback_port();
  }

  // A job whose connection is refused: the run ends with 57 and saves the
  // empty answer (CR LF) to save, which proves that this file was read.
  std::string job(const std::string& save) const {
    return ini({"[URL]", "Site=127.0.0.1", "Port=" + std::to_string(port_), "Save=" + save});
  }

  std::string prefix_;
  int port_ = 0;
};

TEST_F(WindowsRun, BackslashesAndSeparatorsAtTheEnd) {
  TempDir jobs;
  TempDir elsewhere;
  ASSERT_TRUE(write_file(jobs.file("RAVELOK.INI"), job(jobs.file("answer.txt"))));
  const std::string directory = on_drive_z(jobs.path);
  for (const std::string& argument : {directory, directory + "\\", directory + "/"}) {
    unlink(jobs.file("answer.txt").c_str());
    RunResult run = run_ravelok({{argument}, {}, elsewhere.path, 20000});
    EXPECT_EQ(run.status, 57) << argument << run.output;
    EXPECT_EQ(read_file(jobs.file("answer.txt")), "\r\n") << argument;
  }
}

TEST_F(WindowsRun, DriveDesignatorAloneReadsThatDrivesDirectory) {
  TempDir jobs;
  TempDir elsewhere;
  ASSERT_TRUE(write_file(jobs.file("RAVELOK.INI"), job(jobs.file("answer.txt"))));
  // Drive R: of the prefix is the job directory for this test.
  const std::string drive = prefix_ + "/dosdevices/r:";
  unlink(drive.c_str());
  ASSERT_EQ(symlink(jobs.path.c_str(), drive.c_str()), 0);
  // "R:" gives "R:RAVELOK.INI": the file in R:'s current directory, its
  // root for a process that has never been there.
  for (const char* argument : {"R:", "R:\\", "r:/"}) {
    unlink(jobs.file("answer.txt").c_str());
    RunResult run = run_ravelok({{argument}, {}, elsewhere.path, 20000});
    EXPECT_EQ(run.status, 57) << argument << run.output;
    EXPECT_EQ(read_file(jobs.file("answer.txt")), "\r\n") << argument;
  }
  unlink(drive.c_str());
}

TEST_F(WindowsRun, BareNameIsReadFromTheCurrentDirectory) {
  TempDir jobs;
  ASSERT_TRUE(write_file(jobs.file("RAVELOK.INI"), job("answer.txt")));
  // A settings file in the Windows directory, where the system itself would
  // look a bare name up: it must never be the one read.
  const std::string decoy = prefix_ + "/drive_c/windows/RAVELOK.INI";
  ASSERT_TRUE(write_file(decoy, ini({"[URL]", "Site=", "Save=decoy.txt"})));
  // An empty argument, and no argument at all.
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{""}, std::vector<std::string>{}}) {
    unlink(jobs.file("answer.txt").c_str());
    RunResult run = run_ravelok({arguments, {}, jobs.path, 20000});
    EXPECT_EQ(run.status, 57) << arguments.size() << run.output;
    EXPECT_EQ(read_file(jobs.file("answer.txt")), "\r\n") << arguments.size();
  }
  unlink(decoy.c_str());
}

// What a terminal shows, roughly: escape sequences, carriage returns and
// backspaces taken out.
std::string visible_text(const std::string& bytes) {
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\x1b') {
      std::size_t end = i + 1;
      if (end < bytes.size() && bytes[end] == '[') {
        ++end;
        while (end < bytes.size() && !(bytes[end] >= '@' && bytes[end] <= '~')) ++end;
      }
      i = end;
    } else if (bytes[i] != '\r' && bytes[i] != '\b') {
      text.push_back(bytes[i]);
    }
  }
  return text;
}

struct ConsoleRun {
  std::string terminal;
  std::string out_pipe;
  int status = -1;
};

// Runs the Windows binary with standard input and error on a new
// pseudo-terminal (its controlling terminal, so Wine gives it a console),
// standard output on the terminal too or on a pipe, bounded in time.
ConsoleRun run_on_console(const std::string& directory, bool stdout_on_terminal) {
  ConsoleRun run;
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return run;
  std::string slave_name = ptsname(master);
  struct winsize size = {};
  size.ws_row = 25;
  size.ws_col = 80;
  ioctl(master, TIOCSWINSZ, &size);
  int out_pipe[2];
  if (pipe(out_pipe) != 0) return run;
  std::string wine = getenv("RAVELOK_WINE") != nullptr ? getenv("RAVELOK_WINE") : "/usr/lib/wine/wine64";
  std::string exe = getenv("RAVELOK_WINDOWS_EXE");
  pid_t child = fork();
  if (child == 0) {
    setsid();
    int slave = open(slave_name.c_str(), O_RDWR);
    ioctl(slave, TIOCSCTTY, 0);
    dup2(slave, STDIN_FILENO);
    dup2(stdout_on_terminal ? slave : out_pipe[1], STDOUT_FILENO);
    dup2(slave, STDERR_FILENO);
    for (int fd : {master, slave, out_pipe[0], out_pipe[1]}) close(fd);
    if (chdir(directory.c_str()) != 0) _exit(126);
    char* argv[] = {wine.data(), exe.data(), const_cast<char*>("."), nullptr};
    execve(argv[0], argv, environ);
    _exit(127);
  }
  close(out_pipe[1]);
  // Read both until the run has ended and the terminal has fallen quiet.
  int wait_status = 0;
  bool ended = false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  auto quiet_since = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd polled[2] = {{master, POLLIN, 0}, {out_pipe[0], POLLIN, 0}};
    if (poll(polled, 2, 50) > 0) {
      char buffer[4096];
      for (int i = 0; i < 2; ++i) {
        if ((polled[i].revents & (POLLIN | POLLHUP)) == 0) continue;
        ssize_t n = read(polled[i].fd, buffer, sizeof buffer);
        if (n > 0) {
          (i == 0 ? run.terminal : run.out_pipe).append(buffer, static_cast<std::size_t>(n));
          quiet_since = std::chrono::steady_clock::now();
        }
      }
    }
    if (!ended && waitpid(child, &wait_status, WNOHANG) == child) ended = true;
    if (ended && std::chrono::steady_clock::now() - quiet_since > std::chrono::milliseconds(300)) break;
  }
  if (!ended) {
    kill(child, SIGKILL);
    waitpid(child, &wait_status, 0);
  } else if (WIFEXITED(wait_status)) {
    run.status = WEXITSTATUS(wait_status);
  }
  close(master);
  close(out_pipe[0]);
  return run;
}

// The progress words of a whole exchange reach the console in order; a
// redirected standard output receives none of them.
TEST_F(WindowsRun, ProgressLineOnTheConsole) {
  for (bool stdout_on_terminal : {true, false}) {
    ScriptedServer server({.answer = {{"HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n12345"},
                                      {"67890", 300}},
                           .when = AnswerWhen::after_request});
    ASSERT_TRUE(server.ok()) << server.failure();
    TempDir jobs;
    ASSERT_TRUE(write_file(jobs.file("RAVELOK.INI"),
                           ini({"[URL]", "Site=127.0.0.1", "Port=" + std::to_string(server.port()),
                                "Save=answer.txt"})));
    ConsoleRun run = run_on_console(jobs.path, stdout_on_terminal);
    EXPECT_EQ(run.status, 0) << stdout_on_terminal;
    EXPECT_EQ(read_file(jobs.file("answer.txt")), "1234567890\r\n");
    std::string shown = visible_text(run.terminal);
    std::size_t opening = shown.find("Obrint...");
    std::size_t sending = shown.find("Enviant...");
    std::size_t receiving = shown.find("Rebent...");
    EXPECT_NE(opening, std::string::npos) << shown;
    EXPECT_LT(opening, sending) << shown;
    EXPECT_LT(sending, receiving) << shown;
    EXPECT_NE(receiving, std::string::npos) << shown;
    EXPECT_EQ(run.out_pipe, "") << stdout_on_terminal;
  }
}

}  // namespace
