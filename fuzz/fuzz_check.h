// Shared by the fuzz targets: a check that stops the run with a message, so
// that libFuzzer keeps the input as a crash, and the piece sizes used to feed
// a parser its input in arbitrary cuts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// Stops the process (libFuzzer reports a crash) when condition is false.
#define FUZZ_CHECK(condition, what)                                                  \
  do {                                                                               \
    if (!(condition)) {                                                              \
      std::fprintf(stderr, "fuzz check failed at %s:%d: %s\n", __FILE__, __LINE__,   \
                   what);                                                            \
      std::abort();                                                                  \
    }                                                                                \
  } while (0)

// Sizes of consecutive pieces that together cover total bytes, drawn from
// seed: the low four bits pick the largest piece (1 to 4096 bytes), the rest
// drive a small generator. Pieces of size 0 appear too, since a caller may
// hand over an empty piece.
inline std::vector<std::size_t> piece_sizes(std::uint32_t seed, std::size_t total) {
  std::vector<std::size_t> sizes;
  const std::size_t largest = std::size_t{1} << (seed % 13);
  std::uint32_t state = seed * 2654435761u + 1u;
  std::size_t done = 0;
  while (done < total) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    std::size_t size = (state % 16 == 0) ? 0 : 1 + state / 16 % largest;
    if (size > total - done) size = total - done;
    sizes.push_back(size);
    done += size;
  }
  return sizes;
}

// ASCII a-z folded to A-Z, written apart from the code under test.
inline std::string fuzz_upper(std::string text) {
  for (char& byte : text) {
    if (byte >= 'a' && byte <= 'z') byte = static_cast<char>(byte - 32);
  }
  return text;
}
