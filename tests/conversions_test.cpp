#include "settings/conversions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

TEST(ConversionsNumber, ReadsTheLeadingNumber) {
  struct Case { std::string text; long double value; };
  const Case cases[] = {
      {"", 0}, {"8080", 8080}, {" 8080", 8080}, {"\t\n 12", 12}, {"\r12", 0}, {"\v12", 0},
      {"80abc", 80}, {"80.5", 80.5L}, {"0.6", 0.6L}, {"1.2.3", 1.2L}, {"-1", -1}, {"+7", 7},
      {".5", 0.5L}, {"-.25", -0.25L}, {"00012", 12}, {"1 2", 1}, {"- 5", 0}, {"0x10", 0},
      {"1e3", 1000}, {"1E+3", 1000}, {"25d-1", 2.5L}, {"1D2", 100}, {"1e", 1}, {"1e+", 1},
      {"80east", 80}, {"e5", 0}, {".e5", 0}, {"no", 0}, {"-", 0}, {"+", 0}, {".", 0},
      {"&H50", 80}, {"&h1f", 31}, {"&HfF", 255}, {"&O17", 15}, {"&o17", 15}, {"&Q17", 15},
      {"&q7", 7}, {"&17", 15}, {"&B101", 5}, {"&b102", 2}, {"&", 0}, {"&H", 0}, {"&9", 0},
      {"&HG1", 0}, {" &H10", 16}, {"-&H10", 0}, {"&H 10", 0},
      {"12345678901234567890", 12345678901234567890.0L},
      {"1234567890123456789", 1234567890123456789.0L},
      {std::string("12\0" "3", 4), 12},
  };
  for (const Case& c : cases) EXPECT_EQ(number_from_text(c.text), c.value) << c.text;
}

TEST(ConversionsNumber, HostileTextsStayFinite) {
  std::string many_digits(5000, '7');
  std::string many_zeros = "0." + std::string(5000, '0') + "1";
  std::string big_hex = "&H" + std::string(5000, 'F');
  struct Case { std::string text; long double value; };
  const Case cases[] = {
      {"1e9999", std::numeric_limits<long double>::infinity()},
      {"-1e99999", -std::numeric_limits<long double>::infinity()},
      {"0e9999", 0}, {"0.000e99999", 0}, {"-0e9999", 0},
      {"1e-9999", 0}, {"1e-99999999999999999999999", 0},
      {many_digits, std::numeric_limits<long double>::infinity()},
      {many_zeros, 0}, {big_hex, std::numeric_limits<long double>::infinity()},
      {many_digits + "e-9999", 0},
  };
  for (const Case& c : cases) {
    long double value = number_from_text(c.text);
    EXPECT_FALSE(std::isnan(value)) << c.text.substr(0, 20);
    EXPECT_EQ(value, c.value) << c.text.substr(0, 20);
  }
  EXPECT_EQ(to_int16(number_from_text("1e4000")), 0);
  EXPECT_EQ(to_int32(number_from_text(many_digits)), INT32_MIN);
}

TEST(ConversionsNumber, DigitsPastTheNineteenthStillBreakTies) {
  EXPECT_EQ(to_int16(number_from_text("2.5000000000000000000")), 2);
  EXPECT_EQ(to_int16(number_from_text("2.50000000000000000001")), 3);
  EXPECT_EQ(to_int16(number_from_text("-2.50000000000000000001")), -3);
}

TEST(ConversionsInt16, PortAndShowTexts) {
  struct Case { const char* text; std::int16_t value; };
  const Case cases[] = {
      {"", 0}, {" 8080", 8080}, {"80abc", 80}, {"80.5", 80}, {"81.5", 82}, {"&H50", 80},
      {"70000", 4464}, {"40000", -25536}, {"65536", 0}, {"-1", -1}, {"1", 1}, {"0", 0},
      {"no", 0}, {"0.5", 0}, {"0.6", 1}, {"2.5", 2}, {"3.5", 4}, {"-2.5", -2}, {"-0.5", 0},
      {"32767", 32767}, {"32768", -32768}, {"-32769", 32767}, {"&HFFFF", -1},
      {"9223372036854775807", -1}, {"9223372036854775808", 0}, {"-9223372036854775808", 0},
      {"-9223372036854775807", 1}, {"999999999999999999", -1}, {"1e19", 0},
      {"123456789012345678", -3250}, {"1.23456789012345678e17", -3250},
  };
  for (const Case& c : cases) EXPECT_EQ(to_int16(number_from_text(c.text)), c.value) << c.text;
  EXPECT_EQ(to_int16(std::numeric_limits<long double>::quiet_NaN()), 0);
  EXPECT_EQ(to_int16(-std::numeric_limits<long double>::infinity()), 0);
}

TEST(ConversionsInt32, RoundsHalfToEvenWithinRange) {
  struct Case { long double value; std::int32_t result; };
  const Case cases[] = {
      {0.5L, 0}, {1.5L, 2}, {2.5L, 2}, {-1.5L, -2}, {2147483647.0L, INT32_MAX},
      {2147483647.4L, INT32_MAX}, {2147483647.5L, INT32_MIN}, {-2147483648.0L, INT32_MIN},
      {-2147483648.5L, INT32_MIN}, {-2147483647.5L, -2147483648}, {1e30L, INT32_MIN},
      {std::numeric_limits<long double>::quiet_NaN(), INT32_MIN},
      {std::numeric_limits<long double>::infinity(), INT32_MIN},
  };
  for (const Case& c : cases) EXPECT_EQ(to_int32(c.value), c.result) << static_cast<double>(c.value);
}

TEST(ConversionsUpperCase, LettersAndTheSevenAccentedOnes) {
  struct Case { std::string text; std::string upper; };
  const Case cases[] = {
      {"post", "POST"}, {"Post", "POST"}, {"POST", "POST"}, {"get-1 z", "GET-1 Z"},
      {"\x84\x94\x81\x82\xA4\x86\x87", "\x8E\x99\x9A\x90\xA5\x8F\x80"},
      // Other high bytes, including the Latin-1 small letters, stay.
      {"\xE4\xF1\x8E\xFF", "\xE4\xF1\x8E\xFF"},
      {std::string("a\0b", 3), std::string("A\0B", 3)},
  };
  for (const Case& c : cases) EXPECT_EQ(upper_case(c.text), c.upper) << c.text;
}

}  // namespace
