// Finding a byte pattern in data that arrives in pieces: a match may begin
// in one piece and end in a later one. Used for the header end, the length
// label of a response, and the multipart delimiter in upload data.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct Matcher {
  std::string pattern;               // upper-case when fold_case
  bool fold_case = false;            // a to z match A to Z
  std::vector<std::size_t> fallback; // longest proper border of each prefix
  std::size_t matched = 0;           // pattern bytes matched at the end of what was fed
};

inline constexpr std::size_t kNoMatch = static_cast<std::size_t>(-1);

// A matcher for a pattern of at least one byte; with fold_case, ASCII
// letters match in any case.
Matcher make_matcher(const std::string& pattern, bool fold_case = false);

// Feeds the next piece. Returns the offset in data just past the end of the
// first match that ends in it (the match may have begun in earlier pieces),
// or kNoMatch. After a match the matcher starts afresh from that offset:
// feed the rest of the piece again to look for another.
std::size_t matcher_feed(Matcher& matcher, const char* data, std::size_t size);

// Forgets any partial match: the next piece is searched on its own.
void matcher_reset(Matcher& matcher);
