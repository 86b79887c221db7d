#include "services/bytes.h"

std::string grouped_digits(std::uint64_t value) {
  std::string digits;
  do {
    if (digits.size() % 4 == 3) digits.push_back(',');
    digits.push_back(static_cast<char>('0' + value % 10));
    value /= 10;
  } while (value != 0);
  return std::string(digits.rbegin(), digits.rend());
}

std::string decimal_text(std::int64_t value) {
  // Built by hand so that no locale can add separators.
  std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value)
                                      : static_cast<std::uint64_t>(value);
  char digits[24];
  int length = 0;
  do {
    digits[length++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  std::string text;
  if (value < 0) text.push_back('-');
  while (length > 0) text.push_back(digits[--length]);
  return text;
}
