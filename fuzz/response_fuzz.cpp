// The header scanner fed arbitrary bytes, once whole and once in arbitrary
// pieces. The body must be the bytes after the first CR LF CR LF (the whole
// text without one); the announced length must be what a plain reading of
// the text gives (first "CONTENT-LENGTH:" in an upper-case copy of the text
// received up to the header's end, the number after it); and the
// Content-Length field must come from the header's lines only.
//
// Input: the response text, then a 16-bit piece seed at the end.
#include <fuzzer/FuzzedDataProvider.h>

#include <limits>

#include "exchange/header_scanner.h"
#include "fuzz_check.h"
#include "settings/conversions.h"

namespace {

constexpr char kLabel[] = "CONTENT-LENGTH:";
constexpr std::size_t kLabelSize = 15;
// The reader keeps this many bytes after the label and its leading blanks.
constexpr std::size_t kTailKept = 4096;

struct Expected {
  std::string body;
  bool header_cut = false;
  std::int32_t announced = 0;
  bool field_seen = false;
  std::uint64_t field = 0;
};

// seen: the text received by the time the header's end was found.
std::int32_t reference_announced(const std::string& seen) {
  std::size_t label = fuzz_upper(seen).find(kLabel);
  if (label == std::string::npos) return 0;
  std::string rest = seen.substr(label + kLabelSize);
  std::size_t start = rest.find_first_not_of(std::string(" \t\n"));
  rest = start == std::string::npos ? std::string() : rest.substr(start, kTailKept);
  return to_int32(number_from_text(rest));
}

// The first header line that begins with the label decides: blanks, then
// digits up to a value of 2^63 - 1.
void reference_field(const std::string& header, Expected& expected) {
  std::size_t line = 0;
  while (line < header.size()) {
    std::size_t end = header.find('\n', line);
    if (end == std::string::npos) end = header.size();
    std::string text = header.substr(line, end - line);
    line = end + 1;
    if (text.size() < kLabelSize || fuzz_upper(text.substr(0, kLabelSize)) != kLabel) continue;
    std::size_t at = kLabelSize;
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
    std::uint64_t value = 0;
    bool digits = false;
    bool too_big = false;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
      std::uint64_t digit = static_cast<std::uint64_t>(text[at] - '0');
      if (value > (static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) - digit) / 10) {
        too_big = true;
      }
      value = value * 10 + digit;
      digits = true;
    }
    expected.field_seen = digits && !too_big;
    expected.field = value;
    return;
  }
}

Expected reference(const std::string& text, const std::vector<std::size_t>& pieces) {
  Expected expected;
  std::size_t cut = text.find("\r\n\r\n");
  expected.header_cut = cut != std::string::npos;
  expected.body = expected.header_cut ? text.substr(cut + 4) : text;
  reference_field(expected.header_cut ? text.substr(0, cut + 4) : text, expected);
  if (expected.header_cut) {
    std::size_t received = 0;
    for (std::size_t piece : pieces) {
      received += piece;
      if (received >= cut + 4) break;
    }
    expected.announced = reference_announced(text.substr(0, received));
  }
  return expected;
}

void check_reading(const std::string& text, const std::vector<std::size_t>& pieces) {
  HeaderScanner scanner;
  std::size_t at = 0;
  std::size_t body_start = text.size();
  for (std::size_t piece : pieces) {
    const std::size_t start = scan_header(scanner, text.data() + at, piece);
    if (start != kNoMatch) body_start = at + start;
    at += piece;
  }
  finish_header_scan(scanner);
  Expected expected = reference(text, pieces);
  const std::string body = scanner.ended ? text.substr(body_start) : text;

  FUZZ_CHECK(scanner.scanned <= text.size(), "no byte scanned twice");
  FUZZ_CHECK(scanner.ended == expected.header_cut, "header cut at CR LF CR LF");
  FUZZ_CHECK(body == expected.body, "the body after the first CR LF CR LF");
  FUZZ_CHECK(scanner.announced == expected.announced, "announced length");
  FUZZ_CHECK(scanner.length_field_seen == expected.field_seen, "Content-Length field seen");
  if (expected.field_seen) FUZZ_CHECK(scanner.length_field == expected.field, "Content-Length field");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  std::uint16_t seed = provider.ConsumeIntegral<std::uint16_t>();
  std::string text = provider.ConsumeRemainingBytesAsString();
  check_reading(text, {text.size()});
  check_reading(text, piece_sizes(seed, text.size()));
  return 0;
}
