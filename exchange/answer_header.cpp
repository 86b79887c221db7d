#include "exchange/answer_header.h"

#include <cstddef>
#include <vector>

#include "platform/ascii.h"
#include "services/dates.h"
#include "services/shown.h"

namespace {

// The digits of text as a number, -1 when text is empty, holds anything
// else or passes a billion.
std::int64_t digits_value(const std::string& text) {
  if (text.empty() || text.size() > 9) return -1;
  std::int64_t value = 0;
  for (char byte : text) {
    if (!is_ascii_digit(byte)) return -1;
    value = value * 10 + (byte - '0');
  }
  return value;
}

// The digits of text as a number of seconds however many there are, at most
// 10^15 (a pause no run waits for, still told as one); -1 when text is
// empty or holds anything else.
std::int64_t seconds_value(const std::string& text) {
  constexpr std::int64_t kMost = 1000000000000000;
  if (text.empty()) return -1;
  std::int64_t value = 0;
  for (char byte : text) {
    if (!is_ascii_digit(byte)) return -1;
    value = value < kMost ? value * 10 + (byte - '0') : kMost;
  }
  return value < kMost ? value : kMost;
}

// Where the status line's number starts: after "HTTP/", a version of
// digits and one dot, and spaces; npos when the header starts otherwise.
std::size_t status_start(const std::string& header) {
  if (header.compare(0, 5, "HTTP/") != 0) return std::string::npos;
  std::size_t at = 5;
  const std::size_t major = at;
  while (at < header.size() && is_ascii_digit(header[at])) ++at;
  if (at == major || at >= header.size() || header[at] != '.') return std::string::npos;
  const std::size_t minor = ++at;
  while (at < header.size() && is_ascii_digit(header[at])) ++at;
  if (at == minor || at >= header.size() || header[at] != ' ') return std::string::npos;
  while (at < header.size() && header[at] == ' ') ++at;
  if (header.size() - at < 3 || !is_ascii_digit(header[at]) || !is_ascii_digit(header[at + 1]) ||
      !is_ascii_digit(header[at + 2])) {
    return std::string::npos;
  }
  if (at + 3 < header.size() && header[at + 3] != ' ' && header[at + 3] != '\r' && header[at + 3] != '\n') {
    return std::string::npos;
  }
  return at;
}

// An HTTP date in any of its three forms ("Sun, 06 Nov 1994 08:49:37 GMT",
// "Sunday, 06-Nov-94 08:49:37 GMT", "Sun Nov  6 08:49:37 1994") as seconds
// since 1970; -1 when it is none.
std::int64_t http_date(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  for (char byte : text + " ") {
    if (byte == ' ' || byte == ',' || byte == '-' || byte == '\t') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += ascii_lower(byte);
    }
  }
  static const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                        "jul", "aug", "sep", "oct", "nov", "dec"};
  std::int64_t day = -1, month = -1, year = -1, hour = -1, minute = -1, second = -1;
  for (const std::string& w : words) {
    if (w.size() == 8 && w[2] == ':' && w[5] == ':') {
      hour = digits_value(w.substr(0, 2));
      minute = digits_value(w.substr(3, 2));
      second = digits_value(w.substr(6, 2));
    } else if (w.size() == 3 && !is_ascii_digit(w[0])) {
      for (int m = 0; m < 12; ++m) {
        if (w == kMonths[m]) month = m + 1;
      }
    } else if (is_ascii_digit(w[0]) && w.size() <= 2 && day < 0) {
      day = digits_value(w);
    } else if (is_ascii_digit(w[0]) && (w.size() == 4 || w.size() == 2)) {
      year = digits_value(w);
      // Two-digit years are read as the nearest century's.
      if (w.size() == 2 && year >= 0) year += year < 70 ? 2000 : 1900;
    }
  }
  if (day < 1 || day > 31 || month < 1 || year < 1970 || hour < 0 || hour > 23 || minute < 0 ||
      minute > 59 || second < 0 || second > 60) {
    return -1;
  }
  return days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}

// The value of the first field named name (lower case, with its colon),
// blanks trimmed; found tells whether there was one.
std::string field_value(const std::string& header, const std::string& name, bool& found) {
  for (std::size_t line = header.find('\n'); line != std::string::npos; line = header.find('\n', line + 1)) {
    const std::size_t start = line + 1;
    if (header.size() - start < name.size()) break;
    if (!equal_ignoring_ascii_case(header.substr(start, name.size()), name)) continue;
    std::size_t end = header.find_first_of("\r\n", start);
    if (end == std::string::npos) end = header.size();
    found = true;
    return trim_blanks(header.substr(start + name.size(), end - start - name.size()));
  }
  found = false;
  return std::string();
}

}  // namespace

int answer_status(const std::string& header) {
  const std::size_t at = status_start(header);
  if (at == std::string::npos) return -1;
  return (header[at] - '0') * 100 + (header[at + 1] - '0') * 10 + (header[at + 2] - '0');
}

std::string status_shown(const std::string& header) {
  const std::size_t at = status_start(header);
  if (at == std::string::npos) return std::string();
  std::size_t end = header.find_first_of("\r\n", at);
  if (end == std::string::npos) end = header.size();
  std::string line = header.substr(at, end - at);
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return shown(line);
}

std::int64_t retry_after(const std::string& header, std::int64_t now) {
  bool found = false;
  const std::string value = field_value(header, "retry-after:", found);
  if (!found) return -1;
  const std::int64_t seconds = seconds_value(value);
  if (seconds >= 0) return seconds;
  const std::int64_t date = http_date(value);
  if (date < 0) return -1;
  return date > now ? date - now : 0;
}

std::int64_t last_modified(const std::string& header) {
  bool found = false;
  const std::string value = field_value(header, "last-modified:", found);
  return found ? http_date(value) : -1;
}
