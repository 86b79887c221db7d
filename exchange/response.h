// Reading an HTTP response: the text as it arrives, the cut after the first
// CR LF CR LF, the length label shown on the progress line, and the
// Content-Length field that tells a complete answer. Once the text passes
// 8 MiB (or as soon as the header announces more) it continues in an
// anonymous scratch file, so an answer larger than memory is kept whole.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "services/errors.h"

inline constexpr std::size_t kMemoryLimit = 8u << 20;

// The response body handed from the transaction to the save.
struct ResponseBody {
  std::string bytes;              // the body while it stays in memory
  FileHandle file = kNoFile;      // once spilled: the scratch file with the text
  std::uint64_t file_offset = 0;  // where the body starts in that file
  std::uint64_t file_length = 0;  // bytes in the file
};

// Length of the body in bytes.
std::uint64_t body_length(const ResponseBody& body);

// The whole body as one string (reads a spilled body back; for tests and
// small bodies only).
std::string body_text(const ResponseBody& body);

// Closes the scratch file, if any, and empties the body.
void release_body(ResponseBody& body);

struct ResponseReader {
  ResponseBody body;            // the text, and the body once the header is cut
  std::string temp_directory;   // where a scratch file goes
  std::string save_name;        // when set, a scratch file goes beside it if it can
  bool header_phase = true;
  std::uint64_t received = 0;   // every byte received, header included
  std::int32_t announced = 0;   // the value after "CONTENT-LENGTH:"
  bool length_field_seen = false;
  std::uint64_t length_field = 0;  // the Content-Length header field

  // Header end: the last bytes of the text, for a CR LF CR LF split across
  // pieces.
  std::string end_carry;
  // Length label: the bytes a match can span, and what follows a match.
  std::string label_carry;
  bool label_found = false;
  std::string label_tail;
  // Content-Length field: a small scanner over the header's lines.
  bool at_line_start = true;
  std::size_t field_matched = 0;
  bool field_value = false;
  bool field_digits = false;
  bool field_overflow = false;
  std::uint64_t field_accumulator = 0;
  bool field_done = false;

  std::string staging;          // pieces waiting to be written to the scratch file
  bool scratch_refused = false; // no scratch file could be had: the text stays in memory
  ErrorNumber store_error = 0;  // first failure to write the scratch file
  std::string store_reason;     // the system's words for it
};

// Receives one piece from connection number (up to count bytes) into the
// reader and processes it. Returns the number of bytes received; a failure of
// the receive is recorded in error_code, one of the scratch file in
// reader.store_error.
std::size_t read_response_piece(ErrorNumber& error_code, ResponseReader& reader,
                                std::int16_t number, std::int32_t count);

// Processes bytes that arrived (already in reader.body.bytes or staging):
// header end, length label and Content-Length field. Exposed for tests and
// fuzzing through feed_response_bytes.
void feed_response_bytes(ResponseReader& reader, const char* data, std::size_t size);

// Writes out staged bytes and settles the Content-Length field of a text
// that never reached a header end; called once the reading has ended.
void finish_response(ResponseReader& reader);

// Body bytes received so far (after the cut).
std::uint64_t response_body_length(const ResponseReader& reader);
