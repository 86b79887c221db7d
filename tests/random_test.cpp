// The random number generator: its fixed start and its seed from the time.
#include "services/random.h"
#include "services/random_internal.h"

#include <gtest/gtest.h>

TEST(Random, FirstDrawsFromTheFixedStart) {
  random_reset();
  EXPECT_EQ(random_integer(1, 99999999), 96862006);
  EXPECT_EQ(random_state(), 4160191484u);
  random_reset();
  long double fraction = random_fraction();
  EXPECT_NEAR(static_cast<double>(fraction), 0.96862006, 1e-8);
}

TEST(Random, ReseedTakesTheSinglePrecisionBitPattern) {
  // 3,600,000 ms (01:00) is exactly representable: 0x4A5BBA00.
  random_reseed(3600000);
  EXPECT_EQ(random_state(), 0x4A5BBA00u);
  // Late-day values round to the nearest float: 86,399,999 -> 86,400,000.
  random_reseed(86399999);
  std::uint32_t late = random_state();
  random_reseed(86400000);
  EXPECT_EQ(random_state(), late);
}
