// Rebuilding the new file from the original and the operation stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "files/mapping.h"
#include "files/worker.h"
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

// Batches of a few MiB, where the pieces land in memory that the cache keeps: larger
// ones were slower, though they walk the original fewer times. Copies average about 100
// bytes in a patch of short pieces, hence the number of copies.
constexpr std::size_t kBatchBytes = 3 << 20;
constexpr unsigned kCopyIndexBits = 16;
constexpr std::size_t kMaxBatchCopies = 28 << 10;
static_assert(kMaxBatchCopies <= std::size_t{1} << kCopyIndexBits, "copy numbers fit the keys");

// The new file's next bytes, written with one call once full. Inserts are copied in as
// they are read; copies from the original only take their place and are filled in when
// the batch is written, in the order of their offsets in the original: the original is
// walked front to back once per batch, however scattered the pieces are in the new file.
struct Batch {
  std::size_t filled;  // bytes of the new file in `bytes`
  std::size_t copies;
  std::uint64_t keys[kMaxBatchCopies];   // offset in the original << kCopyIndexBits | copy number
  std::uint32_t place[kMaxBatchCopies];  // where each copy goes in `bytes`
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

// Sorted copies [first, last) of a batch, to be copied from the mapped original.
struct PieceRange {
  Batch* batch;
  const unsigned char* original;
  std::size_t first, last;
};

// What the writer is given: its half of a batch's copies (`count` 0), or the first
// `count` bytes of a batch to write (never 0).
struct WriterJob {
  PieceRange pieces;
  std::size_t count;
};

// What one rebuild works with. About 8 MiB of buffers, so callers keep it static.
// The operations are decoded into one batch on the calling thread while the writer, a
// thread of its own, writes the batch before; the copies of a full batch are filled in
// on both threads, and the calling thread hashes it. A small new file is written without
// the thread.
struct Applier {
  FILE* original;
  std::uint64_t original_size;
  MappedFile original_map;  // not mapped: the original is read with read_at
  FILE* new_file;
  PatchReader patch;
  Verification verification;
  Batch batches[2];
  Batch* batch;          // the one being filled
  Worker* writer;        // null until the first full batch, or where no thread can be started
  WriterJob job;         // the writer's last job
  ApplyOutcome written;  // complete, or the first failure of the writer's writes
  int write_error;       // the system's code for a failed write
  bool pieces_copied;    // the writer's last copy_pieces came whole from the mapping
  std::uint64_t sort_space[kMaxBatchCopies];  // the radix sort's other half
  // Flushes the new file to disk behind the writer, so that the disk stores it while the
  // rest is rebuilt, not all at the end. Null until the file has grown by kFlushStep.
  Worker* flusher;
  std::uint64_t new_file_size;   // bytes written so far, as the writer counts them
  std::uint64_t flush_asked_at;  // new_file_size when the last flush was asked for
  // Copies read together from an original that is not mapped; the rest of the operation
  // stream read after a run that stopped early.
  unsigned char block[1 << 20];
  // Told after each operation how far into the operation stream the rebuild is; may be null.
  void (*progress)(void* context, std::uint64_t done, std::uint64_t data_end);
  void* progress_context;
};

// Runs the operations of `patch` from offset 0 up to `data_end`, appending every piece
// to `new_file`. Stops at the first damaged operation, a copy the original cannot
// supply, or a write error; the pieces before it are written. With `checks`, the run
// also stops before the new file outgrows its size, and ends as a damaged patch when the
// operation stream is not the one the checks were made for, else as the wrong original
// when the new file's size or hash differs. A write failure leaves the system's code for
// it in `write_error`.
ApplyOutcome run_operations(Applier* applier, FILE* patch, std::uint32_t data_end, FILE* original,
                            FILE* new_file, const PatchChecks& checks);
