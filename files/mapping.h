// The original mapped into memory, so that the pieces of a batch are copied from the
// page cache in the order of their offsets instead of read with one call per span.
#pragma once

#include <cstdint>
#include <cstdio>

struct MappedFile {
  const unsigned char* bytes;  // null when the file is not mapped
  std::uint64_t size;
  void* handle;  // the platform's mapping object, where it has one
};

// Maps the first `size` bytes of `stream` for reading. False, with `bytes` null, when
// they cannot be mapped (an empty file, too large for the address space, a file system
// without mappings); the caller then reads the file instead.
bool map_file(FILE* stream, std::uint64_t size, MappedFile* map);

// Unmaps the file; does nothing when it is not mapped.
void unmap_file(MappedFile* map);

// Runs copy(context), which reads from a mapping. False when a page of the mapping could
// not be read because the file shrank under it; `copy` was then stopped part way. Two
// threads may run copies at once.
bool copy_from_mapping(void (*copy)(void* context), void* context);
