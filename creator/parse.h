// The cheapest operation sequence for a piece of the new file, given the matches found
// in it: a shortest path over the positions where an operation can start or end.
#pragma once

#include <cstdint>
#include <vector>

#include "format/operation.h"

// A match found in the new file: `length` bytes at `start` are the original's bytes at
// `offset`. Every shorter prefix of it is a match too.
struct Candidate {
  std::uint32_t start;
  std::uint32_t offset;
  std::uint32_t length;
};

// The operations of least total size (heads and inserted bytes) that build `size` bytes
// from copies of the candidates (sorted by start, each within `size`) and inserts.
// Inserts carry only their length; their data is the new file's bytes at that place.
std::vector<Operation> cheapest_operations(const std::vector<Candidate>& candidates,
                                           std::uint32_t size);
