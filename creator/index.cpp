// Suffix array search for the longest match: a bucket of three-byte prefixes narrows the
// range, then a binary search that skips the bytes both bounds are known to share. The
// original is sorted in parts on several threads, each part searched on its own.
#include "creator/index.h"

#include "creator/platform.h"
#include "format/operation.h"

#include <divsufsort.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::uint64_t kGramMultiplier = 0x9E3779B97F4A7C15ull;
// How far ahead the table fills ask for the memory they will touch.
constexpr std::size_t kLookAhead = 16;
// Neighbouring parts share this many bytes, so that a match that starts shortly before
// a cut is found whole on the part before it.
constexpr std::size_t kPartOverlap = std::size_t{1} << 16;
// The head holds every offset that fits two bytes, and the matches up to kHeadSlack
// bytes long that start there.
constexpr std::size_t kTwoByteOffsets = std::size_t{1} << 16;
constexpr std::size_t kHeadSlack = 4096;
// Equally long matches looked at on each side in the head for the cheapest offset.
constexpr std::size_t kMostTiesScanned = 256;

template <typename T>
T* allocate(std::size_t count) {
  return count > SIZE_MAX / sizeof(T) ? nullptr
                                      : static_cast<T*>(allocate_table(count * sizeof(T)));
}

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
unsigned bucket_bits(std::size_t size) {
  return std::clamp(bits_for(size), 12u, 26u) - 4;
}

std::size_t bucket_count(const SortedPart& part) {
  return (std::size_t{1} << (24 - part.bucket_shift)) + 1;
}

// Memory for the part's suffixes and tables; false when there is not enough.
bool allocate_part(SortedPart* part, bool with_shared) {
  part->bucket_shift = 24 - bucket_bits(part->size);
  part->buckets = allocate<std::uint32_t>(bucket_count(*part));
  part->suffixes = allocate<std::int32_t>(std::max<std::size_t>(part->size, 1));
  if (with_shared) part->shared = allocate<std::uint32_t>(part->size * 2);
  return part->buckets != nullptr && part->suffixes != nullptr &&
         (!with_shared || part->shared != nullptr);
}

void release_part(SortedPart* part) {
  release_table(part->suffixes, std::max<std::size_t>(part->size, 1) * sizeof(std::int32_t));
  release_table(part->buckets, bucket_count(*part) * sizeof(std::uint32_t));
  release_table(part->shared, part->size * 2 * sizeof(std::uint32_t));
  *part = {};
}

void fill_buckets(const unsigned char* bytes, SortedPart* part) {
  std::size_t count = bucket_count(*part);
  const unsigned char* text = bytes + part->begin;
  std::size_t size = part->size;
  std::uint32_t* counts = part->buckets + 1;
  // The keys roll along the bytes; the counts are scattered over the table, so each one
  // is asked for a few keys ahead.
  std::uint32_t key = 0, ahead = 0;
  for (std::size_t i = 0; i < kShortestMatch - 1; ++i)
    key = key << 8 | (i < size ? text[i] : 0);
  for (std::size_t i = 0; i < kLookAhead + kShortestMatch - 1; ++i)
    ahead = ahead << 8 | (i < size ? text[i] : 0);
  for (std::size_t i = 0; i < size; ++i) {
    std::size_t next = i + kShortestMatch - 1, later = next + kLookAhead;
    key = (key << 8 | (next < size ? text[next] : 0)) & 0xFFFFFF;
    ahead = (ahead << 8 | (later < size ? text[later] : 0)) & 0xFFFFFF;
    __builtin_prefetch(counts + (ahead >> part->bucket_shift), 1);
    ++counts[key >> part->bucket_shift];
  }
  for (std::size_t key_at = 0; key_at + 1 < count; ++key_at)
    part->buckets[key_at + 1] += part->buckets[key_at];
}

// The suffix sort and the buckets; false when the sort fails (its own memory).
bool sort_part(const unsigned char* bytes, SortedPart* part) {
  if (part->size > 0 &&
      divsufsort(bytes + part->begin, part->suffixes, static_cast<saidx_t>(part->size)) != 0)
    return false;
  fill_buckets(bytes, part);
  return true;
}

// Kasai's method: the bytes each suffix shares with the one sorted before it. The second
// half of `shared` holds the suffixes' ranks meanwhile.
void fill_shared(const unsigned char* bytes, SortedPart* part) {
  const unsigned char* text = bytes + part->begin;
  std::size_t size = part->size;
  std::uint32_t* rank = part->shared + size;
  for (std::size_t i = 0; i < size; ++i)
    rank[part->suffixes[i]] = static_cast<std::uint32_t>(i);
  std::size_t shared = 0;
  for (std::size_t at = 0; at < size; ++at) {
    if (rank[at] == 0) {
      part->shared[0] = 0;
      shared = 0;
      continue;
    }
    std::size_t before = static_cast<std::size_t>(part->suffixes[rank[at] - 1]);
    std::size_t limit = size - std::max(at, before);
    shared += common_prefix(text + at + shared, text + before + shared, limit - shared);
    part->shared[rank[at]] = static_cast<std::uint32_t>(shared);
    if (shared > 0) --shared;
  }
}

// The hash of the `length` bytes at `text`, of which `available` can be read.
std::uint64_t gram_hash(const unsigned char* text, std::size_t length, std::size_t available) {
  std::uint64_t value = 0;
  if (available >= sizeof value) {
    std::memcpy(&value, text, sizeof value);
    if (length < sizeof value) value &= (std::uint64_t{1} << 8 * length) - 1;
  } else {
    std::memcpy(&value, text, length);
  }
  return value * kGramMultiplier;
}

// A gram sets two bits of one word of the set: one memory access to note or test it,
// and far fewer false hits than one bit.
std::uint64_t gram_mask(std::uint64_t hash) {
  return std::uint64_t{1} << (hash >> 20 & 63) | std::uint64_t{1} << (hash >> 26 & 63);
}

unsigned gram_words_bits(std::size_t size) {
  return std::max(bits_for(size) + 3, 9u) - 6;
}

std::size_t gram_words(const OriginalIndex& index) {
  return std::size_t{1} << (64 - index.gram_shift);
}

// Grams of the original at every position, eight to sixteen bits for each: a place
// passes when the gram that starts there is in, so no match of gram_length bytes is
// turned away. (Grams at every other position take half the memory and time to note,
// but then a place must pass on either of its first two grams: twice the false hits,
// and matches of exactly gram_length bytes found only by such luck.) Each thread notes the grams
// from [first, end) in a set of its own; the sets are joined once all are done.
void fill_grams(const OriginalIndex& index, std::size_t first, std::size_t end,
                std::uint64_t* set) {
  std::size_t length = index.gram_length, ahead = kLookAhead;
  end = std::min(end, index.size >= length ? index.size - length + 1 : 0);
  for (std::size_t i = first; i < end; ++i) {
    if (i + ahead + length <= index.size) {
      std::uint64_t later = gram_hash(index.bytes + i + ahead, length, index.size - i - ahead);
      __builtin_prefetch(set + (later >> index.gram_shift), 1);
    }
    std::uint64_t hash = gram_hash(index.bytes + i, length, index.size - i);
    set[hash >> index.gram_shift] |= gram_mask(hash);
  }
}

bool has_gram(const OriginalIndex& index, const unsigned char* text, std::size_t available) {
  std::uint64_t hash = gram_hash(text, index.gram_length, available);
  std::uint64_t mask = gram_mask(hash);
  return (index.grams[hash >> index.gram_shift] & mask) == mask;
}

// One thread's share of building the index: a part's suffix sort and buckets, a share
// of the gram set, and on the first thread the head.
// The grams are noted in stretches of the original, each taken by the next thread that
// has sorted its part: parts take unequal times to sort.
struct GramStretches {
  std::atomic<std::size_t> next;
  std::size_t count;
};

struct IndexJob {
  OriginalIndex* index;
  unsigned part;
  std::uint64_t* grams;  // the set this thread notes its grams in
  GramStretches* stretches;
  bool done;
};

void build_part(void* context) {
  auto* job = static_cast<IndexJob*>(context);
  OriginalIndex* index = job->index;
  job->done = sort_part(index->bytes, &index->parts[job->part]);
  if (job->part == 0 && job->done && index->head.size > 0) {
    job->done = sort_part(index->bytes, &index->head);
    if (job->done) fill_shared(index->bytes, &index->head);
  }
  std::size_t count = job->stretches->count;
  for (std::size_t at = job->stretches->next++; at < count; at = job->stretches->next++)
    fill_grams(*index, index->size * at / count, index->size * (at + 1) / count, job->grams);
}

// Common prefix of the text and the part's suffix at `rank`, counted from `known` bytes
// on, up to the part's end.
std::size_t prefix_at(const unsigned char* bytes, const SortedPart& part, std::size_t rank,
                      const unsigned char* text, std::size_t length, std::size_t known) {
  std::size_t start = part.begin + static_cast<std::size_t>(part.suffixes[rank]);
  std::size_t limit = std::min(length, part.begin + part.size - start);
  if (known >= limit) return limit;
  return known + common_prefix(text + known, bytes + start + known, limit - known);
}

// Where the text sorts among the part's suffixes: the first rank not before it, within
// the bucket of its first bytes [first, end).
struct Place {
  std::size_t rank, first, end;
};

// A binary search for the text's place among a part's suffixes. Invariant: the text
// sorts after every suffix before `low` and not after the suffix at `high`; low_prefix
// and high_prefix are what the text shares with those two.
struct Search {
  const SortedPart* part;
  std::size_t low, high, low_prefix, high_prefix;
  Place place;
};

Search start_search(const SortedPart& part, const unsigned char* text, std::size_t length) {
  std::uint32_t key = bucket_key(text, length, 0, part.bucket_shift);
  std::size_t low = part.buckets[key], high = part.buckets[key + 1];
  return {&part, low, high, 0, 0, {low, low, high}};
}

// Halves the search's range: the text against the suffix in the middle, compared from
// the bytes both bounds are known to share.
void take_step(const unsigned char* bytes, const unsigned char* text, std::size_t length,
               Search* search) {
  const SortedPart& part = *search->part;
  std::size_t low = search->low, high = search->high;
  std::size_t middle = low + (high - low) / 2;
  // The next middle is one of two; both are asked for while this one is compared.
  __builtin_prefetch(part.suffixes + low + (middle - low) / 2);
  __builtin_prefetch(part.suffixes + middle + 1 + (high - middle - 1) / 2);
  std::size_t known = std::min(search->low_prefix, search->high_prefix);
  std::size_t shared = prefix_at(bytes, part, middle, text, length, known);
  std::size_t start = part.begin + static_cast<std::size_t>(part.suffixes[middle]);
  bool suffix_smaller = shared < length && (start + shared == part.begin + part.size ||
                                            bytes[start + shared] < text[shared]);
  if (suffix_smaller) {
    search->low = middle + 1;
    search->low_prefix = shared;
  } else {
    search->high = middle;
    search->high_prefix = shared;
  }
  search->place.rank = search->low;
}

// Runs the searches to their end, a step of each in turn, so that the memory each one
// waits for is asked for at the same time as the others'.
void find_places(const unsigned char* bytes, const unsigned char* text, std::size_t length,
                 Search* searches, unsigned count) {
  for (bool busy = true; busy;) {
    busy = false;
    for (Search* search = searches; search != searches + count; ++search) {
      if (search->low >= search->high) continue;
      take_step(bytes, text, length, search);
      busy = true;
    }
  }
}

// The longest match in one part: one of the two neighbours of the text's place. One that
// reaches the part's end goes on in the original.
Match longest_in_part(const OriginalIndex& index, const SortedPart& part, const Place& place,
                      const unsigned char* text, std::size_t length) {
  Match best = {0, 0};
  auto consider = [&](std::size_t rank) {
    std::size_t shared = prefix_at(index.bytes, part, rank, text, length, 0);
    if (shared >= kShortestMatch && shared > best.length) {
      best = {
          static_cast<std::uint32_t>(part.begin + static_cast<std::size_t>(part.suffixes[rank])),
          static_cast<std::uint32_t>(shared)};
    }
  };
  if (place.rank > place.first) consider(place.rank - 1);
  if (place.rank < place.end) consider(place.rank);
  std::size_t end = best.offset + best.length;
  if (best.length > 0 && end == part.begin + part.size && end < index.size) {
    std::size_t limit = std::min(length, index.size - best.offset) - best.length;
    best.length +=
        static_cast<std::uint32_t>(common_prefix(text + best.length, index.bytes + end, limit));
  }
  return best;
}

std::size_t offset_cost(std::uint32_t offset) {
  return copy_head_size(offset, 0);
}

// An offset in the head that takes fewer bytes than `best`'s for as long a match, looked
// for among the equally long matches next to the text's place.
Match cheaper_in_head(const OriginalIndex& index, const Place& place, const unsigned char* text,
                      std::size_t length, Match best) {
  const SortedPart& head = index.head;
  if (best.length > kHeadSlack || best.offset <= 0xFF) return best;
  std::size_t rank;
  if (place.rank > place.first &&
      prefix_at(index.bytes, head, place.rank - 1, text, length, 0) >= best.length) {
    rank = place.rank - 1;
  } else if (place.rank < place.end &&
             prefix_at(index.bytes, head, place.rank, text, length, 0) >= best.length) {
    rank = place.rank;
  } else {
    return best;
  }
  auto cheapest = static_cast<std::uint32_t>(head.suffixes[rank]);
  for (std::size_t at = rank, seen = 0;
       at > 0 && head.shared[at] >= best.length && seen < kMostTiesScanned; --at, ++seen)
    cheapest = std::min(cheapest, static_cast<std::uint32_t>(head.suffixes[at - 1]));
  for (std::size_t at = rank + 1, seen = 0;
       at < head.size && head.shared[at] >= best.length && seen < kMostTiesScanned; ++at, ++seen)
    cheapest = std::min(cheapest, static_cast<std::uint32_t>(head.suffixes[at]));
  if (offset_cost(cheapest) < offset_cost(best.offset)) best.offset = cheapest;
  return best;
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
                 unsigned parts, OriginalIndex* index) {
  *index = {};
  index->bytes = bytes;
  index->size = size;
  if (size > kMaxIndexedOriginal) return false;
  parts = std::clamp(parts, 1u, kMaxIndexParts);
  index->part_count = parts;
  for (unsigned i = 0; i < parts; ++i) {
    std::size_t begin = size * i / parts, end = size * (i + 1) / parts;
    if (i + 1 < parts) end = std::min(size, end + kPartOverlap);
    index->parts[i] = {begin, end - begin, nullptr, nullptr, 0, nullptr};
  }
  // All the memory first: a lack of it shows before any work.
  for (unsigned i = 0; i < parts; ++i) {
    if (!allocate_part(&index->parts[i], false)) return false;
  }
  if (size > 0xFF) {
    index->head = {0, std::min(size, kTwoByteOffsets + kHeadSlack), nullptr, nullptr, 0, nullptr};
    if (!allocate_part(&index->head, true)) return false;
  }
  if (gram_length >= 4 && gram_length <= 8) {
    index->gram_length = gram_length;
    unsigned words = gram_words_bits(size);
    index->gram_shift = 64 - words;
    index->grams = allocate<std::uint64_t>(std::size_t{1} << words);
    if (index->grams == nullptr) return false;
  }
  IndexJob jobs[kMaxIndexParts] = {};
  void* contexts[kMaxIndexParts];
  GramStretches stretches = {{0}, index->gram_length > 0 ? std::size_t{16} * parts : 0};
  bool ready = true;
  for (unsigned i = 0; i < parts; ++i) {
    jobs[i] = {index, i, index->grams, &stretches, false};
    if (i > 0 && index->gram_length > 0) {
      jobs[i].grams = allocate<std::uint64_t>(gram_words(*index));
      ready = ready && jobs[i].grams != nullptr;
    }
    contexts[i] = &jobs[i];
  }
  if (ready) run_parallel(build_part, contexts, parts);
  for (unsigned i = 1; i < parts && index->gram_length > 0; ++i) {
    for (std::size_t word = 0; ready && word < gram_words(*index); ++word)
      index->grams[word] |= jobs[i].grams[word];
    release_table(jobs[i].grams, gram_words(*index) * sizeof(std::uint64_t));
  }
  return ready && std::all_of(jobs, jobs + parts, [](const IndexJob& job) { return job.done; });
}

void release_index(OriginalIndex* index) {
  for (SortedPart& part : index->parts)
    release_part(&part);
  release_part(&index->head);
  if (index->gram_length > 0)
    release_table(index->grams, gram_words(*index) * sizeof(std::uint64_t));
  index->grams = nullptr;
}

std::size_t next_possible_match(const OriginalIndex& index, const unsigned char* text,
                                std::size_t at, std::size_t length) {
  if (index.gram_length == 0) return at;
  for (; at + index.gram_length <= length; ++at) {
    // The places are tried in order, so the bits they need can be asked for early.
    if (at + kLookAhead + index.gram_length <= length) {
      std::uint64_t later =
          gram_hash(text + at + kLookAhead, index.gram_length, length - at - kLookAhead) >>
          index.gram_shift;
      __builtin_prefetch(index.grams + later);
    }
    if (has_gram(index, text + at, length - at)) return at;
  }
  return length;
}

Match longest_match(const OriginalIndex& index, const unsigned char* text, std::size_t length) {
  Match best = {0, 0};
  if (length < kShortestMatch || index.size == 0) return best;
  // Every part, and the head for a cheaper offset of whatever they find.
  Search searches[kMaxIndexParts + 1];
  unsigned count = 0;
  for (unsigned i = 0; i < index.part_count; ++i) {
    if (index.parts[i].size > 0) searches[count++] = start_search(index.parts[i], text, length);
  }
  bool head = index.head.size > 0;
  if (head) searches[count++] = start_search(index.head, text, length);
  find_places(index.bytes, text, length, searches, count);
  for (unsigned i = 0; i < count - (head ? 1 : 0); ++i) {
    Match found = longest_in_part(index, *searches[i].part, searches[i].place, text, length);
    if (found.length > best.length ||
        (found.length == best.length && offset_cost(found.offset) < offset_cost(best.offset)))
      best = found;
  }
  if (best.length == 0 || !head) return best;
  return cheaper_in_head(index, searches[count - 1].place, text, length, best);
}
