#include "platform/tls_names.h"

#include <cstddef>
#include <cstdint>

#include "platform/ascii.h"

namespace {

bool is_letter_or_digit(char c) { return is_ascii_digit(c) || is_ascii_letter(c); }

// Four decimal parts of 0 to 255, no leading zeros, nothing else.
bool parse_ipv4(const std::string& text, std::string& bytes) {
  std::string parsed;
  std::size_t at = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (at >= text.size() || text[at] != '.') return false;
      ++at;
    }
    const std::size_t start = at;
    int value = 0;
    while (at < text.size() && is_ascii_digit(text[at]) && at - start < 3) {
      value = value * 10 + (text[at] - '0');
      ++at;
    }
    const std::size_t digits = at - start;
    if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return false;
    parsed.push_back(static_cast<char>(value));
  }
  if (at != text.size()) return false;
  bytes = parsed;
  return true;
}

// Groups of one to four hex digits separated by ":", at most one "::"
// standing for one or more zero groups, and an IPv4 tail in the last 32 bits.
bool parse_ipv6(const std::string& text, std::string& bytes) {
  std::uint8_t out[16] = {};
  std::size_t filled = 0;  // bytes written
  bool gapped = false;     // a "::" was seen
  std::size_t gap = 0;     // where it stands
  std::size_t at = 0;
  if (text.compare(0, 2, "::") == 0) {
    gapped = true;
    at = 2;
    if (at == text.size()) {
      bytes.assign(16, '\0');
      return true;
    }
  } else if (!text.empty() && text[0] == ':') {
    return false;
  }
  for (;;) {
    if (filled + 2 > 16) return false;
    // An IPv4 tail ends the address.
    const std::size_t dot = text.find('.', at);
    const std::size_t colon = text.find(':', at);
    if (dot != std::string::npos && (colon == std::string::npos || dot < colon)) {
      std::string tail;
      if (filled + 4 > 16 || !parse_ipv4(text.substr(at), tail)) return false;
      for (char c : tail) out[filled++] = static_cast<std::uint8_t>(c);
      break;
    }
    int value = 0;
    std::size_t digits = 0;
    while (at < text.size() && hex_digit_value(text[at]) >= 0 && digits < 4) {
      value = value * 16 + hex_digit_value(text[at]);
      ++at;
      ++digits;
    }
    if (digits == 0) return false;
    out[filled++] = static_cast<std::uint8_t>(value >> 8);
    out[filled++] = static_cast<std::uint8_t>(value & 0xFF);
    if (at == text.size()) break;
    if (text[at] != ':') return false;
    ++at;
    if (at < text.size() && text[at] == ':') {
      if (gapped) return false;
      gapped = true;
      gap = filled;
      ++at;
      if (at == text.size()) break;
    } else if (at == text.size()) {
      return false;  // a single ":" at the end
    }
  }
  if (!gapped) {
    if (filled != 16) return false;
  } else {
    // The "::" stands for at least one group of zeros.
    if (filled > 14) return false;
    const std::size_t moved = filled - gap;
    for (std::size_t i = 0; i < moved; ++i) out[15 - i] = out[filled - 1 - i];
    for (std::size_t i = gap; i < 16 - moved; ++i) out[i] = 0;
  }
  bytes.assign(reinterpret_cast<const char*>(out), 16);
  return true;
}

bool equal_in_any_case(const std::string& a, std::size_t a_at, const std::string& b,
                       std::size_t b_at, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (ascii_lower(a[a_at + i]) != ascii_lower(b[b_at + i])) return false;
  }
  return true;
}

// True when pattern is "*." followed by at least two well-formed labels of
// letters, digits and hyphens (none starting or ending with a hyphen).
bool is_whole_label_wildcard(const std::string& pattern) {
  if (pattern.size() < 2 || pattern[0] != '*' || pattern[1] != '.') return false;
  int labels = 0;
  std::size_t start = 2;
  for (;;) {
    std::size_t end = pattern.find('.', start);
    if (end == std::string::npos) end = pattern.size();
    if (end == start || pattern[start] == '-' || pattern[end - 1] == '-') return false;
    for (std::size_t i = start; i < end; ++i) {
      if (!is_letter_or_digit(pattern[i]) && pattern[i] != '-') return false;
    }
    ++labels;
    if (end == pattern.size()) break;
    start = end + 1;
  }
  return labels >= 2;
}

}  // namespace

bool parse_plain_address(const std::string& text, std::string& bytes) {
  if (text.find(':') != std::string::npos) return parse_ipv6(text, bytes);
  return parse_ipv4(text, bytes);
}

bool looks_like_an_address(const std::string& host) {
  std::string unused;
  if (parse_plain_address(host, unused)) return false;
  if (host.find(':') != std::string::npos) {
    // An IPv6 form the resolver may still take: hex digits, colons, dots,
    // and a zone after "%" ("fe80::1%eth0"). "localhost:8080" is none.
    const std::string address = host.substr(0, host.find('%'));
    for (char c : address) {
      if (hex_digit_value(c) < 0 && c != ':' && c != '.') return false;
    }
    return true;
  }
  const std::size_t dot = host.rfind('.');
  const std::string last = dot == std::string::npos ? host : host.substr(dot + 1);
  if (last.empty()) return false;
  std::size_t from = 0;
  if (last.size() > 2 && last[0] == '0' && (last[1] == 'x' || last[1] == 'X')) {
    from = 2;
    for (std::size_t i = from; i < last.size(); ++i) {
      if (hex_digit_value(last[i]) < 0) return false;
    }
    return true;
  }
  for (char c : last) {
    if (!is_ascii_digit(c)) return false;
  }
  return true;
}

bool dns_name_matches(const std::string& pattern, const std::string& host) {
  if (pattern.empty() || pattern.find('\0') != std::string::npos) return false;
  if (is_whole_label_wildcard(pattern) && !(host.size() > 1 && host[0] == '.')) {
    const std::size_t suffix = pattern.size() - 1;  // ".rest", the star left out
    if (host.size() <= suffix) return false;
    const std::size_t label = host.size() - suffix;
    if (!equal_in_any_case(host, label, pattern, 1, suffix)) return false;
    // A literal "*" label stands for itself.
    if (label == 1 && host[0] == '*') return true;
    for (std::size_t i = 0; i < label; ++i) {
      if (!is_letter_or_digit(host[i]) && host[i] != '-') return false;
    }
    return true;
  }
  return pattern.size() == host.size() && equal_in_any_case(pattern, 0, host, 0, host.size());
}
