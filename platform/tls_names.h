// The rules that decide what a server's certificate must name, portable so
// that both TLS backends, and the code that calls them, apply exactly the
// same ones.
#pragma once

#include <string>

// True when text is an IP address in its plain form: four decimal parts
// of 0 to 255 without leading zeros for IPv4, the bracket-free form with at
// most one "::" (and an optional dotted IPv4 tail) for IPv6; bytes then holds
// the address in network order, 4 or 16 bytes. Anything else, "127.1",
// "127.0.0.010" and "fe80::1%eth0" included, is no address here.
bool parse_plain_address(const std::string& text, std::string& bytes);

// True when host is no plain address yet a resolver may read it as one: an
// IPv6 form with a zone or of another shape ("fe80::1%eth0"), or a name
// whose last label is a number ("127.1", "127.0.0.010", "0x7f000001"). Such a host names neither an
// address a certificate can vouch for nor a name.
bool looks_like_an_address(const std::string& host);

// True when a DNS name of a certificate (pattern) names host: equal in any
// ASCII letter case, or a pattern whose whole left-most label is "*", with at
// least two labels after it, that stands for exactly one non-empty label of
// letters, digits and hyphens. A partial wildcard ("w*.example.org"), a
// wildcard after the first label or a pattern holding a NUL names nothing
// but itself.
bool dns_name_matches(const std::string& pattern, const std::string& host);
