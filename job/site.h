// What a Site setting holds: a scheme prefix, and beside the host what has
// no place in it (a user name and password, a port, a path), which the
// settings check and the failure line both point out.
#pragma once

#include <string>

// site without its "https://" or "http://" prefix (any letter case);
// secure tells which it was (false without one), and known whether there
// was one.
std::string site_without_scheme(const std::string& site, bool& secure, bool& known);

// True when host (with no path or user name before it) holds a port: one
// ":" starts a port, while an IPv6 address, written without brackets,
// holds two or more, unless a port follows a bracketed one ("[::1]:8080").
bool host_holds_port(const std::string& host);
