#include "services/random.h"
#include "services/random_internal.h"

#include <bit>
#include <cmath>

namespace {
std::uint32_t g_state = 0xFFFFFFFFu;
}

void random_reset() { g_state = 0xFFFFFFFFu; }

void random_reseed(std::uint32_t milliseconds) {
  g_state = std::bit_cast<std::uint32_t>(static_cast<float>(milliseconds));
}

long double random_fraction() {
  g_state = g_state * 134775813u + 1u;
  return static_cast<long double>(g_state >> 1) / 2147483648.0L;
}

std::int64_t random_integer(std::int64_t lo, std::int64_t hi) {
  long double span = static_cast<long double>(hi - lo + 1);
  long double value = random_fraction() * span + static_cast<long double>(lo) - 0.5L;
  // nearbyintl rounds half to even in the default rounding mode.
  return static_cast<std::int64_t>(std::nearbyintl(value));
}

std::uint32_t random_state() { return g_state; }
