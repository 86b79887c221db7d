// Small helpers over byte strings. A byte string is a std::string that may
// hold any byte, NUL included; no character-set conversion happens anywhere.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ascii.h"

// A list of byte strings in the order read (index 0 holds entry 1).
using StringList = std::vector<std::string>;

// The decimal digits of value, with a minus sign when it is negative and no
// blank, filler or exponent.
std::string decimal_text(std::int64_t value);

// Decimal digits in groups of three, for people to read ("1,048,576").
std::string grouped_digits(std::uint64_t value);
