// A loopback TCP server for tests, scripted per test case.
//
// The server listens on 127.0.0.1 or ::1 (port 0 picks a free port, read it
// back with port()), runs on its own thread and serves `connections` clients
// one after another, each by the same script:
//
//   1. accept (bounded by accept_limit_ms);
//   2. with close_at_once: close at once, reading nothing, and go on with
//      the next client;
//   3. after read_pause_ms (reading nothing meanwhile), read until the
//      answer is due (`when`); read_limit_ms without a byte
//      from the client gives up and closes without answering:
//        on_accept      at once;
//        after_request  once a complete HTTP request is in: the header up to
//                       CR LF CR LF plus Content-Length body bytes;
//        after_bytes    once `after_bytes` bytes are in;
//        never          never answers; reads until the client closes or
//                       the test calls stop(), with no time limit;
//   4. send the answer: each chunk after its pause (reading meanwhile);
//   5. end: close   - half-close (the client sees the end of the data), read
//                     on until the client closes (or read_limit_ms passes
//                     without a byte), then close;
//           reset   - close with SO_LINGER {1, 0}: the client sees a reset;
//           hold_open - keep the connection, reading, until the client
//                     closes or the test calls stop();
//           close_unread - close at once, reading nothing more: a byte the
//                     client sent past the request makes the system reset
//                     the connection (as servers that read exactly
//                     Content-Length bytes do).
//
// Every byte the client sent is recorded in request(i) for connection i,
// also while the server pauses or sends. Waits are bounded by the limits
// below, `never` and hold_open by stop(); stop() and the destructor end
// every wait at once, join the thread and close every descriptor.
//
// Scripts are plain records; designated initializers must name the fields
// in the order they are declared in ServerScript. Typical use:
//   ScriptedServer server({.answer = {{"HTTP/1.0 200 OK\r\n\r\nhello"}},
//                          .when = AnswerWhen::after_request});
//   ASSERT_TRUE(server.ok()) << server.failure();
//   ... connect to 127.0.0.1:server.port() and talk ...
//   ASSERT_TRUE(server.wait_done(5000));   // the client has closed
//   EXPECT_EQ(server.request(), "GET / HTTP/1.0\r\n...");
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

enum class AnswerWhen { on_accept, after_request, after_bytes, never };
enum class EndAction { close, reset, hold_open, close_unread };

// One write of the answer, made after a pause (repeated, for answers too
// large to hold).
struct ServerChunk {
  std::string bytes = {};
  int pause_ms = 0;
  int repeat = 1;
};

struct ServerScript {
  std::vector<ServerChunk> answer = {};
  AnswerWhen when = AnswerWhen::on_accept;
  std::size_t after_bytes = 0;  // for AnswerWhen::after_bytes
  EndAction end = EndAction::close;
  bool close_at_once = false;   // close right after accept, read nothing
  std::string address = "127.0.0.1";
  std::uint16_t port = 0;       // 0: any free port
  int connections = 1;          // clients served one after another
  int accept_limit_ms = 10000;  // bound of the wait for each client
  int read_limit_ms = 30000;    // bound of each wait for client bytes
  int read_pause_ms = 0;        // after accept, read nothing for this long
  // The answers of the second, third, ... client, when they differ.
  std::vector<std::vector<ServerChunk>> later_answers = {};
};

class ScriptedServer {
 public:
  // Binds and listens before returning (check ok()), then serves on a thread.
  explicit ScriptedServer(ServerScript script);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  // False when the address could not be bound (failure() says why).
  bool ok() const { return listening_; }
  std::string failure() const { return failure_; }
  // The port listened on.
  std::uint16_t port() const { return port_; }

  // Waits up to limit_ms until count connections have had their whole
  // answer sent and their end action taken (half-closed, reset or held).
  bool wait_answered(int limit_ms, int count = 1);
  // Waits up to limit_ms for every connection to end; true when they have.
  // With the close end action a connection ends when the client closes.
  bool wait_done(int limit_ms);
  // Ends every wait (a held connection is closed), joins the thread.
  void stop();

  // The exact bytes the client of connection index sent so far.
  std::string request(std::size_t index = 0);
  // The number of clients accepted so far.
  int accepted();

 private:
  enum class ReadOutcome { data, closed, timed_out, stopped };

  void serve();
  void serve_one(int fd, std::size_t index);
  ReadOutcome read_some(int fd, std::size_t index, int limit_ms);
  void drain(int fd, std::size_t index);
  bool answer_due(std::size_t index);
  bool pause(int fd, std::size_t index, int ms, bool& client_closed);
  bool send_all(int fd, std::size_t index, const std::string& bytes, bool& client_closed);
  void record(std::size_t index, const char* data, std::size_t size);
  void note_answered();

  ServerScript script_;
  int listen_fd_ = -1;
  bool listening_ = false;
  int wake_fds_[2] = {-1, -1};  // written by stop() to end every poll
  std::uint16_t port_ = 0;
  std::string failure_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool done_ = false;
  bool stop_ = false;
  int accepted_ = 0;
  int answered_ = 0;
  std::vector<std::string> requests_;
};

// True when the Content-Length header of a request (the text up to CR LF
// CR LF) announces a body that text already holds completely.
bool http_request_complete(const std::string& text);

// A loopback listener that never accepts: the system completes connections
// to it, takes a few bytes into a small buffer, and then no more.
struct DeafListener {
  DeafListener();
  ~DeafListener();
  int fd = -1;
  std::uint16_t port = 0;
};
