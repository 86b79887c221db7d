// Whole runs that upload files: the body on the wire against its
// Content-Length, files that change or cannot be read, servers that stop
// taking the upload, and what is left on disk.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <thread>

#include "platform/platform.h"
#include "services/random.h"
#include "support/job_fixture.h"
#include "support/scripted_server.h"

class UploadRun : public WholeRun {};

// The upload body on the wire is its parts, each file's bytes exactly, and
// Content-Length counts it: whether a file goes out from where it lies (TEMP
// then plays no part) or, having no size before it is read (a FIFO), is
// staged first.
TEST_F(UploadRun, BodyMatchesItsContentLength) {
  std::string big(100u << 20, '\0');
  for (std::size_t i = 0; i < big.size(); i += 4096) big[i] = static_cast<char>(i / 4096);
  write_file(work.file("big.bin"), big);
  write_file(work.file("a.bin"), std::string("\0\r\n--x", 6));
  ASSERT_EQ(mkfifo(work.file("fifo").c_str(), 0600), 0);
  // The delimiter of every first boundary a run may draw in the next
  // minute, after 3 MiB: the send finds it late, ends that connection short
  // of its Content-Length and sends the request again under a new one.
  std::string clash(3u << 20, 'c');
  for (std::uint32_t ms = platform_local_milliseconds(), end = ms + 60000; ms < end; ++ms) {
    random_reseed(ms % 86400000);
    clash += "--" + std::to_string(random_integer(1, 2147483647)) + "\n";
  }
  write_file(work.file("clash.bin"), clash);
  struct Case {
    const char* name;
    std::string file;
    std::string content;
    std::string temp;  // the TEMP value
    int connections = 1;
  };
  const Case cases[] = {
      {"a small file", "a.bin", std::string("\0\r\n--x", 6), temp.path},
      {"100 MB, TEMP missing", "big.bin", big, temp.file("missing")},
      {"100 MB, TEMP a file", "big.bin", big, work.file("a.bin")},
      {"a FIFO, staged", "fifo", std::string(300000, 'f') + "--end", temp.path},
      {"the delimiter late in the file", "clash.bin", clash, temp.path, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.file == "fifo" && testing_windows_binary()) continue;
    ScriptedServer server({.answer = {{"HTTP/1.0 200 OK\r\n\r\nok"}},
                           .when = AnswerWhen::after_request,
                           .connections = c.connections});
    ASSERT_TRUE(server.ok()) << server.failure();
    std::vector<std::string> settings = job(server.port(), "/up");
    settings.insert(settings.end(), {"Method=post", "[Vars]", "1=who=me", "[Files]", "1=" + c.file});
    // The FIFO's writer is waiting in its open before the run opens it.
    std::thread writer;
    if (c.file == "fifo") {
      writer = std::thread([&] { write_file(work.file("fifo"), c.content); });
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    temp_value = c.temp;
    RunResult result = run(settings, {.timeout_ms = 60000});
    if (writer.joinable()) writer.join();
    ASSERT_TRUE(server.wait_done(5000));
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(read_file(work.file("answer.txt")), "ok\r\n");
    const std::string request = server.request(c.connections - 1);
    const auto boundary_in = [](const std::string& bytes) {
      const std::string type = "Content-Type: multipart/form-data; boundary=";
      const std::size_t at = bytes.find(type);
      return at == std::string::npos ? std::string()
                                     : bytes.substr(at + type.size(), bytes.find("\r\n", at) - at - type.size());
    };
    const std::string boundary = boundary_in(request);
    ASSERT_FALSE(boundary.empty());
    if (c.connections == 2) {
      // The first try sent the file's pieces of 512 KiB up to the one that
      // ends its delimiter, and nothing after them.
      const std::string cut = server.request(0);
      const std::string first = boundary_in(cut);
      ASSERT_FALSE(first.empty());
      EXPECT_NE(first, boundary);
      const std::size_t last = clash.find("--" + first + "\n") + first.size() + 1;
      const std::size_t file_at = cut.find("application/octet-stream\r\n\r\n") + 28;
      EXPECT_TRUE(cut.substr(file_at) == clash.substr(0, last / (512u << 10) * (512u << 10)));
    }
    std::size_t body_at = request.find("\r\n\r\n") + 4;
    std::string body = request.substr(body_at);
    EXPECT_NE(request.find("\r\nContent-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos);
    EXPECT_TRUE(body == "--" + boundary + "\r\nContent-Disposition: form-data; name=\"who\"\r\n\r\nme\r\n--" +
                            boundary + "\r\nContent-Disposition: form-data; name=\"FILE1\"; filename=\"" +
                            c.file + "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + c.content +
                            "\r\n--" + boundary + "--\r\n")
        << body.size() << " bytes";
    EXPECT_EQ(request.substr(0, 20), "POST /up HTTP/1.0\r\nU");
    EXPECT_TRUE(list_directory(temp.path).empty());
  }
}

// An upload file that changes while its bytes go out (the server reads
// nothing for a while, so that sending waits): cut shorter, the request
// ends at once, short of its Content-Length, and the connection is closed;
// grown, or rewritten in place, every counted byte goes and the answer is
// saved, but the run says the file changed.
TEST_F(UploadRun, FileChangedWhileSent) {
  const std::size_t size = 32u << 20;
  struct Case {
    const char* name;
    void (*change)(const std::string& path, std::size_t size);
    bool whole;          // every counted byte reached the server
    std::string words;   // in the failure line
    std::string saved;
  };
  const Case cases[] = {
      {"cut shorter", [](const std::string& path, std::size_t) { truncate(path.c_str(), 1u << 20); }, false,
       ": it ended early: ", "\r\n"},
      {"grown", [](const std::string& path, std::size_t) { std::ofstream(path, std::ios::app) << "more"; }, true,
       ": its size or time of last write changed; all of its 33,554,432 counted bytes went out", "ok\r\n"},
      {"rewritten in place",
       [](const std::string& path, std::size_t whole) {
         std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
         file.seekp(static_cast<std::streamoff>(whole - 4));
         file << "vvvv";
       },
       true, ": its size or time of last write changed", "ok\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(work.file("big.bin"), std::string(size, 'u'));
    unlink(work.file("answer.txt").c_str());
    ScriptedServer server({.answer = {{"HTTP/1.0 200 OK\r\n\r\nok"}}, .when = AnswerWhen::after_request,
                           .read_pause_ms = 1500});
    ASSERT_TRUE(server.ok()) << server.failure();
    std::vector<std::string> settings = job(server.port(), "/up");
    settings.insert(settings.end(), {"Method=POST", "[Files]", "1=big.bin"});
    // The change comes once the run has counted the file and connected.
    std::thread changer([&] {
      for (int waited = 0; server.accepted() == 0 && waited < 20000; waited += 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      c.change(work.file("big.bin"), size);
    });
    RunResult result = run(settings);
    changer.join();
    ASSERT_TRUE(server.wait_done(5000));
    EXPECT_EQ(result.status, 62) << result.output;
    EXPECT_NE(result.output.find("upload file 1 \"big.bin\" changed while it was sent" + c.words),
              std::string::npos) << result.output;
    EXPECT_EQ(read_file(work.file("answer.txt")), c.saved);
    const std::string request = server.request();
    const std::size_t body_at = request.find("\r\n\r\n") + 4;
    const std::string label = "\r\nContent-Length: ";
    const std::size_t at = request.find(label) + label.size();
    const std::uint64_t announced = std::stoull(request.substr(at, request.find("\r\n", at) - at));
    EXPECT_EQ(request.size() - body_at == announced, c.whole) << request.size() - body_at << " of " << announced;
    EXPECT_TRUE(list_directory(temp.path).empty());
  }
}

// Uploads that cannot be prepared: nothing is sent, the status is the first
// failure, no body file is left, and the files named are left as they were.
TEST_F(UploadRun, CannotBePrepared) {
  const std::vector<std::string> unprivileged = as_unprivileged_user();
  chmod(work.path.c_str(), 0777);  // the unprivileged user's way in
  chmod(temp.path.c_str(), 0777);
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
      {"upload file missing", "absent.bin", temp.path, false, 53},
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
    ScriptedServer server({.answer = {{"HTTP/1.0 200 OK\r\n\r\nx"}}, .when = AnswerWhen::after_request,
                           .read_limit_ms = 2000});
    ASSERT_TRUE(server.ok()) << server.failure();
    std::vector<std::string> settings = job(server.port());
    settings.insert(settings.end(), {"Method=POST", "[Files]", "1=" + c.upload});
    temp_value = c.temp;
    RunResult result = run(settings, {.wrapper = c.needs_unprivileged ? unprivileged : std::vector<std::string>{}});
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
  EXPECT_FALSE(file_exists(work.file("absent.bin")));  // never created
}

// The upload's staging copy never shows in the temporary directory, and a
// run ended by a signal leaves nothing of it behind.
TEST_F(UploadRun, EndedRunLeavesNoCopy) {
  if (testing_windows_binary()) GTEST_SKIP() << "POSIX signals";
  write_file(work.file("big.bin"), std::string(30u << 20, 'u'));
  for (int signal_number : {SIGTERM, SIGKILL}) {
    DeafListener deaf;
    std::vector<std::string> settings = job(deaf.port);
    settings.insert(settings.end(), {"Method=POST", "[Files]", "1=" + work.file("big.bin")});
    write_file(work.file("RAVELOK.INI"), ini(settings));
    // The test's own environment, less any proxy the machine names.
    std::vector<std::string> command = environment();
    command.insert(command.begin(), {"/usr/bin/env", "-u", "http_proxy", "-u", "https_proxy", "-u", "HTTPS_PROXY"});
    command.insert(command.end(), {RAVELOK_BINARY, work.path});
    int pid = start_background(command);
    // Sending stalls within the first second; the copy is made by then.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_TRUE(list_directory(temp.path).empty());
    kill(pid, signal_number);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << status;
    EXPECT_TRUE(list_directory(temp.path).empty()) << signal_number;
  }
}

// The server closes at once, or reads the request's first bytes and resets
// the connection; the upload is far more than the socket buffers on both
// ends can hold, so the sends must meet the close or the reset.
TEST_F(UploadRun, ServerEndingTheConnectionFailsTheSend) {
  write_file(work.file("big.bin"), random_bytes(7, 16u << 20));
  struct Case { ServerScript script; double seconds; };
  const Case cases[] = {
      {{.close_at_once = true}, 10.0},
      // Reading still runs one pass after the failed send. When the reset
      // reaches it (now and then), that pass makes its four pauses and the
      // run takes about 4.2 s; otherwise it ends at once. Never more.
      {{.answer = {}, .when = AnswerWhen::after_bytes, .after_bytes = 20, .end = EndAction::reset}, 6.5},
  };
  for (const Case& c : cases) {
    ScriptedServer server(c.script);
    ASSERT_TRUE(server.ok()) << server.failure();
    std::vector<std::string> settings = job(server.port());
    settings.insert(settings.end(), {"Method=POST", "[Vars]", "1=a=b", "[Files]", "1=big.bin"});
    RunResult result = run(settings);
    // The send's failure is the outcome; no signal ends the process.
    EXPECT_EQ(result.status, 57) << c.seconds << result.output;
    EXPECT_EQ(read_file(work.file("answer.txt")), "\r\n");
    EXPECT_LT(result.seconds, c.seconds);
    EXPECT_TRUE(list_directory(temp.path).empty());
  }
}

// Every upload file stays open from counting to sending: 3,000 of them go
// out under a soft limit of 1,024 descriptors (cron's and systemd's).
TEST_F(UploadRun, Of3000Files) {
  if (testing_windows_binary() || !file_exists("/usr/bin/prlimit")) GTEST_SKIP() << "POSIX descriptor limits";
  ScriptedServer server({.answer = {{"HTTP/1.0 200 OK\r\n\r\nfine"}}, .when = AnswerWhen::after_request});
  ASSERT_TRUE(server.ok()) << server.failure();
  std::vector<std::string> settings = job(server.port());
  settings.insert(settings.end(), {"Method=POST", "[Files]"});
  ASSERT_EQ(mkdir(work.file("many").c_str(), 0755), 0);
  for (int i = 1; i <= 3000; ++i) {
    write_file(work.file("many/" + std::to_string(i)), "<" + std::to_string(i) + ">");
    settings.push_back(std::to_string(i) + "=many/" + std::to_string(i));
  }
  RunResult result = run(settings, {.wrapper = {"/usr/bin/prlimit", "--nofile=1024:", "--"}});
  ASSERT_TRUE(server.wait_done(5000));
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(read_file(work.file("answer.txt")), "fine\r\n");
  const std::string request = server.request();
  EXPECT_NE(request.find("filename=\"many/3000\"\r\nContent-Type: application/octet-stream\r\n\r\n<3000>\r\n"),
            std::string::npos);
}
