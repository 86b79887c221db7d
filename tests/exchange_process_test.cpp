// Whole runs of the binary against the scripted loopback server: the bytes on
// the wire, the saved file, the exit status and what is left on disk.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <ctime>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>

#include "support/fixtures.h"
#include "support/scripted_server.h"

namespace {

const std::string kGetHead =
    "User-Agent: Ravelok/2.00 [ca] [DOS]\r\n";

// A loopback listener that never accepts: the system completes connections
// to it, takes a few bytes into a small buffer, and then no more.
struct DeafListener {
  DeafListener() {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    struct sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 && listen(fd, 4) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
      port = ntohs(address.sin_port);
    }
  }
  ~DeafListener() { close(fd); }
  int fd = -1;
  std::uint16_t port = 0;
};

class ExchangeRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir((work.file("bin")).c_str(), 0755), 0);
    // A stand-in viewer that records what it was asked to open.
    write_file(work.file("bin/xdg-open"),
               "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + (work.file("viewer.log")) + "'\n");
    chmod((work.file("bin/xdg-open")).c_str(), 0755);
  }

  // Writes the settings and runs ravelok in the work directory.
  RunResult run(const std::vector<std::string>& settings, int timeout_ms = 30000) {
    write_file(work.file("RAVELOK.INI"), ini(settings));
    return run_ravelok({{work.path},
                        {"TEMP=" + temp.path, "PATH=" + (work.file("bin")) + ":/usr/bin:/bin"},
                        work.path,
                        timeout_ms});
  }

  std::vector<std::string> job(std::uint16_t port, const std::string& page = "/p",
                               const std::string& save = "answer.txt") {
    return {"[URL]", "Site=127.0.0.1", "Port=" + std::to_string(port), "Page=" + page,
            "Save=" + save};
  }

  // What the stand-in viewer was asked to open (waits a little for it).
  std::string viewer_log(bool expect_call) {
    // The viewer runs on its own after ravelok has ended: wait for its line.
    for (int i = 0; expect_call && i < 300; ++i) {
      std::string log = read_file(work.file("viewer.log"));
      if (!log.empty() && log.back() == '\n') break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!expect_call) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return read_file(work.file("viewer.log"));
  }

  // The viewer's log line for a file handed to it. The Windows binary opens
  // files through the desktop's association, which Wine's prefix (set up by
  // scripts/test-windows.sh) sends to winebrowser: it hands xdg-open a
  // file URL of the full path.
  std::string opened(const std::string& file) {
    if (!testing_windows_binary()) return file + "\n";
    return "file://" + (file[0] == '/' ? file : work.file(file)) + "\n";
  }

  TempDir work;
  TempDir temp;
};

TEST_F(ExchangeRun, GetRequestBytesAndSavedBody) {
  ScriptedServer server({.answer = {{"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello"}},
                         .when = AnswerWhen::after_request});
  ASSERT_TRUE(server.ok()) << server.failure();
  std::vector<std::string> settings = job(server.port(), "/find");
  settings.insert(settings.end(), {"[Vars]", "1=q=a b", "2=flag", "3=c=x&y"});
  RunResult result = run(settings);
  ASSERT_TRUE(server.wait_done(5000));
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(server.request(),
            "GET /find?q=a+b&flag&c=x%26y HTTP/1.0\r\n" + kGetHead + "Host: 127.0.0.1:" +
                std::to_string(server.port()) + "\r\nAccept: */*\r\n\r\n");
  EXPECT_EQ(read_file(work.file("answer.txt")), "hello\r\n");
  EXPECT_EQ(result.output, "");  // nothing printed on redirected streams
}

TEST_F(ExchangeRun, AnswersCutIntoPieces) {
  struct Case {
    const char* name;
    std::vector<ServerChunk> answer;
    std::string saved;
  };
  const std::string head = "HTTP/1.0 200 OK\r\nX: y";
  const Case cases[] = {
      {"CR LF | CR LF", {{head + "\r\n"}, {"\r\nbody", 150}}, "body\r\n"},
      {"CR LF CR | LF", {{head + "\r\n\r"}, {"\nbody", 150}}, "body\r\n"},
      {"CR | LF CR LF", {{head + "\r"}, {"\n\r\nbo", 150}, {"dy", 150}}, "body\r\n"},
      {"one byte each", {{"H"}, {"\r", 20}, {"\n", 20}, {"\r", 20}, {"\n", 20}, {"b", 20}, {"c", 20}}, "bc\r\n"},
      {"404 page", {{"HTTP/1.0 404 Not Found\r\n\r\n<html>gone</html>"}}, "<html>gone</html>\r\n"},
      {"header only", {{"HTTP/1.0 204 No Content\r\nContent-Length: 0\r\n\r\n"}}, "\r\n"},
      {"no blank line", {{"just text\r\nno header"}}, "just text\r\nno header\r\n"},
      {"NUL and high bytes", {{std::string("HTTP/1.0 200 OK\r\n\r\n\0\xff\r\n\x01", 24)}},
       std::string("\0\xff\r\n\x01\r\n", 7)},
      {"body after a pause", {{"HTTP/1.0 200 OK\r\nContent-Length: 6\r\n\r\nabc"}, {"def", 1500}},
       "abcdef\r\n"},
  };
  for (const Case& c : cases) {
    ScriptedServer server({.answer = c.answer, .when = AnswerWhen::after_request});
    ASSERT_TRUE(server.ok()) << server.failure();
    RunResult result = run(job(server.port()));
    EXPECT_EQ(result.status, 0) << c.name << result.output;
    EXPECT_EQ(read_file(work.file("answer.txt")), c.saved) << c.name;
    // A normal answer ends without the pauses between receive attempts.
    EXPECT_LT(result.seconds, 3.0) << c.name;
  }
}

TEST_F(ExchangeRun, ExitStatusTable) {
  struct Case {
    const char* name;
    ServerScript script;
    std::vector<std::string> extra;
    int status;
    std::string saved;
  };
  std::vector<Case> cases = {
      {"closes without answering", {.answer = {}, .when = AnswerWhen::after_request}, {}, 62, "\r\n"},
      {"closes before the announced length",
       {.answer = {{"HTTP/1.0 200 OK\r\nContent-length: 10\r\n\r\nshort"}}, .when = AnswerWhen::after_request},
       {}, 62, "short\r\n"},
      {"length reached",
       {.answer = {{"HTTP/1.0 200 OK\r\ncontent-LENGTH:   3\r\n\r\nabc"}}, .when = AnswerWhen::after_request},
       {}, 0, "abc\r\n"},
      // Wine hands a reset on as an orderly close, which is still short of
      // the announced length.
      {"resets in the middle of the body",
       {.answer = {{"HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\npart"}, {"ial", 100}},
        .when = AnswerWhen::after_request, .end = EndAction::reset},
       {}, testing_windows_binary() ? 62 : 57, "partial\r\n"},
      {"save directory missing",
       {.answer = {{"HTTP/1.0 200 OK\r\n\r\nx"}}, .when = AnswerWhen::after_request},
       {"missing/dir/answer.txt"}, 76, ""},
      {"disk full",
       {.answer = {{"HTTP/1.0 200 OK\r\n\r\nx"}}, .when = AnswerWhen::after_request},
       {"/dev/full"}, 61, ""},
  };
  for (Case& c : cases) {
    unlink((work.file("answer.txt")).c_str());
    ScriptedServer server(c.script);
    ASSERT_TRUE(server.ok()) << server.failure();
    std::vector<std::string> settings =
        job(server.port(), "/p", c.extra.empty() ? "answer.txt" : c.extra[0]);
    RunResult result = run(settings);
    EXPECT_EQ(result.status, c.status) << c.name << result.output;
    if (!c.saved.empty()) {
      EXPECT_EQ(read_file(work.file("answer.txt")), c.saved) << c.name;
    }
    EXPECT_TRUE(list_directory(temp.path).empty()) << c.name;
    EXPECT_LT(result.seconds, 8.0) << c.name;
  }
}

// Servers that end an answer in their own ways, and servers that stop
// reading: the bytes after the body, the status, the saved bytes, the time.
TEST_F(ExchangeRun, ServersThatHoldResetOrStopReading) {
  std::string mega(1u << 20, '\0');
  for (std::size_t i = 0; i < mega.size(); ++i) mega[i] = static_cast<char>(i * 7 % 251);
  const std::string length = "HTTP/1.0 200 OK\r\nContent-Length: ";
  std::vector<std::string> big_form = {"[Vars]"};
  for (int i = 1; i <= 3000; ++i) big_form.push_back(std::to_string(i) + "=v=" + std::string(2000, '%'));
  write_file(work.file("big.bin"), std::string(20u << 20, 'u'));
  struct Case {
    const char* name;
    ServerScript script;  // no answer at all: a listener that never reads
    std::vector<std::string> extra;
    std::string body_sent;  // what the server must have read after the header
    int status;
    std::string saved;
    double seconds;
  };
  std::vector<Case> cases = {
      {"form POST, closed once exactly Content-Length bytes are read",
       {.answer = {{length + std::to_string(mega.size()) + "\r\n\r\n" + mega}},
        .when = AnswerWhen::after_request, .end = EndAction::close_unread},
       {"Method=POST", "[Vars]", "1=a=b c"}, "a=b+c", 0, mega + "\r\n", 2.5},
      {"form POST without variables",
       {.answer = {{length + "2\r\n\r\nok"}}, .when = AnswerWhen::after_request,
        .end = EndAction::close_unread},
       {"Method=POST"}, "", 0, "ok\r\n", 2.5},
      {"reset right after a complete answer",
       {.answer = {{length + "2\r\n\r\nok"}, {"", 300}}, .when = AnswerWhen::after_request,
        .end = EndAction::reset},
       {}, "", 0, "ok\r\n", 2.5},
      {"length reached, connection held open",
       {.answer = {{length + "5\r\n\r\nhello"}}, .when = AnswerWhen::after_request,
        .end = EndAction::hold_open},
       {}, "", 0, "hello\r\n", 2.5},
      {"length reached, extra bytes in the same piece kept",
       {.answer = {{length + "3\r\n\r\nabcdef"}}, .when = AnswerWhen::after_request,
        .end = EndAction::hold_open},
       {}, "", 0, "abcdef\r\n", 2.5},
      // One 3 s wait for room, then one 3 s wait for an answer; the bound
      // leaves room for building 18 MB of form in a sanitized build.
      {"20 MB form POST, server never reads", {}, big_form, "", 24, "\r\n", 15.0},
      {"20 MB upload, server never reads", {}, {"Method=POST", "[Files]", "1=big.bin"}, "", 24, "\r\n", 15.0},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeafListener deaf;
    std::optional<ScriptedServer> server;
    std::uint16_t port = deaf.port;
    if (!c.script.answer.empty()) {
      server.emplace(c.script);
      ASSERT_TRUE(server->ok()) << server->failure();
      port = server->port();
    }
    std::vector<std::string> settings = job(port);
    settings.insert(settings.end(), c.extra.begin(), c.extra.end());
    RunResult result = run(settings);
    EXPECT_EQ(result.status, c.status) << result.output;
    EXPECT_TRUE(read_file(work.file("answer.txt")) == c.saved);
    EXPECT_LT(result.seconds, c.seconds);
    if (server) {
      server->stop();
      const std::string request = server->request();
      EXPECT_EQ(request.substr(request.find("\r\n\r\n") + 4), c.body_sent);
    }
    EXPECT_TRUE(list_directory(temp.path).empty());
  }
}

// The upload's staging copy never shows in the temporary directory, and a
// run ended by a signal leaves nothing of it behind.
TEST_F(ExchangeRun, EndedRunLeavesNoUploadCopy) {
  if (testing_windows_binary()) GTEST_SKIP() << "POSIX signals";
  write_file(work.file("big.bin"), std::string(30u << 20, 'u'));
  for (int signal_number : {SIGTERM, SIGKILL}) {
    DeafListener deaf;
    std::vector<std::string> settings = job(deaf.port);
    settings.insert(settings.end(), {"Method=POST", "[Files]", "1=" + work.file("big.bin")});
    write_file(work.file("RAVELOK.INI"), ini(settings));
    // The test's own environment, less any proxy the machine names.
    int pid = start_background({"/usr/bin/env", "-u", "http_proxy", "-u", "https_proxy", "-u", "HTTPS_PROXY",
                                "TEMP=" + temp.path, RAVELOK_BINARY, work.path});
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

// A failed run says why in one line on standard error, and nothing else; a
// successful one says nothing.
TEST_F(ExchangeRun, FailureLineNamesWhatFailed) {
  ScriptedServer cut({.answer = {{"HTTP/1.0 200 OK\r\nContent-Length: 2048\r\n\r\n" +
                                  std::string(1024, 'c')}},
                      .when = AnswerWhen::after_request});
  ScriptedServer silent({.answer = {}, .when = AnswerWhen::never});
  ScriptedServer stalled({.answer = {{"HTTP/1.0 200 OK\r\nContent-Length: 2048\r\n\r\n" +
                                      std::string(1234, 's')}},
                          .when = AnswerWhen::after_request, .end = EndAction::hold_open});
  ScriptedServer fine({.answer = {{"HTTP/1.0 200 OK\r\n\r\nok"}}, .when = AnswerWhen::after_request,
                       .connections = 3});
  ASSERT_TRUE(cut.ok() && silent.ok() && stalled.ok() && fine.ok());
  const std::string refused = std::to_string(free_loopback_port());
  const std::string at = "127.0.0.1 port ";
  struct Case {
    std::vector<std::string> settings;  // after Site, Page and Save
    int status;
    std::vector<std::string> fragments;  // found in this order; the last ends the line
  };
  const std::string port_of_fine = std::to_string(fine.port());
  const Case cases[] = {
      {{"Port=" + refused}, 57, {"cannot connect to " + at + refused + ": ", "(57 network failure)"}},
      {{"Port=" + port_of_fine, "Method=POST", "[Files]", "1=absent.bin"}, 53,
       {"cannot read upload file 1 \"absent.bin\": ", "(53 file not found); nothing sent"}},
      {{"Port=" + std::to_string(cut.port())}, 62,
       {"answer from " + at + std::to_string(cut.port()) +
            " cut short: 1,024 of 2,048 body bytes before the server closed (62 end of data)"}},
      {{"Port=" + std::to_string(silent.port())}, 24,
       {"no answer from " + at + std::to_string(silent.port()) + " within 3 s (24 time-out)"}},
      {{"Port=" + std::to_string(stalled.port())}, 24,
       {"answer from " + at + std::to_string(stalled.port()) +
        " stopped: 1,234 of 2,048 body bytes, then nothing more within 3 s (24 time-out)"}},
      {{"Port=" + port_of_fine, "Save=missing/dir/answer.txt"}, 76,
       {"cannot write missing/dir/answer.txt: ", "(76 path not found); nothing sent"}},
      // The unresolved host: a private resolver setting (below) fails the
      // lookup without asking any other host.
      {{"Site=HTTP://example.org/upload", "Port=" + port_of_fine}, 57,
       {"cannot resolve host \"example.org/upload\": ",
        "(57 network failure); Site takes the host name alone, the path belongs in Page"}},
      {{"Site=localhost:8080"}, 57, {"\"localhost:8080\": ", "alone, the port belongs in Port"}},
      {{"Site=https://localhost:99999/x"}, 57, {"alone, the port belongs in Port and the path in Page"}},
      // The credentials never show; an IPv6 address is no host and port.
      {{"Site=user:secret@localhost"}, 57, {"host \"...@localhost\": ", "password does not belong in it"}},
      {{"Site=fe80::1%nosuch0"}, 57, {"host \"fe80::1%nosuch0\": ", "(57 network failure)"}},
      {{"Site=::1", "Port=" + refused}, 57,
       {"cannot connect to ::1 port " + refused + ": ", "(57 network failure)"}},
      {{"Port=" + port_of_fine}, 0, {}},
  };
  write_file(work.file("resolv.conf"), "nameserver 127.0.0.1\noptions attempts:1 timeout:1\n");
  write_file(work.file("hosts"), "127.0.0.1 localhost\n");
  for (const Case& c : cases) {
    // The first of two same keys counts: a case's own Site or Save wins.
    std::vector<std::string> settings = {"[URL]"};
    settings.insert(settings.end(), c.settings.begin(), c.settings.end());
    std::size_t files = std::find(settings.begin(), settings.end(), "[Files]") - settings.begin();
    settings.insert(settings.begin() + static_cast<std::ptrdiff_t>(files),
                    {"Site=127.0.0.1", "Page=/p", "Save=answer.txt"});
    RunResult result;
    if (c.settings[0].rfind("Site=", 0) == 0) {
      if (testing_windows_binary() || !file_exists("/usr/bin/unshare")) continue;
      write_file(work.file("RAVELOK.INI"), ini(settings));
      result = run_ravelok(
          {{work.path}, {"TEMP=" + temp.path}, work.path, 20000,
           {"/usr/bin/unshare", "--mount", "/bin/sh", "-c",
            "mount --bind \"$0\" /etc/resolv.conf && mount --bind \"$1\" /etc/hosts && "
            "shift && exec \"$@\"",
            work.file("resolv.conf"), work.file("hosts")}});
      if (result.output.find("mount") != std::string::npos) continue;
    } else {
      result = run(settings);
    }
    EXPECT_EQ(result.status, c.status) << result.output;
    EXPECT_EQ(result.output.find("secret"), std::string::npos);
    std::string expected_start = c.fragments.empty() ? "" : "ravelok: ";
    EXPECT_EQ(result.output.substr(0, expected_start.size()), expected_start) << result.output;
    std::size_t from = 0;
    for (const std::string& fragment : c.fragments) {
      std::size_t found = result.output.find(fragment, from);
      EXPECT_NE(found, std::string::npos) << fragment << " in " << result.output;
      from = found == std::string::npos ? from : found + fragment.size();
    }
    // One line and nothing else; nothing at all after a success.
    EXPECT_EQ(result.output.size(), c.fragments.empty() ? 0u : from + 1) << result.output;
  }
  silent.stop();
  stalled.stop();
}

// The answer's status against FailOn, the header kept, the waits' and the
// run's bounds, and retries: the exit status, how many requests the server
// took, the saved body and header, the failure lines and the time taken.
TEST_F(ExchangeRun, AnswerStatusTimesAndRetries) {
  const std::string ok = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";
  const std::string busy = "HTTP/1.0 503 Service Unavailable\r\nContent-Length: 4\r\n\r\nbusy";
  const std::string broken = "HTTP/1.0 500 Internal Server Error\r\nContent-Length: 4\r\n\r\noops";
  std::vector<ServerChunk> drip = {{"HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\n"}};
  // Bytes at 0.3 s, 1.3 s, 2.3 s, ...: two of them before a bound of 2 s.
  for (int i = 0; i < 9; ++i) drip.push_back({"d", i == 0 ? 300 : 1000});
  write_file(work.file("up.bin"), std::string("\0\r\n--x", 6) + std::string(3000, 'u'));
  const std::vector<std::string> post = {"Method=POST", "[Vars]", "1=a=b"};
  const std::vector<std::string> upload = {"Method=POST", "[Files]", "1=up.bin"};
  const std::string refused = "Port=" + std::to_string(free_loopback_port());
  struct Case {
    const char* name;
    std::vector<ServerChunk> answer;       // the first client's; none: no server
    std::vector<std::vector<ServerChunk>> later;  // the next clients'
    std::vector<std::string> settings;     // [URL] keys, then any sections
    int status;
    int requests;                          // clients the server took
    std::string saved;
    std::vector<std::string> fragments;    // in this order
    double least, most;                    // seconds
    std::string header = "";               // SaveHeader's bytes, when given
    EndAction end = EndAction::close;
  };
  const Case cases[] = {
      {"200 under FailOn, header kept", {{ok}}, {}, {"FailOn=400", "SaveHeader=head.txt"}, 0, 1, "ok\r\n", {},
       0, 3, "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n"},
      {"301 under FailOn", {{"HTTP/1.0 301 Moved\r\nLocation: /x\r\n\r\nmoved"}}, {}, {"FailOn=400"}, 0, 1,
       "moved\r\n", {}, 0, 3},
      {"404 at FailOn: body kept", {{"HTTP/1.1 404 Not Found\r\n\r\nnone"}}, {}, {"FailOn=400"}, 22, 1,
       "none\r\n", {"ravelok: the server answered 404 Not Found (22 error answer)\n"}, 0, 3},
      {"404 without FailOn", {{"HTTP/1.1 404 Not Found\r\n\r\nnone"}}, {}, {}, 0, 1, "none\r\n", {}, 0, 3},
      {"no status line", {{"hello\r\n\r\nbody"}}, {}, {"FailOn=400", "SaveHeader=head.txt"}, 22, 1,
       "body\r\n", {"the server answered without a status line (22 error answer)"}, 0, 3, "hello\r\n"},
      {"503, then 200: retried", {{busy}}, {{{ok}}}, {"FailOn=400", "Retries=2"}, 0, 2, "ok\r\n",
       {"answered 503 Service Unavailable (22 error answer); try 1 of 3, next in 1 s\n"}, 1, 4},
      {"503 to a POST: retried", {{busy}}, {{{ok}}}, {"FailOn=400", "Retries=1", post[0], post[1], post[2]}, 0,
       2, "ok\r\n", {"; try 1 of 2, next in 1 s\n"}, 1, 4},
      {"500 to a GET: retried", {{broken}}, {{{ok}}}, {"FailOn=500", "Retries=1"}, 0, 2, "ok\r\n",
       {"500 Internal Server Error (22 error answer); try 1 of 2"}, 1, 4},
      {"500 to a POST: not retried", {{broken}}, {{{ok}}}, {"FailOn=500", "Retries=1", post[0], post[1], post[2]},
       22, 1, "oops\r\n", {"500 Internal Server Error (22 error answer)\n"}, 0, 3},
      {"reset after a GET: retried", {}, {{{ok}}}, {"Retries=1"}, 0, 2, "ok\r\n", {"; try 1 of 2, next in 1 s\n"},
       1, 4, "", EndAction::reset},
      {"reset after a POST: not retried", {}, {{{ok}}}, {"Retries=1", post[0], post[1], post[2]},
       testing_windows_binary() ? 62 : 57, 1, "\r\n",
       {testing_windows_binary() ? "without answering" : "failed while reading the answer"}, 0, 3, "",
       EndAction::reset},
      {"upload sent again whole", {{busy}}, {{{ok}}}, {"FailOn=400", "Retries=1", upload[0], upload[1], upload[2]},
       0, 2, "ok\r\n", {"try 1 of 2"}, 1, 4},
      {"Retry-After in seconds", {{busy.substr(0, 34) + "Retry-After: 2\r\n" + busy.substr(34)}}, {{{ok}}},
       {"FailOn=400", "Retries=1"}, 0, 2, "ok\r\n", {"next in 2 s\n"}, 2, 5},
      {"Retry-After as a date", {{busy.substr(0, 34) + "Retry-After: DATE\r\n" + busy.substr(34)}},
       {{{ok}}}, {"FailOn=400", "Retries=1"}, 0, 2, "ok\r\n", {"next in "}, 2, 6},
      {"refused, retried, refused", {}, {}, {refused, "Retries=1"}, 57, 0, "\r\n",
       {"; try 1 of 2, next in 1 s\n", "ravelok: cannot connect", "; try 2 of 2\n"}, 1, 4},
      {"no retry past MaxTime", {}, {}, {refused, "Retries=5", "RetryWait=2", "MaxTime=3"}, 57, 0, "\r\n",
       {"try 1 of 6, next in 2 s\n", "; try 2 of 6\n"}, 2, 3},
      {"answer after 2 s within Timeout=8", {{ok, 2000}}, {}, {"Timeout=8"}, 0, 1, "ok\r\n", {}, 2, 4},
      {"answer after 2 s past Timeout=1", {{ok, 2000}}, {}, {"Timeout=1"}, 24, 1, "\r\n",
       {"no answer from 127.0.0.1 port ", " within 1 s (24 time-out)\n"}, 1, 2},
      {"a byte a second past MaxTime=2", drip, {}, {"MaxTime=2"}, 24, 1, "dd\r\n",
       {"ravelok: MaxTime of 2 s reached: answer from 127.0.0.1 port ", " stopped (24 time-out)\n"}, 2, 3},
      {"Timeout not a number", {{ok}}, {}, {"Timeout=3s"}, 2, 0, "",
       {"bad setting in ", "RAVELOK.INI: [URL] Timeout: not a number from 0 to 86400 (2 bad settings)\n"}, 0, 2},
      {"FailOn no status", {{ok}}, {}, {"FailOn=42"}, 2, 0, "",
       {"[URL] FailOn: not an HTTP status from 100 to 599, nor 0 (2 bad settings)\n"}, 0, 2},
      {"Follow past 50", {{ok}}, {}, {"Follow=51"}, 2, 0, "",
       {"[URL] Follow: not a number from 0 to 50 (2 bad settings)\n"}, 0, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(work.file("answer.txt").c_str());
    unlink(work.file("head.txt").c_str());
    const bool served = !c.answer.empty() || !c.later.empty();
    std::unique_ptr<ScriptedServer> server;
    std::vector<std::string> settings = {"[URL]"};
    settings.insert(settings.end(), c.settings.begin(), c.settings.end());
    // DATE in an answer: an HTTP date three seconds ahead.
    std::vector<ServerChunk> answer = c.answer;
    char date[64];
    const std::time_t soon = std::time(nullptr) + 3;
    std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", std::gmtime(&soon));
    for (ServerChunk& chunk : answer) {
      const std::size_t at = chunk.bytes.find("DATE");
      if (at != std::string::npos) chunk.bytes.replace(at, 4, date);
    }
    if (served) {
      server.reset(new ScriptedServer({.answer = answer, .when = AnswerWhen::after_request, .end = c.end,
                                       .connections = 1 + static_cast<int>(c.later.size()),
                                       .accept_limit_ms = 8000, .later_answers = c.later}));
      ASSERT_TRUE(server->ok());
      settings.insert(settings.begin() + 1, "Port=" + std::to_string(server->port()));
    }
    const auto section = std::find_if(settings.begin() + 1, settings.end(),
                                      [](const std::string& line) { return line[0] == '['; });
    settings.insert(section, {"Site=127.0.0.1", "Page=/p", "Save=answer.txt"});
    RunResult result = run(settings);
    EXPECT_EQ(result.status, c.status) << result.output;
    std::size_t from = 0;
    for (const std::string& fragment : c.fragments) {
      const std::size_t found = result.output.find(fragment, from);
      EXPECT_NE(found, std::string::npos) << fragment << " in " << result.output;
      if (found != std::string::npos) from = found + fragment.size();
    }
    if (c.fragments.empty()) {
      EXPECT_EQ(result.output, "");
    }
    EXPECT_EQ(read_file(work.file("answer.txt")), c.saved);
    if (!c.header.empty()) {
      EXPECT_EQ(read_file(work.file("head.txt")), c.header);
    }
    EXPECT_GE(result.seconds, c.least - 0.2);
    EXPECT_LT(result.seconds, c.most + 0.5);
    if (served) {
      server->stop();
      EXPECT_EQ(server->accepted(), c.requests);
      if (c.requests == 2 && c.settings.back() == "1=up.bin") {
        // The second request carries the file whole again, under its own
        // boundary, as long as its Content-Length says.
        const std::string second = server->request(1);
        EXPECT_TRUE(http_request_complete(second));
        EXPECT_NE(second.find(read_file(work.file("up.bin"))), std::string::npos);
      }
    }
  }
}

// Header lines, credentials, upload parts and a Body file: the exact
// request, or a refusal before anything is connected whose line names the
// entry and never a value.
TEST_F(ExchangeRun, HeadersCredentialsPartsAndBody) {
  write_file(work.file("doc.json"), "{\"a\": [1, 2]}\n");
  write_file(work.file("up.bin"), "x,y\n");
  const std::vector<std::string> environment = {"KEY=k3y-value", "PW=pa$$word", "BROKEN=a\nb"};
  struct Case {
    const char* name;
    std::vector<std::string> settings;  // [URL] keys, then sections
    int status;
    std::string head;  // the request after its line, up to Host (PORT for the port), and after
    std::string fragment;  // in the failure line, or in the request's body
  };
  const std::string host = "Host: 127.0.0.1:PORT\r\n";
  const std::string agent = "User-Agent: Ravelok/2.00 [ca] [DOS]\r\n";
  const Case cases[] = {
      {"a header from the environment", {"[Headers]", "1=X-Api-Key:  ${KEY} "}, 0,
       "GET /p? HTTP/1.0\r\n" + agent + host + "Accept: */*\r\nX-Api-Key: k3y-value\r\n\r\n", ""},
      {"User-Agent and Accept replaced, $ kept",
       {"[Headers]", "1=accept: application/json", "2=User-Agent: job/1", "3=X-Cost: $5 ${ ${1X} $"}, 0,
       "GET /p? HTTP/1.0\r\n" + host + "accept: application/json\r\nUser-Agent: job/1\r\nX-Cost: $5 ${ ${1X} $\r\n\r\n",
       ""},
      {"Basic credentials", {"User=ana", "Password=${PW}"}, 0,
       "GET /p? HTTP/1.0\r\n" + agent + host + "Accept: */*\r\nAuthorization: Basic YW5hOnBhJCR3b3Jk\r\n\r\n", ""},
      {"a JSON Body", {"Method=POST", "Body=doc.json", "Type=application/json", "[Vars]", "1=v=1 2"}, 0,
       "POST /p?v=1+2 HTTP/1.0\r\n" + agent + host +
           "Accept: */*\r\nContent-Type: application/json\r\nContent-Length: 14\r\n\r\n{\"a\": [1, 2]}\n",
       ""},
      {"upload part keys", {"Method=POST", "[Files]", "1=up.bin", "1.Field=document", "1.Name=re\"port.csv", "1.Type=text/csv"},
       0, "", "name=\"document\"; filename=\"re%22port.csv\"\r\nContent-Type: text/csv\r\n\r\nx,y\n\r\n"},
      {"Host given", {"[Headers]", "1=Host: elsewhere"}, 2, "", "[Headers] 1: Host is the program's own (2 bad settings)"},
      {"Content-Type of a POST", {"Method=POST", "[Headers]", "1=X-A: b", "2=content-type: text/plain"}, 2, "",
       "[Headers] 2: content-type is the program's own"},
      {"no token", {"[Headers]", "1=Bad Name: x"}, 2, "", "[Headers] 1: not a header line"},
      {"a variable not set", {"[Headers]", "1=X-Token: ${NOT_SET_HERE}"}, 2, "",
       "[Headers] 1: the environment variable NOT_SET_HERE is not set"},
      {"a variable with a line break", {"[Headers]", "1=X-Token: ${BROKEN}"}, 2, "",
       "[Headers] 1: the value holds a line break or a NUL byte"},
      {"Authorization twice", {"User=ana", "Password=${PW}", "[Headers]", "1=Authorization: Bearer ${KEY}"}, 2, "",
       "[Headers] 1: Authorization is made from User and Password"},
      {"Body and Files", {"Method=POST", "Body=doc.json", "[Files]", "1=up.bin"}, 2, "",
       "[URL] Body: Body and [Files] together"},
      {"Body missing", {"Method=POST", "Body=absent.json"}, 53, "", "cannot read Body file \"absent.json\": "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server({.answer = {{"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"}},
                           .when = AnswerWhen::after_request});
    ASSERT_TRUE(server.ok());
    std::vector<std::string> settings = job(server.port());
    const auto section = std::find_if(c.settings.begin(), c.settings.end(),
                                      [](const std::string& line) { return line[0] == '['; });
    settings.insert(settings.end(), c.settings.begin(), section);
    settings.insert(settings.end(), section, c.settings.end());
    write_file(work.file("RAVELOK.INI"), ini(settings));
    std::vector<std::string> env = {"TEMP=" + temp.path};
    env.insert(env.end(), environment.begin(), environment.end());
    RunResult result = run_ravelok({{work.path}, env, work.path, 20000});
    server.stop();
    EXPECT_EQ(result.status, c.status) << result.output;
    for (const char* secret : {"k3y", "pa$$", "YW5h"}) EXPECT_EQ(result.output.find(secret), std::string::npos);
    std::string request = server.request();
    const std::size_t port_at = request.find(":" + std::to_string(server.port()) + "\r\n");
    if (port_at != std::string::npos) request.replace(port_at + 1, std::to_string(server.port()).size(), "PORT");
    if (c.status == 0) {
      EXPECT_EQ(result.output, "");
      EXPECT_TRUE(http_request_complete(request));
      EXPECT_TRUE(c.head.empty() || request == c.head) << request;
      EXPECT_NE(request.find(c.fragment), std::string::npos) << request;
    } else {
      EXPECT_NE(result.output.find(c.fragment), std::string::npos) << result.output;
      EXPECT_EQ(request, "");
      // A refused setting connects nothing at all.
      if (c.status == 2) {
        EXPECT_EQ(server.accepted(), 0);
      }
    }
  }
}

// Chains of redirects between two scripted servers, A (the Site) and B:
// what each server receives (the request line, credentials, the body), the
// status, the failure line, the saved body and header. {A}, {B} and {D}
// (a port nobody listens on) stand for the ports.
TEST_F(ExchangeRun, RedirectChains) {
  const std::string ports[] = {std::to_string(free_loopback_port()), std::to_string(free_loopback_port()),
                               std::to_string(free_loopback_port())};
  auto filled = [&](std::string text) {
    for (int i = 0; i < 3; ++i) {
      const std::string mark = std::string("{") + "ABD"[i] + "}";
      for (std::size_t at; (at = text.find(mark)) != std::string::npos;) text.replace(at, 3, ports[i]);
    }
    return text;
  };
  auto moved = [](int status, const std::string& location, const std::string& body) {
    return "HTTP/1.0 " + std::to_string(status) + " Moved\r\n" +
           (location.empty() ? "" : "Location: " + location + "\r\n") +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  };
  const std::string ok = "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nfinal";
  const std::vector<std::string> credentials = {"User=u", "Password=p", "[Headers]", "1=cookie: c=1", "2=X-Keep: k"};
  const std::string big(9u << 20, 'r');
  struct Row {
    const char* name;
    std::vector<std::string> settings;  // [URL] keys, then sections
    std::vector<std::string> a, b;      // the answers of A's and B's clients in turn
    int status;
    std::string saved;
    std::vector<std::string> a_got, b_got;  // each request: its line, [auth] [cookie] [keep], its body
    std::string words;                      // in the failure line
    std::string header = "";                // SaveHeader's file
  };
  const std::vector<Row> rows = {
      {"no Follow: a 301 is the answer", {}, {moved(301, "/b", "moved")}, {}, 0, "moved",
       {"GET /a? HTTP/1.0"}, {}, ""},
      {"a relative Location on the Site keeps the credentials", [&] {
         std::vector<std::string> s = {"Follow=1", "Page=/a/b?x"};
         s.insert(s.end(), credentials.begin(), credentials.end());
         return s;
       }(), {moved(302, "../c/./d?x=1#f", "r"), ok}, {}, 0, "final",
       {"GET /a/b?x HTTP/1.0 [auth] [cookie] [keep]", "GET /c/d?x=1 HTTP/1.0 [auth] [cookie] [keep]"}, {}, ""},
      {"another port gets none, the Site them again", [&] {
         std::vector<std::string> s = {"Follow=2"};
         s.insert(s.end(), credentials.begin(), credentials.end());
         return s;
       }(), {moved(307, "http://127.0.0.1:{B}/b", "r"), ok}, {moved(308, "//127.0.0.1:{A}/c", "r")}, 0, "final",
       {"GET /a? HTTP/1.0 [auth] [cookie] [keep]", "GET /c HTTP/1.0 [auth] [cookie] [keep]"},
       {"GET /b HTTP/1.0 [keep]"}, ""},
      {"a form POST made a GET by 303", {"Follow=1", "Method=POST", "[Vars]", "1=v=1"}, {moved(303, "/b", "r"), ok},
       {}, 0, "final", {"POST /a HTTP/1.0 v=1", "GET /b HTTP/1.0"}, {}, ""},
      {"a form POST sent again by 307", {"Follow=1", "Method=POST", "[Vars]", "1=v=1"}, {moved(307, "/b", "r"), ok},
       {}, 0, "final", {"POST /a HTTP/1.0 v=1", "POST /b HTTP/1.0 v=1"}, {}, ""},
      {"a loop", {"Follow=5"}, {moved(302, "/b", "one"), moved(302, "/c", "two"), moved(301, "/b", "three")}, {},
       47, "three", {"GET /a? HTTP/1.0", "GET /b HTTP/1.0", "GET /c HTTP/1.0"}, {},
       "redirect from 127.0.0.1 port {A} not followed: a loop: GET http://127.0.0.1:{A}/b was asked for before "
       "(47 too many redirects)"},
      {"Follow reached", {"Follow=1"}, {moved(302, "/b", "one"), moved(302, "/c", "two")}, {}, 47, "two",
       {"GET /a? HTTP/1.0", "GET /b HTTP/1.0"}, {},
       "redirect from 127.0.0.1 port {A} not followed: Follow=1 reached, it leads on to \"/c\" (47 too many redirects)"},
      {"FailOn and SaveHeader on the last answer", {"Follow=1", "FailOn=300", "SaveHeader=h.txt"},
       {moved(302, "http://127.0.0.1:{B}/b", "r")}, {"HTTP/1.0 404 Not Found\r\nContent-Length: 4\r\n\r\ngone"}, 22,
       "gone", {"GET /a? HTTP/1.0"}, {"GET /b HTTP/1.0"}, "the server answered 404 Not Found (22 error answer)",
       "HTTP/1.0 404 Not Found\r\nContent-Length: 4\r\n"},
      {"no Location", {"Follow=1"}, {moved(302, "", "r")}, {}, 48, "r", {"GET /a? HTTP/1.0"}, {},
       "redirect from 127.0.0.1 port {A} refused: the answer has no Location (48 redirect refused)"},
      {"another scheme", {"Follow=1"}, {moved(301, "ftp://127.0.0.1:{B}/x", "r")}, {}, 48, "r", {"GET /a? HTTP/1.0"},
       {}, "refused: Location \"ftp://127.0.0.1:{B}/x\" is not http:// or https:// (48 redirect refused)"},
      {"a password in the Location", {"Follow=1"}, {moved(301, "http://user:pw@127.0.0.1:{B}/x", "r")}, {}, 48, "r",
       {"GET /a? HTTP/1.0"}, {},
       "refused: Location \"http://...@127.0.0.1:{B}/x\" holds a user name or password (48 redirect refused)"},
      {"a later request's failure names its host and port", {"Follow=1"}, {moved(302, "http://127.0.0.1:{D}/", "r")},
       {}, 57, "", {"GET /a? HTTP/1.0"}, {}, "cannot connect to 127.0.0.1 port {D}: "},
      {"a large redirect body never reaches the save file", {"Follow=1"}, {moved(301, "/b", big), ok}, {}, 0, "final",
       {"GET /a? HTTP/1.0", "GET /b HTTP/1.0"}, {}, ""},
      {"a retry starts again at the Site", {"Follow=1", "Retries=1", "FailOn=500"},
       {moved(302, "/b", "r"), "HTTP/1.0 503 Busy\r\nContent-Length: 1\r\n\r\nx", moved(302, "/b", "r"), ok}, {},
       0, "final", {"GET /a? HTTP/1.0", "GET /b HTTP/1.0", "GET /a? HTTP/1.0", "GET /b HTTP/1.0"}, {},
       "the server answered 503 Busy (22 error answer); try 1 of 2, next in 1 s"},
      {"each request through the proxy (B)", {"Follow=1", "Proxy=127.0.0.1:{B}"}, {},
       {moved(302, "/b", "r"), ok}, 0, "final", {},
       {"GET http://127.0.0.1:{A}/a? HTTP/1.0", "GET http://127.0.0.1:{A}/b HTTP/1.0"}, ""},
  };
  auto summary = [](const std::string& request) {
    std::string line = request.substr(0, request.find("\r\n"));
    if (request.find("\r\nAuthorization: Basic dTpw\r\n") != std::string::npos) line += " [auth]";
    if (request.find("\r\ncookie: c=1\r\n") != std::string::npos) line += " [cookie]";
    if (request.find("\r\nX-Keep: k\r\n") != std::string::npos) line += " [keep]";
    const std::size_t end = request.find("\r\n\r\n");
    if (end != std::string::npos && end + 4 < request.size()) line += " " + request.substr(end + 4);
    return line;
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    // A save file left by an earlier run, longer than any answer here.
    write_file(work.file("answer.txt"), std::string(20000, 'o'));
    unlink(work.file("h.txt").c_str());
    std::vector<std::unique_ptr<ScriptedServer>> servers;
    for (int i = 0; i < 2; ++i) {
      const std::vector<std::string>& answers = i == 0 ? row.a : row.b;
      std::vector<std::vector<ServerChunk>> later;
      for (std::size_t k = 1; k < answers.size(); ++k) later.push_back({{filled(answers[k])}});
      servers.push_back(std::make_unique<ScriptedServer>(ServerScript{
          .answer = {{answers.empty() ? std::string() : filled(answers[0])}}, .when = AnswerWhen::after_request,
          .port = static_cast<std::uint16_t>(std::stoi(ports[i])), .connections = std::max<int>(1, answers.size()),
          .accept_limit_ms = 5000, .later_answers = later}));
      ASSERT_TRUE(servers.back()->ok()) << servers.back()->failure();
    }
    const bool paged = row.settings.size() > 1 && row.settings[1].rfind("Page=", 0) == 0;
    std::vector<std::string> settings = job(servers[0]->port(), paged ? row.settings[1].substr(5) : "/a");
    const auto section = std::find_if(row.settings.begin(), row.settings.end(),
                                      [](const std::string& line) { return line[0] == '['; });
    settings.insert(settings.end(), row.settings.begin(), section);
    settings.insert(settings.end(), section, row.settings.end());
    for (std::string& line : settings) line = filled(line);
    write_file(work.file("RAVELOK.INI"), ini(settings));
    RunResult result = run_ravelok({{work.path}, {"TEMP=" + temp.path}, work.path, 20000});
    for (auto& server : servers) server->stop();
    EXPECT_EQ(result.status, row.status) << result.output;
    for (int i = 0; i < 2; ++i) {
      const std::vector<std::string>& expected = i == 0 ? row.a_got : row.b_got;
      EXPECT_EQ(servers[i]->accepted(), static_cast<int>(expected.size())) << "ABD"[i];
      for (std::size_t k = 0; k < expected.size(); ++k) {
        EXPECT_EQ(summary(servers[i]->request(k)), filled(expected[k])) << "ABD"[i] << k;
      }
    }
    EXPECT_EQ(read_file(work.file("answer.txt")), row.saved + "\r\n");
    if (row.words.empty()) {
      EXPECT_EQ(result.output, "");
    } else {
      EXPECT_NE(result.output.find(filled(row.words)), std::string::npos) << result.output;
    }
    EXPECT_EQ(result.output.find("pw"), std::string::npos);
    if (!row.header.empty()) {
      EXPECT_EQ(read_file(work.file("h.txt")), row.header);
    }
    EXPECT_TRUE(list_directory(temp.path).empty());
  }
  // While the next request waits, the save file still holds what an earlier
  // run left there, not the redirect's body.
  write_file(work.file("answer.txt"), std::string(20000, 'o'));
  ScriptedServer a({.answer = {{filled(moved(301, "http://127.0.0.1:{B}/b", big))}}, .when = AnswerWhen::after_request,
                    .port = static_cast<std::uint16_t>(std::stoi(ports[0]))});
  ScriptedServer b({.answer = {}, .when = AnswerWhen::never, .port = static_cast<std::uint16_t>(std::stoi(ports[1]))});
  ASSERT_TRUE(a.ok() && b.ok());
  write_file(work.file("RAVELOK.INI"), ini({"[URL]", "Site=127.0.0.1", "Port=" + ports[0], "Page=/a",
                                            "Save=answer.txt", "Follow=1", "Timeout=20"}));
  RunResult result;
  std::thread runner([&] { result = run_ravelok({{work.path}, {"TEMP=" + temp.path}, work.path, 30000}); });
  for (int waited = 0; b.accepted() == 0 && waited < 10000; waited += 10) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(b.accepted(), 1);
  EXPECT_TRUE(read_file(work.file("answer.txt")) == std::string(20000, 'o'));
  b.stop();
  runner.join();
  EXPECT_EQ(result.status, 62) << result.output;
  EXPECT_EQ(read_file(work.file("answer.txt")), "\r\n");
}

TEST_F(ExchangeRun, RefusedConnectionStillSavesAndShows) {
  const int port = free_loopback_port();
  std::vector<std::string> settings = job(static_cast<std::uint16_t>(port));
  settings.push_back("Show=1");
  RunResult result = run(settings);
  EXPECT_EQ(result.status, 57) << result.output;
  EXPECT_EQ(read_file(work.file("answer.txt")), "\r\n");
  EXPECT_EQ(viewer_log(true), opened("answer.txt"));

  // The exchange's number wins over the save's, when the save fails only
  // once it writes (a full device passes the check before connecting).
  settings = job(static_cast<std::uint16_t>(port), "/p", "/dev/full");
  EXPECT_EQ(run(settings).status, 57);
}

TEST_F(ExchangeRun, DefaultSaveNameInTempAndViewer) {
  ScriptedServer server({.answer = {{"HTTP/1.0 200 OK\r\n\r\n<p>hi</p>"}}, .when = AnswerWhen::after_request,
                         .connections = 3});
  ASSERT_TRUE(server.ok()) << server.failure();
  std::vector<std::string> settings = {"[URL]", "Site=localhost", "Port=" + std::to_string(server.port()),
                                       "Show=1"};
  RunResult result = run(settings);
  EXPECT_EQ(result.status, 0) << result.output;
  const std::string name = temp.file("96862006.HTM");
  EXPECT_EQ(read_file(name), "<p>hi</p>\r\n");
  EXPECT_EQ(viewer_log(true), opened(name));

  // Wine shows a symbolic link as the file it names and has no FIFOs.
  if (testing_windows_binary()) return;
  // The generated name is never followed through a link, and only a regular
  // file is overwritten.
  unlink(name.c_str());
  write_file(work.file("precious.txt"), "keep");
  ASSERT_EQ(symlink((work.file("precious.txt")).c_str(), name.c_str()), 0);
  EXPECT_EQ(run(settings).status, 70);
  EXPECT_EQ(read_file(work.file("precious.txt")), "keep");
  unlink(name.c_str());
  ASSERT_EQ(mkfifo(name.c_str(), 0600), 0);
  EXPECT_EQ(run(settings, 10000).status, 70);
}

TEST_F(ExchangeRun, NoSaveAndNoShowDropsTheAnswer) {
  ScriptedServer server({.answer = {{"HTTP/1.0 200 OK\r\n\r\nx"}}, .when = AnswerWhen::after_request});
  ASSERT_TRUE(server.ok()) << server.failure();
  RunResult result = run(job(server.port(), "/p", ""));
  ASSERT_TRUE(server.wait_done(5000));
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(server.request(), "");
  EXPECT_EQ(list_directory(work.path), (std::vector<std::string>{"RAVELOK.INI", "bin"}));
  EXPECT_EQ(viewer_log(false), "");
}

TEST_F(ExchangeRun, MissingUploadFileSendsNothing) {
  ScriptedServer server({.answer = {{"HTTP/1.0 200 OK\r\n\r\nx"}}, .when = AnswerWhen::after_request,
                         .read_limit_ms = 3000});
  ASSERT_TRUE(server.ok()) << server.failure();
  std::vector<std::string> settings = job(server.port());
  settings.insert(settings.end(), {"Method=POST", "[Files]", "1=absent.bin"});
  RunResult result = run(settings);
  EXPECT_EQ(result.status, 53) << result.output;
  EXPECT_FALSE(file_exists(work.file("absent.bin")));  // never created
  EXPECT_EQ(read_file(work.file("answer.txt")), "\r\n");
  EXPECT_TRUE(list_directory(temp.path).empty());
  server.stop();
  EXPECT_EQ(server.request(), "");
}

// The upload body on the wire is its parts, each file's bytes exactly, and
// Content-Length counts it: whether a file goes out from where it lies (TEMP
// then plays no part) or, having no size before it is read (a FIFO), is
// staged first.
TEST_F(ExchangeRun, UploadBodyMatchesItsContentLength) {
  std::string big(100u << 20, '\0');
  for (std::size_t i = 0; i < big.size(); i += 4096) big[i] = static_cast<char>(i / 4096);
  write_file(work.file("big.bin"), big);
  write_file(work.file("a.bin"), std::string("\0\r\n--x", 6));
  ASSERT_EQ(mkfifo(work.file("fifo").c_str(), 0600), 0);
  struct Case {
    const char* name;
    std::string file;
    std::string content;
    std::string temp;  // the TEMP value
  };
  const Case cases[] = {
      {"a small file", "a.bin", std::string("\0\r\n--x", 6), temp.path},
      {"100 MB, TEMP missing", "big.bin", big, temp.file("missing")},
      {"100 MB, TEMP a file", "big.bin", big, work.file("a.bin")},
      {"a FIFO, staged", "fifo", std::string(300000, 'f') + "--end", temp.path},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.file == "fifo" && testing_windows_binary()) continue;
    ScriptedServer server({.answer = {{"HTTP/1.0 200 OK\r\n\r\nok"}}, .when = AnswerWhen::after_request});
    ASSERT_TRUE(server.ok()) << server.failure();
    std::vector<std::string> settings = job(server.port(), "/up");
    settings.insert(settings.end(), {"Method=post", "[Vars]", "1=who=me", "[Files]", "1=" + c.file});
    // The FIFO's writer is waiting in its open before the run opens it.
    std::thread writer;
    if (c.file == "fifo") {
      writer = std::thread([&] { write_file(work.file("fifo"), c.content); });
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    write_file(work.file("RAVELOK.INI"), ini(settings));
    RunResult result = run_ravelok({{work.path}, {"TEMP=" + c.temp}, work.path, 60000});
    if (writer.joinable()) writer.join();
    ASSERT_TRUE(server.wait_done(5000));
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(read_file(work.file("answer.txt")), "ok\r\n");
    const std::string request = server.request();
    const std::string type = "Content-Type: multipart/form-data; boundary=";
    std::size_t at = request.find(type);
    ASSERT_NE(at, std::string::npos);
    std::string boundary = request.substr(at + type.size(), request.find("\r\n", at) - at - type.size());
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
TEST_F(ExchangeRun, UploadFileChangedWhileSent) {
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

TEST_F(ExchangeRun, LargeAnswerGoesThroughTheScratchFile) {
  std::string body;
  body.reserve(20u << 20);
  for (std::uint32_t i = 0; body.size() < (20u << 20); ++i) body.append(reinterpret_cast<const char*>(&i), 4);
  ScriptedServer server({.answer = {{"HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                                     "\r\n\r\n" + body}},
                         .when = AnswerWhen::after_request});
  ASSERT_TRUE(server.ok()) << server.failure();
  RunResult result = run(job(server.port()));
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_TRUE(read_file(work.file("answer.txt")) == body + "\r\n");
  EXPECT_TRUE(list_directory(temp.path).empty());
}

// An answer larger than memory over an existing save file: the file is
// rewritten in place as the answer arrives (same inode, links and mode), and
// at the end holds exactly what a small answer would leave, whole or cut.
TEST_F(ExchangeRun, LargeAnswerOverAnExistingSaveFile) {
  std::string body(12u << 20, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>((i * 7 + i / 4093) & 0xFF);
  const std::string part = body.substr(0, 9u << 20);
  const std::string full = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  const std::string more = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(16u << 20) + "\r\n\r\n";
  struct Case {
    const char* name;
    std::string old_content;
    ServerScript script;
    int status;
    std::string saved;
  };
  std::vector<Case> cases = {
      {"longer old file", std::string(20u << 20, 'o'),
       {.answer = {{full + part}, {body.substr(part.size()), 1500}}, .when = AnswerWhen::after_request},
       0, body + "\r\n"},
      {"shorter old file", "old", {.answer = {{full + body}}, .when = AnswerWhen::after_request}, 0, body + "\r\n"},
      {"closed short of Content-Length", "old", {.answer = {{more + body}}, .when = AnswerWhen::after_request},
       62, body + "\r\n"},
      // Wine hands a reset on as an orderly close.
      {"reset short of Content-Length", "old",
       {.answer = {{more + body}, {"", 500}}, .when = AnswerWhen::after_request, .end = EndAction::reset},
       testing_windows_binary() ? 62 : 57, body + "\r\n"},
      {"time-out short of Content-Length", "old",
       {.answer = {{more + body}}, .when = AnswerWhen::after_request, .end = EndAction::hold_open},
       24, body + "\r\n"},
  };
  const std::string name = work.file("answer.txt");
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(name.c_str());
    unlink(work.file("other-name.txt").c_str());
    write_file(name, c.old_content);
    chmod(name.c_str(), 0640);
    ASSERT_EQ(link(name.c_str(), work.file("other-name.txt").c_str()), 0);
    struct stat before;
    ASSERT_EQ(stat(name.c_str(), &before), 0);
    ScriptedServer server(c.script);
    ASSERT_TRUE(server.ok()) << server.failure();
    RunResult result;
    std::thread runner([&] { result = run(job(server.port())); });
    if (c.status == 0 && c.old_content.size() > 100) {
      // Meanwhile the file already holds the first part of the answer.
      std::this_thread::sleep_for(std::chrono::milliseconds(1000));
      EXPECT_TRUE(read_file(name).substr(0, 1u << 20) == part.substr(0, 1u << 20));
    }
    runner.join();
    server.stop();
    EXPECT_EQ(result.status, c.status) << result.output;
    EXPECT_TRUE(read_file(name) == c.saved) << read_file(name).size() << " bytes";
    EXPECT_TRUE(read_file(work.file("other-name.txt")) == c.saved);
    struct stat after;
    ASSERT_EQ(stat(name.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    if (!testing_windows_binary()) {
      EXPECT_EQ(after.st_mode & 07777, 0640u);
    }
    EXPECT_EQ(list_directory(work.path),
              (std::vector<std::string>{"RAVELOK.INI", "answer.txt", "bin", "other-name.txt"}));
    EXPECT_TRUE(list_directory(temp.path).empty());
  }
}

// An answer nobody keeps (no Save, Show 0) is read to its end and counted,
// in bounded memory, and leaves no file anywhere.
TEST_F(ExchangeRun, DroppedAnswerIsReadInBoundedMemory) {
  const std::size_t size = 100u << 20;
  const std::string head = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n";
  // Held as one megabyte sent a hundred times: the test's own memory, which
  // the child starts out sharing, stays small.
  ScriptedServer server({.answer = {{head}, {std::string(1u << 20, 'd'), 0, 100}},
                         .when = AnswerWhen::after_request});
  ASSERT_TRUE(server.ok()) << server.failure();
  RunResult result = run(job(server.port(), "/p", ""));
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_TRUE(list_directory(temp.path).empty());
  EXPECT_EQ(list_directory(work.path), (std::vector<std::string>{"RAVELOK.INI", "bin"}));
  // Against the same job with a 1 KiB answer: the peak a process reports
  // counts what it shared with the test before it started the program (more
  // in a sanitized build), which both runs carry alike.
  ScriptedServer small({.answer = {{"HTTP/1.0 200 OK\r\n\r\n" + std::string(1024, 's')}},
                        .when = AnswerWhen::after_request});
  ASSERT_TRUE(small.ok()) << small.failure();
  RunResult baseline = run(job(small.port(), "/p", ""));
  EXPECT_EQ(baseline.status, 0) << baseline.output;
  if (!testing_windows_binary()) {
    EXPECT_LT(result.peak_rss_kib, baseline.peak_rss_kib + 16 * 1024)
        << result.peak_rss_kib << " KiB against " << baseline.peak_rss_kib;
  }
}

// As an ordinary user (older kernels let only a privileged one link an
// unnamed file by its descriptor) the large answer still takes the save name
// where that user may write, and a file the user may not write is refused
// as before.
TEST_F(ExchangeRun, LargeAnswerSavedByAnOrdinaryUser) {
  std::string setpriv;
  for (const char* path : {"/usr/bin/setpriv", "/bin/setpriv"}) {
    if (access(path, X_OK) == 0) setpriv = path;
  }
  if (setpriv.empty()) GTEST_SKIP() << "setpriv is not installed";
  if (testing_windows_binary()) GTEST_SKIP() << "POSIX users and file modes";
  chmod(work.path.c_str(), 0777);
  chmod(temp.path.c_str(), 0777);
  const std::string body(10u << 20, 'z');
  struct Case { const char* name; mode_t mode; int status; bool replaced; };
  const Case cases[] = {
      {"missing", 0, 0, true},
      {"own.txt", 0640, 0, true},
      {"read-only.txt", 0444, 70, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = work.file(c.name);
    if (c.mode != 0) {
      write_file(name, "kept");
      ASSERT_EQ(chown(name.c_str(), 65534, 65534), 0);
      chmod(name.c_str(), c.mode);
    }
    ScriptedServer server({.answer = {{"HTTP/1.0 200 OK\r\nContent-Length: " +
                                       std::to_string(body.size()) + "\r\n\r\n" + body}},
                           .when = AnswerWhen::after_request});
    ASSERT_TRUE(server.ok()) << server.failure();
    write_file(work.file("RAVELOK.INI"), ini(job(server.port(), "/p", name)));
    RunResult result = run_ravelok({.arguments = {work.path},
                                    .environment = {"TEMP=" + temp.path},
                                    .directory = work.path,
                                    .wrapper = {setpriv, "--reuid=65534", "--regid=65534",
                                                "--clear-groups"}});
    EXPECT_EQ(result.status, c.status) << result.output;
    EXPECT_TRUE(read_file(name) == (c.replaced ? body + "\r\n" : std::string("kept")));
    struct stat info;
    ASSERT_EQ(stat(name.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 65534u);
    if (c.mode != 0) {
      EXPECT_EQ(info.st_mode & 07777, c.mode);
    }
    EXPECT_TRUE(list_directory(temp.path).empty());
  }
  EXPECT_EQ(list_directory(work.path),
            (std::vector<std::string>{"RAVELOK.INI", "bin", "missing", "own.txt", "read-only.txt"}));
}

TEST_F(ExchangeRun, HugeHeaderWithoutBlankLineIsKeptWhole) {
  std::string header = "HTTP/1.0 200 OK\r\n";
  while (header.size() < (12u << 20)) header += "X-Filler: 0123456789abcdef0123456789abcdef\r\n";
  ScriptedServer server({.answer = {{header}}, .when = AnswerWhen::after_request});
  ASSERT_TRUE(server.ok()) << server.failure();
  RunResult result = run(job(server.port()));
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_TRUE(read_file(work.file("answer.txt")) == header + "\r\n");
}

TEST_F(ExchangeRun, ServerThatNeverAnswersTimesOut) {
  // One receive waits its 3 s; a time-out leaves nothing to wait for.
  ScriptedServer server({.answer = {}, .when = AnswerWhen::never});
  ASSERT_TRUE(server.ok()) << server.failure();
  RunResult result = run(job(server.port()), 40000);
  server.stop();
  EXPECT_EQ(result.status, 24) << result.output;
  EXPECT_EQ(read_file(work.file("answer.txt")), "\r\n");
  EXPECT_GT(result.seconds, 2.9);
  EXPECT_LT(result.seconds, 5.0);
}

}  // namespace

namespace {

TEST_F(ExchangeRun, PortsAboveThe16BitSignRange) {
  // A port above 32767 reads as a negative 16-bit value; it still connects,
  // and the Host header names it.
  int port = 0;
  for (int i = 0; i < 50 && port <= 32767; ++i) port = free_loopback_port();
  ASSERT_GT(port, 32767);
  ScriptedServer server({.answer = {{"HTTP/1.0 200 OK\r\n\r\nhigh"}}, .when = AnswerWhen::after_request,
                         .port = static_cast<std::uint16_t>(port)});
  ASSERT_TRUE(server.ok()) << server.failure();
  RunResult result = run(job(static_cast<std::uint16_t>(port)));
  ASSERT_TRUE(server.wait_done(5000));
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_NE(server.request().find("\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n"), std::string::npos);
  EXPECT_EQ(read_file(work.file("answer.txt")), "high\r\n");
}

TEST_F(ExchangeRun, EveryAddressOfTheHostIsTried) {
  // A private /etc/hosts (in a mount namespace of the run's own) gives the
  // name two addresses; the server listens on only one of them.
  const std::string unshare = "/usr/bin/unshare";
  if (!file_exists(unshare)) GTEST_SKIP() << "unshare is missing";
  struct Case { std::string hosts; std::string listen; };
  const Case cases[] = {
      {"::1 dualhost\n127.0.0.1 dualhost\n", "127.0.0.1"},
      {"127.0.0.1 dualhost\n::1 dualhost\n", "::1"},
  };
  for (const Case& c : cases) {
    ScriptedServer server({.answer = {{"HTTP/1.0 200 OK\r\n\r\nreached"}}, .when = AnswerWhen::after_request,
                           .address = c.listen});
    if (!server.ok()) GTEST_SKIP() << server.failure();
    write_file(work.file("hosts"), c.hosts);
    write_file(work.file("RAVELOK.INI"), ini({"[URL]", "Site=dualhost", "Port=" + std::to_string(server.port()),
                                               "Save=answer.txt"}));
    RunResult result = run_ravelok(
        {{work.path}, {"TEMP=" + temp.path}, work.path, 20000,
         {unshare, "--mount", "/bin/sh", "-c", "mount --bind \"$0\" /etc/hosts && exec \"$@\"", work.file("hosts")}});
    if (result.status == 126 || result.output.find("mount") != std::string::npos) {
      GTEST_SKIP() << "no private mount namespace here: " << result.output;
    }
    EXPECT_EQ(result.status, 0) << c.listen << result.output;
    EXPECT_EQ(read_file(work.file("answer.txt")), "reached\r\n") << c.listen;
    ASSERT_TRUE(server.wait_done(5000));
    EXPECT_NE(server.request().find("\r\nHost: dualhost:"), std::string::npos);
  }
}

TEST_F(ExchangeRun, ServerClosingBeforeTheUploadIsReadFailsTheSend) {
  ScriptedServer server({.close_at_once = true});
  ASSERT_TRUE(server.ok()) << server.failure();
  write_file(work.file("big.bin"), std::string(16u << 20, 'u'));
  std::vector<std::string> settings = job(server.port());
  settings.insert(settings.end(), {"Method=POST", "[Files]", "1=big.bin"});
  RunResult result = run(settings);
  EXPECT_EQ(result.status, 57) << result.output;
  EXPECT_EQ(read_file(work.file("answer.txt")), "\r\n");
  EXPECT_TRUE(list_directory(temp.path).empty());
  EXPECT_LT(result.seconds, 10.0);
}

TEST_F(ExchangeRun, LargeAnswerWithoutAScratchFileStaysInMemory) {
  std::string body(10u << 20, 'm');
  body += "end";
  ScriptedServer server({.answer = {{"HTTP/1.0 200 OK\r\n\r\n" + body}}, .when = AnswerWhen::after_request});
  ASSERT_TRUE(server.ok()) << server.failure();
  write_file(work.file("RAVELOK.INI"), ini(job(server.port())));
  RunResult result = run_ravelok({{work.path}, {"TEMP=" + temp.file("missing")}, work.path, 30000});
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_TRUE(read_file(work.file("answer.txt")) == body + "\r\n");
}

TEST_F(ExchangeRun, SaveReplacesALongerFileAndTheViewerGetsTheWholeName) {
  ScriptedServer server({.answer = {{"HTTP/1.0 200 OK\r\n\r\nabc"}}, .when = AnswerWhen::after_request});
  ASSERT_TRUE(server.ok()) << server.failure();
  // A name of more than 300 bytes: the viewer is handed all of it.
  std::string directory = work.path;
  for (int i = 0; i < 4; ++i) {
    directory += "/" + std::string(70, static_cast<char>('a' + i));
    ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
  }
  const std::string name = directory + "/saved.htm";
  ASSERT_GT(name.size(), 300u);
  write_file(name, std::string(5000, 'o'));
  std::vector<std::string> settings = job(server.port(), "/p", name);
  settings.push_back("Show=1");
  RunResult result = run(settings);
  if (testing_windows_binary()) {
    // Windows' ANSI file calls take a path of at most 259 bytes: the save
    // fails (75) and leaves the old file as it was.
    EXPECT_EQ(result.status, 75) << result.output;
    EXPECT_EQ(read_file(name), std::string(5000, 'o'));
    return;
  }
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(read_file(name), "abc\r\n");
  EXPECT_EQ(viewer_log(true), name + "\n");
}

TEST_F(ExchangeRun, ProgressLineOnATerminal) {
  // Wine's console draws the cells with escape sequences of its own;
  // WindowsRun.ProgressLineOnTheConsole checks the Windows binary there.
  if (testing_windows_binary()) GTEST_SKIP() << "the POSIX terminal's bytes";
  struct Case { const char* name; std::vector<ServerChunk> answer; std::string expected; };
  const std::string pad79 = std::string(79 - 1 - 9, ' ');  // after "Obrint..."
  const std::string obrint = "\rObrint..." + pad79;
  const std::string enviant = "\rEnviant..." + std::string(79 - 1 - 10, ' ');
  const std::string finish = "\r" + std::string(78, ' ') + "\r\n";
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
    write_file(work.file("RAVELOK.INI"), ini(job(server.port())));
    RunOptions options{{work.path}, {"TEMP=" + temp.path}, work.path, 20000};
    options.terminal_columns = 80;
    RunResult result = run_ravelok(options);
    EXPECT_EQ(result.status, 0) << c.name << result.output;
    EXPECT_EQ(result.output, "") << c.name;
    EXPECT_EQ(result.terminal, c.expected) << c.name;
  }

  // A refused connection: "Obrint..." is blanked before the failure line,
  // which starts at column 1.
  const int refused_port = free_loopback_port();
  write_file(work.file("RAVELOK.INI"), ini(job(static_cast<std::uint16_t>(refused_port))));
  RunOptions options{{work.path}, {"TEMP=" + temp.path}, work.path, 20000};
  options.terminal_columns = 80;
  RunResult refused = run_ravelok(options);
  EXPECT_EQ(refused.status, 57);
  const std::string blank = "\r" + std::string(78, ' ') + "\r";
  const std::string line = "ravelok: cannot connect to 127.0.0.1 port " + std::to_string(refused_port) +
                           ": Connection refused (57 network failure)";
  EXPECT_EQ(refused.terminal, obrint + blank + line + "\n");

  // Tried again: the pause counted down between the two tries' lines.
  std::vector<std::string> settings = job(static_cast<std::uint16_t>(refused_port));
  settings.push_back("Retries=1");
  write_file(work.file("RAVELOK.INI"), ini(settings));
  RunResult retried = run_ravelok(options);
  EXPECT_EQ(retried.status, 57);
  EXPECT_EQ(retried.terminal, obrint + blank + line + "; try 1 of 2, next in 1 s\n" + "\rEsperant... 1" +
                                  std::string(79 - 1 - 13, ' ') + blank + obrint + blank + line +
                                  "; try 2 of 2\n");
}

}  // namespace

namespace {

// Every "NAME" in text replaced by value.
std::string with(std::string text, const std::string& name, const std::string& value) {
  for (std::size_t at = 0; (at = text.find(name, at)) != std::string::npos; at += value.size()) {
    text.replace(at, name.size(), value);
  }
  return text;
}

}  // namespace

// The way to the server: a scripted proxy ([proxy] in a row) sees the whole
// URL of a plain request or the CONNECT of an HTTPS one, with credentials
// for it alone, or nothing when the row goes straight to the server (SP
// its port); refusals end the run without a secret in sight.
TEST_F(ExchangeRun, ProxiesChosenAndSpokenTo) {
  const std::string ok = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";
  const std::string head = kGetHead + "Host: 127.0.0.1:SP\r\nAccept: */*\r\n";
  const std::string direct = "GET /p? HTTP/1.0\r\n" + head + "\r\n";
  const std::string proxied = "GET http://127.0.0.1:SP/p? HTTP/1.0\r\n" + head;
  const std::string tunnel = "CONNECT localhost:SP HTTP/1.0\r\nHost: localhost:SP\r\n" + kGetHead;
  const std::string refused = "127.0.0.1:" + std::to_string(free_loopback_port());
  struct Row {
    const char* name;
    std::vector<std::string> environment;
    std::vector<std::string> settings;  // after the job's; Site=... replaces its Site
    std::string proxy_answer;           // what the proxy answers (its status line and header)
    int status;
    std::string proxy_got;  // exactly; empty: the proxy is never reached
    std::string words;      // in the failure line
    int tries = 1;          // connections the proxy takes when it is reached
    int trickle = 1;        // the answer sent this many times, 0.1 s apart
  };
  const Row rows[] = {
      {"http_proxy", {"http_proxy=[proxy]"}, {}, ok, 0, proxied + "\r\n", ""},
      {"Proxy key: %-decoded user, password from the environment",
       {"PW=p@ss:1", "http_proxy=" + refused}, {"Proxy=HTTP://us%65r:${PW}@[proxy]/"}, ok, 0,
       proxied + "Proxy-Authorization: Basic dXNlcjpwQHNzOjE=\r\n\r\n", ""},
      {"[Headers] Proxy-Authorization goes last, to the proxy", {"http_proxy=http://[proxy]"},
       {"[Headers]", "1=Proxy-Authorization: Basic eA==", "2=X-A: b"}, ok, 0,
       proxied + "X-A: b\r\nProxy-Authorization: Basic eA==\r\n\r\n", ""},
      {"HTTP_PROXY ignored", {"HTTP_PROXY=[proxy]"}, {}, ok, 0, "", ""},
      {"Proxy=none beats http_proxy", {"http_proxy=[proxy]"}, {"Proxy=NONE"}, ok, 0, "", ""},
      {"no_proxy address", {"http_proxy=[proxy]", "no_proxy=example.org , 127.0.0.1"}, {}, ok, 0, "", ""},
      {"NO_PROXY *", {"http_proxy=[proxy]", "NO_PROXY=*"}, {}, ok, 0, "", ""},
      {"no_proxy other port", {"http_proxy=[proxy]", "no_proxy=127.0.0.1:1"}, {}, ok, 0, proxied + "\r\n", ""},
      {"no_proxy suffix is no part of a name", {"http_proxy=[proxy]", "no_proxy=example.com,.example.com"},
       {"Site=badexample.com"}, ok, 0, with(proxied, "127.0.0.1", "badexample.com") + "\r\n", ""},
      {"CONNECT refused, lower case wins", {"https_proxy=[proxy]", "HTTPS_PROXY=" + refused},
       {"Site=https://localhost", "Retries=1"}, "HTTP/1.0 403 Forbidden\r\n\r\n", 57, tunnel + "\r\n",
       "ravelok: no tunnel through proxy [proxy shown]: it answered 403 Forbidden (57 network failure)\n"},
      {"407 to credentials", {}, {"Site=https://localhost", "Proxy=u:secret@[proxy]"},
       "HTTP/1.1 407 Proxy Authentication Required\r\n\r\n", 57,
       tunnel + "Proxy-Authorization: Basic dTpzZWNyZXQ=\r\n\r\n",
       "407 Proxy Authentication Required; it refused the credentials given (57"},
      {"407 without", {"HTTPS_PROXY=[proxy]"}, {"Site=https://localhost"}, "HTTP/1.0 407 Who\r\n\r\n", 57,
       tunnel + "\r\n", "407 Who; it wants credentials (57"},
      {"503 retried", {"https_proxy=[proxy]"}, {"Site=https://localhost", "Retries=1"}, "HTTP/1.0 503 Busy\r\n\r\n", 57,
       tunnel + "\r\n", "; try 2 of 2\n", 2},
      {"proxy trickles its answer", {"https_proxy=[proxy]"}, {"Site=https://localhost", "Timeout=1"}, "x", 24,
       tunnel + "\r\n", "ravelok: no answer to CONNECT from proxy [proxy shown] within 1 s (24 time-out)\n", 1, 40},
      {"proxy closes", {"https_proxy=[proxy]"}, {"Site=https://localhost"}, "", 57, tunnel + "\r\n",
       "it closed without answering (57"},
      {"bytes after the 200", {"https_proxy=[proxy]"}, {"Site=https://localhost"}, "HTTP/1.0 200 OK\r\n\r\nxyz",
       57, tunnel + "\r\n", "it sent bytes after its answer (57"},
      {"Site with a path never reaches the proxy", {"http_proxy=[proxy]"}, {"Site=example.org/upload"}, ok, 57, "",
       "host \"example.org/upload\": not a host name, so not sent to the proxy (57 network failure); Site takes"},
      {"proxy refuses the connection", {"http_proxy=" + refused}, {}, ok, 57, "",
       "ravelok: cannot connect to proxy " + with(refused, ":", " port ") + ": "},
      {"Proxy of another scheme", {}, {"Proxy=socks5://u:secret@[proxy]"}, ok, 2, "",
       "[URL] Proxy: a scheme other than http://"},
      {"Proxy port", {}, {"Proxy=127.0.0.1:99999"}, ok, 2, "", "[URL] Proxy: the proxy's port is not a number"},
      {"Proxy credentials beside a Proxy-Authorization line", {},
       {"Proxy=u:secret@[proxy]", "[Headers]", "1=Proxy-Authorization: Basic secret"}, ok, 2, "",
       "[URL] Proxy: credentials beside a Proxy-Authorization line in [Headers] (2 bad settings)\n"},
      {"https_proxy of another scheme", {"https_proxy=https://u:secret@[proxy]"}, {"Site=https://localhost"}, ok,
       2, "", "bad setting in the environment: https_proxy: a scheme other than http://"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScriptedServer server({.answer = {{ok}}, .when = AnswerWhen::after_request, .accept_limit_ms = 4000});
    std::vector<ServerChunk> answer(static_cast<std::size_t>(row.trickle), {row.proxy_answer, row.trickle > 1 ? 100 : 0});
    ScriptedServer proxy({.answer = answer, .when = AnswerWhen::after_request,
                          .connections = row.tries, .accept_limit_ms = 4000});
    ASSERT_TRUE(server.ok() && proxy.ok());
    const std::string sp = std::to_string(server.port());
    const std::string at = "127.0.0.1:" + std::to_string(proxy.port());
    std::vector<std::string> settings = {"[URL]"};
    for (const std::string& line : row.settings) settings.push_back(with(line, "[proxy]", at));
    const std::size_t sections = std::find_if(settings.begin() + 1, settings.end(),
                                              [](const std::string& l) { return l[0] == '['; }) - settings.begin();
    settings.insert(settings.begin() + static_cast<std::ptrdiff_t>(sections),
                    {"Site=127.0.0.1", "Port=" + sp, "Page=/p", "Save=answer.txt"});
    write_file(work.file("RAVELOK.INI"), ini(settings));
    std::vector<std::string> environment = {"TEMP=" + temp.path};
    for (const std::string& entry : row.environment) environment.push_back(with(entry, "[proxy]", at));
    RunResult result = run_ravelok({{work.path}, environment, work.path, 20000});
    EXPECT_EQ(result.status, row.status) << result.output;
    EXPECT_EQ(result.output.find("secret"), std::string::npos) << result.output;
    EXPECT_LT(result.seconds, 3.0 + 1.5 * (row.tries - 1));
    const std::string words = with(row.words, "[proxy shown]", "127.0.0.1 port " + std::to_string(proxy.port()));
    if (words.empty()) {
      EXPECT_EQ(result.output, "");
    } else {
      EXPECT_NE(result.output.find(words), std::string::npos) << result.output;
    }
    proxy.stop();
    server.stop();
    EXPECT_EQ(proxy.request(), with(row.proxy_got, "SP", sp));
    EXPECT_EQ(proxy.accepted(), row.proxy_got.empty() ? 0 : row.tries);
    const bool straight = row.status == 0 && row.proxy_got.empty();
    EXPECT_EQ(server.request(), straight ? with(direct, "SP", sp) : "");
  }
}
