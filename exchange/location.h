// Where a redirect leads: the Location field of an answer, read as an
// absolute http:// or https:// URL or resolved against the URL that was
// requested (RFC 3986, section 5). Pure functions over byte strings; no I/O.
#pragma once

#include <cstdint>
#include <string>

#include "platform/error_numbers.h"

// A URL as a request goes out to it.
struct WebAddress {
  bool secure = false;     // https
  std::string host;        // lower-case; an IPv6 address without its brackets
  std::uint16_t port = 0;  // the scheme's default (80, 443) when the URL names none
  std::string target;      // the path (from "/") and, when there is one, "?" and the query
};

// The scheme's own port: 443 for HTTPS, 80 for plain HTTP.
inline std::uint16_t default_port(bool secure) { return secure ? 443 : 80; }

// The statuses whose Location is followed: 301, 302, 303, 307 and 308.
bool redirect_followed(int status);

// 307 and 308: the next request has the same method and body; the others
// of redirect_followed make it a GET without a body.
bool redirect_keeps_method(int status);

// "http://host:port/target", the port left out when it is the scheme's
// default and an IPv6 address in square brackets.
std::string web_address_text(const WebAddress& address);

// The Location field of header (the answer's header as it arrived). A
// header without one, with an empty one or with more than one records
// kErrRedirectRefused in error_code and the words in why ("the answer has
// no Location").
std::string answer_location(ErrorNumber& error_code, std::string& why, const std::string& header);

// The address the reference leads to from base: an absolute http or https
// URL, or a relative reference resolved against base (dot segments
// removed, a fragment dropped); a space, "#" or a byte past 127 in the
// resolved path or query goes out as "%XX". Refused with kErrRedirectRefused in error_code,
// the words in why, to follow the Location ("is not http:// or https://";
// never the user name or password) and an empty address:
// a control byte, another scheme, no host, a user name or password, a port
// that is not 1 to 65535, a host of other bytes than a name or address
// holds, and a step from HTTPS down to plain HTTP.
WebAddress resolve_location(ErrorNumber& error_code, std::string& why, const WebAddress& base,
                            const std::string& reference);
