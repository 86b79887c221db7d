// Error numbers: how they are kept, the first failure's record, and the
// system's codes mapped to them.
#include "services/errors.h"

#include <gtest/gtest.h>

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
