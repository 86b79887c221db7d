#include "platform/peer_address.h"

#include <cstring>

std::string ipv6_address_bytes(const char* bytes) {
  static const char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, '\xff', '\xff'};
  if (std::memcmp(bytes, kMapped, 12) == 0) return std::string(bytes + 12, 4);
  return std::string(bytes, 16);
}
