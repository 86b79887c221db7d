// The process's pseudo-random generator: a 32-bit linear congruential state
// that is 0xFFFFFFFF at every start, so draws made before any reseeding are
// the same in every run.
#pragma once

#include <cstdint>

// Puts the state back to its start value 0xFFFFFFFF.
void random_reset();

// Replaces the state by the bit pattern of the single-precision number
// nearest to milliseconds (the time of day).
void random_reseed(std::uint32_t milliseconds);

// Steps the state and returns the fraction (state >> 1) / 2^31, in [0, 1).
long double random_fraction();

// A whole number from lo to hi: fraction * (hi - lo + 1) + lo - 0.5, rounded
// to the nearest integer with a half going to the even neighbour.
std::int64_t random_integer(std::int64_t lo, std::int64_t hi);
