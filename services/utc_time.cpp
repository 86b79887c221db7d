#include "services/utc_time.h"

#include <cstdio>

namespace {

struct CivilDate {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

// The date days after 1970-01-01: eras of 400 years (146,097 days) from
// 0000-03-01, so that the leap day ends each year of the count.
CivilDate civil_from_days(std::int64_t days) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t day_of_era = days - era * 146097;
  const std::int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const std::int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const std::int64_t shifted_month = (5 * day_of_year + 2) / 153;  // March is 0
  const unsigned day = static_cast<unsigned>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
  const unsigned month = static_cast<unsigned>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
  return CivilDate{year_of_era + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

}  // namespace

std::string rfc3339_utc(std::int64_t unix_seconds) {
  // 0000-01-01T00:00:00Z and 9999-12-31T23:59:59Z.
  constexpr std::int64_t kFirst = -62167219200;
  constexpr std::int64_t kLast = 253402300799;
  if (unix_seconds < kFirst) unix_seconds = kFirst;
  if (unix_seconds > kLast) unix_seconds = kLast;
  std::int64_t days = unix_seconds / 86400;
  std::int64_t second_of_day = unix_seconds % 86400;
  if (second_of_day < 0) {
    second_of_day += 86400;
    --days;
  }
  const CivilDate date = civil_from_days(days);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year), date.month,
                date.day, static_cast<int>(second_of_day / 3600), static_cast<int>(second_of_day / 60 % 60),
                static_cast<int>(second_of_day % 60));
  return text;
}
