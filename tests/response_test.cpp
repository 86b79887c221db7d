// The response reader on exact bytes: where the header is cut, the length
// label, the Content-Length field, and the body store for large answers;
// the status and Retry-After of the answer's header.
#include "exchange/response.h"
#include "exchange/answer_header.h"
#include "services/dates.h"

#include <gtest/gtest.h>

#include <climits>

#include "exchange/response_internal.h"
#include "support/fixtures.h"

namespace {

// What a reading left: the reader and the store, released at the end.
struct Fed {
  ResponseReader reader;
  BodyStore store;
  ~Fed() { release_store(store); }
  std::string body() const { return store_text(store); }
};

// Feeds text cut at the given sizes (the rest in one piece) into a store
// for save_name (memory only when empty).
void feed(Fed& fed, const std::string& text, const std::vector<std::size_t>& cuts,
          const std::string& temp = "/tmp", const std::string& save_name = "") {
  fed.store = body_store(save_name, false, true, temp);
  std::size_t at = 0;
  for (std::size_t cut : cuts) {
    std::size_t size = std::min(cut, text.size() - at);
    feed_response_bytes(fed.reader, fed.store, text.data() + at, size);
    at += size;
  }
  if (at < text.size()) {
    feed_response_bytes(fed.reader, fed.store, text.data() + at, text.size() - at);
  }
  finish_response(fed.reader, fed.store);
  EXPECT_EQ(fed.store.error, 0);
}

TEST(ResponseReader, CutsAfterTheFirstBlankLineWhereverThePiecesEnd) {
  struct Case { const char* name; std::string text; std::vector<std::size_t> cuts; std::string body; bool cut; };
  const std::string head = "HTTP/1.0 200 OK\r\nA: b";
  const Case cases[] = {
      {"one piece", head + "\r\n\r\nbody", {}, "body", true},
      {"CR LF | CR LF", head + "\r\n\r\nbody", {head.size() + 2}, "body", true},
      {"CR LF CR | LF", head + "\r\n\r\nbody", {head.size() + 3}, "body", true},
      {"CR | LF CR LF", head + "\r\n\r\nbody", {head.size() + 1}, "body", true},
      {"byte by byte", head + "\r\n\r\nxy", std::vector<std::size_t>(40, 1), "xy", true},
      {"first blank line only", head + "\r\n\r\nx\r\n\r\ny", {3, 5}, "x\r\n\r\ny", true},
      {"header only", head + "\r\n\r\n", {}, "", true},
      {"no blank line", "plain reply\r\n\n\r", {4}, "plain reply\r\n\n\r", false},
      {"LF LF is no blank line", "a\n\nb", {}, "a\n\nb", false},
      {"empty", "", {}, "", false},
      {"NUL bytes", std::string("H\r\n\r\n\0\0", 7), {}, std::string("\0\0", 2), true},
  };
  for (const Case& c : cases) {
    Fed fed;
    feed(fed, c.text, c.cuts);
    EXPECT_EQ(fed.body(), c.body) << c.name;
    EXPECT_EQ(header_cut(fed.reader), c.cut) << c.name;
    EXPECT_EQ(fed.reader.received, c.text.size()) << c.name;
    // The header is kept as it came, through its last line's CR LF.
    EXPECT_EQ(fed.reader.header, c.cut ? c.text.substr(0, c.text.find("\r\n\r\n") + 2) : "") << c.name;
  }
}

TEST(AnswerHeader, StatusAndRetryAfter) {
  struct Case { std::string header; int status; std::string shown; std::int64_t retry; };
  const std::int64_t now = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
  const Case cases[] = {
      {"HTTP/1.1 503 Service Unavailable\r\nRetry-After: 120\r\n", 503, "503 Service Unavailable", 120},
      {"HTTP/1.0 200\r\n", 200, "200", -1},
      {"HTTP/1.0  404 Not\x1b[2J Found \r\n", 404, "404 Not\\x1B[2J Found", -1},
      {"HTTP/1.0 2000 OK\r\n", -1, "", -1},
      {"HTTP/1 200 OK\r\n", -1, "", -1},
      {"http/1.0 200 OK\r\n", -1, "", -1},
      {"HTTP/1.0 20x OK\r\n", -1, "", -1},
      {"hello\r\n", -1, "", -1},
      {"", -1, "", -1},
      {"HTTP/1.0 503 x\r\nretry-after:  Sun, 06 Nov 1994 08:49:47 GMT \r\n", 503, "503 x", 10},
      {"HTTP/1.0 503 x\r\nRetry-After: Sunday, 06-Nov-94 08:50:37 GMT\r\n", 503, "503 x", 60},
      {"HTTP/1.0 503 x\r\nRetry-After: Sun Nov  6 08:49:40 1994\r\n", 503, "503 x", 3},
      {"HTTP/1.0 503 x\r\nRetry-After: Sat, 05 Nov 1994 08:49:37 GMT\r\n", 503, "503 x", 0},
      {"HTTP/1.0 503 x\r\nRetry-After: 99999999999\r\n", 503, "503 x", 99999999999},
      {"HTTP/1.0 503 x\r\nRetry-After: 00000000000000000000000000007\r\n", 503, "503 x", 7},
      {"HTTP/1.0 503 x\r\nRetry-After: -5\r\n", 503, "503 x", -1},
      {"HTTP/1.0 503 x\r\nRetry-After: soon\r\n", 503, "503 x", -1},
      {"HTTP/1.0 503 x\r\nX-Retry-After: 5\r\n", 503, "503 x", -1},
      {"HTTP/1.0 503 " + std::string(300, 'r'), 503, "503 " + std::string(196, 'r') + "...", -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(answer_status(c.header), c.status) << c.header;
    EXPECT_EQ(status_shown(c.header), c.shown) << c.header;
    EXPECT_EQ(retry_after(c.header, now), c.retry) << c.header;
  }
}

// HTTP dates as a request writes them, read back as an answer's
// Last-Modified: leap days, the turn of centuries, the last second of a day.
TEST(AnswerHeader, LastModifiedAndHttpDates) {
  const struct { std::int64_t seconds; const char* text; } dates[] = {
      {0, "Thu, 01 Jan 1970 00:00:00 GMT"},          {784111777, "Sun, 06 Nov 1994 08:49:37 GMT"},
      {951868799, "Tue, 29 Feb 2000 23:59:59 GMT"},  {1445412480, "Wed, 21 Oct 2015 07:28:00 GMT"},
      {4107542400, "Mon, 01 Mar 2100 00:00:00 GMT"}, {253402300799, "Fri, 31 Dec 9999 23:59:59 GMT"},
  };
  for (const auto& date : dates) {
    EXPECT_EQ(http_date_text(date.seconds), date.text);
    EXPECT_EQ(last_modified(std::string("HTTP/1.0 200 OK\r\nlast-MODIFIED:  ") + date.text + "\r\n"),
              date.seconds);
  }
  EXPECT_EQ(last_modified("HTTP/1.0 200 OK\r\nLast-Modified: Sunday, 06-Nov-94 08:49:37 GMT\r\n"), 784111777);
  EXPECT_EQ(last_modified("HTTP/1.0 200 OK\r\nLast-Modified: yesterday\r\n"), -1);
  EXPECT_EQ(last_modified("HTTP/1.0 200 OK\r\nX-Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n"), -1);
}

TEST(ResponseReader, AnnouncedLengthFromTheLabel) {
  struct Case { const char* name; std::string text; std::vector<std::size_t> cuts; std::int32_t announced; };
  const Case cases[] = {
      {"lower case", "HTTP/1.0 200\r\ncontent-length: 1234\r\n\r\n", {}, 1234},
      {"space before colon", "HTTP/1.0 200\r\nContent-Length : 9\r\n\r\n", {}, 0},
      {"absent", "HTTP/1.0 200\r\n\r\nbody", {}, 0},
      {"need not start a line", "X-Content-Length: 77\r\n\r\n", {}, 77},
      {"first of two", "Content-Length: 5\r\nContent-Length: 6\r\n\r\n", {}, 5},
      {"label split across pieces", "A\r\nCONTENT-LENGTH: 42\r\n\r\n", {8, 3}, 42},
      {"number split across pieces", "Content-Length: 123456\r\n\r\n", {18, 2}, 123456},
      {"in the body of the same pass", "HTTP/1.0 200\r\n\r\ncontent-length:8", {}, 8},
      {"body of a later pass is not read", "HTTP/1.0 200\r\n\r\n", {}, 0},
      {"blanks and line feeds skipped", "Content-Length:\t \n 12\r\n\r\n", {}, 12},
      {"rounds half to even", "Content-Length: 2.5\r\n\r\n", {}, 2},
      {"too large", "Content-Length: 99999999999\r\n\r\n", {}, INT32_MIN},
      {"negative", "Content-Length: -3\r\n\r\n", {}, -3},
      {"hexadecimal", "Content-Length:&H10\r\n\r\n", {}, 16},
  };
  for (const Case& c : cases) {
    Fed fed;
    feed(fed, c.text, c.cuts);
    EXPECT_EQ(fed.reader.scanner.announced, c.announced) << c.name;
  }
  // A label in a later pass, after the cut, is never looked at.
  Fed fed;
  feed(fed, "HTTP/1.0 200\r\n\r\nContent-Length: 9", {16});
  EXPECT_EQ(fed.reader.scanner.announced, 0);
}

TEST(ResponseReader, ContentLengthFieldMustStartAHeaderLine) {
  struct Case { const char* name; std::string text; bool seen; std::uint64_t value; };
  const Case cases[] = {
      {"plain", "HTTP/1.0 200\r\nContent-Length: 10\r\n\r\n", true, 10},
      {"any case, no blank", "HTTP/1.0 200\r\ncontent-LENGTH:7\r\n\r\n", true, 7},
      {"64-bit", "HTTP/1.0 200\r\nContent-Length: 5000000000\r\n\r\n", true, 5000000000ULL},
      {"not at line start", "HTTP/1.0 200\r\nX-Content-Length: 10\r\n\r\n", false, 0},
      {"in the body only", "HTTP/1.0 200\r\n\r\nContent-Length: 4\r\n", false, 0},
      {"no digits", "HTTP/1.0 200\r\nContent-Length: abc\r\n\r\n", false, 0},
      {"overflows", "HTTP/1.0 200\r\nContent-Length: 99999999999999999999\r\n\r\n", false, 0},
      {"value ends the header", "HTTP/1.0 200\r\nContent-Length: 3\r\n\r\nabc", true, 3},
  };
  for (const Case& c : cases) {
    Fed fed;
    feed(fed, c.text, {});
    const HeaderScanner& scanner = fed.reader.scanner;
    EXPECT_EQ(scanner.length_field_seen, c.seen) << c.name;
    EXPECT_EQ(scanner.length_field_seen ? scanner.length_field : 0, c.value) << c.name;
  }
}

TEST(ResponseReader, LargeTextContinuesInAFile) {
  TempDir temp;
  std::string body;
  for (std::uint32_t i = 0; body.size() < kMemoryLimit + 300000; ++i) body += static_cast<char>(i * 7 + i / 251);
  // Header cut early: the body moves to a file once it passes the limit.
  std::string text = "HTTP/1.0 200 OK\r\n\r\n" + body;
  {
    Fed fed;
    feed(fed, text, std::vector<std::size_t>(3000, 4096), temp.path);
    EXPECT_EQ(fed.store.place, StorePlace::scratch);
    EXPECT_EQ(fed.store.length, body.size());
    EXPECT_TRUE(fed.body() == body);
    // On POSIX the file has no name; on Windows it has one until it is closed.
    if (!testing_windows_binary()) {
      EXPECT_TRUE(list_directory(temp.path).empty());
    }
  }
  EXPECT_TRUE(list_directory(temp.path).empty());

  // A header longer than the limit, over an existing save file: the header
  // goes to the file while it may still be the whole answer, and is dropped
  // when the blank line comes.
  std::string header = "HTTP/1.0 200 OK\r\n";
  while (header.size() < kMemoryLimit + 5000) header += "X: 0123456789\r\n";
  write_file(temp.file("saved"), "old");
  {
    Fed fed;
    feed(fed, header + "\r\nafter\r\n\r\nend", std::vector<std::size_t>(3000, 4096), temp.path,
         temp.file("saved"));
    EXPECT_TRUE(header_cut(fed.reader));
    EXPECT_EQ(fed.store.place, StorePlace::save_file);
    EXPECT_EQ(fed.store.length, 12u);
  }
  // Read once the store has let go of it: Windows opens it for this run alone.
  EXPECT_EQ(read_file(temp.file("saved")), "after\r\n\r\nend");

  // Without a place for a file the text stays in memory, whole.
  Fed in_memory;
  feed(in_memory, text, std::vector<std::size_t>(3000, 4096), temp.file("missing"));
  EXPECT_EQ(in_memory.store.place, StorePlace::memory);
  EXPECT_TRUE(in_memory.store.bytes == body);
}

}  // namespace
