// Whole runs of the binary in the face of faults: broken servers, unusable
// files and directories, hostile settings files. Each run is checked for its
// exit status, what it saved, how long it took and that it left nothing in
// the temporary directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <iostream>
#include <random>

#include "support/fixtures.h"
#include "support/scripted_server.h"

namespace {

// A run that should involve no time-out and no pause between receive
// attempts takes well under a second; the bound still catches the four 1 s
// pauses of a pass that gives up, and any hang.
constexpr double kQuick = 2.5;
// Runs that move tens of megabytes.
constexpr double kBulk = 8.0;

const std::string kOk = "HTTP/1.0 200 OK\r\n";

// Every byte value, each 64 times, in an order that puts CR LF CR LF and
// NUL bytes in the middle of the body.
std::string every_byte_value() {
  std::string bytes;
  for (int round = 0; round < 64; ++round) {
    for (int value = 0; value < 256; ++value) bytes.push_back(static_cast<char>((value + round * 13) & 0xFF));
    bytes += "\r\n\r\n";
  }
  return bytes;
}

// The answer as one write per byte.
std::vector<ServerChunk> one_byte_writes(const std::string& answer) {
  std::vector<ServerChunk> chunks;
  for (char byte : answer) chunks.push_back({std::string(1, byte), 2});
  return chunks;
}

std::string huge_header_without_blank_line() {
  std::string header = kOk;
  header.reserve(20u << 20);
  while (header.size() < (20u << 20)) header += "X-Filler: 0123456789abcdef0123456789abcdef\r\n";
  return header;
}

// The setpriv command that runs the binary as the unprivileged user and
// group 65534, or nothing when setpriv is not installed.
std::vector<std::string> as_unprivileged_user() {
  // Wine refuses to run in a prefix that another user owns.
  if (testing_windows_binary()) return {};
  for (const char* directory : {"/usr/bin", "/bin", "/usr/sbin", "/sbin"}) {
    std::string path = std::string(directory) + "/setpriv";
    if (access(path.c_str(), X_OK) == 0) {
      return {path, "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
  }
  return {};
}

std::string random_bytes(std::uint32_t seed, std::size_t size) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator() & 0xFF);
  return bytes;
}

class FaultScenario : public ::testing::Test {
 protected:
  // Writes the settings and runs ravelok in the work directory.
  RunResult run(const std::string& settings, const std::vector<std::string>& wrapper = {}) {
    write_file(work.file("RAVELOK.INI"), settings);
    chmod(work.file("RAVELOK.INI").c_str(), 0644);
    RunOptions options;
    options.arguments = {work.path};
    options.environment = {"TEMP=" + temp_value, "PATH=/usr/bin:/bin"};
    options.directory = work.path;
    options.timeout_ms = 30000;
    options.wrapper = wrapper;
    return run_ravelok(options);
  }

  std::vector<std::string> job(const std::string& site, int port) {
    return {"[URL]", "Site=" + site, "Port=" + std::to_string(port), "Page=/p", "Save=answer.txt"};
  }

  // Lets the unprivileged user into the work and temporary directories.
  void open_directories_to_everyone() {
    chmod(work.path.c_str(), 0777);
    chmod(temp.path.c_str(), 0777);
  }

  TempDir work;
  TempDir temp;
  std::string temp_value = temp.path;
};

TEST_F(FaultScenario, ConnectionCannotBeOpened) {
  struct Case {
    const char* name;
    std::string site;
    std::vector<std::string> limits;  // Timeout and MaxTime lines
    int status;
    int seconds;  // how long connecting takes: 0 at once
  };
  // A name under the reserved .invalid domain never resolves. The resolver
  // is held to one attempt of one second (RES_OPTIONS below), so a slow or
  // unreachable name server cannot stretch the run beyond a few seconds.
  // The .test names and 10.9.0.2 run in a network namespace of their own
  // (the wrapper below), where 10.9.0.2 and fd00:9::2 lie behind an
  // interface that drops every packet: their SYNs vanish, so only the
  // time-out ends the connect, and no other host is ever reached. both.test
  // gives fd00:9::2 first, then 127.0.0.1, where nothing listens; four.test
  // 127.0.0.1 first, then 10.9.0.2 (the resolver's order).
  const Case cases[] = {
      {"refused", "127.0.0.1", {}, 57, 0},
      {"refused on every address of localhost", "localhost", {}, 57, 0},
      {"unresolvable name", "ravelok-test.invalid", {}, 57, 0},
      {"dropped, the default time-out", "10.9.0.2", {}, 24, 3},
      {"dropped, Timeout=1", "10.9.0.2", {"Timeout=1"}, 24, 1},
      {"dropped, Timeout=2", "10.9.0.2", {"Timeout=2"}, 24, 2},
      {"dropped, MaxTime before Timeout", "10.9.0.2", {"Timeout=5", "MaxTime=1"}, 24, 1},
      {"dropped, then refused in half the time", "both.test", {"Timeout=2"}, 57, 1},
      {"refused, then dropped with all the time", "four.test", {"Timeout=2"}, 24, 2},
  };
  const int port = free_loopback_port();
  write_file(work.file("hosts"), "127.0.0.1 localhost\nfd00:9::2 both.test\n127.0.0.1 both.test\n"
                                 "127.0.0.1 four.test\n10.9.0.2 four.test\n");
  for (const Case& c : cases) {
    std::vector<std::string> settings = job(c.site, port);
    settings.insert(settings.end(), c.limits.begin(), c.limits.end());
    write_file(work.file("RAVELOK.INI"), ini(settings));
    RunOptions options{{work.path}, {"TEMP=" + temp.path, "RES_OPTIONS=timeout:1 attempts:1"}, work.path, 20000};
    const bool isolated = c.seconds > 0;
    if (isolated) {
      // Wine's sockets are made by its wineserver, outside the namespace.
      if (testing_windows_binary() || !file_exists("/usr/bin/unshare")) continue;
      options.wrapper = {"/usr/bin/unshare", "--net", "--mount", "/bin/sh", "-c",
                         "PATH=$PATH:/usr/sbin:/sbin; mount --bind \"$0\" /etc/hosts && ip link set lo up && "
                         "ip link add d0 type ifb && ip link set d0 up && ip addr add 10.9.0.1/24 dev d0 && "
                         "ip addr add fd00:9::1/64 dev d0 nodad || { echo no private network; exit 97; }; "
                         "exec \"$@\"",
                         work.file("hosts")};
    }
    RunResult result = run_ravelok(options);
    if (isolated && (result.status == 97 || result.output.rfind("unshare", 0) == 0)) {
      std::cout << "skipped " << c.name << ": " << result.output;
      continue;
    }
    EXPECT_EQ(result.status, c.status) << c.name << result.output;
    if (c.site.find(".invalid") == std::string::npos) {
      const bool run_limit = !c.limits.empty() && c.limits.back() == "MaxTime=1";
      EXPECT_EQ(result.output, std::string("ravelok: ") + (run_limit ? "MaxTime of 1 s reached: " : "") +
                                   "cannot connect to " + c.site + " port " + std::to_string(port) +
                                   (c.status == 24 ? " within " + std::to_string(c.seconds) + " s (24 time-out)\n"
                                                   : ": Connection refused (57 network failure)\n")) << c.name;
    }
    // Nothing came, and the save still writes what it has.
    EXPECT_EQ(read_file(work.file("answer.txt")), "\r\n") << c.name;
    EXPECT_GE(result.seconds, c.seconds - 0.05) << c.name;
    EXPECT_LT(result.seconds, c.site.find(".invalid") != std::string::npos ? 10.0
                              : c.seconds == 0                            ? kQuick
                                                                          : c.seconds + 0.8) << c.name;
    EXPECT_TRUE(list_directory(temp.path).empty()) << c.name;
  }
}

TEST_F(FaultScenario, BrokenAnswers) {
  struct Case {
    const char* name;
    ServerScript script;
    int status;
    std::string saved;  // the save file's bytes, CR LF included
    double seconds;
    double at_least_seconds = 0;
  };
  const std::string all_bytes = every_byte_value();
  const std::string length = "Content-Length: " + std::to_string(all_bytes.size()) + "\r\n";
  const std::string small = kOk + "Content-Length: 10\r\nX-Pad: " + std::string(40, '=') +
                            "\r\n\r\n0123456789";
  const std::string header = huge_header_without_blank_line();
  std::vector<Case> cases = {
      // Without a blank line the text so far is the body; no length was
      // announced, so the answer counts as complete.
      {"closes in the middle of the header",
       {.answer = {{kOk + "Server: scri"}}, .when = AnswerWhen::after_request},
       0, kOk + "Server: scri\r\n", kQuick},
      {"closes in the header after announcing a length",
       {.answer = {{kOk + "Content-Length: 5\r\nServer: scri"}}, .when = AnswerWhen::after_request},
       62, kOk + "Content-Length: 5\r\nServer: scri\r\n", kQuick},
      // The body would run to the server's close; a reset cuts it short,
      // and ends the reading at once.
      // Wine hands a reset on as an orderly close: the answer is complete.
      {"resets in a body of no announced length",
       {.answer = {{kOk + "\r\npart"}, {"", 200}}, .when = AnswerWhen::after_request,
        .end = EndAction::reset},
       testing_windows_binary() ? 0 : 57, "part\r\n", kQuick},
      {"answers in 1-byte writes",
       {.answer = one_byte_writes(small), .when = AnswerWhen::after_request}, 0, "0123456789\r\n",
       kQuick},
      {"a 20 MB header without a blank line",
       {.answer = {{header}}, .when = AnswerWhen::after_request}, 0, header + "\r\n", kBulk},
      {"a body of every byte value with its length",
       {.answer = {{kOk + length + "\r\n" + all_bytes}}, .when = AnswerWhen::after_request},
       0, all_bytes + "\r\n", kQuick},
      {"a body of every byte value in small writes",
       {.answer = {{kOk + "\r\n" + all_bytes.substr(0, 5000)}, {all_bytes.substr(5000), 50}},
        .when = AnswerWhen::after_request},
       0, all_bytes + "\r\n", kQuick},
  };
  for (Case& c : cases) {
    unlink(work.file("answer.txt").c_str());
    ScriptedServer server(c.script);
    ASSERT_TRUE(server.ok()) << server.failure();
    RunResult result = run(ini(job("127.0.0.1", server.port())));
    EXPECT_EQ(result.status, c.status) << c.name << result.output;
    const std::string saved = read_file(work.file("answer.txt"));
    EXPECT_TRUE(saved == c.saved) << c.name << ": saved " << saved.size() << " bytes, expected "
                                  << c.saved.size();
    EXPECT_LT(result.seconds, c.seconds) << c.name;
    EXPECT_GE(result.seconds, c.at_least_seconds) << c.name;
    EXPECT_TRUE(list_directory(temp.path).empty()) << c.name;
  }
}

TEST_F(FaultScenario, ServerResetsBeforeReadingTheUpload) {
  // The server reads the request's first bytes and resets the connection;
  // the upload is far more than the socket buffers on both ends can hold,
  // so the sends must meet the reset. (A server that closes at once is run
  // by the exchange suite.)
  write_file(work.file("big.bin"), random_bytes(7, 16u << 20));
  ScriptedServer server(
      {.answer = {}, .when = AnswerWhen::after_bytes, .after_bytes = 20, .end = EndAction::reset});
  ASSERT_TRUE(server.ok()) << server.failure();
  std::vector<std::string> settings = job("127.0.0.1", server.port());
  settings.insert(settings.end(), {"Method=POST", "[Vars]", "1=a=b", "[Files]", "1=big.bin"});
  RunResult result = run(ini(settings));
  // The send's failure is the outcome; no signal ends the process.
  EXPECT_EQ(result.status, 57) << result.output;
  EXPECT_EQ(read_file(work.file("answer.txt")), "\r\n");
  // Reading still runs one pass after the failed send. When the reset
  // reaches it (now and then), that pass makes its four pauses and the run
  // takes about 4.2 s; otherwise it ends at once. Never more.
  EXPECT_LT(result.seconds, 6.5);
  EXPECT_TRUE(list_directory(temp.path).empty());
}

// Uploads that cannot be prepared: nothing is sent, the status is the first
// failure, no body file is left, and the files named are left as they were.
TEST_F(FaultScenario, UploadCannotBePrepared) {
  const std::vector<std::string> unprivileged = as_unprivileged_user();
  open_directories_to_everyone();
  write_file(work.file("secret.bin"), "secret");
  chmod(work.file("secret.bin").c_str(), 0600);  // root's: the unprivileged user cannot read it
  ASSERT_EQ(mkdir(work.file("folder").c_str(), 0755), 0);
  write_file(work.file("plain.bin"), "plain");
  chmod(work.file("plain.bin").c_str(), 0644);
  ASSERT_EQ(mkdir(work.file("closed-temp").c_str(), 0755), 0);  // root's: not writable for 65534

  struct Case {
    const char* name;
    std::string upload;
    std::string temp;  // the TEMP value
    bool needs_unprivileged;
    int status;
  };
  const std::string staged = testing_windows_binary() ? "NUL" : "/dev/null";
  const Case cases[] = {
      {"upload file is a directory", "folder", temp.path, false, 70},
      {"upload file unreadable", "secret.bin", temp.path, true, 70},
      // A device has no size before it is read: it needs TEMP to be staged.
      {"TEMP missing", staged, temp.file("missing"), false, 76},
      {"TEMP not writable", staged, work.file("closed-temp"), true, 70},
  };
  for (const Case& c : cases) {
    if (c.needs_unprivileged && unprivileged.empty()) {
      std::cout << "[  SKIPPED ] " << c.name << ": no unprivileged run (setpriv missing, or Wine)\n";
      continue;
    }
    unlink(work.file("answer.txt").c_str());
    ScriptedServer server({.answer = {{kOk + "\r\nx"}}, .when = AnswerWhen::after_request,
                           .read_limit_ms = 2000});
    ASSERT_TRUE(server.ok()) << server.failure();
    std::vector<std::string> settings = job("127.0.0.1", server.port());
    settings.insert(settings.end(), {"Method=POST", "[Files]", "1=" + c.upload});
    temp_value = c.temp;
    RunResult result = run(ini(settings), c.needs_unprivileged ? unprivileged : std::vector<std::string>{});
    server.stop();
    EXPECT_EQ(result.status, c.status) << c.name << result.output;
    EXPECT_EQ(server.request(), "") << c.name;
    EXPECT_EQ(read_file(work.file("answer.txt")), "\r\n") << c.name;
    EXPECT_LT(result.seconds, kQuick) << c.name;
    EXPECT_TRUE(list_directory(temp.path).empty()) << c.name;
    EXPECT_TRUE(list_directory(work.file("closed-temp")).empty()) << c.name;
  }
  chmod(work.file("secret.bin").c_str(), 0644);
  EXPECT_EQ(read_file(work.file("secret.bin")), "secret");
  EXPECT_EQ(list_directory(work.file("folder")), std::vector<std::string>{});
}

// A save that cannot be written is found before anything is connected: the
// status and line the save would have given, no connection, nothing on disk
// changed. A job that keeps no answer checks nothing.
TEST_F(FaultScenario, SaveThatCannotBeWrittenSendsNothing) {
  open_directories_to_everyone();
  write_file(work.file("read-only.txt"), "kept");
  ASSERT_EQ(chown(work.file("read-only.txt").c_str(), 65534, 65534), 0);
  chmod(work.file("read-only.txt").c_str(), 0444);
  for (const char* directory : {"closed", "folder", "sealed"}) mkdir(work.file(directory).c_str(), 0755);
  write_file(work.file("sealed/old.txt"), "old");
  // As root; as another user (65534: "closed" is not its own); with "sealed"
  // bound onto itself read-only for the run alone.
  const bool unshare = !testing_windows_binary() && file_exists("/usr/bin/unshare");
  const std::vector<std::string> runners[] = {
      {}, as_unprivileged_user(),
      unshare ? std::vector<std::string>{"/usr/bin/unshare", "--mount", "/bin/sh", "-c",
                                         "mount --bind \"$0\" \"$0\" && mount -o remount,bind,ro "
                                         "\"$0\" && exec \"$@\"", work.file("sealed")}
              : std::vector<std::string>{}};
  struct Case { std::vector<std::string> keys; int runner; std::string object; std::string end; };
  const std::string no_temp = work.file("no-temp") + (testing_windows_binary() ? "\\" : "/");
  const Case cases[] = {
      {{"Save=missing/answer.txt"}, 0, "missing/answer.txt", "(76 path not found)"},
      {{"Save=read-only.txt"}, 1, "read-only.txt", "(70 access denied)"},
      {{"Save=closed/answer.txt"}, 1, "closed/answer.txt", "(70 access denied)"},
      {{"Save=folder"}, 0, "folder", "(70 access denied)"},
      {{"Save=sealed/new.txt"}, 2, "sealed/new.txt", "(70 access denied)"},
      {{"Save=sealed/old.txt"}, 2, "sealed/old.txt", "(70 access denied)"},
      {{"Show=1"}, 0, no_temp + "96862006.HTM", "(76 path not found)"},  // the default name
      {{"Save=answer.txt", "SaveHeader=missing/h.txt"}, 0, "missing/h.txt", "(76 path not found)"},
      {{"Save=", "Show=0"}, 0, "", ""},  // runs
  };
  // Each entry but the settings file, with its time of last write and, for
  // a file, its bytes.
  auto snapshot = [](const std::string& directory) {
    std::string text;
    for (const std::string& entry : list_directory(directory)) {
      struct stat info {};
      stat((directory + "/" + entry).c_str(), &info);
      if (entry == "RAVELOK.INI") continue;
      text += entry + std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec) +
              (S_ISREG(info.st_mode) ? read_file(directory + "/" + entry) : "") + "\n";
    }
    return text;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys.back());
    if (c.runner != 0 && runners[c.runner].empty()) continue;  // setpriv or unshare missing, or Wine
    ScriptedServer server({.answer = {{kOk + "\r\nx"}}, .when = AnswerWhen::after_request,
                           .accept_limit_ms = 5000});
    ASSERT_TRUE(server.ok()) << server.failure();
    std::vector<std::string> settings = job("127.0.0.1", server.port());
    settings.pop_back();  // Save
    settings.insert(settings.end(), c.keys.begin(), c.keys.end());
    temp_value = c.keys[0] == "Show=1" ? work.file("no-temp") : temp.path;
    const std::string before = snapshot(work.path) + snapshot(work.file("sealed"));
    RunResult result = run(ini(settings), runners[c.runner]);
    if (c.runner == 2 && result.output.find("mount") != std::string::npos) continue;
    server.stop();
    EXPECT_EQ(result.status, c.end.empty() ? 0 : std::stoi(c.end.substr(1))) << result.output;
    EXPECT_EQ(server.accepted(), c.end.empty() ? 1 : 0);
    EXPECT_LT(result.seconds, kQuick);
    EXPECT_EQ(snapshot(work.path) + snapshot(work.file("sealed")), before);
    EXPECT_TRUE(list_directory(temp.path).empty() && !file_exists(work.file("no-temp")));
    // The save's own line, the system's words in the middle.
    const std::string start = c.end.empty() ? "" : "ravelok: cannot write " + c.object + ": ";
    const std::string end = c.end.empty() ? "" : " " + c.end + "; nothing sent\n";
    EXPECT_EQ(result.output.rfind(start, 0), 0u) << result.output;
    EXPECT_TRUE(result.output.size() >= start.size() + end.size() &&
                result.output.substr(result.output.size() - end.size()) == end &&
                result.output.find('\n') + 1 == result.output.size())
        << result.output;
  }
}

TEST_F(FaultScenario, SettingsFileOfBinaryGarbage) {
  // The status is defined (an empty Site in an existing file: 0, nothing
  // done), and a job written after the garbage is still found and done.
  struct Case {
    const char* name;
    std::string garbage;
  };
  const Case cases[] = {
      {"random bytes", random_bytes(1, 1u << 20)},
      {"random bytes after a UTF-16 mark", "\xff\xfe" + random_bytes(2, 1u << 20)},
      {"random bytes after a UTF-8 mark", "\xef\xbb\xbf" + random_bytes(3, 1u << 20)},
      {"NUL bytes", std::string(1u << 20, '\0')},
      {"brackets and equals", random_bytes(4, 1u << 16) + "[[[===]]]\r\n=\r\n[\r\n"},
  };
  for (const Case& c : cases) {
    ScriptedServer server({.answer = {{kOk + "\r\nfine"}}, .when = AnswerWhen::after_request});
    ASSERT_TRUE(server.ok()) << server.failure();
    unlink(work.file("answer.txt").c_str());
    RunResult alone = run(c.garbage);
    EXPECT_EQ(alone.status, 0) << c.name << alone.output;
    EXPECT_LT(alone.seconds, kQuick) << c.name;
    EXPECT_EQ(server.accepted(), 0) << c.name;
    EXPECT_FALSE(file_exists(work.file("answer.txt"))) << c.name;

    if (c.garbage.rfind("\xff\xfe", 0) == 0) continue;  // a byte job cannot follow UTF-16
    RunResult then_job = run(c.garbage + "\r\n" + ini(job("127.0.0.1", server.port())));
    EXPECT_EQ(then_job.status, 0) << c.name << then_job.output;
    EXPECT_EQ(read_file(work.file("answer.txt")), "fine\r\n") << c.name;
    EXPECT_LT(then_job.seconds, kQuick) << c.name;
    EXPECT_TRUE(list_directory(temp.path).empty()) << c.name;
  }
}

TEST_F(FaultScenario, SettingsFileOf100Megabytes) {
  const std::size_t filler = 100u << 20;
  struct Case {
    const char* name;
    bool job_first;    // the job before the filler (else after it)
    std::string head;  // the line the filler continues
    std::string page;  // the path expected in the request line
  };
  const std::string page = "/" + std::string(2046, 'a');  // a value keeps 2,047 bytes
  const Case cases[] = {
      {"a comment", false, "; ", "/p"},
      {"a value", false, "[Junk]\r\nBig=", "/p"},
      {"the Page value", true, "Page=/", page},
  };
  for (const Case& c : cases) {
    ScriptedServer server({.answer = {{kOk + "\r\nfine"}}, .when = AnswerWhen::after_request});
    ASSERT_TRUE(server.ok()) << server.failure();
    unlink(work.file("answer.txt").c_str());
    std::vector<std::string> lines = job("127.0.0.1", server.port());
    std::string settings;
    if (c.job_first) {
      lines.erase(lines.begin() + 3);  // the job's own Page
      settings = ini(lines);
    }
    settings += c.head;
    settings.append(filler, 'a');
    settings += "\r\n";
    if (!c.job_first) settings += ini(lines);
    RunResult result = run(settings);
    ASSERT_TRUE(server.wait_done(5000)) << c.name;
    EXPECT_EQ(result.status, 0) << c.name << result.output;
    EXPECT_EQ(server.request().substr(0, c.page.size() + 6), "GET " + c.page + "? ") << c.name;
    EXPECT_EQ(read_file(work.file("answer.txt")), "fine\r\n") << c.name;
    EXPECT_LT(result.seconds, 5.0) << c.name;
    EXPECT_TRUE(list_directory(temp.path).empty()) << c.name;
  }
}

TEST_F(FaultScenario, SettingsFileWith40000Vars) {
  // GetPrivateProfileStringA under Wine searches the keys one by one on
  // every call: 32,767 reads of this file take minutes. The Windows suite
  // checks the 32,767 bound on a file of 40,000 short keys.
  if (testing_windows_binary()) GTEST_SKIP() << "too slow with Wine's reader";
  ScriptedServer server({.answer = {{kOk + "\r\nfine"}}, .when = AnswerWhen::after_request});
  ASSERT_TRUE(server.ok()) << server.failure();
  std::string settings = ini(job("127.0.0.1", server.port())) + "[Vars]\r\n";
  for (int i = 1; i <= 40000; ++i) {
    settings += std::to_string(i) + "=v" + std::to_string(i) + "=" + std::to_string(i) + "\r\n";
  }
  RunResult result = run(settings);
  ASSERT_TRUE(server.wait_done(5000));
  EXPECT_EQ(result.status, 0) << result.output;
  // The first 32,767 entries are sent, in order, and no more.
  const std::string request = server.request();
  const std::string line = request.substr(0, request.find("\r\n"));
  std::string expected = "GET /p?";
  for (int i = 1; i <= 32767; ++i) {
    expected += (i > 1 ? "&v" : "v") + std::to_string(i) + "=" + std::to_string(i);
  }
  expected += " HTTP/1.0";
  EXPECT_TRUE(line == expected) << "request line of " << line.size() << " bytes ends "
                                << line.substr(line.size() > 40 ? line.size() - 40 : 0);
  EXPECT_EQ(read_file(work.file("answer.txt")), "fine\r\n");
  // Takes well under 2 s; the bound leaves room for a loaded machine.
  EXPECT_LT(result.seconds, 5.0);
  RecordProperty("seconds", std::to_string(result.seconds));
}

// Every upload file stays open from counting to sending: 3,000 of them go
// out under a soft limit of 1,024 descriptors (cron's and systemd's).
TEST_F(FaultScenario, UploadOf3000Files) {
  if (testing_windows_binary() || !file_exists("/usr/bin/prlimit")) GTEST_SKIP() << "POSIX descriptor limits";
  ScriptedServer server({.answer = {{kOk + "\r\nfine"}}, .when = AnswerWhen::after_request});
  ASSERT_TRUE(server.ok()) << server.failure();
  std::vector<std::string> settings = job("127.0.0.1", server.port());
  settings.insert(settings.end(), {"Method=POST", "[Files]"});
  ASSERT_EQ(mkdir(work.file("many").c_str(), 0755), 0);
  for (int i = 1; i <= 3000; ++i) {
    write_file(work.file("many/" + std::to_string(i)), "<" + std::to_string(i) + ">");
    settings.push_back(std::to_string(i) + "=many/" + std::to_string(i));
  }
  write_file(work.file("RAVELOK.INI"), ini(settings));
  RunOptions options{{work.path}, {"TEMP=" + temp.path}, work.path, 20000};
  options.wrapper = {"/usr/bin/prlimit", "--nofile=1024:", "--"};
  RunResult result = run_ravelok(options);
  ASSERT_TRUE(server.wait_done(5000));
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(read_file(work.file("answer.txt")), "fine\r\n");
  const std::string request = server.request();
  EXPECT_NE(request.find("filename=\"many/3000\"\r\nContent-Type: application/octet-stream\r\n\r\n<3000>\r\n"),
            std::string::npos);
}

TEST_F(FaultScenario, CommandLineOf20Arguments) {
  // Every other argument names a directory with a job of its own; only the
  // first one's job is done.
  ScriptedServer server({.answer = {{kOk + "\r\nfirst"}}, .when = AnswerWhen::after_request,
                         .connections = 2, .accept_limit_ms = 3000});
  ASSERT_TRUE(server.ok()) << server.failure();
  write_file(work.file("RAVELOK.INI"), ini(job("127.0.0.1", server.port())));
  TempDir others;
  std::vector<std::string> arguments = {work.path};
  for (int i = 2; i <= 20; ++i) {
    std::string directory = others.file("job" + std::to_string(i));
    ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
    std::vector<std::string> other = job("127.0.0.1", server.port());
    other.back() = "Save=" + directory + "/other.txt";
    write_file(directory + "/RAVELOK.INI", ini(other));
    arguments.push_back(directory);
  }
  RunResult result = run_ravelok({arguments, {"TEMP=" + temp.path}, work.path, 20000});
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(read_file(work.file("answer.txt")), "first\r\n");
  EXPECT_LT(result.seconds, kQuick);
  server.stop();
  EXPECT_EQ(server.accepted(), 1);
  for (int i = 2; i <= 20; ++i) {
    EXPECT_FALSE(file_exists(others.file("job" + std::to_string(i) + "/other.txt"))) << i;
  }
  EXPECT_TRUE(list_directory(temp.path).empty());
}

}  // namespace
