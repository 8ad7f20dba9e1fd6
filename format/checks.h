// The checks a patch carries behind the original's size, which let a reader prove what it
// rebuilt: one line of space-separated name=value words closed by a separator,
//   new-size=5678 original-xxh3=0123456789abcdef new-xxh3=... operations-xxh3=...|
// Sizes are decimal; hashes are XXH3-64 with seed 0, as 16 lowercase hex digits, of the
// whole original, the whole new file and the operation stream (offset 0 up to the
// trailer). A trailer reader that knows nothing of them skips them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

// Which values a patch carries.
enum CheckBits : unsigned {
  kNewSizeCheck = 1,
  kOriginalHashCheck = 2,
  kNewHashCheck = 4,
  kOperationsHashCheck = 8,
  kAllChecks = 15,
};

struct PatchChecks {
  unsigned present;  // CheckBits of the values below that the patch carries; 0: none
  std::uint64_t new_size;
  std::uint64_t original_hash;
  std::uint64_t new_hash;
  std::uint64_t operations_hash;
};

// Reads the words of `text` up to the next separator. Words it does not know are
// skipped; a text that is not such a line (another creator's), or a known word with a
// malformed or repeated value, gives no checks at all.
PatchChecks parse_checks(const char* text);

// Every check of the pair: the two files and the operation stream between them.
PatchChecks make_checks(const unsigned char* original, std::size_t original_size,
                        const unsigned char* new_file, std::size_t new_size, const void* operations,
                        std::size_t operations_size);
PatchChecks make_checks(const unsigned char* original, std::size_t original_size,
                        const unsigned char* new_file, std::size_t new_size,
                        const std::string& operations);

// The trailer field that follows the names: the original's size (left out where the
// field cannot carry it, so that it stays unchecked), its separator, then the words of
// the checks present and their closing separator.
std::string size_field_with_checks(std::uint64_t original_size, const PatchChecks& checks);

// XXH3-64 of bytes in memory, and of bytes that arrive in pieces.
std::uint64_t hash_bytes(const void* bytes, std::size_t size);
using StreamHash = XXH3_state_t;
void start_hash(StreamHash* hash);
void add_to_hash(StreamHash* hash, const void* bytes, std::size_t size);
std::uint64_t hash_value(const StreamHash& hash);
