// Inputs the fuzz targets of fuzz/ found faults with, kept as plain cases with
// the exact bytes, so that the fault stays mended without fuzzing.
#include <gtest/gtest.h>

#include "exchange/response.h"
#include "exchange/response_internal.h"

namespace {

// Feeds the pieces one after the other, ends the reading and gives the
// scanner's findings and the body.
HeaderScanner read_pieces(const std::vector<std::string>& pieces, std::string& body) {
  ResponseReader reader;
  BodyStore store = body_store("", false, true, "/tmp");
  for (const std::string& piece : pieces) {
    feed_response_bytes(reader, store, piece.data(), piece.size());
  }
  finish_response(reader, store);
  EXPECT_EQ(store.error, 0);
  body = store_text(store);
  release_store(store);
  return reader.scanner;
}

TEST(FuzzRegression, ContentLengthFieldComesFromTheHeaderWhateverThePieces) {
  struct Case {
    const char* name;
    std::vector<std::string> pieces;
    bool seen;
    std::uint64_t field;
    std::string body;
  };
  const Case cases[] = {
      // fuzz_response: a field-like line in the body that arrived with the
      // header was taken for the header's field (in one piece only), so a
      // complete answer looked short of 99 bytes and the run failed with 62.
      {"body line in the header's piece", {"HTTP/1.0 200 OK\r\n\r\nContent-Length: 99\r\n"},
       false, 0, "Content-Length: 99\r\n"},
      {"same bytes in two pieces", {"HTTP/1.0 200 OK\r\n\r\n", "Content-Length: 99\r\n"},
       false, 0, "Content-Length: 99\r\n"},
      // fuzz_response: a text without a header end whose last line is the
      // field counted it only when one more byte followed the digits.
      {"field at the end of a text without header end", {"Content-Length: 5"}, true, 5,
       "Content-Length: 5"},
      {"the same with a byte after it", {"Content-Length: 5\r"}, true, 5, "Content-Length: 5\r"},
      {"split before the last digit", {"Content-Length: 1", "2"}, true, 12, "Content-Length: 12"},
  };
  for (const Case& c : cases) {
    std::string body;
    HeaderScanner scanner = read_pieces(c.pieces, body);
    EXPECT_EQ(scanner.length_field_seen, c.seen) << c.name;
    EXPECT_EQ(scanner.length_field_seen ? scanner.length_field : 0, c.field) << c.name;
    EXPECT_EQ(body, c.body) << c.name;
  }
}

}  // namespace
