// The address a connection reached, as the program compares it with a
// certificate's IP entries: the same rule in both backends.
#pragma once

#include <string>

// The bytes an IPv6 address (the 16 bytes at bytes, in network order) stands
// for: an IPv4-mapped address (::ffff:a.b.c.d) as the 4 bytes of the IPv4
// address it carries, any other as its 16.
std::string ipv6_address_bytes(const char* bytes);
