// The TCP connection over the Win32 backend (Winsock started as version 1.1,
// getaddrinfo, select), against a small scripted loopback server on its own
// thread.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "services/number_table.h"
#include "services/tcp.h"

namespace {

using namespace std::string_literals;

struct Chunk {
  std::string bytes;
  int pause_ms = 0;
};

// Listens on a loopback address, takes one client, waits for `expect`
// request bytes (bounded), sends the chunks and closes (or holds the
// connection until the client closes). Every wait is bounded, and the
// destructor ends the thread.
class LoopbackServer {
 public:
  LoopbackServer(std::vector<Chunk> answer, std::size_t expect, bool hold_open,
                 int family = AF_INET)
      : answer_(std::move(answer)), expect_(expect), hold_open_(hold_open) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    listener_ = socket(family, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_storage address;
    std::memset(&address, 0, sizeof address);
    int size = 0;
    if (family == AF_INET) {
      auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
      v4->sin_family = AF_INET;
      v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      size = sizeof *v4;
    } else {
      auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
      v6->sin6_family = AF_INET6;
      v6->sin6_addr = in6addr_loopback;
      size = sizeof *v6;
    }
    if (listener_ == INVALID_SOCKET || bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(listener_, 4) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      return;
    }
    port_ = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&address)->sin_port
                                    : reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    thread_ = std::thread([this] { serve(); });
  }

  ~LoopbackServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ != INVALID_SOCKET) closesocket(listener_);
    WSACleanup();
  }

  bool ok() const { return port_ != 0; }
  std::uint16_t port() const { return port_; }
  std::string received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

 private:
  // Waits up to limit_ms for s to be readable; false on time-out or stop.
  bool readable(SOCKET s, int limit_ms) {
    for (int waited = 0; waited < limit_ms && !stop_; waited += 20) {
      fd_set set;
      FD_ZERO(&set);
      FD_SET(s, &set);
      timeval step = {0, 20000};
      if (select(0, &set, nullptr, nullptr, &step) > 0) return true;
    }
    return false;
  }

  // Reads what is there; false when the client has closed.
  bool read_some(SOCKET s) {
    char buffer[65536];
    int got = recv(s, buffer, sizeof buffer, 0);
    if (got <= 0) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    received_.append(buffer, static_cast<std::size_t>(got));
    return true;
  }

  void serve() {
    if (!readable(listener_, 10000)) return;
    SOCKET client = accept(listener_, nullptr, nullptr);
    if (client == INVALID_SOCKET) return;
    bool open = true;
    while (open && received().size() < expect_ && readable(client, 10000)) open = read_some(client);
    for (const Chunk& chunk : answer_) {
      if (chunk.pause_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(chunk.pause_ms));
      std::size_t sent = 0;
      while (sent < chunk.bytes.size()) {
        int count = send(client, chunk.bytes.data() + sent, static_cast<int>(chunk.bytes.size() - sent), 0);
        if (count <= 0) break;
        sent += static_cast<std::size_t>(count);
      }
    }
    if (!hold_open_) shutdown(client, SD_SEND);
    // Read on until the client closes, so nothing it sends is lost.
    while (open && readable(client, 10000)) open = read_some(client);
    closesocket(client);
  }

  std::vector<Chunk> answer_;
  std::size_t expect_;
  bool hold_open_;
  SOCKET listener_ = INVALID_SOCKET;
  std::uint16_t port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::string received_;
  volatile bool stop_ = false;
};

class Win32Tcp : public ::testing::Test {
 protected:
  void SetUp() override { reset_number_table(); }
};

TEST_F(Win32Tcp, SendsExactBytesAndTakesAShortBurstAtOnce) {
  LoopbackServer server({{std::string(1000, 'r')}}, 9, true);
  ASSERT_TRUE(server.ok());
  ErrorNumber error_code = 0;
  std::int16_t number = next_free_number();
  tcp_open(error_code, number, "127.0.0.1", server.port(), {3000, 0}, "");
  ASSERT_EQ(error_code, 0);
  tcp_send(error_code, number, "ab\0c"s);
  tcp_send_line(error_code, number, "de");
  tcp_send_line(error_code, number, "");
  EXPECT_EQ(error_code, 0);
  std::string got = tcp_receive(error_code, number, 4096);
  EXPECT_EQ(got, std::string(1000, 'r'));
  EXPECT_TRUE(tcp_at_end(error_code, number));
  EXPECT_EQ(error_code, 0);
  tcp_close(error_code, number);
  EXPECT_EQ(server.received(), "ab\0cde\r\n\r\n"s);
}

TEST_F(Win32Tcp, BurstThenCloseComesInRequestedPieces) {
  std::string answer;
  for (int i = 0; i < 10000; ++i) answer.push_back(static_cast<char>('a' + i % 26));
  LoopbackServer server({{answer}}, 0, false);
  ASSERT_TRUE(server.ok());
  ErrorNumber error_code = 0;
  std::int16_t number = next_free_number();
  tcp_open(error_code, number, "127.0.0.1", server.port(), {3000, 0}, "");
  ASSERT_EQ(error_code, 0);
  // Let the whole burst and the close arrive before the first receive.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::string whole;
  for (std::size_t expected : {4096u, 4096u, 1808u, 0u}) {
    std::string piece = tcp_receive(error_code, number, 4096);
    EXPECT_EQ(piece.size(), expected);
    whole += piece;
  }
  EXPECT_TRUE(tcp_at_end(error_code, number));
  EXPECT_EQ(error_code, 0);
  EXPECT_EQ(whole, answer);
  tcp_close(error_code, number);
}

TEST_F(Win32Tcp, SilentServerTimesOutOnce) {
  LoopbackServer server({}, 0, true);
  ASSERT_TRUE(server.ok());
  ErrorNumber error_code = 0;
  std::int16_t number = next_free_number();
  tcp_open(error_code, number, "127.0.0.1", server.port(), {300, 0}, "");
  ASSERT_EQ(error_code, 0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(tcp_receive(error_code, number, 4096), "");
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(error_code, 24);
  EXPECT_FALSE(tcp_at_end(error_code, number));
  EXPECT_GE(waited, 0.25);
  EXPECT_LT(waited, 2.0);
  tcp_close(error_code, number);
}

TEST_F(Win32Tcp, FailedOpensLeaveTheNumberFree) {
  // A port nobody listens on: bind one, note it, close it.
  std::uint16_t closed_port = 0;
  {
    LoopbackServer probe({}, 0, false);
    ASSERT_TRUE(probe.ok());
    closed_port = probe.port();
    // Let the probe's accept wait see a client and end.
    ErrorNumber ignored = 0;
    std::int16_t number = next_free_number();
    tcp_open(ignored, number, "127.0.0.1", closed_port, {1000, 0}, "");
    tcp_close(ignored, number);
  }
  struct Case { const char* what; std::string host; std::int32_t port; std::string service; };
  const Case cases[] = {
      {"refused", "127.0.0.1", closed_port, ""},
      {"negative port, empty service", "127.0.0.1", -1, ""},
      {"negative port, unknown service", "127.0.0.1", -1, "no-such-service"},
      {"empty host", "", closed_port, ""},
      // The whole name goes to the resolver: a NUL does not cut it short.
      {"NUL in the host", "127.0.0.1\0junk"s, closed_port, ""},
  };
  for (const Case& c : cases) {
    ErrorNumber error_code = 0;
    std::int16_t number = next_free_number();
    tcp_open(error_code, number, c.host, c.port, {1000, 0}, c.service);
    EXPECT_EQ(error_code, 57) << c.what;
    EXPECT_EQ(find_number(number), nullptr) << c.what;
  }
}

TEST_F(Win32Tcp, ConnectingEndsWithinItsBound) {
  if (GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") == nullptr) {
    GTEST_SKIP() << "Windows refuses a connection to a full queue; Linux, under Wine, drops its SYN";
  }
  // A loopback listener with a queue of one, filled by a client nobody
  // accepts: the next SYN is dropped, so only the bound ends the connect.
  WSADATA data;
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  SOCKET full = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  SOCKET filler = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof address;
  ASSERT_EQ(bind(full, reinterpret_cast<sockaddr*>(&address), size), 0);
  ASSERT_EQ(getsockname(full, reinterpret_cast<sockaddr*>(&address), &size), 0);
  ASSERT_EQ(listen(full, 0), 0);
  ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&address), size), 0);
  // The time-out alone, then a deadline that comes first.
  for (std::uint64_t deadline_in : {0, 300}) {
    ErrorNumber error_code = 0;
    const std::uint64_t start = platform_monotonic_milliseconds();
    SocketHandle socket = platform_tcp_connect(error_code, "127.0.0.1", ntohs(address.sin_port), 1000,
                                               deadline_in == 0 ? 0 : start + deadline_in);
    const std::uint64_t waited = platform_monotonic_milliseconds() - start;
    EXPECT_EQ(socket, kNoSocket);
    EXPECT_EQ(error_code, 24);
    EXPECT_GE(waited + 20, deadline_in == 0 ? 1000u : deadline_in);
    EXPECT_LT(waited, deadline_in == 0 ? 1600u : 900u);
  }
  closesocket(filler);
  closesocket(full);
  WSACleanup();
}

TEST_F(Win32Tcp, HostsByName) {
  // "localhost" may resolve to ::1 first; a server on 127.0.0.1 only is
  // still reached because every address is tried.
  for (const std::string& host : {"localhost"s}) {
    LoopbackServer server({{"ok"}}, 0, false);
    ASSERT_TRUE(server.ok());
    ErrorNumber error_code = 0;
    std::int16_t number = next_free_number();
    tcp_open(error_code, number, host, server.port(), {3000, 0}, "");
    EXPECT_EQ(error_code, 0) << host;
    EXPECT_EQ(tcp_receive(error_code, number, 4096), "ok") << host;
    tcp_close(error_code, number);
  }
}

TEST_F(Win32Tcp, SocketsNeverWait) {
  // The server takes the connection and then reads nothing for a while.
  constexpr int kDeafMs = 1500;
  LoopbackServer server({{"", kDeafMs}}, 0, true);
  ASSERT_TRUE(server.ok());
  ErrorNumber error_code = 0;
  SocketHandle socket = platform_tcp_connect(error_code, "127.0.0.1", server.port(), 3000, 0);
  ASSERT_NE(socket, kNoSocket);
  EXPECT_EQ(platform_socket_peer_address(socket), std::string("\x7f\0\0\x01", 4));
  auto start = std::chrono::steady_clock::now();
  char byte = 0;
  EXPECT_EQ(platform_socket_receive(error_code, socket, &byte, 1), -2);
  // Sends fill the socket's buffers and then take nothing, at once.
  const std::string piece(65536, 's');
  std::int64_t accepted = 1;
  for (std::size_t total = 0; accepted > 0 && total < (256u << 20); total += accepted) {
    accepted = platform_socket_send(error_code, socket, piece.data(), piece.size());
  }
  EXPECT_EQ(accepted, 0);
  EXPECT_EQ(error_code, 0);
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(waited, kDeafMs / 2000.0);
  platform_close_socket(socket);
}

TEST_F(Win32Tcp, ServicesAndTheLocalName) {
  ErrorNumber error_code = 0;
  EXPECT_EQ(platform_tcp_service_port(error_code, "http"), 80);
  EXPECT_EQ(error_code, 0);
  EXPECT_EQ(platform_tcp_service_port(error_code, ""), -1);
  EXPECT_EQ(error_code, 57);
  error_code = 0;
  std::string name = platform_local_host_name(error_code);
  EXPECT_EQ(error_code, 0);
  EXPECT_FALSE(name.empty());
  EXPECT_LE(name.size(), 256u);
}

}  // namespace
