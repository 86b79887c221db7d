// What a run reads from the answer's header beyond its length: the status
// of its status line, how long a server asks a client to wait before
// trying again, and when the answer's resource last changed. Pure
// functions over the header as it arrived.
#pragma once

#include <cstdint>
#include <string>

// The status number of the status line the header begins with
// ("HTTP/1.1 503 Service Unavailable" gives 503); -1 when it begins with
// none.
int answer_status(const std::string& header);

// The status line after its version ("503 Service Unavailable"), fit for a
// failure line as shown() makes it; empty without a status line.
std::string status_shown(const std::string& header);

// The seconds a Retry-After field asks for (a number of seconds, at most
// 10^15 whatever its digits, or an HTTP date taken against now, in seconds
// since 1970 UTC; a date past is 0); -1 when there is no such field or its
// value cannot be read.
std::int64_t retry_after(const std::string& header, std::int64_t now);

// The time a Last-Modified field gives (an HTTP date in any of its forms),
// in seconds since 1970 UTC; -1 when there is no such field or its value
// cannot be read.
std::int64_t last_modified(const std::string& header);
