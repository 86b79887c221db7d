// number_from_text over arbitrary text, and its value through to_int16 and
// to_int32: never a trap (the build carries UndefinedBehaviorSanitizer),
// never NaN, and the integers agree with each other and with the value. Plain
// decimal numbers short enough to be exact are compared with strtold.
#include <cmath>
#include <limits>

#include "fuzz_check.h"
#include "settings/conversions.h"

namespace {

// A plain decimal number (blanks, sign, digits, point, digits, optional
// exponent of up to three digits) that both readers must give exactly: at
// most 19 significant digits and a power of ten within 27 either way, so
// that the value is one correctly rounded operation.
bool exact_decimal(const std::string& text) {
  std::size_t at = 0;
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\n')) ++at;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
  int significant = 0;
  int fraction = 0;
  int digits = 0;
  bool point = false;
  for (; at < text.size(); ++at) {
    char byte = text[at];
    if (byte == '.' && !point) {
      point = true;
      continue;
    }
    if (byte < '0' || byte > '9') break;
    ++digits;
    if (significant > 0 || byte != '0') ++significant;
    if (point) ++fraction;
  }
  if (digits == 0 || significant > 19 || fraction > 27) return false;
  long exponent = 0;
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    ++at;
    bool negative = at < text.size() && text[at] == '-';
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
    int exponent_digits = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
      exponent = exponent * 10 + (text[at] - '0');
      if (++exponent_digits > 3) return false;
    }
    if (exponent_digits == 0) return false;
    if (negative) exponent = -exponent;
  }
  // The power the significant digits are scaled by.
  long power = exponent - fraction;
  if (power > 27 || power < -27) return false;
  return at == text.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  long double value = number_from_text(text);
  FUZZ_CHECK(!std::isnan(value), "never NaN");

  std::int32_t whole = to_int32(value);
  std::int16_t small = to_int16(value);
  if (whole != std::numeric_limits<std::int32_t>::min()) {
    FUZZ_CHECK(std::fabs(value - static_cast<long double>(whole)) <= 0.5L,
               "to_int32 is the nearest integer");
    FUZZ_CHECK(small == static_cast<std::int16_t>(static_cast<std::uint16_t>(
                            static_cast<std::uint32_t>(whole))),
               "to_int16 keeps the low 16 bits");
  }
  if (std::isfinite(value) && std::fabs(value) < 2147483647.0L) {
    FUZZ_CHECK(whole != std::numeric_limits<std::int32_t>::min() || value < -2147483647.5L,
               "a value in range is not out of range");
  }
  if (!std::isfinite(value)) FUZZ_CHECK(small == 0, "to_int16 of infinity is 0");

  if (exact_decimal(text)) {
    long double expected = std::strtold(text.c_str(), nullptr);
    FUZZ_CHECK(value == expected, "a short decimal number equals strtold");
  }
  return 0;
}
