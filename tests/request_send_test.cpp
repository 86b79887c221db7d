#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "exchange/request.h"
#include "exchange/request_internal.h"
#include "services/files.h"
#include "services/number_table.h"
#include "services/tcp.h"
#include "support/request_fixture.h"
#include "support/scripted_server.h"

namespace {

namespace fs = std::filesystem;
using request_test::file_part;
using request_test::first_draws;
using request_test::request_of;
using request_test::RequestFixture;
using request_test::value_part;

constexpr std::uint32_t kNoon = 45296789;
const std::string kAgent = "User-Agent: Ravelok/2.00 [ca] [DOS]\r\n";

class Send : public RequestFixture {
 protected:
  // Prepares and sends one request to a fresh listener; the bytes it got.
  std::string exchange(const std::string& page, const std::string& method, const StringList& vars,
                       const StringList& files, PreparedRequest* kept = nullptr,
                       bool ipv6 = false) {
    // The server only listens: it records every byte until the client closes.
    ScriptedServer server({.when = AnswerWhen::never, .address = ipv6 ? "::1" : "127.0.0.1"});
    if (!server.ok()) return "no listener";
    port = server.port();
    Failure failure;
    HttpRequest wanted = request_of(page, method, vars, files);
    wanted.host = ipv6 ? "::1" : "127.0.0.1";
    wanted.port = port;
    PreparedRequest request = prepare_request_at(failure, wanted, kNoon);
    std::int16_t number = next_free_number();
    error_code = failure.number;
    tcp_open(error_code, number, wanted.host, port, {3000, 0}, std::string());
    if (error_code == 0) {
      Failure changed;
      send_request(failure, changed, number, wanted, request, wanted.host);
      error_code = failure.number;
    }
    ErrorNumber ignored = 0;
    tcp_close(ignored, number);
    if (kept != nullptr) *kept = request;
    discard_prepared_request(request);
    EXPECT_TRUE(server.wait_done(5000));
    return server.request();
  }
  std::string host() const { return "Host: 127.0.0.1:" + decimal_text(port) + "\r\n"; }

  ErrorNumber error_code = 0;
  std::uint16_t port = 0;
};

TEST_F(Send, FormPosts) {
  struct Case { StringList vars; std::string form; };
  const Case cases[] = {
      {{}, ""},
      {{"q=a b", "flag", "c=x&y"}, "q=a+b&flag&c=x%26y"},
      {{"name with space=\r\n"}, "name with space=%0D%0A"},
  };
  for (const Case& c : cases) {
    std::string wire = exchange("/form", "POST", c.vars, {});
    EXPECT_EQ(error_code, 0);
    // Nothing follows the bytes that Content-Length counts.
    EXPECT_EQ(wire, "POST /form HTTP/1.0\r\n" + kAgent + host() +
                        "Accept: */*\r\nContent-Type: application/x-www-form-urlencoded\r\n" +
                        "Content-Length: " + decimal_text(static_cast<std::int64_t>(c.form.size())) +
                        "\r\n\r\n" + c.form);
  }
}

TEST_F(Send, UploadPostAndItsLength) {
  // The large file crosses several copy pieces and ends inside one, so the
  // body file and its sending both straddle piece boundaries.
  std::string large(3 * 131072 + 4097, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) {
    large[i] = static_cast<char>((i * 131 + i / 251) % 256);
  }
  const std::string big = large.substr(0, 8192);
  write_file(dir.file("big.bin"), big);
  write_file(dir.file("page.bin"), big.substr(0, 4096));
  write_file(dir.file("large.bin"), large);
  write_file(dir.file("empty"), "");
  struct Case { StringList vars; StringList files; };
  const Case cases[] = {
      {{"a=1", "flag"}, {dir.file("empty")}},
      {{}, {dir.file("big.bin"), dir.file("page.bin")}},
      {{"x=y"}, {dir.file("large.bin"), dir.file("big.bin")}},
  };
  for (const Case& c : cases) {
    PreparedRequest sent;
    std::string wire = exchange("/up", "POST", c.vars, c.files, &sent);
    EXPECT_EQ(error_code, 0);
    const std::string& b = sent.boundary;
    std::string body;
    for (const std::string& entry : c.vars) {
      std::size_t equals = entry.find('=');
      body += value_part(b, entry.substr(0, equals),
                         equals == std::string::npos ? "" : entry.substr(equals + 1));
    }
    for (std::size_t i = 0; i < c.files.size(); ++i) {
      body += file_part(b, static_cast<int>(i + 1), c.files[i], read_file(c.files[i]));
    }
    body += "--" + b + "--\r\n";
    const std::string head = "POST /up HTTP/1.0\r\n" + kAgent + host() +
                             "Accept: */*\r\nContent-Type: multipart/form-data; boundary=" + b +
                             "\r\nContent-Length: " +
                             decimal_text(static_cast<std::int64_t>(body.size())) + "\r\n\r\n";
    EXPECT_TRUE(wire == head + body) << wire.size() << " bytes, " << head.size() + body.size()
                                     << " expected";
    // Content-Length counts exactly the bytes after the blank line.
    std::size_t blank = wire.find("\r\n\r\n");
    ASSERT_NE(blank, std::string::npos);
    EXPECT_NE(wire.find("Content-Length: " + decimal_text(static_cast<std::int64_t>(
                            wire.size() - blank - 4)) + "\r\n"),
              std::string::npos);
    // The body file never shows in the temporary directory.
    EXPECT_TRUE(fs::is_empty(temp.path));
  }
}

TEST_F(Send, HostOfAnIpv6Site) {
  std::string wire = exchange("/", "GET", {}, {}, nullptr, true);
  if (wire == "no listener") GTEST_SKIP() << "no IPv6 loopback";
  EXPECT_EQ(wire, "GET /? HTTP/1.0\r\n" + kAgent + "Host: [::1]:" + decimal_text(port) +
                      "\r\nAccept: */*\r\n\r\n");
}

// A file that changes between counting and sending: cut shorter, the
// request is abandoned where the file ended; grown, only the counted bytes
// go; rewritten in place, it goes out as it is, and the change is noted.
TEST_F(Send, FilesChangedAfterCountingGoOutAsCounted) {
  struct Case {
    const char* name;
    std::string now;           // the file's bytes when it is sent
    SendOutcome outcome;
    std::string sent;          // its bytes on the wire
    bool whole;                // the request's every counted byte went out
    std::string reason;        // of the failure (62); empty: none
  };
  const Case cases[] = {
      {"cut shorter", "abc", SendOutcome::abandoned, "abc", false, "it ended early: 3 of its 10 counted"},
      {"grown", "0123456789 and more", SendOutcome::sent, "0123456789", true, "size or time of last write changed"},
      {"rewritten in place", "9876543210", SendOutcome::sent, "9876543210", true, "size or time of last write"},
      {"as counted", "0123456789", SendOutcome::sent, "0123456789", true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(dir.file("f"), "0123456789");
    ScriptedServer server({.when = AnswerWhen::never});
    ASSERT_TRUE(server.ok()) << server.failure();
    Failure failure;
    const HttpRequest wanted = request_of("/", "POST", {}, {dir.file("f")});
    PreparedRequest request = prepare_request_at(failure, wanted, kNoon);
    ASSERT_EQ(failure.number, 0);
    if (c.now != "0123456789") {
      // Another time of last write, however coarse the file system's clock.
      std::ofstream(dir.file("f"), std::ios::binary | std::ios::trunc) << c.now;
      fs::last_write_time(dir.file("f"), fs::last_write_time(dir.file("f")) + std::chrono::seconds(5));
    }
    ErrorNumber error = 0;
    std::int16_t number = next_free_number();
    tcp_open(error, number, "127.0.0.1", server.port(), {3000, 0}, std::string());
    ASSERT_EQ(error, 0);
    Failure changed;
    EXPECT_EQ(send_request(failure, changed, number, wanted, request, "here"), c.outcome);
    const Failure& noted = c.outcome == SendOutcome::abandoned ? failure : changed;
    EXPECT_EQ(noted.number, c.reason.empty() ? 0 : 62);
    EXPECT_NE(noted.reason.find(c.reason), std::string::npos) << noted.reason;
    if (!c.reason.empty()) {
      EXPECT_EQ(noted.step, Step::upload_changed);
      EXPECT_EQ(noted.index, 1);
    }
    const std::string body = file_part(request.boundary, 1, dir.file("f"), c.sent) + "--" + request.boundary + "--\r\n";
    discard_prepared_request(request);
    tcp_close(error, number);
    ASSERT_TRUE(server.wait_done(5000));
    const std::string wire = server.request();
    const std::string whole = file_part(request.boundary, 1, dir.file("f"), "0123456789") + "--" + request.boundary + "--\r\n";
    EXPECT_NE(wire.find("\r\nContent-Length: " + decimal_text(static_cast<std::int64_t>(whole.size())) + "\r\n"),
              std::string::npos);
    const std::string after_head = wire.substr(wire.find("\r\n\r\n") + 4);
    EXPECT_EQ(after_head, c.whole ? body : body.substr(0, body.find(c.sent) + c.sent.size()));
  }
  expect_no_open_numbers();
}

// A file searched as it is sent: the piece that ends a delimiter of the
// first boundary is never sent, and the request goes again, whole, under
// the next boundary drawn.
TEST_F(Send, DelimiterFoundWhileSentDrawsAgain) {
  auto [first, name] = first_draws(kNoon);
  const std::string second = decimal_text(random_integer(1, 2147483647));
  const std::string delimiter = "--" + first;
  const std::size_t piece = 512u << 10;
  struct Case { std::size_t at; bool whole; };
  // Where the delimiter starts in the file (of at + 64 KiB bytes); whole
  // false puts all but its last byte there.
  const Case cases[] = {
      {0, true}, {piece - 5, true}, {piece, true}, {7 * piece + 9, true}, {piece - 5, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.at) + (c.whole ? " whole" : " cut"));
    std::string content(c.at, 'a');
    content += c.whole ? delimiter : delimiter.substr(0, delimiter.size() - 1) + "X";
    content += std::string(65536, 'b');
    write_file(dir.file("f"), content);
    Failure failure;
    const HttpRequest wanted = request_of("/", "POST", {}, {dir.file("f")});
    PreparedRequest request = prepare_request_at(failure, wanted, kNoon);
    ASSERT_EQ(request.boundary, first);
    std::string wire;
    for (int attempt = 0; attempt < 2; ++attempt) {
      ScriptedServer server({.when = AnswerWhen::never});
      ASSERT_TRUE(server.ok()) << server.failure();
      ErrorNumber error = 0;
      std::int16_t number = next_free_number();
      tcp_open(error, number, "127.0.0.1", server.port(), {3000, 0}, std::string());
      ASSERT_EQ(error, 0);
      Failure changed;
      const SendOutcome outcome = send_request(failure, changed, number, wanted, request, "here");
      if (outcome == SendOutcome::clashed) tcp_abandon(number);
      tcp_close(error, number);
      ASSERT_TRUE(server.wait_done(5000));
      wire = server.request();
      if (outcome != SendOutcome::clashed) break;
      ASSERT_TRUE(c.whole && attempt == 0);
      // Only the pieces before the one that ends the delimiter went out.
      const std::size_t pieces = (c.at + delimiter.size() - 1) / piece;
      EXPECT_EQ(wire.substr(wire.find("\r\n\r\n") + 4),
                file_part(first, 1, dir.file("f"), content).substr(0, request.texts[0].size() + pieces * piece));
      ASSERT_TRUE(redraw_boundary(failure, wanted, request));
    }
    EXPECT_EQ(failure.number, 0);
    EXPECT_EQ(request.boundary, c.whole ? second : first);
    const std::string body = file_part(request.boundary, 1, dir.file("f"), content) + "--" + request.boundary + "--\r\n";
    EXPECT_TRUE(wire.substr(wire.find("\r\n\r\n") + 4) == body);
    EXPECT_NE(wire.find("\r\nContent-Length: " + decimal_text(static_cast<std::int64_t>(body.size())) + "\r\n"),
              std::string::npos);
    discard_prepared_request(request);
  }
  expect_no_open_numbers();
}

}  // namespace
