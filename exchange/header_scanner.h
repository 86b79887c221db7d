// The response header, read as it arrives in pieces, without any I/O: where
// it ends (the first CR LF CR LF), the length label shown on the progress
// line (the number after the first "CONTENT-LENGTH:" in any letter case,
// wherever it stands) and the Content-Length field that tells a complete
// answer (a header line that begins with it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "exchange/matcher.h"

struct HeaderScanner {
  Matcher end = make_matcher("\r\n\r\n");
  bool ended = false;               // the header end has been found
  std::uint64_t scanned = 0;        // bytes fed so far
  // The length label: found, and the bytes after it for the number.
  Matcher label = make_matcher("CONTENT-LENGTH:", true);
  bool label_found = false;
  std::string label_tail;
  std::int32_t announced = 0;       // the label's number, once the header has ended
  // The Content-Length field: a small state machine over the header's lines.
  bool at_line_start = true;
  std::size_t field_matched = 0;
  bool field_value = false;
  bool field_digits = false;
  bool field_overflow = false;
  std::uint64_t field_accumulator = 0;
  bool field_done = false;
  bool length_field_seen = false;   // settled once the field's line (or the header) ends
  std::uint64_t length_field = 0;
};

// Feeds the next piece. Returns the offset in data where the body begins
// when the header ends in this piece, else kNoMatch (also for every piece
// after the end: the body is not scanned, except for the length label in
// the piece that ends the header).
std::size_t scan_header(HeaderScanner& scanner, const char* data, std::size_t size);

// Settles the Content-Length field of a text that ended without a header
// end: a field at its very end counts as it would before a line end.
void finish_header_scan(HeaderScanner& scanner);
