// ASCII letter case and spaces over byte strings: the byte rules that the
// portable settings-file parser and the environment lookup share with the
// code above them. No character-set conversion happens anywhere.
#pragma once

#include <string>

// text without the spaces (code 32 only) at its start and end.
std::string trim_spaces(const std::string& text);

// text without the spaces (code 32 only) at its end.
std::string trim_trailing_spaces(const std::string& text);

// ASCII letter a-z folded to A-Z; every other byte unchanged.
char ascii_upper(char byte);

// True when a and b are equal, ignoring the case of ASCII letters only.
bool equal_ignoring_ascii_case(const std::string& a, const std::string& b);
