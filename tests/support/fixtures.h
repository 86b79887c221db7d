// Test fixtures: temporary directories, whole files, and running the real
// ravelok binary as a process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A fresh directory under /tmp, removed with everything in it at the end.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path;
  // path + "/" + name.
  std::string file(const std::string& name) const { return path + "/" + name; }
};

// Writes bytes to a file, replacing it; false when that fails. A file whose
// name ends in ".ini" (any letter case) is also noted as a settings file.
bool write_file(const std::string& path, const std::string& bytes);

// With RAVELOK_SETTINGS_CORPUS naming a directory, keeps a copy of the bytes
// of a settings file there, for the differential check of the settings
// readers (scripts/profile-diff.sh); does nothing otherwise.
void note_settings_file(const std::string& bytes);
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);
// Names in a directory, sorted, without "." and "..".
std::vector<std::string> list_directory(const std::string& path);

struct RunResult {
  int status = -1;          // exit status, or -1 when killed or not started
  bool timed_out = false;   // killed after the time limit
  double seconds = 0;       // wall time
  std::string output;       // standard output and standard error together
  std::string terminal;     // what the terminal received (with terminal_columns)
  long peak_rss_kib = 0;    // the process's peak resident memory (the wrapper's, with one)
};

struct RunOptions {
  std::vector<std::string> arguments = {};  // after the program name
  // "NAME=value", the run's whole environment: PATH is added when missing
  // and the sanitizers' settings are handed on, nothing else of the test's
  // own (so no proxy variable the machine sets).
  std::vector<std::string> environment = {};
  std::string directory = {};               // the working directory ("" = unchanged)
  int timeout_ms = 30000;
  // Commands put before the binary (for example a namespace or user switch);
  // the first word is an absolute path.
  std::vector<std::string> wrapper = {};
  // Not 0: standard output and standard error are a pseudo-terminal of that
  // many columns, with output processing off so its bytes arrive unchanged.
  int terminal_columns = 0;
};

// The status a sanitized binary ends with on a report (set in the sanitizer
// settings of the sanitized build); no run of the program gives it.
inline constexpr int kSanitizerExitStatus = 99;

// Runs the ravelok binary built with the tests, standard input from
// /dev/null, and waits for it (bounded by the time-out). A sanitizer report
// in the child (its status or its text) fails the calling test. With
// RAVELOK_WINDOWS_EXE set in the test's environment, runs that Windows
// binary under the Wine loader named by RAVELOK_WINE instead.
RunResult run_ravelok(const RunOptions& options);

// True when run_ravelok runs the Windows binary under Wine: tests skip what
// only POSIX has (symbolic links, FIFOs, file modes, xdg-open).
bool testing_windows_binary();

// A settings file from lines.
std::string ini(const std::vector<std::string>& lines);

// A process started in the background (a real server), stopped by
// stop_background: SIGTERM, then SIGKILL after a bounded wait.
int start_background(const std::vector<std::string>& argv);
void stop_background(int pid);

// A server process, stopped (and reaped) when the test leaves its scope,
// whichever way it leaves.
struct Background {
  explicit Background(const std::vector<std::string>& argv) : pid(start_background(argv)) {}
  ~Background() { stop_background(pid); }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;
  int pid;
};

// Waits (bounded) for a file to hold a port number; 0 when it never does.
int wait_for_port_file(const std::string& path, int timeout_ms);

// A loopback port that was free a moment ago.
int free_loopback_port();

// Waits (bounded) until something accepts connections on 127.0.0.1:port.
bool wait_for_listener(int port, int timeout_ms);

// Decodes hexadecimal text ("41ff" -> "A\xff").
std::string from_hex(const std::string& hex);

// Bytes of every value, NUL included, in a pattern that shows shifts (seed
// shifts the whole pattern).
std::string pattern(std::size_t size, unsigned seed = 0);
// Bytes drawn from a generator started at seed: the same for every run.
std::string random_bytes(std::uint32_t seed, std::size_t size);
// Every name in text replaced by value.
std::string replaced(std::string text, const std::string& name, const std::string& value);
