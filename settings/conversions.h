// Text conversions applied to settings values and to the response header.
#pragma once

#include <cstdint>
#include <string>

// The number at the start of text: leading spaces, tabs and line feeds are
// skipped; "&H", "&O", "&B" (and "&" alone, octal) give based integers;
// otherwise a decimal number with sign, fraction and exponent. Reading stops
// at the first byte that cannot continue the number; no digit gives 0. The
// value is computed in extended precision and never traps.
long double number_from_text(const std::string& text);

// Rounds to the nearest integer (half to even) and keeps the low 16 bits as a
// signed number; a value outside the 64-bit range (or not a number) gives 0.
std::int16_t to_int16(long double value);

// Rounds to the nearest integer (half to even) as a signed 32-bit number; a
// value outside that range gives -2,147,483,648.
std::int32_t to_int32(long double value);

// A setting that must be a plain decimal number: digits alone (spaces or
// tabs around them allowed), from 0 to high. Empty text is 0. Anything else
// (a sign, a fraction, a letter, a value past high) is refused: false,
// value untouched.
bool plain_number(const std::string& text, std::int64_t high, std::int64_t& value);

// Capitalises a to z and the seven accented letters of code page 437
// (0x84, 0x94, 0x81, 0x82, 0xA4, 0x86, 0x87); the length never changes.
std::string upper_case(const std::string& text);
