// The cheapest operation sequence for a piece of the new file, given the matches found
// in it: a shortest path over the positions where an operation can start or end.
#pragma once

#include <cstddef>
#include <cstdint>

#include "format/operation.h"

// A match found in the new file: `length` bytes at `start` are the original's bytes at
// `offset`. Every shorter prefix of it is a match too.
struct Candidate {
  std::uint32_t start;
  std::uint32_t offset;
  std::uint32_t length;
};

// Operations in order, in memory from malloc that the owner frees.
struct Operations {
  Operation* items;
  std::size_t count;
};

// Memory the parse works in, kept from one piece to the next; its owner frees `block`.
struct ParseSpace {
  void* block;
  std::size_t size;
};

// The operations of least total size (heads and inserted bytes) that build `size` bytes
// from copies of the `count` candidates (sorted by start, each within `size`) and
// inserts. Inserts carry only their length; their data is the new file's bytes at that
// place. False when memory runs out.
bool cheapest_operations(const Candidate* candidates, std::size_t count, std::uint32_t size,
                         ParseSpace* space, Operations* result);
