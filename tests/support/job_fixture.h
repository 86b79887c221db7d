// The fixture of the tests that run the program as a whole: a work
// directory that holds the settings file and is the run's working
// directory, a TEMP directory of the run's own, a stand-in viewer, and the
// run. scripts/test-windows.sh runs every suite named "...Run" (and the few
// others it names) against ravelok.exe under Wine, so a suite of whole runs
// is named so: class SaveRun : public WholeRun {};
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/fixtures.h"

// A run that should involve no time-out and no pause between receive
// attempts takes well under a second; the bound still catches the four 1 s
// pauses of a pass that gives up, and any hang.
inline constexpr double kQuick = 2.5;
inline constexpr double kBulk = 8.0;  // runs that move tens of megabytes

class WholeRun : public ::testing::Test {
 protected:
  WholeRun();

  // Runs the binary with TEMP set to temp_value, a PATH that finds the
  // stand-in viewer first and options' environment; on the work directory
  // and in it, unless options name other arguments or another directory.
  RunResult run_binary(RunOptions options = {}) const;
  // The same after writing the work directory's RAVELOK.INI (readable by
  // every user) from lines, or as it is given.
  RunResult run(const std::vector<std::string>& settings, RunOptions options = {}) const;
  RunResult run_text(const std::string& settings, RunOptions options = {}) const;
  // The environment of those runs, for a process started otherwise.
  std::vector<std::string> environment() const;

  // A job: Site 127.0.0.1, the port, Page and Save.
  static std::vector<std::string> job(int port, const std::string& page = "/p",
                                      const std::string& save = "answer.txt");
  // "[URL]", the row's [URL] keys, the job's keys, then the row's sections:
  // of two same keys the first counts, so a row's Site or Save wins.
  static std::vector<std::string> with_keys(const std::vector<std::string>& job,
                                            const std::vector<std::string>& row);

  // What the stand-in viewer was asked to open; waits (bounded) for its
  // line when a call is expected, a moment otherwise.
  std::string viewer_log(bool expect_call) const;
  // The viewer's line for a file handed to it. The Windows binary opens
  // files through the desktop's association, which Wine's prefix (set up by
  // scripts/test-windows.sh) sends to winebrowser: it hands xdg-open a file
  // URL of the full path.
  std::string opened(const std::string& file) const;

  TempDir work;
  TempDir temp;
  TempDir viewer;                      // the stand-in viewer and its log
  std::string temp_value = temp.path;  // the runs' TEMP
};

// The setpriv command that runs the binary as the unprivileged user and
// group 65534; nothing when setpriv is missing, or under Wine (which
// refuses a prefix that another user owns).
std::vector<std::string> as_unprivileged_user();

// The tests that need a real web server skip without it.
inline constexpr const char* kNginx = "/usr/sbin/nginx";
// Starts nginx in process, in the foreground, its pid, logs and temporary
// files in dir, with one server block of the directives given (their
// listen line on 127.0.0.1:port); false when it does not listen within
// 10 s (dir/error.log says why).
bool start_nginx(std::optional<Background>& process, const std::string& dir, int port,
                 const std::string& server);
