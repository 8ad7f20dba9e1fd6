// Suffix array search for the longest match: a bucket of three-byte prefixes narrows the
// range, then a binary search that skips the bytes both bounds are known to share.
#include "creator/index.h"

#include "creator/platform.h"

#include <divsufsort.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace {

constexpr std::uint64_t kGramMultiplier = 0x9E3779B97F4A7C15ull;
// How far ahead the table fills ask for the memory they will touch.
constexpr std::size_t kLookAhead = 16;
constexpr std::size_t kGramStep = 2;

// A suffix's bucket: its first three bytes (zero past the end, so that a short suffix
// sorts first in its bucket and keys never decrease along the array), cut to the
// table's bits.
std::uint32_t bucket_key(const unsigned char* bytes, std::size_t size, std::size_t at,
                         unsigned shift) {
  std::uint32_t key = 0;
  for (std::size_t i = 0; i < kShortestMatch; ++i)
    key = key << 8 | (at + i < size ? bytes[at + i] : 0);
  return key >> shift;
}

unsigned bits_for(std::size_t count) {
  unsigned bits = 0;
  while (bits < 63 && (std::size_t{1} << bits) < count)
    ++bits;
  return bits;
}

// About one bucket for every eight to sixteen suffixes, between 2^8 and 2^22 buckets.
void fill_buckets(OriginalIndex* index) {
  unsigned bits = std::clamp(bits_for(index->size), 12u, 26u) - 4;
  index->bucket_shift = 24 - bits;
  index->buckets.assign((std::size_t{1} << bits) + 1, 0);
  std::uint32_t* counts = index->buckets.data() + 1;
  // The counts are scattered over the table: ask for each one a few keys ahead.
  for (std::size_t i = 0; i < index->size; ++i) {
    if (i + kLookAhead < index->size)
      __builtin_prefetch(
          counts + bucket_key(index->bytes, index->size, i + kLookAhead, index->bucket_shift));
    ++counts[bucket_key(index->bytes, index->size, i, index->bucket_shift)];
  }
  for (std::size_t key = 0; key + 1 < index->buckets.size(); ++key)
    index->buckets[key + 1] += index->buckets[key];
}

std::uint64_t gram_hash(const unsigned char* text, std::size_t length) {
  std::uint64_t value = 0;
  std::memcpy(&value, text, length);
  return value * kGramMultiplier;
}

// A gram sets two bits of one word of the set: one memory access to note or test it,
// and far fewer false hits than one bit.
std::uint64_t gram_mask(std::uint64_t hash) {
  return std::uint64_t{1} << (hash >> 20 & 63) | std::uint64_t{1} << (hash >> 26 & 63);
}

// Grams of the original at every kGramStep-th position, about twelve bits for each.
// A match of gram_length + kGramStep - 1 bytes holds one of them whatever its offset,
// so a place passes when one of the grams at its first kGramStep positions is in.
void fill_grams(OriginalIndex* index, std::size_t gram_length) {
  index->gram_length = gram_length;
  unsigned words = std::max(bits_for(index->size) + 2, 9u) - 6;
  index->gram_shift = 64 - words;
  index->grams.assign(std::size_t{1} << words, 0);
  std::uint64_t* set = index->grams.data();
  std::size_t ahead = kLookAhead * kGramStep;
  for (std::size_t i = 0; i + gram_length <= index->size; i += kGramStep) {
    if (i + ahead + gram_length <= index->size) {
      std::uint64_t later = gram_hash(index->bytes + i + ahead, gram_length);
      __builtin_prefetch(set + (later >> index->gram_shift), 1);
    }
    std::uint64_t hash = gram_hash(index->bytes + i, gram_length);
    set[hash >> index->gram_shift] |= gram_mask(hash);
  }
}

bool has_gram(const OriginalIndex& index, const unsigned char* text) {
  std::uint64_t hash = gram_hash(text, index.gram_length);
  std::uint64_t mask = gram_mask(hash);
  return (index.grams[hash >> index.gram_shift] & mask) == mask;
}

// One of the two halves of building the index: the suffix sort, or the tables.
struct IndexJob {
  OriginalIndex* index;
  std::size_t gram_length;
  bool sorts;
  bool done;
};

void build_part(void* context) {
  auto* job = static_cast<IndexJob*>(context);
  OriginalIndex* index = job->index;
  if (job->sorts) {
    job->done = index->size == 0 || divsufsort(index->bytes, index->suffixes.data(),
                                               static_cast<saidx_t>(index->size)) == 0;
    return;
  }
  try {
    fill_buckets(index);
    if (job->gram_length >= 4 && job->gram_length <= 8) fill_grams(index, job->gram_length);
    job->done = true;
  } catch (const std::bad_alloc&) {
    job->done = false;
  }
}

// Common prefix of the text and the suffix at `rank`, counted from `known` bytes on.
std::size_t prefix_at(const OriginalIndex& index, std::size_t rank, const unsigned char* text,
                      std::size_t length, std::size_t known) {
  std::size_t start = static_cast<std::size_t>(index.suffixes[rank]);
  std::size_t limit = std::min(length, index.size - start);
  if (known >= limit) return limit;
  return known + common_prefix(text + known, index.bytes + start + known, limit - known);
}

}  // namespace

std::size_t common_prefix(const unsigned char* a, const unsigned char* b, std::size_t limit) {
  std::size_t i = 0;
  while (i + 8 <= limit) {
    std::uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) return i + static_cast<std::size_t>(__builtin_ctzll(x ^ y) / 8);
    i += 8;
  }
  while (i < limit && a[i] == b[i])
    ++i;
  return i;
}

bool build_index(const unsigned char* bytes, std::size_t size, std::size_t gram_length,
                 OriginalIndex* index) {
  index->bytes = bytes;
  index->size = size;
  index->gram_length = 0;
  if (size > kMaxIndexedOriginal) return false;
  IndexJob jobs[2] = {{index, gram_length, true, false}, {index, gram_length, false, false}};
  void* contexts[2] = {&jobs[0], &jobs[1]};
  try {
    index->suffixes.resize(size);
  } catch (const std::bad_alloc&) {
    return false;
  }
  // The tables are filled on the other core while the suffixes are sorted.
  run_parallel(build_part, contexts, 2);
  return jobs[0].done && jobs[1].done;
}

std::size_t next_possible_match(const OriginalIndex& index, const unsigned char* text,
                                std::size_t at, std::size_t length) {
  if (index.gram_length == 0) return at;
  std::size_t span = index.gram_length + kGramStep - 1;
  for (; at + span <= length; ++at) {
    // The places are tried in order, so the bits they need can be asked for early.
    if (at + kLookAhead + index.gram_length <= length) {
      std::uint64_t later =
          gram_hash(text + at + kLookAhead, index.gram_length) >> index.gram_shift;
      __builtin_prefetch(index.grams.data() + (later >> 6));
    }
    for (std::size_t i = 0; i < kGramStep; ++i) {
      if (has_gram(index, text + at + i)) return at;
    }
  }
  return length;
}

Match longest_match(const OriginalIndex& index, const unsigned char* text, std::size_t length) {
  Match best = {0, 0};
  if (length < kShortestMatch) return best;
  std::uint32_t key = bucket_key(text, length, 0, index.bucket_shift);
  std::size_t low = index.buckets[key], high = index.buckets[key + 1];
  std::size_t first = low, end = high;
  // Invariant: the text sorts after every suffix before `low` and not after the suffix
  // at `high`; low_prefix and high_prefix are what the text shares with those two.
  std::size_t low_prefix = 0, high_prefix = 0;
  while (low < high) {
    std::size_t middle = low + (high - low) / 2;
    std::size_t shared = prefix_at(index, middle, text, length, std::min(low_prefix, high_prefix));
    std::size_t start = static_cast<std::size_t>(index.suffixes[middle]);
    bool suffix_smaller = shared < length && (start + shared == index.size ||
                                              index.bytes[start + shared] < text[shared]);
    if (suffix_smaller) {
      low = middle + 1;
      low_prefix = shared;
    } else {
      high = middle;
      high_prefix = shared;
    }
  }
  // The longest match is one of the two neighbours of the text's place.
  auto consider = [&](std::size_t rank) {
    std::size_t shared = prefix_at(index, rank, text, length, 0);
    if (shared >= kShortestMatch && shared > best.length) {
      best = {static_cast<std::uint32_t>(index.suffixes[rank]), static_cast<std::uint32_t>(shared)};
    }
  };
  if (low > first) consider(low - 1);
  if (low < end) consider(low);
  return best;
}
