#include "settings/conversions.h"

#include <cmath>
#include <cstddef>
#include <limits>

#include "platform/ascii.h"

namespace {

// Digits kept in the 64-bit mantissa; 19 cover every 64-bit integer.
constexpr int kMantissaDigits = 19;

// Exponents count as at most this much, either way.
constexpr std::int64_t kExponentCap = 9999;

// Past these powers of ten any mantissa of up to 19 digits overflows to
// infinity or underflows to zero in extended precision.
constexpr std::int64_t kHugePower = 5000;
constexpr std::int64_t kTinyPower = 5000 + 40;

// The value of byte as a digit of base, or -1.
int digit_value(char byte, int base) {
  const int value = hex_digit_value(byte);
  return value < base ? value : -1;
}

// 10^power, exact for powers up to 27 (5^27 still fits in 64 bits), so that
// 805 / 10 gives exactly 80.5 and 6 / 10 the nearest value to 0.6.
long double power_of_ten(std::int64_t power) {
  if (power <= 27) {
    long double result = 1.0L;
    for (std::int64_t i = 0; i < power; ++i) result *= 10.0L;
    return result;
  }
  return std::pow(10.0L, static_cast<long double>(power));
}

long double based_integer(const std::string& text, std::size_t at) {
  int base = 8;
  if (at < text.size()) {
    switch (text[at]) {
      case 'B': case 'b': base = 2; ++at; break;
      case 'H': case 'h': base = 16; ++at; break;
      case 'O': case 'o': case 'Q': case 'q': base = 8; ++at; break;
      default: break;  // octal, and this byte is the first digit
    }
  }
  // Very long digit runs only overflow to infinity, never to NaN.
  long double value = 0.0L;
  for (; at < text.size(); ++at) {
    int digit = digit_value(text[at], base);
    if (digit < 0) break;
    value = value * base + digit;
  }
  return value;
}

long double decimal_number(const std::string& text, std::size_t at) {
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    negative = text[at] == '-';
    ++at;
  }

  // The mantissa is collected as a whole number and scaled once at the end,
  // so short decimal fractions come out exact or correctly rounded.
  std::uint64_t mantissa = 0;
  int kept = 0;
  bool dropped_non_zero = false;
  std::int64_t scale = 0;  // power of ten that the mantissa stands for

  for (; at < text.size() && is_ascii_digit(text[at]); ++at) {
    int digit = text[at] - '0';
    if (mantissa == 0 && digit == 0) continue;
    if (kept < kMantissaDigits) {
      mantissa = mantissa * 10 + static_cast<std::uint64_t>(digit);
      ++kept;
    } else {
      ++scale;
      dropped_non_zero = dropped_non_zero || digit != 0;
    }
  }
  if (at < text.size() && text[at] == '.') {
    for (++at; at < text.size() && is_ascii_digit(text[at]); ++at) {
      int digit = text[at] - '0';
      if (mantissa == 0 && digit == 0) {
        --scale;
      } else if (kept < kMantissaDigits) {
        mantissa = mantissa * 10 + static_cast<std::uint64_t>(digit);
        ++kept;
        --scale;
      } else {
        dropped_non_zero = dropped_non_zero || digit != 0;
      }
    }
  }

  std::int64_t exponent = 0;
  if (at < text.size() && (text[at] == 'E' || text[at] == 'e' || text[at] == 'D' ||
                           text[at] == 'd')) {
    ++at;
    bool exponent_negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
      exponent_negative = text[at] == '-';
      ++at;
    }
    for (; at < text.size() && is_ascii_digit(text[at]); ++at) {
      exponent = exponent * 10 + (text[at] - '0');
      if (exponent > kExponentCap) exponent = kExponentCap;
    }
    if (exponent_negative) exponent = -exponent;
  }

  // A zero mantissa is zero whatever the exponent: 0 times 10^9999 must not
  // become infinity times zero.
  if (mantissa == 0) return 0.0L;

  std::int64_t power = scale + exponent;
  long double value = static_cast<long double>(mantissa);
  if (power > kHugePower) {
    value = std::numeric_limits<long double>::infinity();
  } else if (power > 0) {
    value *= power_of_ten(power);
  } else if (power < -kTinyPower) {
    value = 0.0L;
  } else if (power < 0) {
    // Two steps keep the divisor finite down to the smallest subnormals.
    std::int64_t first = -power > 4900 ? 4900 : -power;
    value /= power_of_ten(first);
    if (-power > first) value /= power_of_ten(-power - first);
  }
  // Digits cut off past the 19th make the number a little larger than the
  // kept ones say: "2.50000000000000000001" lies above the half and must
  // round up.
  if (dropped_non_zero && value != 0.0L) {
    value = std::nextafter(value, std::numeric_limits<long double>::infinity());
  }
  return negative ? -value : value;
}

// Rounds to the nearest whole number, a half going to the even neighbour,
// without depending on the current rounding mode.
long double round_half_even(long double value) {
  long double floor_value = std::floor(value);
  long double fraction = value - floor_value;
  if (fraction > 0.5L) return floor_value + 1.0L;
  if (fraction < 0.5L) return floor_value;
  return std::fmod(floor_value, 2.0L) == 0.0L ? floor_value : floor_value + 1.0L;
}

}  // namespace

long double number_from_text(const std::string& text) {
  std::size_t at = 0;
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\n')) ++at;
  if (at < text.size() && text[at] == '&') return based_integer(text, at + 1);
  return decimal_number(text, at);
}

std::int16_t to_int16(long double value) {
  if (!std::isfinite(value)) return 0;
  long double rounded = round_half_even(value);
  // -2^63 and 2^63 are exact in extended precision.
  if (rounded < -9223372036854775808.0L || rounded >= 9223372036854775808.0L) return 0;
  auto whole = static_cast<std::int64_t>(rounded);
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(static_cast<std::uint64_t>(whole)));
}

std::int32_t to_int32(long double value) {
  constexpr std::int32_t kOutOfRange = std::numeric_limits<std::int32_t>::min();
  if (!std::isfinite(value)) return kOutOfRange;
  long double rounded = round_half_even(value);
  if (rounded < -2147483648.0L || rounded > 2147483647.0L) return kOutOfRange;
  return static_cast<std::int32_t>(rounded);
}

std::string upper_case(const std::string& text) {
  std::string result = text;
  for (char& byte : result) {
    auto code = static_cast<unsigned char>(byte);
    unsigned char upper = code;
    if (code >= 'a' && code <= 'z') {
      upper = static_cast<unsigned char>(code - 'a' + 'A');
    } else {
      switch (code) {
        case 0x84: upper = 0x8E; break;  // a umlaut
        case 0x94: upper = 0x99; break;  // o umlaut
        case 0x81: upper = 0x9A; break;  // u umlaut
        case 0x82: upper = 0x90; break;  // e acute
        case 0xA4: upper = 0xA5; break;  // n tilde
        case 0x86: upper = 0x8F; break;  // a ring
        case 0x87: upper = 0x80; break;  // c cedilla
        default: break;
      }
    }
    byte = static_cast<char>(upper);
  }
  return result;
}

bool plain_number(const std::string& text, std::int64_t high, std::int64_t& value) {
  std::int64_t number = 0;
  for (char byte : trim_blanks(text)) {
    if (!is_ascii_digit(byte)) return false;
    number = number * 10 + (byte - '0');
    // Past high, more digits cannot bring it back.
    if (number > high) return false;
  }
  value = number;
  return true;
}
