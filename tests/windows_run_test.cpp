// Whole runs of the Windows binary (under Wine, see scripts/test-windows.sh)
// that find the settings file by Windows' path rules: backslashes, a
// separator already at the end, a drive designator alone, and a bare name
// that must be read from the current directory, never the Windows directory.
// Skipped when the tests run the POSIX binary.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "support/fixtures.h"

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

}  // namespace
