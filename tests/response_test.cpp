// The response reader on exact bytes: where the header is cut, the length
// label, the Content-Length field, and the scratch file for large answers.
#include "exchange/response.h"

#include <gtest/gtest.h>

#include <climits>

#include "support/fixtures.h"

namespace {

// Feeds text cut at the given sizes (the rest in one piece).
ResponseReader feed(const std::string& text, const std::vector<std::size_t>& cuts,
                    const std::string& temp = "/tmp") {
  ResponseReader reader;
  reader.temp_directory = temp;
  std::size_t at = 0;
  for (std::size_t cut : cuts) {
    std::size_t size = std::min(cut, text.size() - at);
    feed_response_bytes(reader, text.data() + at, size);
    at += size;
  }
  if (at < text.size()) feed_response_bytes(reader, text.data() + at, text.size() - at);
  finish_response(reader);
  EXPECT_EQ(reader.store_error, 0);
  return reader;
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
    ResponseReader reader = feed(c.text, c.cuts);
    EXPECT_EQ(body_text(reader.body), c.body) << c.name;
    EXPECT_EQ(reader.header_phase, !c.cut) << c.name;
    EXPECT_EQ(reader.received, c.text.size()) << c.name;
  }
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
    EXPECT_EQ(feed(c.text, c.cuts).announced, c.announced) << c.name;
  }
  // A label in a later pass, after the cut, is never looked at.
  ResponseReader reader;
  std::string first = "HTTP/1.0 200\r\n\r\n";
  std::string later = "Content-Length: 9";
  feed_response_bytes(reader, first.data(), first.size());
  feed_response_bytes(reader, later.data(), later.size());
  EXPECT_EQ(reader.announced, 0);
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
    ResponseReader reader = feed(c.text, {});
    EXPECT_EQ(reader.length_field_seen, c.seen) << c.name;
    EXPECT_EQ(reader.length_field_seen ? reader.length_field : 0, c.value) << c.name;
  }
}

TEST(ResponseReader, LargeTextContinuesInAScratchFile) {
  TempDir temp;
  std::string body;
  for (std::uint32_t i = 0; body.size() < kMemoryLimit + 300000; ++i) body += static_cast<char>(i * 7 + i / 251);
  // Header cut early: the body moves to the file once it passes the limit.
  std::string text = "HTTP/1.0 200 OK\r\n\r\n" + body;
  ResponseReader reader = feed(text, std::vector<std::size_t>(3000, 4096), temp.path);
  EXPECT_NE(reader.body.file, kNoFile);
  EXPECT_TRUE(reader.body.bytes.empty());
  EXPECT_EQ(response_body_length(reader), body.size());
  EXPECT_TRUE(body_text(reader.body) == body);
  // On POSIX the file has no name; on Windows it has one until it is closed.
  if (!testing_windows_binary()) {
    EXPECT_TRUE(list_directory(temp.path).empty());
  }
  release_body(reader.body);
  EXPECT_TRUE(list_directory(temp.path).empty());

  // A header longer than the limit: the blank line is found in the file's
  // pieces, and the body starts after it.
  std::string header = "HTTP/1.0 200 OK\r\n";
  while (header.size() < kMemoryLimit + 5000) header += "X: 0123456789\r\n";
  ResponseReader long_header = feed(header + "\r\nafter\r\n\r\nend", std::vector<std::size_t>(3000, 4096), temp.path);
  EXPECT_FALSE(long_header.header_phase);
  EXPECT_EQ(body_text(long_header.body), "after\r\n\r\nend");
  release_body(long_header.body);

  // Without a place for the scratch file the text stays in memory, whole.
  ResponseReader in_memory = feed(text, std::vector<std::size_t>(3000, 4096), temp.file("missing"));
  EXPECT_EQ(in_memory.body.file, kNoFile);
  EXPECT_TRUE(in_memory.body.bytes == body);
}

}  // namespace
