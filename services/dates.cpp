#include "services/dates.h"

namespace {

// Two digits of value, with a leading zero.
void append_two(std::string& text, int value) {
  text += static_cast<char>('0' + value / 10);
  text += static_cast<char>('0' + value % 10);
}

// Floor division: days and seconds before 1970 count down.
std::int64_t floor_divide(std::int64_t value, std::int64_t by) {
  return value >= 0 ? value / by : -((-value + by - 1) / by);
}

}  // namespace

std::int64_t days_from_civil(std::int64_t year, std::int64_t month, std::int64_t day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const std::int64_t of_era = year - era * 400;
  const std::int64_t of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const std::int64_t of_cycle = of_era * 365 + of_era / 4 - of_era / 100 + of_year;
  return era * 146097 + of_cycle - 719468;
}

CivilTime civil_time(std::int64_t unix_seconds) {
  const std::int64_t days = floor_divide(unix_seconds, 86400);
  const std::int64_t of_day = unix_seconds - days * 86400;
  CivilTime time;
  time.hour = static_cast<int>(of_day / 3600);
  time.minute = static_cast<int>(of_day / 60 % 60);
  time.second = static_cast<int>(of_day % 60);
  time.weekday = static_cast<int>(((days + 4) % 7 + 7) % 7);
  // The civil date from the day count, by 400-year eras starting in March.
  const std::int64_t shifted = days + 719468;
  const std::int64_t era = floor_divide(shifted, 146097);
  const std::int64_t of_era = shifted - era * 146097;
  const std::int64_t year_of_era = (of_era - of_era / 1460 + of_era / 36524 - of_era / 146096) / 365;
  const std::int64_t of_year = of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const std::int64_t month_index = (5 * of_year + 2) / 153;
  time.day = static_cast<int>(of_year - (153 * month_index + 2) / 5 + 1);
  time.month = static_cast<int>(month_index < 10 ? month_index + 3 : month_index - 9);
  time.year = year_of_era + era * 400 + (time.month <= 2 ? 1 : 0);
  return time;
}

std::string http_date_text(std::int64_t unix_seconds) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const CivilTime time = civil_time(unix_seconds);
  std::string text = kDays[time.weekday];
  text += ", ";
  append_two(text, time.day);
  text += ' ';
  text += kMonths[time.month - 1];
  text += ' ';
  text += std::to_string(time.year);
  text += ' ';
  append_two(text, time.hour);
  text += ':';
  append_two(text, time.minute);
  text += ':';
  append_two(text, time.second);
  text += " GMT";
  return text;
}

std::string rfc3339_text(std::int64_t unix_seconds) {
  // 0000-01-01T00:00:00Z and 9999-12-31T23:59:59Z.
  constexpr std::int64_t kFirst = -62167219200;
  constexpr std::int64_t kLast = 253402300799;
  const CivilTime time = civil_time(unix_seconds < kFirst ? kFirst : unix_seconds > kLast ? kLast : unix_seconds);
  std::string text;
  append_two(text, static_cast<int>(time.year / 100));
  append_two(text, static_cast<int>(time.year % 100));
  text += '-';
  append_two(text, time.month);
  text += '-';
  append_two(text, time.day);
  text += 'T';
  append_two(text, time.hour);
  text += ':';
  append_two(text, time.minute);
  text += ':';
  append_two(text, time.second);
  text += 'Z';
  return text;
}
