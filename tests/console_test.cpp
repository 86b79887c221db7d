// The progress line on a real pseudo-terminal: a forked child runs console
// operations with its standard streams on the terminal's slave side or on
// pipes, and the parent reads from the master side the exact bytes the
// terminal received; and whole runs' progress lines.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/console_internal.h"
#include "services/console.h"
#include "services/console_internal.h"
#include "support/job_fixture.h"
#include "support/scripted_server.h"

namespace {

enum class Op { phase, receiving, finish, locate, print, number, tab, new_line, sleep };
struct Step { Op op; std::string text; std::int64_t a = 0; std::int64_t b = 0; };
enum class Streams { stdout_terminal, stderr_terminal, no_terminal };

struct Outcome {
  std::string terminal, out_pipe, err_pipe;
  int writes = -1;  // write() calls the child made, -1 when it did not end well
};

std::string spaces(std::size_t n) { return std::string(n, ' '); }

[[noreturn]] void run_child(const std::vector<Step>& steps) {
  console_init();
  for (const Step& s : steps) {
    switch (s.op) {
      case Op::phase: progress_phase(s.text); break;
      case Op::receiving: progress_receiving(s.a, s.b); break;
      case Op::finish: progress_finish(); break;
      case Op::locate: console_locate(static_cast<int>(s.a), static_cast<int>(s.b)); break;
      case Op::print: console_print(s.text); break;
      case Op::number: console_print_number(s.a); break;
      case Op::tab: console_tab(static_cast<int>(s.a)); break;
      case Op::new_line: console_new_line(); break;
      case Op::sleep: platform_sleep(static_cast<std::uint32_t>(s.a)); break;
    }
  }
  _exit(static_cast<int>(std::min<std::uint64_t>(console_writes_made(), 200)));
}

// Runs steps in a child on a terminal of the given width (0: size unknown)
// and collects everything written to the terminal and to the pipes.
Outcome run_console(const std::vector<Step>& steps, int columns, Streams streams) {
  Outcome outcome;
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return outcome;
  int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  // Output processing off, so LF is not turned into CR LF on the way.
  struct termios modes;
  tcgetattr(slave, &modes);
  modes.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tcsetattr(slave, TCSANOW, &modes);
  struct winsize size = {};
  size.ws_row = 24;
  size.ws_col = static_cast<unsigned short>(columns);
  ioctl(master, TIOCSWINSZ, &size);
  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return outcome;

  std::fflush(nullptr);
  pid_t child = fork();
  if (child == 0) {
    bool on_out = streams == Streams::stdout_terminal;
    bool on_err = streams == Streams::stderr_terminal;
    dup2(on_out ? slave : out_pipe[1], STDOUT_FILENO);
    dup2(on_err ? slave : err_pipe[1], STDERR_FILENO);
    for (int fd : {master, slave, out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) close(fd);
    run_child(steps);
  }
  close(slave);
  close(out_pipe[1]);
  close(err_pipe[1]);

  // Read until the child has closed every stream (EIO on the master once no
  // slave is open), bounded in time.
  struct Source { int fd; std::string* into; };
  std::vector<Source> open_sources = {
      {master, &outcome.terminal}, {out_pipe[0], &outcome.out_pipe}, {err_pipe[0], &outcome.err_pipe}};
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!open_sources.empty() && std::chrono::steady_clock::now() < deadline) {
    std::vector<pollfd> polled;
    for (const Source& s : open_sources) polled.push_back({s.fd, POLLIN, 0});
    if (poll(polled.data(), polled.size(), 500) <= 0) continue;
    for (std::size_t i = polled.size(); i-- > 0;) {
      if (polled[i].revents == 0) continue;
      char buffer[4096];
      ssize_t n = read(polled[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        open_sources[i].into->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        open_sources.erase(open_sources.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
  }
  int status = 0;
  if (!open_sources.empty()) kill(child, SIGKILL);
  waitpid(child, &status, 0);
  if (WIFEXITED(status)) outcome.writes = WEXITSTATUS(status);
  for (int fd : {master, out_pipe[0], err_pipe[0]}) close(fd);
  return outcome;
}

struct Case {
  const char* name;
  int columns;
  std::vector<Step> steps;
  std::string expected;
  int writes;
};

void check_cases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    Outcome got = run_console(c.steps, c.columns, Streams::stdout_terminal);
    EXPECT_EQ(got.terminal, c.expected) << c.name;
    EXPECT_EQ(got.writes, c.writes) << c.name;
    EXPECT_EQ(got.err_pipe, "") << c.name;
  }
}

const Step kObrint{Op::phase, "Obrint..."};
const Step kFinish{Op::finish, ""};

TEST(ConsoleProgress, RenderingsOnEightyColumns) {
  check_cases({
      {"obrint", 80, {kObrint}, "\rObrint..." + spaces(69), 1},
      {"enviant", 80, {{Op::phase, "Enviant..."}}, "\rEnviant..." + spaces(68), 1},
      {"size unknown", 0, {kObrint}, "\rObrint..." + spaces(69), 1},
      {"rebent announced", 80, {{Op::receiving, "", 1234, 5678}},
       "\rRebent... 1234 / 5678 " + spaces(56), 1},
      {"rebent unannounced", 80, {{Op::receiving, "", 1234, 0}}, "\rRebent... 1234 " + spaces(63), 1},
      {"rebent zero", 80, {{Op::receiving, "", 0, 0}}, "\rRebent... 0 " + spaces(66), 1},
      {"rebent negative", 80, {{Op::receiving, "", 100, INT32_MIN}},
       "\rRebent... 100 /-2147483648 " + spaces(51), 1},
      {"finish", 80, {kObrint, kFinish}, "\rObrint..." + spaces(69) + "\r" + spaces(78) + "\r\n", 2},
      {"whole exchange", 80,
       {kObrint, {Op::phase, "Enviant..."}, {Op::receiving, "", 7, 0}, kFinish},
       "\rObrint..." + spaces(69) + "\rEnviant..." + spaces(68) + "\rRebent... 7 " + spaces(66) +
           "\r" + spaces(78) + "\r\n",
       4},
  });
}

TEST(ConsoleProgress, NarrowTerminalsWrapThePadding) {
  check_cases({
      {"40 columns", 40, {kObrint, {Op::phase, "Enviant..."}, kFinish},
       "\rObrint..." + spaces(31) + "\r\n" + spaces(38) +
           "\rEnviant..." + spaces(30) + "\r\n" + spaces(38) +
           "\r" + spaces(40) + "\r\n" + spaces(38) + "\r\n",
       3},
      {"20 columns", 20, {kObrint},
       "\rObrint..." + spaces(11) + "\r\n" + spaces(20) + "\r\n" + spaces(20) + "\r\n" + spaces(18), 1},
  });
}

TEST(ConsoleOperations, CursorAndTextRules) {
  check_cases({
      {"tab to the cursor column", 80, {{Op::print, "abc"}, {Op::tab, "", 4}}, "abc", 1},
      {"tab to column 1 at column 1", 80, {{Op::tab, "", 1}}, "", 0},
      {"tab left of the cursor", 80, {{Op::print, "abcdef"}, {Op::tab, "", 3}}, "abcdef\r\n  ", 2},
      {"locate", 80, {{Op::locate, "", 10, 0}, {Op::locate, "", 1, 5}}, "\r\x1b[10G\r", 2},
      {"locate out of range", 80, {{Op::locate, "", 0, 0}, {Op::locate, "", 81, 0}}, "", 0},
      {"last column fills", 20, {{Op::locate, "", 1, 0}, {Op::print, std::string(20, 'x')}, {Op::print, "y"}},
       "\r" + std::string(20, 'x') + "\r\ny", 3},
      {"cursor at column 1 after filling", 20, {{Op::print, std::string(20, 'x')}, {Op::tab, "", 1}},
       std::string(20, 'x') + "\r\n", 1},
      {"locate to the last column", 80, {{Op::locate, "", 80, 0}, {Op::print, "xy"}}, "\r\x1b[80Gx\r\ny", 2},
      {"long print wraps", 20, {{Op::print, std::string(25, 'z')}},
       std::string(20, 'z') + "\r\n" + std::string(5, 'z'), 1},
      {"control bytes", 80, {{Op::print, std::string("a\tb\x1b[2J\r\n\0c\x7f\xe9", 13)}},
       "a?b?[2J???c?\xe9", 1},
      {"empty print", 80, {{Op::print, ""}}, "", 0},
      {"new line", 80, {{Op::print, "ab"}, {Op::new_line, ""}, {Op::tab, "", 3}}, "ab\r\n  ", 3},
      {"numbers", 80,
       {{Op::number, "", 0}, {Op::number, "", -42}, {Op::number, "", INT64_MIN}, {Op::number, "", INT64_MAX}},
       " 0 -42 -9223372036854775808  9223372036854775807 ", 4},
  });
}

TEST(ConsoleProgress, ReceivingLinesAreThrottled) {
  std::string first = "\rRebent... 1 " + spaces(66);
  std::string third = "\rRebent... 3 " + spaces(66);
  check_cases({
      {"second at once is skipped", 80,
       {{Op::receiving, "", 1, 0}, {Op::receiving, "", 2, 0}, {Op::sleep, "", 60}, {Op::receiving, "", 3, 0}},
       first + third, 2},
      {"phases are never skipped", 80, {{Op::receiving, "", 1, 0}, kObrint, kObrint},
       first + "\rObrint..." + spaces(69) + "\rObrint..." + spaces(69), 3},
  });
}

TEST(ConsoleStreams, OutputGoesToTheTerminalStreamOnly) {
  const std::vector<Step> steps = {kObrint, {Op::receiving, "", 5, 9}, {Op::print, "x"},
                                   {Op::number, "", 3}, {Op::tab, "", 1}, {Op::new_line, ""}, kFinish};
  const std::string drawn = "\rObrint..." + spaces(69) + "\rRebent... 5 / 9 " + spaces(62) +
                            "x \r\n3 " + "\r\n" + "\r\n" + "\r" + spaces(78) + "\r\n";
  struct StreamCase { Streams streams; std::string terminal; int writes; };
  const StreamCase cases[] = {
      {Streams::stdout_terminal, drawn, 7},
      {Streams::stderr_terminal, drawn, 7},
      {Streams::no_terminal, "", 0},
  };
  for (const StreamCase& c : cases) {
    Outcome got = run_console(steps, 80, c.streams);
    int which = static_cast<int>(c.streams);
    EXPECT_EQ(got.terminal, c.terminal) << which;
    EXPECT_EQ(got.writes, c.writes) << which;
    // A redirected stream never receives progress text.
    EXPECT_EQ(got.out_pipe, "") << which;
    EXPECT_EQ(got.err_pipe, "") << which;
  }
}

}  // namespace

class ProgressLineRun : public WholeRun {};

TEST_F(ProgressLineRun, OnATerminal) {
  // Wine's console draws the cells with escape sequences of its own;
  // WindowsRun.ProgressLineOnTheConsole checks the Windows binary there.
  if (testing_windows_binary()) GTEST_SKIP() << "the POSIX terminal's bytes";
  struct Case { const char* name; std::vector<ServerChunk> answer; std::string expected; };
  const std::string pad79 = std::string(79 - 1 - 9, ' ');  // after "Obrint..."
  const std::string obrint = "\rObrint..." + pad79;
  const std::string enviant = "\rEnviant..." + std::string(79 - 1 - 10, ' ');
  const std::string finish = "\r" + std::string(78, ' ') + "\r\n";
  const RunOptions terminal{.timeout_ms = 20000, .terminal_columns = 80};
  const Case cases[] = {
      // Header and body in the first receive: no receiving line at all.
      {"one piece", {{"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"}}, obrint + enviant + finish},
      // A later piece shows the body so far against the announced length.
      {"two pieces", {{"HTTP/1.0 200 OK\r\nContent-Length: 8\r\n\r\nabcd"}, {"efgh", 300}},
       obrint + enviant + "\rRebent... 8 / 8 " + std::string(79 - 1 - 16, ' ') + finish},
  };
  for (const Case& c : cases) {
    ScriptedServer server({.answer = c.answer, .when = AnswerWhen::after_request});
    ASSERT_TRUE(server.ok()) << server.failure();
    RunResult result = run(job(server.port()), terminal);
    EXPECT_EQ(result.status, 0) << c.name << result.output;
    EXPECT_EQ(result.output, "") << c.name;
    EXPECT_EQ(result.terminal, c.expected) << c.name;
  }

  // A refused connection: "Obrint..." is blanked before the failure line,
  // which starts at column 1.
  const int refused_port = free_loopback_port();
  RunResult refused = run(job(refused_port), terminal);
  EXPECT_EQ(refused.status, 57);
  const std::string blank = "\r" + std::string(78, ' ') + "\r";
  const std::string line = "ravelok: cannot connect to 127.0.0.1 port " + std::to_string(refused_port) +
                           ": Connection refused (57 network failure)";
  EXPECT_EQ(refused.terminal, obrint + blank + line + "\n");

  // Tried again: the pause counted down between the two tries, whose lines
  // come together once the last one has failed.
  std::vector<std::string> settings = job(refused_port);
  settings.push_back("Retries=1");
  RunResult retried = run(settings, terminal);
  EXPECT_EQ(retried.status, 57);
  EXPECT_EQ(retried.terminal, obrint + "\rEsperant... 1" + std::string(79 - 1 - 13, ' ') + blank + obrint +
                                  blank + line + "; try 1 of 2, next in 1 s\n" + line + "; try 2 of 2\n");
}
