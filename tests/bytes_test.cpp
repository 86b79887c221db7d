#include "services/bytes.h"
#include "services/errors.h"
#include "services/random.h"
#include "services/random_internal.h"

#include <gtest/gtest.h>

TEST(DecimalText, WritesPlainDigits) {
  struct Case { std::int64_t value; const char* text; };
  const Case cases[] = {
      {0, "0"}, {7, "7"}, {-1, "-1"}, {32767, "32767"}, {-32768, "-32768"},
      {1234567890123LL, "1234567890123"}, {INT64_MIN, "-9223372036854775808"},
  };
  for (const Case& c : cases) EXPECT_EQ(decimal_text(c.value), c.text) << c.value;
}

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

TEST(Errors, SetErrorStoresZeroAs51AndKeepsTheLatest) {
  ErrorNumber error_code = 0;
  set_error(error_code, 0);
  EXPECT_EQ(error_code, 51);
  set_error(error_code, 57);
  set_error(error_code, 24);
  EXPECT_EQ(error_code, 24);
}

TEST(Errors, FailureRecordKeepsTheFirst) {
  Failure failure;
  note_failure(failure, 0, Step::send, "nothing");
  EXPECT_EQ(failure.step, Step::none);
  note_failure(failure, 57, Step::connect, "h port 1", "refused");
  note_failure(failure, 62, Step::answer, "h port 1");
  EXPECT_EQ(failure.number, 57);
  EXPECT_EQ(failure.step, Step::connect);
  EXPECT_EQ(failure.reason, "refused");
  EXPECT_EQ(grouped_digits(0), "0");
  EXPECT_EQ(grouped_digits(999), "999");
  EXPECT_EQ(grouped_digits(1048576), "1,048,576");
}

TEST(Errors, MapSystemErrorFollowsTheWindowsTable) {
  struct Case { std::uint32_t value; int number; };
  const Case cases[] = {
      {1, 75},  {2, 53},  {3, 76},  {4, 67},  {5, 70},  {6, 51},  {7, 241}, {8, 7},
      {9, 241}, {10, 241}, {11, 51}, {12, 51}, {13, 51}, {14, 7},  {15, 68}, {16, 75},
      {17, 74}, {18, 53}, {19, 70}, {20, 68}, {21, 71}, {22, 51}, {23, 72}, {24, 51},
      {25, 72}, {26, 72}, {27, 72}, {28, 72}, {29, 72}, {30, 72}, {31, 72}, {32, 70},
      {33, 70}, {34, 72}, {35, 75}, {36, 70}, {37, 75}, {38, 62}, {39, 61}, {40, 75},
      {112, 61}, {113, 75}, {10060, 75}, {0xFFFFFFFFu, 75},
  };
  for (const Case& c : cases) EXPECT_EQ(map_system_error(c.value), c.number) << c.value;
}

// The POSIX backend's own table.
#ifndef _WIN32
#include <cerrno>

#include "platform/posix/posix.h"

TEST(Errors, ErrnoValuesMapToTheSameNumbers) {
  struct Case { int value; bool creating; int number; };
  const Case cases[] = {
      {ENOMEM, false, 7},  {EBADF, false, 51},   {EINVAL, false, 51},  {ENOENT, false, 53},
      {ENOENT, true, 76},  {ENOSPC, false, 61},  {EDQUOT, false, 61},  {EFBIG, false, 61},
      {EMFILE, false, 67}, {ENFILE, false, 67},  {ENODEV, false, 68},  {ENXIO, false, 68},
      {EACCES, false, 70}, {EPERM, false, 70},   {EROFS, true, 70},    {EBUSY, false, 70},
      {ETXTBSY, false, 70}, {EAGAIN, false, 70}, {EIO, false, 72},     {EXDEV, false, 74},
      {ENOTDIR, false, 76}, {ENAMETOOLONG, false, 76}, {ELOOP, false, 76}, {EISDIR, false, 70},
      {EPIPE, false, 75},  {0, false, 75},
  };
  for (const Case& c : cases) EXPECT_EQ(map_errno(c.value, c.creating), c.number) << c.value;
}
#endif  // _WIN32
