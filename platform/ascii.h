// ASCII letter case, digits and blanks over byte strings: the byte rules
// that the portable parsers (settings file, answer header, Location, proxy
// and host names) and the environment lookup share. No character-set
// conversion happens anywhere.
#pragma once

#include <string>

// text without the spaces (code 32 only) at its start and end.
std::string trim_spaces(const std::string& text);

// text without the spaces (code 32 only) at its end.
std::string trim_trailing_spaces(const std::string& text);

// text without the spaces and tabs at its start and end: the blanks HTTP
// allows around a field value.
std::string trim_blanks(const std::string& text);

// ASCII letter a-z folded to A-Z, and A-Z to a-z; every other byte unchanged.
char ascii_upper(char byte);
char ascii_lower(char byte);

// text with every ASCII letter folded to lower or upper case.
std::string ascii_lower_text(std::string text);
std::string ascii_upper_text(std::string text);

// True when a and b are equal, ignoring the case of ASCII letters only.
bool equal_ignoring_ascii_case(const std::string& a, const std::string& b);

inline bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The value of a hexadecimal digit in either letter case; -1 for any other byte.
int hex_digit_value(char byte);
