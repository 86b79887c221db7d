// The TCP stream connection against a scripted loopback server.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>

#include "services/number_table.h"
#include "services/tcp.h"
#include "support/fixtures.h"
#include "support/scripted_server.h"

namespace {

constexpr std::uint32_t kShortTimeout = 200;

std::uint64_t now_ms() { return platform_monotonic_milliseconds(); }

// True when name resolves to an address of family (AF_INET or AF_INET6).
bool resolves_to(const char* name, int family) {
  struct addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* answer = nullptr;
  if (getaddrinfo(name, "80", &hints, &answer) != 0) return false;
  freeaddrinfo(answer);
  return true;
}

int open_descriptors() {
  int count = 0;
  for (int fd = 0; fd < 1024; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) ++count;
  }
  return count;
}

class TcpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_number_table();
    descriptors_ = open_descriptors();
  }
  void TearDown() override {
    // Every test closes what it opened; whatever a failing test left open is
    // closed here so no socket outlives it.
    EXPECT_EQ(open_descriptors(), descriptors_ + open_connections());
    for (std::int16_t number = 1; number <= 64; ++number) {
      ErrorNumber ignored = 0;
      tcp_close(ignored, number);
    }
    reset_number_table();
  }

  static int open_connections() {
    int count = 0;
    for (std::int16_t number = 1; number <= 64; ++number) {
      NumberEntry* entry = find_number(number);
      if (entry != nullptr && entry->kind == NumberKind::tcp) ++count;
    }
    return count;
  }

  int descriptors_ = 0;

  // Opens the next free number to host:port; the error lands in error_code.
  std::int16_t open(ErrorNumber& error_code, const std::string& host, std::int32_t port,
                    std::uint32_t timeout_ms = kShortTimeout) {
    std::int16_t number = next_free_number();
    tcp_open(error_code, number, host, port, {timeout_ms, 0}, "");
    return number;
  }

  // Opens a connection to server (on 127.0.0.1) and expects success.
  std::int16_t open_to(ScriptedServer& server, std::uint32_t timeout_ms = kShortTimeout) {
    ErrorNumber error_code = 0;
    std::int16_t number = open(error_code, "127.0.0.1", server.port(), timeout_ms);
    EXPECT_EQ(error_code, 0);
    return number;
  }
};

TEST_F(TcpTest, OpensByAddressAndByName) {
  struct Case {
    const char* host;
    const char* listen;
    int family;
  };
  const Case cases[] = {
      {"127.0.0.1", "127.0.0.1", AF_INET},
      {"localhost", "127.0.0.1", AF_INET},
      {"localhost", "::1", AF_INET6},
      {"::1", "::1", AF_INET6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.host) + " -> " + c.listen);
    if (!resolves_to(c.host, c.family)) {
      std::printf("skipped: %s does not resolve to %s here\n", c.host, c.listen);
      continue;
    }
    ScriptedServer server({.answer = {{"hello"}}, .address = c.listen});
    if (!server.ok()) {
      std::printf("skipped: %s\n", server.failure().c_str());
      continue;
    }
    ErrorNumber error_code = 0;
    std::int16_t number = open(error_code, c.host, server.port(), 2000);
    ASSERT_EQ(error_code, 0);
    EXPECT_EQ(tcp_receive(error_code, number, 4096), "hello");
    EXPECT_EQ(error_code, 0);
    tcp_close(error_code, number);
  }
}

TEST_F(TcpTest, HostIsUsedWhole) {
  ScriptedServer server({.answer = {{"ok"}}, .connections = 2});
  ASSERT_TRUE(server.ok()) << server.failure();
  // A cut name would be another host: neither of these reaches the server.
  std::string with_nul = std::string("127.0.0.1") + '\0' + "garbage";
  std::string long_address = std::string(256 - 9, '0') + "177.0.0.1";  // octal 0177 is 127
  for (const std::string& host : {with_nul, long_address + "junk.invalid"}) {
    ErrorNumber error_code = 0;
    std::int16_t number = open(error_code, host, server.port());
    EXPECT_EQ(error_code, 57) << host.size();
    EXPECT_EQ(find_number(number), nullptr);
  }
  EXPECT_EQ(server.accepted(), 0);
}

TEST_F(TcpTest, FailedOpensLeaveTheNumberFree) {
  // A bound socket that does not listen: connecting to it is refused.
  int blocker = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&address), size), 0);
  ASSERT_EQ(getsockname(blocker, reinterpret_cast<sockaddr*>(&address), &size), 0);
  std::int32_t refused_port = ntohs(address.sin_port);

  struct Case {
    const char* what;
    std::int16_t number;
    std::int32_t port;
    ErrorNumber expected;
  };
  const Case cases[] = {
      {"nothing listening", 1, refused_port, 57},
      {"negative port, empty service", 2, -1, 57},
      {"negative port -32768", 3, -32768, 57},
      {"negative number", -5, refused_port, 52},
  };
  for (const Case& c : cases) {
    ErrorNumber error_code = 0;
    tcp_open(error_code, c.number, "127.0.0.1", c.port, {kShortTimeout, 0}, "");
    EXPECT_EQ(error_code, c.expected) << c.what;
    EXPECT_EQ(find_number(c.number), nullptr) << c.what;
  }
  close(blocker);
}

TEST_F(TcpTest, OpeningAnOpenNumberFailsAndKeepsTheConnection) {
  ScriptedServer first({.answer = {{"first"}}, .end = EndAction::hold_open});
  ScriptedServer second({.answer = {{"second"}}, .accept_limit_ms = 300});
  ASSERT_TRUE(first.ok() && second.ok());
  std::int16_t number = open_to(first);
  ErrorNumber error_code = 0;
  tcp_open(error_code, number, "127.0.0.1", second.port(), {kShortTimeout, 0}, "");
  EXPECT_EQ(error_code, 55);
  error_code = 0;
  EXPECT_EQ(tcp_receive(error_code, number, 4096), "first");
  EXPECT_EQ(error_code, 0);
  EXPECT_TRUE(second.wait_done(2000));
  EXPECT_EQ(second.accepted(), 0);
}

TEST_F(TcpTest, ShortBurstComesAtOnceAndSetsEndOfData) {
  ScriptedServer server({.answer = {{pattern(1000)}}, .end = EndAction::hold_open});
  ASSERT_TRUE(server.ok());
  std::int16_t number = open_to(server, 3000);
  ErrorNumber error_code = 0;
  std::uint64_t started = now_ms();
  EXPECT_EQ(tcp_receive(error_code, number, 4096), pattern(1000));
  EXPECT_LT(now_ms() - started, 1000u);
  EXPECT_EQ(error_code, 0);
  EXPECT_TRUE(tcp_at_end(error_code, number));
}

TEST_F(TcpTest, BurstThenCloseIsHandedOutInRequestedPieces) {
  const std::string data = pattern(10000);
  ScriptedServer server({.answer = {{data}}});
  ASSERT_TRUE(server.ok());
  std::int16_t number = open_to(server);
  // Let the whole burst and the close arrive, so one refill takes it all.
  ASSERT_TRUE(server.wait_answered(2000));
  platform_sleep(50);
  struct Step {
    std::size_t offset, size;
    bool at_end;
  };
  const Step steps[] = {{0, 4096, false}, {4096, 4096, false}, {8192, 1808, true},
                        {0, 0, true}, {0, 0, true}, {0, 0, true}};
  for (const Step& step : steps) {
    ErrorNumber error_code = 0;
    std::uint64_t started = now_ms();
    EXPECT_EQ(tcp_receive(error_code, number, 4096), data.substr(step.offset, step.size));
    EXPECT_EQ(error_code, 0);
    EXPECT_EQ(tcp_at_end(error_code, number), step.at_end) << step.offset;
    EXPECT_LT(now_ms() - started, 150u);
  }
}

TEST_F(TcpTest, CountZeroTakesNothing) {
  ScriptedServer server({.answer = {{pattern(1000)}}, .end = EndAction::hold_open});
  ASSERT_TRUE(server.ok());
  std::int16_t number = open_to(server);
  ErrorNumber error_code = 0;
  std::uint64_t started = now_ms();
  EXPECT_EQ(tcp_receive(error_code, number, 0), "");
  EXPECT_LT(now_ms() - started, 100u);
  EXPECT_EQ(tcp_receive(error_code, number, 10), pattern(1000).substr(0, 10));
  EXPECT_EQ(tcp_receive(error_code, number, 0), "");
  EXPECT_EQ(tcp_receive(error_code, number, 4096), pattern(1000).substr(10));
  EXPECT_EQ(error_code, 0);
}

TEST_F(TcpTest, SilentServerTimesOutOnce) {
  // One short case, one with the time-out the exchange uses, and one where
  // the deadline given at the open comes first.
  struct Case { std::uint32_t timeout, deadline_in, bound; };
  for (const Case& c : {Case{kShortTimeout, 0, kShortTimeout}, Case{3000, 0, 3000}, Case{3000, 400, 400}}) {
    ScriptedServer server({.when = AnswerWhen::never});
    ASSERT_TRUE(server.ok());
    ErrorNumber error_code = 0;
    std::int16_t number = next_free_number();
    tcp_open(error_code, number, "127.0.0.1", server.port(),
             {c.timeout, c.deadline_in == 0 ? 0 : now_ms() + c.deadline_in}, "");
    ASSERT_EQ(error_code, 0);
    std::uint64_t started = now_ms();
    EXPECT_EQ(tcp_receive(error_code, number, 4096), "");
    std::uint64_t elapsed = now_ms() - started;
    EXPECT_EQ(error_code, 24);
    EXPECT_GE(elapsed + 20, c.bound);
    EXPECT_LT(elapsed, c.bound + 1000);
    error_code = 0;
    EXPECT_FALSE(tcp_at_end(error_code, number));
    EXPECT_EQ(error_code, 0);
    tcp_close(error_code, number);
  }
}

TEST_F(TcpTest, TimeOutAfterSomeBytesEndsTheReceiveQuietly) {
  const std::string data = pattern(1000);
  ScriptedServer server({.answer = {{data}}, .end = EndAction::hold_open});
  ASSERT_TRUE(server.ok());
  std::int16_t number = open_to(server);
  ErrorNumber error_code = 0;
  EXPECT_EQ(tcp_receive(error_code, number, 10), data.substr(0, 10));
  EXPECT_FALSE(tcp_at_end(error_code, number));
  // The buffer runs dry with bytes still wanted: one wait, then the 990.
  std::uint64_t started = now_ms();
  EXPECT_EQ(tcp_receive(error_code, number, 2000), data.substr(10));
  EXPECT_GE(now_ms() - started + 20, kShortTimeout);
  EXPECT_EQ(error_code, 0);
  EXPECT_TRUE(tcp_at_end(error_code, number));
}

TEST_F(TcpTest, ResetKeepsTheBytesAlreadyTaken) {
  const std::string data = pattern(1000);
  ScriptedServer server({.answer = {{data}, {"", 300}}, .end = EndAction::reset});
  ASSERT_TRUE(server.ok());
  std::int16_t number = open_to(server, 3000);
  ErrorNumber error_code = 0;
  EXPECT_EQ(tcp_receive(error_code, number, 10), data.substr(0, 10));
  EXPECT_EQ(error_code, 0);
  EXPECT_EQ(tcp_receive(error_code, number, 2000), data.substr(10));
  EXPECT_EQ(error_code, 57);
  EXPECT_FALSE(tcp_at_end(error_code, number));
}

TEST_F(TcpTest, ResetAfterDataReachesTheNextReceive) {
  ScriptedServer server({.answer = {{"abc"}, {"", 200}}, .end = EndAction::reset});
  ASSERT_TRUE(server.ok());
  std::int16_t number = open_to(server, 3000);
  ErrorNumber error_code = 0;
  EXPECT_EQ(tcp_receive(error_code, number, 4096), "abc");
  ASSERT_TRUE(server.wait_answered(5000, 1));
  // The reset is no orderly close: the next receive reports it.
  EXPECT_EQ(tcp_receive(error_code, number, 4096), "");
  EXPECT_EQ(error_code, 57);
}

TEST_F(TcpTest, TimeOutZeroWaitsForLateData) {
  ScriptedServer server({.answer = {{"late", 400}}});
  ASSERT_TRUE(server.ok());
  std::int16_t number = open_to(server, 0);
  EXPECT_EQ(find_number(number)->connection->timeout_ms, 0xFFFFFFFFu);
  ErrorNumber error_code = 0;
  EXPECT_EQ(tcp_receive(error_code, number, 4096), "late");
  EXPECT_EQ(error_code, 0);
}

TEST_F(TcpTest, SendsExactBytesAndClearsEndOfData) {
  ScriptedServer server({.answer = {{"x"}}, .end = EndAction::hold_open});
  ASSERT_TRUE(server.ok());
  std::int16_t number = open_to(server);
  ErrorNumber error_code = 0;
  EXPECT_EQ(tcp_receive(error_code, number, 4096), "x");
  EXPECT_TRUE(tcp_at_end(error_code, number));
  // Even an empty send is a successful send.
  tcp_send(error_code, number, "");
  EXPECT_FALSE(tcp_at_end(error_code, number));
  tcp_send(error_code, number, std::string("GET\0/", 5));
  tcp_send_line(error_code, number, "");
  tcp_send_line(error_code, number, "a b");
  const std::string big = pattern(3 << 20, 7);
  tcp_send(error_code, number, big);
  EXPECT_EQ(error_code, 0);
  tcp_close(error_code, number);
  ASSERT_TRUE(server.wait_done(5000));
  EXPECT_EQ(server.request(), std::string("GET\0/\r\na b\r\n", 12) + big);
}

TEST_F(TcpTest, SendToAClosedPeerFailsWithoutSignal) {
  ScriptedServer server({.close_at_once = true});
  ASSERT_TRUE(server.ok());
  std::int16_t number = open_to(server);
  ASSERT_TRUE(server.wait_done(2000));
  ErrorNumber error_code = 0;
  const std::string piece(65536, 'z');
  for (int i = 0; i < 200 && error_code == 0; ++i) tcp_send(error_code, number, piece);
  EXPECT_EQ(error_code, 57);
  // The connection stays open until closed.
  EXPECT_NE(find_number(number), nullptr);
}

TEST_F(TcpTest, WrongNumbersAndKinds) {
  ErrorNumber file_error = 0;
  ASSERT_NE(enter_number(file_error, 9, NumberKind::file_read, kNoFile), nullptr);
  struct Case {
    const char* what;
    std::int16_t number;
    ErrorNumber send, receive, at_end, close;
  };
  const Case cases[] = {
      {"not open", 4, 52, 52, 53, 0},
      {"disk file", 9, 54, 54, 0, 54},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ErrorNumber error_code = 0;
    tcp_send(error_code, c.number, "x");
    EXPECT_EQ(error_code, c.send);
    error_code = 0;
    EXPECT_EQ(tcp_receive(error_code, c.number, 10), "");
    EXPECT_EQ(error_code, c.receive);
    error_code = 0;
    EXPECT_FALSE(tcp_at_end(error_code, c.number));
    EXPECT_EQ(error_code, c.at_end);
    error_code = 0;
    tcp_close(error_code, c.number);
    EXPECT_EQ(error_code, c.close);
  }
  EXPECT_NE(find_number(9), nullptr);
  ErrorNumber error_code = 0;
  EXPECT_EQ(tcp_receive(error_code, 9, -1), "");
  EXPECT_EQ(error_code, 7);
}

TEST_F(TcpTest, NegativeCountFailsAndTakesNothing) {
  ScriptedServer server({.answer = {{"abc"}}, .end = EndAction::hold_open});
  ASSERT_TRUE(server.ok());
  std::int16_t number = open_to(server);
  ErrorNumber error_code = 0;
  EXPECT_EQ(tcp_receive(error_code, number, 1), "a");
  EXPECT_EQ(tcp_receive(error_code, number, -1), "");
  EXPECT_EQ(error_code, 7);
  error_code = 0;
  EXPECT_EQ(tcp_receive(error_code, number, 10), "bc");
  EXPECT_EQ(error_code, 0);
}

TEST_F(TcpTest, NumbersAreNotReusedAtOnce) {
  ScriptedServer server({.end = EndAction::hold_open, .connections = 2});
  ASSERT_TRUE(server.ok());
  EXPECT_EQ(open_to(server), 1);
  EXPECT_EQ(open_to(server), 2);
  ErrorNumber error_code = 0;
  tcp_close(error_code, 1);
  EXPECT_EQ(error_code, 0);
  EXPECT_EQ(find_number(1), nullptr);
  EXPECT_EQ(next_free_number(), 3);
}

// The test server itself: it must answer only once the request is whole.
TEST_F(TcpTest, ScriptedServerAnswersAfterTheWholeRequest) {
  struct Case {
    AnswerWhen when;
    std::string first, rest;
  };
  const Case cases[] = {
      {AnswerWhen::after_request, "POST / HTTP/1.0\r\ncontent-length: 5\r\n\r\nab", "cde"},
      {AnswerWhen::after_request, "GET / HTTP/1.0\r\nHost: x\r\n\r", "\n"},
      {AnswerWhen::after_bytes, "1234", "5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.first);
    ScriptedServer server({.answer = {{"answer"}}, .when = c.when, .after_bytes = 5});
    ASSERT_TRUE(server.ok());
    std::int16_t number = open_to(server);
    ErrorNumber error_code = 0;
    tcp_send(error_code, number, c.first);
    EXPECT_EQ(tcp_receive(error_code, number, 4096), "");
    EXPECT_EQ(error_code, 24);
    error_code = 0;
    tcp_send(error_code, number, c.rest);
    EXPECT_EQ(tcp_receive(error_code, number, 4096), "answer");
    tcp_send(error_code, number, "after");
    EXPECT_EQ(error_code, 0);
    tcp_close(error_code, number);
    ASSERT_TRUE(server.wait_done(2000));
    EXPECT_EQ(server.request(), c.first + c.rest + "after");
  }
}

TEST_F(TcpTest, LargeTransferArrivesByteExact) {
  const std::string data = pattern(50u << 20, 3);
  std::vector<ServerChunk> chunks;
  for (std::size_t at = 0; at < data.size(); at += 1u << 20) {
    chunks.push_back({data.substr(at, 1u << 20)});
  }
  ScriptedServer server({.answer = chunks});
  ASSERT_TRUE(server.ok());
  std::int16_t number = open_to(server, 5000);
  std::string received;
  ErrorNumber error_code = 0;
  std::uint64_t started = now_ms();
  while (error_code == 0 && tcp_receive_into(error_code, number, 4096, received) > 0) {
  }
  EXPECT_EQ(error_code, 0);
  EXPECT_TRUE(received == data) << received.size();
  EXPECT_LT(now_ms() - started, 30000u);
}

}  // namespace
