#include "exchange/matcher.h"

#include <cstring>

#include "platform/byte_search.h"
#include "services/bytes.h"

namespace {

char folded(const Matcher& matcher, char byte) {
  return matcher.fold_case ? ascii_upper(byte) : byte;
}

// Steps the partial match over data from the state matcher.matched; returns
// the offset past the first complete match, or kNoMatch with the state at
// the end of data.
std::size_t step_over(Matcher& matcher, const char* data, std::size_t size) {
  const std::string& pattern = matcher.pattern;
  std::size_t state = matcher.matched;
  for (std::size_t i = 0; i < size; ++i) {
    const char byte = folded(matcher, data[i]);
    while (state > 0 && pattern[state] != byte) state = matcher.fallback[state - 1];
    if (pattern[state] == byte) ++state;
    if (state == pattern.size()) {
      matcher.matched = 0;
      return i + 1;
    }
  }
  matcher.matched = state;
  return kNoMatch;
}

}  // namespace

Matcher make_matcher(const std::string& pattern, bool fold_case) {
  Matcher matcher;
  matcher.fold_case = fold_case;
  for (char byte : pattern) matcher.pattern.push_back(fold_case ? ascii_upper(byte) : byte);
  matcher.fallback.assign(pattern.size(), 0);
  std::size_t border = 0;
  for (std::size_t i = 1; i < matcher.pattern.size(); ++i) {
    while (border > 0 && matcher.pattern[i] != matcher.pattern[border]) {
      border = matcher.fallback[border - 1];
    }
    if (matcher.pattern[i] == matcher.pattern[border]) ++border;
    matcher.fallback[i] = border;
  }
  return matcher;
}

std::size_t matcher_feed(Matcher& matcher, const char* data, std::size_t size) {
  const std::size_t length = matcher.pattern.size();
  // Small pieces, and patterns matched in any letter case, are stepped over
  // byte by byte.
  if (matcher.fold_case || size < 2 * length) return step_over(matcher, data, size);
  // Large pieces: a match that began earlier ends within the first
  // length - 1 bytes, and only the seam is stepped over; matches wholly
  // inside the piece are found by the library's search.
  const std::size_t seam = length - 1;
  if (matcher.matched > 0) {
    const std::size_t end = step_over(matcher, data, seam);
    if (end != kNoMatch) return end;
  }
  const std::size_t found = find_bytes(data, size, matcher.pattern);
  if (found != size) {
    matcher.matched = 0;
    return found + length;
  }
  // No match inside: what is left of a partial match lies in the last
  // length - 1 bytes, whatever came before them, and begins with the
  // pattern's first byte: it is stepped over from the first such byte on.
  matcher.matched = 0;
  const char* tail = data + size - seam;
  const void* start = std::memchr(tail, matcher.pattern[0], seam);
  if (start != nullptr) {
    const char* from = static_cast<const char*>(start);
    step_over(matcher, from, static_cast<std::size_t>(tail + seam - from));
  }
  return kNoMatch;
}

void matcher_reset(Matcher& matcher) { matcher.matched = 0; }
