#include "exchange/header_scanner.h"

#include <cstdint>

#include "services/bytes.h"
#include "settings/conversions.h"

namespace {

constexpr char kLengthField[] = "CONTENT-LENGTH:";  // at the start of a header line
constexpr std::size_t kFieldSize = sizeof kLengthField - 1;
// The number after the label is read from at most this many bytes (blanks
// before it not counted): no header field is that long.
constexpr std::size_t kLabelTailLimit = 4096;

// Looks for the first label; once found, collects the bytes after it.
void scan_label(HeaderScanner& scanner, const char* data, std::size_t size) {
  std::size_t start = 0;
  if (!scanner.label_found) {
    start = matcher_feed(scanner.label, data, size);
    if (start == kNoMatch) return;
    scanner.label_found = true;
  }
  for (std::size_t i = start; i < size && scanner.label_tail.size() < kLabelTailLimit; ++i) {
    const char c = data[i];
    // Blanks before the number are skipped by the number rule anyway.
    if (scanner.label_tail.empty() && (c == ' ' || c == '\t' || c == '\n')) continue;
    scanner.label_tail.push_back(c);
  }
}

// Follows the header's lines for one that begins with "Content-Length:" in
// any letter case, and reads its value as a 64-bit number.
void scan_length_field(HeaderScanner& scanner, const char* data, std::size_t size) {
  for (std::size_t i = 0; i < size && !scanner.field_done; ++i) {
    const char c = data[i];
    if (scanner.field_value) {
      if (!scanner.field_digits && (c == ' ' || c == '\t')) continue;
      if (c >= '0' && c <= '9') {
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (scanner.field_accumulator > (INT64_MAX - digit) / 10) scanner.field_overflow = true;
        scanner.field_accumulator = scanner.field_accumulator * 10 + digit;
        scanner.field_digits = true;
        continue;
      }
      // The value has ended: the first such line decides.
      scanner.field_done = true;
      scanner.length_field_seen = scanner.field_digits && !scanner.field_overflow;
      scanner.length_field = scanner.field_accumulator;
      break;
    }
    if (c == '\n') {
      scanner.at_line_start = true;
      scanner.field_matched = 0;
      continue;
    }
    if (scanner.at_line_start && ascii_upper(c) == kLengthField[scanner.field_matched]) {
      if (++scanner.field_matched == kFieldSize) scanner.field_value = true;
      continue;
    }
    scanner.at_line_start = false;
    scanner.field_matched = 0;
  }
}

// Settles the field when its line was still being read.
void end_length_field(HeaderScanner& scanner) {
  if (scanner.field_done) return;
  scanner.field_done = true;
  scanner.length_field_seen =
      scanner.field_value && scanner.field_digits && !scanner.field_overflow;
  scanner.length_field = scanner.field_accumulator;
}

}  // namespace

std::size_t scan_header(HeaderScanner& scanner, const char* data, std::size_t size) {
  if (scanner.ended || size == 0) return kNoMatch;
  scanner.scanned += size;
  // The label is searched in everything up to the end of the piece that
  // ends the header, body bytes included.
  scan_label(scanner, data, size);
  const std::size_t body_start = matcher_feed(scanner.end, data, size);
  // The Content-Length field is a header line: only bytes up to the blank
  // line count.
  if (!scanner.field_done) {
    scan_length_field(scanner, data, body_start == kNoMatch ? size : body_start);
  }
  if (body_start == kNoMatch) return kNoMatch;
  scanner.ended = true;
  end_length_field(scanner);
  scanner.announced = scanner.label_found ? to_int32(number_from_text(scanner.label_tail)) : 0;
  scanner.label_tail.clear();
  return body_start;
}

void finish_header_scan(HeaderScanner& scanner) {
  if (!scanner.ended) end_length_field(scanner);
}
