// The matcher that finds a pattern across the pieces a text arrives in.
#include "exchange/matcher.h"

#include <gtest/gtest.h>

#include <string>

TEST(Matcher, PatternsSplitAtEveryPosition) {
  struct Case { std::string pattern; bool fold; std::string text; std::size_t end; };
  const std::string filler(300, 'x');
  const Case cases[] = {
      {"\r\n\r\n", false, "HTTP/1.0 200\r\n\r\r\n\r\nbody", 19},
      {"\r\n\r\n", false, "a\r\n\r\n", 5},
      {"\r\n\r\n", false, "a\n\n\r\n\r", kNoMatch},
      {"CONTENT-LENGTH:", true, "x: 1\r\ncOnTeNt-LeNgTh: 5", 21},
      {"CONTENT-LENGTH:", true, "content-length : 5", kNoMatch},
      {"--12345", false, filler + "--1234--12345" + filler, 313},
      {"--12345", false, filler + "-12345--1234" + filler, kNoMatch},
      {"aab", false, "aaab", 4},
      {"abab", false, filler + "abaabab", 307},
      // Around the 64-byte blocks the first two bytes are looked for in.
      {"--12345", false, std::string(63, 'x') + "--12345" + filler, 70},
      {"--12345", false, std::string(31, 'x') + "--12345" + filler, 38},
      {"--12345", false, std::string(63, 'x') + "--x" + std::string(200, 'y') + "--12345" + filler, 273},
      {"--12345", false, std::string(62, 'x') + "--" + std::string(70, '-') + "12345" + filler, 139},
      {"--12345", false, filler + std::string(64, '-') + "1234" + filler, kNoMatch},
  };
  for (const Case& c : cases) {
    // Every split of the text into two pieces, and one byte at a time.
    for (std::size_t split = 0; split <= c.text.size() + 1; ++split) {
      Matcher matcher = make_matcher(c.pattern, c.fold);
      std::size_t end = kNoMatch;
      if (split <= c.text.size()) {
        end = matcher_feed(matcher, c.text.data(), split);
        if (end == kNoMatch) {
          std::size_t rest = matcher_feed(matcher, c.text.data() + split, c.text.size() - split);
          if (rest != kNoMatch) end = split + rest;
        }
      } else {
        for (std::size_t i = 0; i < c.text.size() && end == kNoMatch; ++i) {
          if (matcher_feed(matcher, c.text.data() + i, 1) != kNoMatch) end = i + 1;
        }
      }
      EXPECT_EQ(end, c.end) << c.pattern << " split at " << split;
    }
  }
}
