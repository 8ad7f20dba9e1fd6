// The original file's index: its suffix array, a table of where each bucket of three-byte
// prefixes starts, a bit set of the grams that occur, and the longest-match search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Largest original the 32-bit suffix array can index.
constexpr std::size_t kMaxIndexedOriginal = 0x7FFFFFFF;

struct OriginalIndex {
  const unsigned char* bytes;
  std::size_t size;
  std::vector<std::int32_t> suffixes;  // suffix array of `bytes`
  std::vector<std::uint32_t> buckets;  // first suffix of each bucket of three-byte prefixes
  unsigned bucket_shift;               // a prefix's bucket is its 24 bits shifted right by this
  std::vector<std::uint64_t> grams;    // two bits for the hash of every other gram of the original
  unsigned gram_shift;                 // a gram's word is its hash shifted right by this
  std::size_t gram_length;             // 0: no gram filter
};

// Bytes a match must share before the index can tell it: shorter ones are not reported.
constexpr std::size_t kShortestMatch = 3;

struct Match {
  std::uint32_t offset;  // where the match starts in the original
  std::uint32_t length;  // 0 when nothing matches
};

// Builds the index of `size` bytes (at most kMaxIndexedOriginal); false when memory
// runs out or the suffix sort fails. With a `gram_length` of 4 to 8, it also notes
// grams of that length at every other position, so that most places without a match
// one byte longer are turned away at once.
bool build_index(const unsigned char* bytes, std::size_t size, std::size_t gram_length,
                 OriginalIndex* index);

// The longest prefix of `text` (`length` bytes) that occurs in the original, when it is
// at least kShortestMatch long; a length of 0 otherwise.
Match longest_match(const OriginalIndex& index, const unsigned char* text, std::size_t length);

// The first place from `at` on in `text` (`length` bytes) where a match of
// gram_length + 1 bytes may start: `length` when there is none.
std::size_t next_possible_match(const OriginalIndex& index, const unsigned char* text,
                                std::size_t at, std::size_t length);

// Number of leading bytes that `a` and `b` share, up to `limit`.
std::size_t common_prefix(const unsigned char* a, const unsigned char* b, std::size_t limit);
