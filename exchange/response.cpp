#include "exchange/response.h"

#include <algorithm>
#include <cstring>

#include "services/bytes.h"
#include "services/tcp.h"
#include "settings/conversions.h"

namespace {

constexpr char kHeaderEnd[] = "\r\n\r\n";
constexpr char kLengthLabel[] = "CONTENT-LENGTH:";  // searched in upper case
constexpr std::size_t kLabelSize = 15;
constexpr char kLengthField[] = "CONTENT-LENGTH:";  // at the start of a header line
// The number after the label is read from at most this many bytes (blanks
// before it not counted): no header field is that long.
constexpr std::size_t kLabelTailLimit = 4096;
// Staged scratch-file bytes are written out in pieces of this size.
constexpr std::size_t kStagingFlush = 128u << 10;

bool spilled(const ResponseReader& reader) { return reader.body.file != kNoFile; }

// Looks for the first "CONTENT-LENGTH:" in any letter case; once found,
// collects the bytes after it for the number.
void scan_label(ResponseReader& reader, const char* data, std::size_t size) {
  std::size_t start = 0;
  if (!reader.label_found) {
    std::string window = reader.label_carry;
    window.append(data, size);
    std::size_t found = std::string::npos;
    for (std::size_t i = 0; i + kLabelSize <= window.size(); ++i) {
      std::size_t k = 0;
      while (k < kLabelSize && ascii_upper(window[i + k]) == kLengthLabel[k]) ++k;
      if (k == kLabelSize) {
        found = i;
        break;
      }
    }
    if (found == std::string::npos) {
      std::size_t keep = std::min(window.size(), kLabelSize - 1);
      reader.label_carry = window.substr(window.size() - keep);
      return;
    }
    reader.label_found = true;
    reader.label_carry.clear();
    // The carry is shorter than the label, so the label always ends inside
    // data: the number starts at the window offset less the carry.
    start = found + kLabelSize - (window.size() - size);
  }
  for (std::size_t i = start; i < size && reader.label_tail.size() < kLabelTailLimit; ++i) {
    char c = data[i];
    // Blanks before the number are skipped by the number rule anyway.
    if (reader.label_tail.empty() && (c == ' ' || c == '\t' || c == '\n')) continue;
    reader.label_tail.push_back(c);
  }
}

// Follows the header's lines for one that begins with "Content-Length:" in
// any letter case, and reads its value as a 64-bit number.
void scan_length_field(ResponseReader& reader, const char* data, std::size_t size) {
  for (std::size_t i = 0; i < size && !reader.field_done; ++i) {
    char c = data[i];
    if (reader.field_value) {
      if (!reader.field_digits && (c == ' ' || c == '\t')) continue;
      if (c >= '0' && c <= '9') {
        std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (reader.field_accumulator > (INT64_MAX - digit) / 10) reader.field_overflow = true;
        reader.field_accumulator = reader.field_accumulator * 10 + digit;
        reader.field_digits = true;
        continue;
      }
      // The value has ended: the first such line decides.
      reader.field_done = true;
      reader.length_field_seen = reader.field_digits && !reader.field_overflow;
      reader.length_field = reader.field_accumulator;
      break;
    }
    if (c == '\n') {
      reader.at_line_start = true;
      reader.field_matched = 0;
      continue;
    }
    if (reader.at_line_start && ascii_upper(c) == kLengthField[reader.field_matched]) {
      if (++reader.field_matched == kLabelSize) reader.field_value = true;
      continue;
    }
    reader.at_line_start = false;
    reader.field_matched = 0;
  }
}

// Settles the Content-Length field when its line was still being read: the
// header (or, without a header end, the text) ended after its digits.
void end_length_field(ResponseReader& reader) {
  if (reader.field_done) return;
  reader.field_done = true;
  reader.length_field_seen = reader.field_value && reader.field_digits && !reader.field_overflow;
  reader.length_field = reader.field_accumulator;
}

// Writes the staged bytes to the scratch file; after a failed write nothing
// more is written (the answer is lost either way).
void flush_staging(ResponseReader& reader) {
  if (reader.staging.empty() || !spilled(reader) || reader.store_error != 0) return;
  ErrorNumber write_error = 0;
  platform_write(write_error, reader.body.file, reader.staging.data(), reader.staging.size());
  if (write_error != 0) {
    reader.store_error = write_error;
    reader.store_reason = failure_reason(write_error);
  }
  reader.body.file_length += reader.staging.size();
  reader.staging.clear();
}

// Moves the text into a scratch file once it would pass the memory limit.
// When no scratch file can be made, the text stays in memory, and no other
// attempt is made.
void spill_if_needed(ResponseReader& reader, std::size_t coming) {
  if (spilled(reader) || reader.scratch_refused ||
      reader.body.bytes.size() + coming <= kMemoryLimit) {
    return;
  }
  // Beside the save file the scratch file can later become it without a
  // copy; elsewhere (or when that fails) it goes to the temporary directory.
  FileHandle file = kNoFile;
  if (!reader.save_name.empty()) file = platform_open_unnamed_beside(reader.save_name);
  ErrorNumber scratch_error = 0;
  if (file == kNoFile) file = platform_open_scratch(scratch_error, reader.temp_directory);
  if (file == kNoFile) {
    reader.scratch_refused = true;
    return;
  }
  ErrorNumber write_error = 0;
  platform_write(write_error, file, reader.body.bytes.data(), reader.body.bytes.size());
  if (write_error != 0) {
    // The scratch file cannot take the text: keep it in memory instead.
    platform_close_file(file);
    reader.scratch_refused = true;
    return;
  }
  reader.body.file = file;
  reader.body.file_length = reader.body.bytes.size();
  std::string().swap(reader.body.bytes);
  reader.staging.reserve(kStagingFlush + 65536);
}

// Handles the last size bytes appended to the active store (the text in
// memory, or the staging area of the scratch file).
void absorb(ResponseReader& reader, std::size_t size) {
  if (size == 0) return;
  std::string& store = spilled(reader) ? reader.staging : reader.body.bytes;
  const char* data = store.data() + store.size() - size;
  const std::uint64_t before = reader.received;
  reader.received += size;
  if (!reader.header_phase) {
    if (spilled(reader) && reader.staging.size() >= kStagingFlush) flush_staging(reader);
    return;
  }

  // The label is searched in everything received up to the end of the pass
  // that ends the header, body bytes included.
  scan_label(reader, data, size);

  // Header end: search the carried bytes and the new piece together, so a
  // CR LF CR LF split between receives is found; never rescans older text.
  std::string window = reader.end_carry;
  window.append(data, size);
  const std::size_t carried = window.size() - size;
  std::size_t found = window.find(kHeaderEnd, 0, 4);
  // The Content-Length field is a header line: only bytes up to the blank
  // line count.
  const std::size_t header_bytes = found == std::string::npos ? size : found + 4 - carried;
  if (!reader.field_done) scan_length_field(reader, data, header_bytes);
  if (found == std::string::npos) {
    std::size_t keep = std::min<std::size_t>(window.size(), 3);
    reader.end_carry = window.substr(window.size() - keep);
    if (spilled(reader) && reader.staging.size() >= kStagingFlush) flush_staging(reader);
    return;
  }
  reader.header_phase = false;
  reader.end_carry.clear();
  reader.label_carry.clear();
  end_length_field(reader);
  reader.announced = reader.label_found ? to_int32(number_from_text(reader.label_tail)) : 0;
  reader.label_tail.clear();

  const std::uint64_t body_start = before - carried + found + 4;
  if (spilled(reader)) {
    reader.body.file_offset = body_start;
    flush_staging(reader);
  } else {
    reader.body.bytes.erase(0, static_cast<std::size_t>(body_start));
    if (reader.length_field_seen && reader.length_field > kMemoryLimit) {
      // A body announced larger than memory goes to the scratch file at
      // once, rather than after filling memory first.
      spill_if_needed(reader, kMemoryLimit + 1);
    } else if (reader.announced > 0 &&
               static_cast<std::uint64_t>(reader.announced) <= kMemoryLimit) {
      // A length announced up to the memory limit is reserved at once; a
      // larger one is never trusted for memory.
      reader.body.bytes.reserve(static_cast<std::size_t>(reader.announced));
    }
  }
}

}  // namespace

std::uint64_t body_length(const ResponseBody& body) {
  return body.file != kNoFile ? body.file_length - body.file_offset : body.bytes.size();
}

std::string body_text(const ResponseBody& body) {
  if (body.file == kNoFile) return body.bytes;
  std::string text(static_cast<std::size_t>(body_length(body)), '\0');
  ErrorNumber error_code = 0;
  std::size_t done = 0;
  while (done < text.size()) {
    std::size_t got = platform_read_at(error_code, body.file, text.data() + done,
                                       text.size() - done, body.file_offset + done);
    if (got == 0) break;
    done += got;
  }
  text.resize(done);
  return text;
}

void release_body(ResponseBody& body) {
  if (body.file != kNoFile) platform_close_file(body.file);
  body = ResponseBody();
}

std::size_t read_response_piece(ErrorNumber& error_code, ResponseReader& reader,
                                std::int16_t number, std::int32_t count) {
  spill_if_needed(reader, static_cast<std::size_t>(count));
  std::string& store = spilled(reader) ? reader.staging : reader.body.bytes;
  std::size_t got = tcp_receive_into(error_code, number, count, store);
  absorb(reader, got);
  return got;
}

void feed_response_bytes(ResponseReader& reader, const char* data, std::size_t size) {
  spill_if_needed(reader, size);
  std::string& store = spilled(reader) ? reader.staging : reader.body.bytes;
  store.append(data, size);
  absorb(reader, size);
}

void finish_response(ResponseReader& reader) {
  // A text without a header end is all header: a field at its very end
  // counts as it would before a line end.
  if (reader.header_phase) end_length_field(reader);
  flush_staging(reader);
}

std::uint64_t response_body_length(const ResponseReader& reader) {
  return body_length(reader.body) + (spilled(reader) ? reader.staging.size() : 0);
}
