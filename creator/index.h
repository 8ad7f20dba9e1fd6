// The original file's index: suffix arrays of its parts, each with a table of where each
// bucket of three-byte prefixes starts, a bit set of the grams that occur, and the
// longest-match search. A second small index of the first 64 KiB finds, among equally
// long matches, one whose offset takes fewer bytes to write.
#pragma once

#include <cstddef>
#include <cstdint>

// Largest original the 32-bit suffix array can index.
constexpr std::size_t kMaxIndexedOriginal = 0x7FFFFFFF;

// Parts of the original sorted at the same time, one per thread.
constexpr unsigned kMaxIndexParts = 8;

// A stretch of the original with its own suffix array: the suffixes that start in it,
// each compared up to the stretch's end.
struct SortedPart {
  std::size_t begin;       // where the stretch starts in the original
  std::size_t size;        // its bytes
  std::int32_t* suffixes;  // starts of its suffixes (from `begin`), in sorted order
  std::uint32_t* buckets;  // first suffix of each bucket of three-byte prefixes
  unsigned bucket_shift;   // a prefix's bucket is its 24 bits shifted right by this
  std::uint32_t* shared;   // head only: bytes each suffix shares with the one before it
};

struct OriginalIndex {
  const unsigned char* bytes;
  std::size_t size;
  SortedPart parts[kMaxIndexParts];  // consecutive stretches that overlap a little
  unsigned part_count;
  SortedPart head;          // the first 64 KiB and a little more, or nothing
  std::uint64_t* grams;     // two bits for the hash of every gram of the original
  unsigned gram_shift;      // a gram's word is its hash shifted right by this
  std::size_t gram_length;  // 0: no gram filter
};

// Bytes a match must share before the index can tell it: shorter ones are not reported.
constexpr std::size_t kShortestMatch = 3;

struct Match {
  std::uint32_t offset;  // where the match starts in the original
  std::uint32_t length;  // 0 when nothing matches
};

// Builds the index of `size` bytes (at most kMaxIndexedOriginal) in `parts` parts (1 to
// kMaxIndexParts), each sorted on a thread of its own; false when memory runs out or the
// suffix sort fails. With a `gram_length` of 4 to 8, it also notes grams of that length
// at every position, so that most places without a match that long are turned away at
// once. The index must be released, whatever the result.
bool build_index(const unsigned char* bytes, std::size_t size, std::size_t gram_length,
                 unsigned parts, OriginalIndex* index);
void release_index(OriginalIndex* index);

// The longest prefix of `text` (`length` bytes) that occurs in the original, when it is
// at least kShortestMatch long; a length of 0 otherwise. Among occurrences of that
// length, one with an offset under 256 or 65,536 where the index finds it.
Match longest_match(const OriginalIndex& index, const unsigned char* text, std::size_t length);

// The first place from `at` on in `text` (`length` bytes) where a match of gram_length
// bytes may start: `length` when there is none.
std::size_t next_possible_match(const OriginalIndex& index, const unsigned char* text,
                                std::size_t at, std::size_t length);

// Number of leading bytes that `a` and `b` share, up to `limit`.
std::size_t common_prefix(const unsigned char* a, const unsigned char* b, std::size_t limit);
