// Calendar arithmetic for the dates a run reads and writes: HTTP dates in
// requests and answers, and the times of its records. Proleptic Gregorian,
// UTC, no leap seconds.
#pragma once

#include <cstdint>
#include <string>

struct CivilTime {
  std::int64_t year = 1970;
  int month = 1;  // 1-12
  int day = 1;    // 1-31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int weekday = 4;  // 0 is Sunday; 1970-01-01 was a Thursday
};

// Days from 1970-01-01 to the civil date.
std::int64_t days_from_civil(std::int64_t year, std::int64_t month, std::int64_t day);

// The civil time of unix_seconds (seconds since 1970 UTC).
CivilTime civil_time(std::int64_t unix_seconds);

// unix_seconds as an HTTP date: "Sun, 06 Nov 1994 08:49:37 GMT".
std::string http_date_text(std::int64_t unix_seconds);

// unix_seconds as an RFC 3339 time in UTC: "2026-12-10T23:04:08Z"; a year
// outside 0 to 9999 is written as the nearest of them, so that the text
// keeps its shape.
std::string rfc3339_text(std::int64_t unix_seconds);
