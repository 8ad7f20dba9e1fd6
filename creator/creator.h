// Making a patch: the operation stream that rebuilds the new file from the original,
// as small as the format allows for the matches found, and the trailer that names both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "creator/parse.h"

enum class DiffStatus {
  ok,
  original_too_large,  // beyond what copy offsets and the index can reach
  out_of_memory,
};

struct DiffSettings {
  std::size_t piece_size;  // the new file is matched and parsed in pieces of this size
  unsigned threads;        // pieces worked on at the same time
  void (*progress)(void* context, const char* phase, double fraction);  // may be null
  void* progress_context;
  std::size_t split_size;  // an original this large is sorted in parts, one per thread
};

// Two threads, pieces of 4 MiB, originals from 8 MiB on sorted in two parts, no progress.
DiffSettings default_diff_settings();

// The operations that build the new file, in memory from malloc that the owner frees.
struct OperationStream {
  unsigned char* bytes;
  std::size_t size;
};

// The operations that build `target` from `original`. Every failure to get memory or a
// thread ends in a status, never in an exception.
DiffStatus make_operation_stream(const unsigned char* original, std::size_t original_size,
                                 const unsigned char* target, std::size_t target_size,
                                 const DiffSettings& settings, OperationStream* stream);
// The same, appended to `stream`, for callers that keep the whole patch in a string.
DiffStatus make_operation_stream(const unsigned char* original, std::size_t original_size,
                                 const unsigned char* target, std::size_t target_size,
                                 const DiffSettings& settings, std::string* stream);

// The whole patch file in memory: operations and trailer with every check. Empty names
// are allowed; a name the trailer cannot hold gives an empty result.
std::string make_patch_bytes(const unsigned char* original, std::size_t original_size,
                             const unsigned char* target, std::size_t target_size,
                             const std::string& original_name, const std::string& new_name);

// ---- Inside the creator -----------------------------------------------------

struct OriginalIndex;

// Candidates in memory from malloc (realloc as they grow), that the owner frees.
struct CandidateList {
  Candidate* items;
  std::size_t count, capacity;
};

// Appends to `found` the matches of `piece` worth a copy: a longest match wherever one
// begins on a new diagonal; inside long matches the search resumes where they stop
// matching. False when memory runs out.
bool find_candidates(const OriginalIndex& index, const unsigned char* piece, std::uint32_t size,
                     CandidateList* found);
