// Whole runs against servers that answer, end or break an answer in their
// own ways: the exit status, the saved bytes, the time taken and that
// nothing is left in the temporary directory.
#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>

#include "support/job_fixture.h"
#include "support/scripted_server.h"

namespace {

class AnswerRun : public WholeRun {};

const std::string kOk = "HTTP/1.0 200 OK\r\n";

// Answers in pieces, cut short, reset, broken or of odd bytes, and a save
// that fails as it writes.
TEST_F(AnswerRun, PiecesEndsAndOddBytes) {
  struct Case {
    const char* name;
    std::vector<ServerChunk> answer;
    int status;
    std::string saved;  // the save file's bytes, CR LF included
    double seconds;
    std::string save = "answer.txt";
    EndAction end = EndAction::close;
  };
  const std::string head = kOk + "X: y";
  // Every byte value, each 64 times, in an order that puts CR LF CR LF and
  // NUL bytes in the middle of the body.
  std::string all_bytes;
  for (int round = 0; round < 64; ++round) {
    for (int value = 0; value < 256; ++value) all_bytes.push_back(static_cast<char>((value + round * 13) & 0xFF));
    all_bytes += "\r\n\r\n";
  }
  const std::string length = "Content-Length: " + std::to_string(all_bytes.size()) + "\r\n";
  // A small answer in one write per byte.
  std::vector<ServerChunk> one_byte_writes;
  for (char byte : kOk + "Content-Length: 10\r\nX-Pad: " + std::string(40, '=') + "\r\n\r\n0123456789") {
    one_byte_writes.push_back({std::string(1, byte), 2});
  }
  std::string header = kOk;
  while (header.size() < (20u << 20)) header += "X-Filler: 0123456789abcdef0123456789abcdef\r\n";
  const std::string big = pattern(20u << 20);
  // A normal answer ends without the pauses between receive attempts.
  const std::vector<Case> cases = {
      {"CR LF | CR LF", {{head + "\r\n"}, {"\r\nbody", 150}}, 0, "body\r\n", 3.0},
      {"CR LF CR | LF", {{head + "\r\n\r"}, {"\nbody", 150}}, 0, "body\r\n", 3.0},
      {"CR | LF CR LF", {{head + "\r"}, {"\n\r\nbo", 150}, {"dy", 150}}, 0, "body\r\n", 3.0},
      {"one byte each", {{"H"}, {"\r", 20}, {"\n", 20}, {"\r", 20}, {"\n", 20}, {"b", 20}, {"c", 20}}, 0, "bc\r\n",
       3.0},
      {"404 page", {{"HTTP/1.0 404 Not Found\r\n\r\n<html>gone</html>"}}, 0, "<html>gone</html>\r\n", 3.0},
      {"header only", {{"HTTP/1.0 204 No Content\r\nContent-Length: 0\r\n\r\n"}}, 0, "\r\n", 3.0},
      {"no blank line", {{"just text\r\nno header"}}, 0, "just text\r\nno header\r\n", 3.0},
      {"NUL and high bytes", {{std::string("HTTP/1.0 200 OK\r\n\r\n\0\xff\r\n\x01", 24)}}, 0,
       std::string("\0\xff\r\n\x01\r\n", 7), 3.0},
      {"body after a pause", {{kOk + "Content-Length: 6\r\n\r\nabc"}, {"def", 1500}}, 0, "abcdef\r\n", 3.0},
      {"closes without answering", {}, 62, "\r\n", 8.0},
      {"closes before the announced length", {{kOk + "Content-length: 10\r\n\r\nshort"}}, 62, "short\r\n", 8.0},
      {"length reached", {{kOk + "content-LENGTH:   3\r\n\r\nabc"}}, 0, "abc\r\n", 8.0},
      // Wine hands a reset on as an orderly close, which is still short of
      // the announced length.
      {"resets in the middle of the body", {{kOk + "Content-Length: 100\r\n\r\npart"}, {"ial", 100}},
       testing_windows_binary() ? 62 : 57, "partial\r\n", 8.0, "answer.txt", EndAction::reset},
      // The save goes to a full device; answer.txt is never written.
      {"disk full", {{kOk + "\r\nx"}}, 61, "", 8.0, "/dev/full"},
      // Without a blank line the text so far is the body; no length was
      // announced, so the answer counts as complete.
      {"closes in the middle of the header", {{kOk + "Server: scri"}}, 0, kOk + "Server: scri\r\n", kQuick},
      {"closes in the header after announcing a length", {{kOk + "Content-Length: 5\r\nServer: scri"}}, 62,
       kOk + "Content-Length: 5\r\nServer: scri\r\n", kQuick},
      // The body would run to the server's close; a reset cuts it short,
      // and ends the reading at once.
      // Wine hands a reset on as an orderly close: the answer is complete.
      {"resets in a body of no announced length", {{kOk + "\r\npart"}, {"", 200}}, testing_windows_binary() ? 0 : 57,
       "part\r\n", kQuick, "answer.txt", EndAction::reset},
      {"answers in 1-byte writes", one_byte_writes, 0, "0123456789\r\n", kQuick},
      {"a 20 MB header without a blank line", {{header}}, 0, header + "\r\n", kBulk},
      // It goes to the save file through the scratch file.
      {"a 20 MB body with its length", {{kOk + "Content-Length: " + std::to_string(big.size()) + "\r\n\r\n" + big}}, 0,
       big + "\r\n", kBulk},
      {"a body of every byte value with its length", {{kOk + length + "\r\n" + all_bytes}}, 0, all_bytes + "\r\n",
       kQuick},
      {"a body of every byte value in small writes",
       {{kOk + "\r\n" + all_bytes.substr(0, 5000)}, {all_bytes.substr(5000), 50}}, 0, all_bytes + "\r\n", kQuick},
  };
  for (const Case& c : cases) {
    unlink(work.file("answer.txt").c_str());
    ScriptedServer server({.answer = c.answer, .when = AnswerWhen::after_request, .end = c.end});
    ASSERT_TRUE(server.ok()) << server.failure();
    RunResult result = run(job(server.port(), "/p", c.save));
    EXPECT_EQ(result.status, c.status) << c.name << result.output;
    const std::string saved = read_file(work.file("answer.txt"));
    EXPECT_TRUE(saved == c.saved) << c.name << ": saved " << saved.size() << " bytes, expected "
                                  << c.saved.size();
    EXPECT_LT(result.seconds, c.seconds) << c.name;
    EXPECT_TRUE(list_directory(temp.path).empty()) << c.name;
  }
}

// Servers that end an answer in their own ways, and servers that stop
// reading: the bytes after the body, the status, the saved bytes, the time.
TEST_F(AnswerRun, ServersThatHoldResetOrStopReading) {
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

// An answer nobody keeps (no Save, Show 0) is read to its end and counted,
// in bounded memory, and leaves no file anywhere; no viewer is started.
TEST_F(AnswerRun, DroppedAnswerIsReadInBoundedMemory) {
  const std::size_t size = 100u << 20;
  const std::string head = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n";
  // Held as one megabyte sent a hundred times: the test's own memory, which
  // the child starts out sharing, stays small.
  ScriptedServer server({.answer = {{head}, {std::string(1u << 20, 'd'), 0, 100}},
                         .when = AnswerWhen::after_request});
  ScriptedServer marked({.answer = {{head}, {std::string(1u << 20, 'd'), 0, 99},
                                    {std::string((1u << 20) - 3, 'd') + "end"}},
                         .when = AnswerWhen::after_request});
  ASSERT_TRUE(server.ok()) << server.failure();
  ASSERT_TRUE(marked.ok()) << marked.failure();
  RunResult result = run(job(server.port(), "/p", ""));
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_TRUE(list_directory(temp.path).empty());
  // Against the same job with a 1 KiB answer: the peak a process reports
  // counts what it shared with the test before it started the program (more
  // in a sanitized build), which both runs carry alike.
  ScriptedServer small({.answer = {{"HTTP/1.0 200 OK\r\n\r\n" + std::string(1024, 's')}},
                        .when = AnswerWhen::after_request});
  ASSERT_TRUE(small.ok()) << small.failure();
  RunResult baseline = run(job(small.port(), "/p", ""));
  EXPECT_EQ(baseline.status, 0) << baseline.output;
  EXPECT_EQ(list_directory(work.path), std::vector<std::string>{"RAVELOK.INI"});
  EXPECT_EQ(viewer_log(false), "");
  // With an [Expect] text in the last bytes every byte is searched, in the
  // same memory as without the check.
  RunResult checked = run(with_keys(job(marked.port(), "/p", ""), {"[Expect]", "1=dend"}));
  EXPECT_EQ(checked.status, 0) << checked.output;
  if (!testing_windows_binary()) {
    EXPECT_LT(result.peak_rss_kib, baseline.peak_rss_kib + 16 * 1024)
        << result.peak_rss_kib << " KiB against " << baseline.peak_rss_kib;
    EXPECT_LT(checked.peak_rss_kib, result.peak_rss_kib + 1024)
        << checked.peak_rss_kib << " KiB against " << result.peak_rss_kib;
  }
}

}  // namespace
