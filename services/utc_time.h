// Calendar time as text, without the system: unix seconds to a UTC date
// and time.
#pragma once

#include <cstdint>
#include <string>

// "YYYY-MM-DDTHH:MM:SSZ" (RFC 3339, UTC) for seconds since 1970-01-01
// 00:00 UTC, on the proleptic Gregorian calendar; years 0 to 9999 only
// (a time outside them gives the nearest end of that range).
std::string rfc3339_utc(std::int64_t unix_seconds);
