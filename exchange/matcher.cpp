#include "exchange/matcher.h"

#include <algorithm>
#include <string_view>

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

// The offset of the first whole occurrence of pattern (two bytes or more)
// in data, or npos. Blocks of 64 bytes are first tested for a pair of bytes
// equal to the pattern's first two, a test the compiler runs on many bytes
// at once; only a block that holds such a pair is searched. An upload file
// is searched whole before it is sent, so this speed counts per gigabyte.
std::size_t find_whole(const char* data, std::size_t size, const std::string& pattern) {
  constexpr std::size_t kBlock = 64;
  const char first = pattern[0];
  const char second = pattern[1];
  std::size_t at = 0;
  for (; at + kBlock < size; at += kBlock) {
    unsigned char pair = 0;
    for (std::size_t k = 0; k < kBlock; ++k) {
      pair |= static_cast<unsigned char>((data[at + k] == first) & (data[at + k + 1] == second));
    }
    if (pair == 0) continue;
    // Every occurrence that starts in this block lies in these bytes.
    const std::size_t window = std::min(size - at, kBlock + pattern.size() - 1);
    const std::size_t found = std::string_view(data + at, window).find(pattern);
    if (found != std::string_view::npos) return at + found;
  }
  const std::size_t found = std::string_view(data + at, size - at).find(pattern);
  return found == std::string_view::npos ? std::string_view::npos : at + found;
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
  const std::size_t found = length >= 2 ? find_whole(data, size, matcher.pattern)
                                         : std::string_view(data, size).find(matcher.pattern);
  if (found != std::string_view::npos) {
    matcher.matched = 0;
    return found + length;
  }
  // No match inside: what is left of a partial match lies in the last
  // length - 1 bytes, whatever came before them.
  matcher.matched = 0;
  step_over(matcher, data + size - seam, seam);
  return kNoMatch;
}

void matcher_reset(Matcher& matcher) { matcher.matched = 0; }
