// Small helpers over byte strings. A byte string is a std::string that may
// hold any byte, NUL included; no character-set conversion happens anywhere.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A list of byte strings in the order read (index 0 holds entry 1).
using StringList = std::vector<std::string>;

// The decimal digits of value, with a minus sign when it is negative and no
// blank, filler or exponent.
std::string decimal_text(std::int64_t value);

// Decimal digits in groups of three, for people to read ("1,048,576").
std::string grouped_digits(std::uint64_t value);

// text without the spaces (code 32 only) at its start and end.
std::string trim_spaces(const std::string& text);

// text without the spaces (code 32 only) at its end.
std::string trim_trailing_spaces(const std::string& text);

// ASCII letter a-z folded to A-Z; every other byte unchanged.
char ascii_upper(char byte);

// True when a and b are equal, ignoring the case of ASCII letters only.
bool equal_ignoring_ascii_case(const std::string& a, const std::string& b);
