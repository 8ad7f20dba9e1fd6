// The benchmark's (original, new, patch) triples and how they are written to disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The shape of one case: a new file of pieces copied from random offsets of a random
// original, with short inserts between some of them.
struct CaseShape {
  const char* name;
  std::uint64_t original_size;
  std::uint64_t new_size;
  std::uint32_t min_piece, max_piece;    // copy lengths
  std::uint32_t min_insert, max_insert;  // insert lengths
  unsigned insert_percent;               // chance of an insert after each copy
  bool delta_tools;                      // also time xdelta3 and bspatch on it
};

// The files of one case in the scratch folder.
struct CaseFiles {
  std::string original, expected, patch, xdelta, bsdiff;
  std::string program_patch;  // the patch under the name the program looks for
  std::uint64_t operations;
  bool bsdiff_written;  // the bsdiff patch was written from the operations, not by bsdiff
};

extern const CaseShape kCases[];
extern const std::size_t kCaseCount;

// Bytes of disk the case needs while it runs (inputs, patches and one output).
std::uint64_t disk_needed(const CaseShape& shape);

// Writes the case's files under `folder`, or keeps them when an earlier run made the
// same case; with `checks`, its patch carries the checks. Returns false (after saying
// why) when a file cannot be made.
bool prepare_case(const CaseShape& shape, const std::string& folder, bool checks, CaseFiles* files);

// True when the two files hold the same bytes.
bool same_contents(const std::string& path_a, const std::string& path_b);
