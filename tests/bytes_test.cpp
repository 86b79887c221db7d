#include "services/bytes.h"

#include <gtest/gtest.h>

TEST(DecimalText, WritesPlainDigits) {
  struct Case { std::int64_t value; const char* text; };
  const Case cases[] = {
      {0, "0"}, {7, "7"}, {-1, "-1"}, {32767, "32767"}, {-32768, "-32768"},
      {1234567890123LL, "1234567890123"}, {INT64_MIN, "-9223372036854775808"},
  };
  for (const Case& c : cases) EXPECT_EQ(decimal_text(c.value), c.text) << c.value;
  // Grouped by thousands, as failure lines count bytes.
  EXPECT_EQ(grouped_digits(0), "0");
  EXPECT_EQ(grouped_digits(999), "999");
  EXPECT_EQ(grouped_digits(1048576), "1,048,576");
}
