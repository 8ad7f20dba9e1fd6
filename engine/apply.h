// Rebuilding the new file from the original and the operation stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "files/mapping.h"
#include "format/checks.h"
#include "format/operation.h"

enum class ApplyOutcome { complete, damaged_patch, wrong_original, write_failed };

// The operation stream, read ahead in blocks so that operation heads decode from memory.
struct PatchReader {
  FILE* stream;
  StreamHash* hash;        // of every byte read so far, from offset 0; null: not hashed
  std::uint64_t position;  // patch offset of bytes[next]
  std::uint64_t data_end;  // where the trailer begins: no operation may read from there on
  std::size_t next;
  std::size_t end;
  unsigned char bytes[1 << 16];
};

constexpr std::size_t kBatchBytes = 8 << 20;
constexpr unsigned kCopyIndexBits = 16;
constexpr std::size_t kMaxBatchCopies = std::size_t{1} << kCopyIndexBits;

// The new file's next bytes, written with one call once full. Inserts are copied in as
// they are read; copies from the original only take their place and are filled in when
// the batch is written, in the order of their offsets in the original: the original is
// walked front to back once per batch, however scattered the pieces are in the new file.
struct Batch {
  std::size_t filled;  // bytes of the new file in `bytes`
  std::size_t copies;
  std::uint64_t keys[kMaxBatchCopies];  // offset in the original << kCopyIndexBits | copy number
  std::uint64_t sorted_keys[kMaxBatchCopies];  // the other half of the radix sort
  std::uint32_t place[kMaxBatchCopies];        // where each copy goes in `bytes`
  std::uint32_t length[kMaxBatchCopies];
  unsigned char bytes[kBatchBytes];
};

// The checks of a patch that carries them, followed through the rebuild. A hash is only
// kept where the patch gives its value; a patch without checks hashes nothing.
struct Verification {
  PatchChecks checks;
  std::uint64_t limit;          // the new file's size; no limit without one
  std::uint64_t written;        // bytes written to the new file so far
  StreamHash* new_file_hash;    // of every byte written to the new file; null: not hashed
  StreamHash operations_state;  // behind PatchReader::hash
  StreamHash new_file_state;
};

// What one rebuild works with. About 10 MiB of buffers, so callers keep it static.
struct Applier {
  FILE* original;
  std::uint64_t original_size;
  MappedFile original_map;  // not mapped: the original is read with read_at
  FILE* new_file;
  PatchReader patch;
  Verification verification;
  Batch batch;
  unsigned char block[1 << 20];  // a group of copies read together, or a block of a long copy
  // Told after each operation how far into the operation stream the rebuild is; may be null.
  void (*progress)(void* context, std::uint64_t done, std::uint64_t data_end);
  void* progress_context;
};

// Runs the operations of `patch` from offset 0 up to `data_end`, appending every piece
// to `new_file`. Stops at the first damaged operation, a copy the original cannot
// supply, or a write error; the pieces before it are written. With `checks`, the run
// also stops before the new file outgrows its size, and ends as a damaged patch when the
// operation stream is not the one the checks were made for, else as the wrong original
// when the new file's size or hash differs.
ApplyOutcome run_operations(Applier* applier, FILE* patch, std::uint32_t data_end, FILE* original,
                            FILE* new_file, const PatchChecks& checks);
