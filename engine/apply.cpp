// Rebuilding the new file: run the operation stream front to back, appending each
// piece, in batches whose copies are read from the original in offset order.
#include "engine/apply.h"

#include <algorithm>
#include <cstring>

#include "files/files.h"
#include "files/worker.h"

namespace {

// Copies of the batch that are read from the original with one call.
struct ReadGroup {
  std::size_t first, last;   // sorted copies [first, last)
  std::uint64_t start, end;  // the span of the original they take
};

// Copies less than this apart in the original are read together: reading the gap between
// them costs less than one more call.
constexpr std::uint64_t kReadTogetherGap = 16 << 10;

// Copies at least this long skip the batch.
constexpr std::uint32_t kDirectCopyLength = 64 << 10;

// A long copy moves through the batches in pieces of this size: one is read while the
// writer writes the one before.
constexpr std::size_t kLongCopyPiece = 1 << 20;

// The new file is flushed to disk behind the writer whenever it has grown by this much
// since the last flush began.
constexpr std::uint64_t kFlushStep = 8 << 20;

// How many pieces ahead of the one it copies the copy asks for the memory of the next:
// the original's pages are far apart, and each costs a trip to memory.
constexpr std::size_t kPrefetchDistance = 16;

// Bytes of at most `wanted` that lie before the data end, counted from patch offset `at`.
std::size_t before_data_end(const PatchReader& patch, std::uint64_t at, std::size_t wanted) {
  return static_cast<std::size_t>(std::min<std::uint64_t>(wanted, patch.data_end - at));
}

// Adds bytes to a hash that is kept; bytes are hashed right after they are read, while
// they are still in the cache.
void hash_if_kept(StreamHash* hash, const void* bytes, std::size_t size) {
  if (hash != nullptr) add_to_hash(hash, bytes, size);
}

// Tops the read-ahead up so that a whole operation head is buffered unless the data
// ends: a head cut by the data end must not be completed from the trailer.
void top_up(PatchReader* patch) {
  std::size_t held = patch->end - patch->next;
  std::memmove(patch->bytes, patch->bytes + patch->next, held);
  patch->next = 0;
  std::size_t room = before_data_end(*patch, patch->position + held, sizeof patch->bytes - held);
  std::size_t got = std::fread(patch->bytes + held, 1, room, patch->stream);
  hash_if_kept(patch->hash, patch->bytes + held, got);
  patch->end = held + got;
}

// Moves up to `count` bytes of the patch to `destination`: from the read-ahead while it
// lasts, then straight from the file, which stands right behind the read-ahead. Never
// reads past the data end, so insert data running into the trailer comes up short.
std::size_t take_patch_bytes(PatchReader* patch, unsigned char* destination, std::size_t count) {
  std::size_t got = std::min(count, patch->end - patch->next);
  std::memcpy(destination, patch->bytes + patch->next, got);
  patch->next += got;
  if (got < count) {
    std::size_t rest = before_data_end(*patch, patch->position + got, count - got);
    std::size_t read = std::fread(destination + got, 1, rest, patch->stream);
    hash_if_kept(patch->hash, destination + got, read);
    got += read;
  }
  patch->position += got;
  return got;
}

std::uint64_t offset_of(const Batch& batch, std::size_t sorted) {
  return batch.keys[sorted] >> kCopyIndexBits;
}

std::size_t copy_of(const Batch& batch, std::size_t sorted) {
  constexpr std::uint64_t kCopyNumber = (std::uint64_t{1} << kCopyIndexBits) - 1;
  return static_cast<std::size_t>(batch.keys[sorted] & kCopyNumber);
}

// The sorted copies from `first` on that one read can serve: each begins less than
// kReadTogetherGap behind the ones before it, and together they fit in the block.
ReadGroup group_from(const Applier& applier, const Batch& batch, std::size_t first) {
  ReadGroup group = {first, first + 1, offset_of(batch, first),
                     offset_of(batch, first) + batch.length[copy_of(batch, first)]};
  for (; group.last < batch.copies; ++group.last) {
    std::uint64_t offset = offset_of(batch, group.last);
    std::uint64_t end = std::max(group.end, offset + batch.length[copy_of(batch, group.last)]);
    if (offset > group.end + kReadTogetherGap || end - group.start > sizeof applier.block) break;
    group.end = end;
  }
  return group;
}

// Reads the group's copies into their places. Returns where the complete part of the
// batch ends: all of it, unless the original ended before a copy did.
std::size_t read_group(Applier* applier, Batch& batch, const ReadGroup& group) {
  if (group.last == group.first + 1) {  // alone: read straight into its place
    std::size_t copy = copy_of(batch, group.first);
    std::size_t got = read_at(applier->original, group.start, batch.bytes + batch.place[copy],
                              batch.length[copy]);
    return got == batch.length[copy] ? batch.filled : batch.place[copy] + got;
  }
  std::size_t got =
      read_at(applier->original, group.start, applier->block, group.end - group.start);
  std::size_t complete = batch.filled;
  for (std::size_t sorted = group.first; sorted < group.last; ++sorted) {
    std::size_t copy = copy_of(batch, sorted);
    std::size_t from = static_cast<std::size_t>(offset_of(batch, sorted) - group.start);
    std::size_t read = from < got ? std::min<std::size_t>(got - from, batch.length[copy]) : 0;
    std::memcpy(batch.bytes + batch.place[copy], applier->block + from, read);
    if (read < batch.length[copy]) complete = std::min(complete, batch.place[copy] + read);
  }
  return complete;
}

// Sorts the batch's copies by offset: a radix sort on the offset bits, 11 at a time,
// skipping the passes in which every copy has the same digit.
void sort_copies(Batch* batch, std::uint64_t* space) {
  constexpr unsigned kDigitBits = 11;
  constexpr unsigned kOffsetBits = 33;  // a 32-bit offset plus a 32-bit length
  std::uint64_t* from = batch->keys;
  std::uint64_t* to = space;
  for (unsigned shift = kCopyIndexBits; shift < kCopyIndexBits + kOffsetBits; shift += kDigitBits) {
    std::size_t first[(1 << kDigitBits) + 1] = {};
    for (std::size_t i = 0; i < batch->copies; ++i)
      ++first[((from[i] >> shift) & ((1 << kDigitBits) - 1)) + 1];
    if (first[((from[0] >> shift) & ((1 << kDigitBits) - 1)) + 1] == batch->copies) continue;
    for (std::size_t digit = 1; digit <= (1 << kDigitBits); ++digit)
      first[digit] += first[digit - 1];
    for (std::size_t i = 0; i < batch->copies; ++i)
      to[first[(from[i] >> shift) & ((1 << kDigitBits) - 1)]++] = from[i];
    std::swap(from, to);
  }
  if (from != batch->keys) std::memcpy(batch->keys, from, batch->copies * sizeof *from);
}

// Asks for the first and last bytes of a piece, and for its place in the batch, to be
// brought into the cache.
void prefetch_piece(const Batch& batch, const unsigned char* original, std::size_t sorted) {
  std::size_t copy = copy_of(batch, sorted);
  const unsigned char* from = original + offset_of(batch, sorted);
  __builtin_prefetch(from);
  __builtin_prefetch(from + batch.length[copy] - 1);
  __builtin_prefetch(batch.bytes + batch.place[copy], 1);
}

// Copies the pieces of a range of sorted copies from the mapped original in the order of
// their offsets, so that the addresses only grow: fewer TLB misses, and the prefetcher
// can follow; the memory of the pieces ahead is asked for while this one is copied.
void copy_mapped_pieces(void* context) {
  const PieceRange& range = *static_cast<const PieceRange*>(context);
  const Batch& batch = *range.batch;
  for (std::size_t sorted = range.first; sorted < range.last; ++sorted) {
    if (sorted + kPrefetchDistance < range.last) {
      prefetch_piece(batch, range.original, sorted + kPrefetchDistance);
    }
    std::size_t copy = copy_of(batch, sorted);
    std::memcpy(range.batch->bytes + batch.place[copy], range.original + offset_of(batch, sorted),
                batch.length[copy]);
  }
}

void flush_new_file(void* new_file) {
  flush_to_disk(static_cast<FILE*>(new_file));
}

// Asks the flusher to flush the new file once it has grown by kFlushStep since the last
// flush began; while one runs, the next write asks again.
void flush_behind(Applier* applier) {
  std::uint64_t size = applier->new_file_size;
  if (size - applier->flush_asked_at < kFlushStep) return;
  if (applier->flusher == nullptr) applier->flusher = start_worker();
  // Without a thread the file is flushed once, at the end.
  if (applier->flusher == nullptr ||
      run_if_idle(applier->flusher, flush_new_file, applier->new_file)) {
    applier->flush_asked_at = size;
  }
}

// Appends bytes to the new file; the writer's part.
ApplyOutcome write_new_bytes(Applier* applier, const unsigned char* bytes, std::size_t count) {
  if (std::fwrite(bytes, 1, count, applier->new_file) != count) {
    applier->write_error = last_system_error();
    return ApplyOutcome::write_failed;
  }
  applier->new_file_size += count;
  flush_behind(applier);
  return ApplyOutcome::complete;
}

// Takes bytes that are to be written into the verification, on the calling thread, so
// that the hash overlaps the write of the bytes before. Bytes past the new size that the
// checks give are refused, so a patch cannot make the new file outgrow it by more than a
// batch in memory; the bytes are hashed when the patch gives the new file's hash.
ApplyOutcome verify_new_bytes(Applier* applier, const unsigned char* bytes, std::size_t count) {
  Verification& verification = applier->verification;
  if (count > verification.limit - verification.written) return ApplyOutcome::wrong_original;
  hash_if_kept(verification.new_file_hash, bytes, count);
  verification.written += count;
  return ApplyOutcome::complete;
}

// Runs the writer's job. The first failure of a write stays, and so does a copy from the
// mapping that a shrinking original broke off.
void run_writer_job(void* context) {
  Applier* applier = static_cast<Applier*>(context);
  const WriterJob& job = applier->job;
  if (job.count == 0) {
    applier->pieces_copied = copy_from_mapping(copy_mapped_pieces, &applier->job.pieces);
  } else {
    applier->written = write_new_bytes(applier, job.pieces.batch->bytes, job.count);
  }
}

// Waits for the writer's job before, then gives it `job`. A write before that failed
// ends the run: nothing is written after it, as if the jobs ran one after the other.
ApplyOutcome hand_to_writer(Applier* applier, const WriterJob& job) {
  wait_for_worker(applier->writer);
  if (applier->written != ApplyOutcome::complete) return applier->written;
  applier->job = job;
  run_on_worker(applier->writer, run_writer_job, applier);
  return ApplyOutcome::complete;
}

// Copies the pieces of the batch being filled from the mapped original: the writer the
// first half of the sorted copies, this thread the second, so that both cores wait on
// memory at once. True when every piece came whole. A file that shrank under the
// mapping raises a fault past its new end, or reads as zeros up to the end of that
// page, so the size is checked once the copies are made.
bool copied_from_mapping(Applier* applier, ApplyOutcome* outcome) {
  MappedFile& map = applier->original_map;
  if (map.bytes == nullptr) return false;
  Batch* batch = applier->batch;
  std::size_t half = batch->copies / 2;
  *outcome = hand_to_writer(applier, {{batch, map.bytes, 0, half}, 0});
  if (*outcome != ApplyOutcome::complete) return false;
  PieceRange mine = {batch, map.bytes, half, batch->copies};
  bool whole = copy_from_mapping(copy_mapped_pieces, &mine);
  wait_for_worker(applier->writer);
  if (whole && applier->pieces_copied &&
      stream_size(applier->original) >= static_cast<std::int64_t>(map.size)) {
    return true;
  }
  // From here on the original is read, and the reads tell where it ends now.
  unmap_file(&map);
  return false;
}

// Fills in every copy of the batch being filled. Returns the length of its complete part,
// or 0 with `outcome` set when the writer failed before.
std::size_t fill_copies(Applier* applier, ApplyOutcome* outcome) {
  Batch& batch = *applier->batch;
  *outcome = ApplyOutcome::complete;
  if (batch.copies == 0) return batch.filled;
  sort_copies(&batch, applier->sort_space);
  if (copied_from_mapping(applier, outcome)) return batch.filled;
  if (*outcome != ApplyOutcome::complete) return 0;
  std::size_t complete = batch.filled;
  for (std::size_t sorted = 0; sorted < batch.copies;) {
    ReadGroup group = group_from(*applier, batch, sorted);
    complete = std::min(complete, read_group(applier, batch, group));
    sorted = group.last;
  }
  return complete;
}

Batch* other_batch(Applier* applier) {
  return applier->batch == &applier->batches[0] ? &applier->batches[1] : &applier->batches[0];
}

// Fills in the copies of the batch being filled and hands it to the writer, then goes on
// with the other batch, which the writer is done with by then. Only bytes that were read
// are written: when the original ends early, the batch is written up to the first missing
// byte, as if the pieces had been read one by one. The writer thread starts when a batch
// is handed over before the last: a small new file is written on this thread alone.
ApplyOutcome hand_over_batch(Applier* applier, bool last) {
  Batch* batch = applier->batch;
  std::size_t filled = batch->filled;
  if (filled == 0) return ApplyOutcome::complete;
  if (applier->writer == nullptr && !last) applier->writer = start_worker();
  ApplyOutcome outcome = ApplyOutcome::complete;
  std::size_t complete = fill_copies(applier, &outcome);
  if (outcome == ApplyOutcome::complete) {
    outcome = verify_new_bytes(applier, batch->bytes, complete);
  }
  bool handed = false;
  if (outcome == ApplyOutcome::complete && complete > 0) {
    outcome = hand_to_writer(applier, {{batch, nullptr, 0, 0}, complete});
    handed = outcome == ApplyOutcome::complete;
  }
  // The writer has the batch now; or nothing of it is to be written, or a failure ends
  // the run, and it is emptied here.
  if (handed) applier->batch = other_batch(applier);
  applier->batch->filled = applier->batch->copies = 0;
  if (outcome != ApplyOutcome::complete) return outcome;
  return complete == filled ? ApplyOutcome::complete : ApplyOutcome::wrong_original;
}

// Takes a copy into the batch, writing the batch whenever it fills up.
ApplyOutcome add_copy(Applier* applier, std::uint64_t offset, std::uint32_t length) {
  for (std::uint32_t left = length; left > 0;) {
    if (applier->batch->filled == kBatchBytes || applier->batch->copies == kMaxBatchCopies) {
      ApplyOutcome outcome = hand_over_batch(applier, false);
      if (outcome != ApplyOutcome::complete) return outcome;
    }
    Batch& batch = *applier->batch;
    std::uint32_t piece =
        static_cast<std::uint32_t>(std::min<std::size_t>(left, kBatchBytes - batch.filled));
    batch.keys[batch.copies] = offset << kCopyIndexBits | batch.copies;
    batch.place[batch.copies] = static_cast<std::uint32_t>(batch.filled);
    batch.length[batch.copies] = piece;
    ++batch.copies;
    batch.filled += piece;
    offset += piece;
    left -= piece;
  }
  return ApplyOutcome::complete;
}

// A long copy skips the batch's copies, which would only add a pass through memory: it
// is read into the batches a piece at a time, each piece written while the next is read.
// Only bytes that were read are written.
ApplyOutcome copy_directly(Applier* applier, std::uint64_t offset, std::uint32_t length) {
  ApplyOutcome outcome = hand_over_batch(applier, false);
  for (std::uint32_t left = length; left > 0 && outcome == ApplyOutcome::complete;) {
    std::size_t piece = std::min<std::size_t>(left, kLongCopyPiece);
    std::size_t got = read_at(applier->original, offset, applier->batch->bytes, piece);
    applier->batch->filled = got;
    outcome = hand_over_batch(applier, false);
    if (got < piece && outcome == ApplyOutcome::complete) outcome = ApplyOutcome::wrong_original;
    offset += got;
    left -= static_cast<std::uint32_t>(got);
  }
  return outcome;
}

ApplyOutcome copy_from_original(Applier* applier, const Operation& op) {
  // Computed in 64 bits, so offset + length cannot wrap.
  if (std::uint64_t{op.offset} + op.length > applier->original_size) {
    return ApplyOutcome::wrong_original;
  }
  if (op.length >= kDirectCopyLength) return copy_directly(applier, op.offset, op.length);
  return add_copy(applier, op.offset, op.length);
}

ApplyOutcome insert_from_patch(Applier* applier, std::uint32_t length) {
  for (std::uint32_t left = length; left > 0;) {
    if (applier->batch->filled == kBatchBytes) {
      ApplyOutcome outcome = hand_over_batch(applier, false);
      if (outcome != ApplyOutcome::complete) return outcome;
    }
    Batch& batch = *applier->batch;
    std::size_t piece = std::min<std::size_t>(left, kBatchBytes - batch.filled);
    std::size_t got = take_patch_bytes(&applier->patch, batch.bytes + batch.filled, piece);
    batch.filled += got;
    left -= static_cast<std::uint32_t>(got);
    if (got < piece) return ApplyOutcome::damaged_patch;
  }
  return ApplyOutcome::complete;
}

ApplyOutcome run_operation(Applier* applier) {
  PatchReader& patch = applier->patch;
  if (patch.end - patch.next < kMaxOperationHead) top_up(&patch);
  Operation op;
  std::size_t head = decode_operation(patch.bytes + patch.next, patch.end - patch.next, &op);
  if (head == 0) return ApplyOutcome::damaged_patch;
  patch.next += head;
  patch.position += head;
  return op.is_copy ? copy_from_original(applier, op) : insert_from_patch(applier, op.length);
}

// Keeps the hashes whose values the patch gives, and its new size as the limit.
void start_verification(Applier* applier, const PatchChecks& checks) {
  Verification& verification = applier->verification;
  verification.checks = checks;
  verification.limit = (checks.present & kNewSizeCheck) != 0 ? checks.new_size : UINT64_MAX;
  verification.written = 0;
  applier->patch.hash = nullptr;
  verification.new_file_hash = nullptr;
  if ((checks.present & kOperationsHashCheck) != 0) {
    start_hash(&verification.operations_state);
    applier->patch.hash = &verification.operations_state;
  }
  if ((checks.present & kNewHashCheck) != 0) {
    start_hash(&verification.new_file_state);
    verification.new_file_hash = &verification.new_file_state;
  }
}

// Reads what is left of the operation stream, without running it, so that its hash
// covers the whole stream also after a run that stopped early.
void read_rest_of_operations(Applier* applier) {
  PatchReader& patch = applier->patch;
  while (patch.position < patch.data_end &&
         take_patch_bytes(&patch, applier->block, sizeof applier->block) > 0) {
  }
}

// The outcome of a run, `outcome`, held against the patch's checks. Damage to the
// operation stream is told first, whatever stopped the run: a run stopped by it is not
// the original's fault. Then the new file must have the size and hash it was made with.
ApplyOutcome verified(Applier* applier, ApplyOutcome outcome) {
  const Verification& verification = applier->verification;
  const PatchChecks& checks = verification.checks;
  if (outcome == ApplyOutcome::write_failed) return outcome;
  if (applier->patch.hash != nullptr) {
    read_rest_of_operations(applier);
    if (hash_value(*applier->patch.hash) != checks.operations_hash) {
      return ApplyOutcome::damaged_patch;
    }
  }
  if (outcome != ApplyOutcome::complete) return outcome;
  bool size_differs =
      (checks.present & kNewSizeCheck) != 0 && verification.written != checks.new_size;
  bool hash_differs = verification.new_file_hash != nullptr &&
                      hash_value(*verification.new_file_hash) != checks.new_hash;
  return size_differs || hash_differs ? ApplyOutcome::wrong_original : outcome;
}

// Writes the last batch and ends the writer and the flusher. Returns the first failure
// among the writes, if any.
ApplyOutcome finish_writing(Applier* applier) {
  ApplyOutcome outcome = hand_over_batch(applier, true);
  wait_for_worker(applier->writer);
  if (outcome == ApplyOutcome::complete) outcome = applier->written;
  stop_worker(applier->writer);
  stop_worker(applier->flusher);
  applier->writer = applier->flusher = nullptr;
  return outcome;
}

// Readies the applier for a run. Its buffers are used from the start of each run, so
// they are backed by large pages where the system can: in a virtual machine a fault per
// 4 KiB page of them costs more than a tenth of rebuilding a 64 MiB file.
void start_run(Applier* applier, FILE* patch, std::uint32_t data_end, FILE* new_file,
               const PatchChecks& checks) {
  prefer_large_pages(applier, sizeof *applier);
  applier->new_file = new_file;
  applier->patch.stream = patch;
  applier->patch.position = 0;
  applier->patch.data_end = data_end;
  applier->patch.next = applier->patch.end = 0;
  applier->batch = &applier->batches[0];
  applier->batch->filled = applier->batch->copies = 0;
  applier->writer = applier->flusher = nullptr;
  applier->written = ApplyOutcome::complete;
  applier->new_file_size = applier->flush_asked_at = 0;
  start_verification(applier, checks);
  // Every write is a whole batch or piece; a stream buffer would only split them.
  std::setvbuf(new_file, nullptr, _IONBF, 0);
}

}  // namespace

ApplyOutcome run_operations(Applier* applier, FILE* patch, std::uint32_t data_end, FILE* original,
                            FILE* new_file, const PatchChecks& checks) {
  std::int64_t original_size = stream_size(original);
  if (original_size < 0) return ApplyOutcome::wrong_original;
  applier->original = original;
  applier->original_size = static_cast<std::uint64_t>(original_size);
  start_run(applier, patch, data_end, new_file, checks);
  if (!seek_to(patch, 0)) return ApplyOutcome::damaged_patch;
  map_file(original, applier->original_size, &applier->original_map);
  ApplyOutcome outcome = ApplyOutcome::complete;
  while (outcome == ApplyOutcome::complete && applier->patch.position < data_end) {
    outcome = run_operation(applier);
    if (applier->progress != nullptr) {
      applier->progress(applier->progress_context, applier->patch.position, data_end);
    }
  }
  // Whatever stopped the run, the pieces before it go to the new file first; a failure
  // among them came earlier and is the one reported.
  ApplyOutcome earlier = finish_writing(applier);
  unmap_file(&applier->original_map);
  return verified(applier, earlier != ApplyOutcome::complete ? earlier : outcome);
}
