// Rebuilding the new file: run the operation stream front to back, appending each
// piece, and only put the result in place when every piece was written.
#include <algorithm>
#include <cstring>

#include "engine/patch.h"
#include "frontend/messages.h"

namespace {

enum class Outcome { complete, damaged_patch, wrong_original, write_failed };

// The operation stream, read ahead in blocks so that operation heads decode from memory.
struct PatchReader {
  FILE* stream;
  std::uint64_t position;  // patch offset of bytes[next]
  std::size_t next;
  std::size_t end;
  unsigned char bytes[1 << 16];
};

constexpr std::size_t kBatchBytes = 8 << 20;
constexpr unsigned kIndexBits = 16;
constexpr std::size_t kMaxCopies = std::size_t{1} << kIndexBits;

// The new file's next bytes, written with one call once full. Inserts are copied in as
// they are read; copies from the original only take their place and are read when the
// batch is written, in the order of their offsets in the original, so that pieces lying
// near each other there cost one read however scattered they are in the new file.
struct Batch {
  std::size_t filled;  // bytes of the new file in `bytes`
  std::size_t copies;
  std::uint64_t keys[kMaxCopies];   // offset in the original << kIndexBits | copy number
  std::uint32_t place[kMaxCopies];  // where each copy goes in `bytes`
  std::uint32_t length[kMaxCopies];
  unsigned char bytes[kBatchBytes];
};

// Copies of the batch that are read from the original with one call.
struct ReadGroup {
  std::size_t first, last;   // sorted copies [first, last)
  std::uint64_t start, end;  // the span of the original they take
};

// Copies less than this apart in the original are read together: reading the gap between
// them costs less than one more call.
constexpr std::uint64_t kReadTogetherGap = 16 << 10;

// Copies at least this long skip the batch.
constexpr std::uint32_t kDirectCopy = 64 << 10;

PatchReader reader;
Batch batch;
std::uint64_t sorted_keys[kMaxCopies];
// Holds a group of copies read together, or one block of a long copy.
unsigned char block[1 << 20];

// Tops the read-ahead up so that a whole operation head is buffered unless the file ends.
void top_up(PatchReader* patch) {
  std::size_t held = patch->end - patch->next;
  std::memmove(patch->bytes, patch->bytes + patch->next, held);
  patch->next = 0;
  patch->end = held + std::fread(patch->bytes + held, 1, sizeof patch->bytes - held, patch->stream);
}

// Moves up to `count` bytes of the patch to `destination`: from the read-ahead while it
// lasts, then straight from the file, which stands right behind the read-ahead.
std::size_t take_patch_bytes(PatchReader* patch, unsigned char* destination, std::size_t count) {
  std::size_t got = std::min(count, patch->end - patch->next);
  std::memcpy(destination, patch->bytes + patch->next, got);
  patch->next += got;
  if (got < count) got += std::fread(destination + got, 1, count - got, patch->stream);
  patch->position += got;
  return got;
}

std::uint64_t offset_of(std::size_t sorted) {
  return batch.keys[sorted] >> kIndexBits;
}

std::size_t copy_of(std::size_t sorted) {
  return static_cast<std::size_t>(batch.keys[sorted] & (kMaxCopies - 1));
}

// The sorted copies from `first` on that one read can serve: each begins less than
// kReadTogetherGap behind the ones before it, and together they fit in `block`.
ReadGroup group_from(std::size_t first) {
  ReadGroup group = {first, first + 1, offset_of(first),
                     offset_of(first) + batch.length[copy_of(first)]};
  for (; group.last < batch.copies; ++group.last) {
    std::uint64_t offset = offset_of(group.last);
    std::uint64_t end = std::max(group.end, offset + batch.length[copy_of(group.last)]);
    if (offset > group.end + kReadTogetherGap || end - group.start > sizeof block) break;
    group.end = end;
  }
  return group;
}

// Reads the group's copies into their places. Returns where the complete part of the
// batch ends: all of it, unless the original ended before a copy did.
std::size_t read_group(FILE* original, const ReadGroup& group) {
  if (group.last == group.first + 1) {  // alone: read straight into its place
    std::size_t copy = copy_of(group.first);
    std::size_t got =
        read_at(original, group.start, batch.bytes + batch.place[copy], batch.length[copy]);
    return got == batch.length[copy] ? batch.filled : batch.place[copy] + got;
  }
  std::size_t got = read_at(original, group.start, block, group.end - group.start);
  std::size_t complete = batch.filled;
  for (std::size_t sorted = group.first; sorted < group.last; ++sorted) {
    std::size_t copy = copy_of(sorted);
    std::size_t from = static_cast<std::size_t>(offset_of(sorted) - group.start);
    std::size_t read = from < got ? std::min<std::size_t>(got - from, batch.length[copy]) : 0;
    std::memcpy(batch.bytes + batch.place[copy], block + from, read);
    if (read < batch.length[copy]) complete = std::min(complete, batch.place[copy] + read);
  }
  return complete;
}

// Sorts the batch's copies by offset: a radix sort on the offset bits, 11 at a time,
// skipping the passes in which every copy has the same digit.
void sort_copies() {
  constexpr unsigned kDigitBits = 11;
  constexpr unsigned kOffsetBits = 33;  // a 32-bit offset plus a 32-bit length
  std::uint64_t* from = batch.keys;
  std::uint64_t* to = sorted_keys;
  for (unsigned shift = kIndexBits; shift < kIndexBits + kOffsetBits; shift += kDigitBits) {
    std::size_t first[(1 << kDigitBits) + 1] = {};
    for (std::size_t i = 0; i < batch.copies; ++i)
      ++first[((from[i] >> shift) & ((1 << kDigitBits) - 1)) + 1];
    if (first[((from[0] >> shift) & ((1 << kDigitBits) - 1)) + 1] == batch.copies) continue;
    for (std::size_t digit = 1; digit <= (1 << kDigitBits); ++digit)
      first[digit] += first[digit - 1];
    for (std::size_t i = 0; i < batch.copies; ++i)
      to[first[(from[i] >> shift) & ((1 << kDigitBits) - 1)]++] = from[i];
    std::swap(from, to);
  }
  if (from != batch.keys) std::memcpy(batch.keys, from, batch.copies * sizeof *from);
}

// Reads every copy of the batch. Returns the length of its complete part.
std::size_t read_copies(FILE* original) {
  if (batch.copies > 0) sort_copies();
  std::size_t complete = batch.filled;
  for (std::size_t sorted = 0; sorted < batch.copies;) {
    ReadGroup group = group_from(sorted);
    complete = std::min(complete, read_group(original, group));
    sorted = group.last;
  }
  return complete;
}

// Writes the batch to the new file and empties it. Only bytes that were read are
// written: when the original ends early, the batch is written up to the first missing
// byte, as if the pieces had been read one by one.
Outcome write_batch(PatchJob* job) {
  std::size_t complete = read_copies(job->original_stream);
  bool whole = complete == batch.filled;
  bool written = std::fwrite(batch.bytes, 1, complete, job->new_stream) == complete;
  batch.filled = batch.copies = 0;
  if (!written) return Outcome::write_failed;
  return whole ? Outcome::complete : Outcome::wrong_original;
}

// Takes a copy into the batch, writing the batch whenever it fills up.
Outcome add_copy(PatchJob* job, std::uint64_t offset, std::uint32_t length) {
  for (std::uint32_t left = length; left > 0;) {
    if (batch.filled == kBatchBytes || batch.copies == kMaxCopies) {
      Outcome outcome = write_batch(job);
      if (outcome != Outcome::complete) return outcome;
    }
    std::uint32_t piece =
        static_cast<std::uint32_t>(std::min<std::size_t>(left, kBatchBytes - batch.filled));
    batch.keys[batch.copies] = offset << kIndexBits | batch.copies;
    batch.place[batch.copies] = static_cast<std::uint32_t>(batch.filled);
    batch.length[batch.copies] = piece;
    ++batch.copies;
    batch.filled += piece;
    offset += piece;
    left -= piece;
  }
  return Outcome::complete;
}

// Moves `length` bytes of `source` from `offset` to the end of `destination` in blocks of
// 1 MiB, writing only what was read.
Outcome copy_range(FILE* destination, FILE* source, std::uint64_t offset, std::uint32_t length) {
  for (std::uint32_t left = length; left > 0;) {
    std::size_t piece = std::min<std::size_t>(left, sizeof block);
    std::size_t got = read_at(source, offset, block, piece);
    if (std::fwrite(block, 1, got, destination) != got) return Outcome::write_failed;
    if (got < piece) return Outcome::wrong_original;
    offset += got;
    left -= static_cast<std::uint32_t>(got);
  }
  return Outcome::complete;
}

// A long copy skips the batch, which would only add a pass through memory.
Outcome copy_directly(PatchJob* job, std::uint64_t offset, std::uint32_t length) {
  Outcome outcome = write_batch(job);
  if (outcome != Outcome::complete) return outcome;
  return copy_range(job->new_stream, job->original_stream, offset, length);
}

Outcome copy_from_original(PatchJob* job, const Operation& op, std::uint64_t original_size) {
  // Computed in 64 bits, so offset + length cannot wrap.
  if (std::uint64_t{op.offset} + op.length > original_size) return Outcome::wrong_original;
  if (op.length >= kDirectCopy) return copy_directly(job, op.offset, op.length);
  return add_copy(job, op.offset, op.length);
}

Outcome insert_from_patch(PatchJob* job, PatchReader* patch, std::uint32_t length) {
  for (std::uint32_t left = length; left > 0;) {
    if (batch.filled == kBatchBytes) {
      Outcome outcome = write_batch(job);
      if (outcome != Outcome::complete) return outcome;
    }
    std::size_t piece = std::min<std::size_t>(left, kBatchBytes - batch.filled);
    std::size_t got = take_patch_bytes(patch, batch.bytes + batch.filled, piece);
    batch.filled += got;
    left -= static_cast<std::uint32_t>(got);
    if (got < piece) return Outcome::damaged_patch;
  }
  return Outcome::complete;
}

Outcome run_operation(PatchJob* job, std::uint64_t original_size) {
  if (reader.end - reader.next < kMaxOperationHead) top_up(&reader);
  Operation op;
  std::size_t head = decode_operation(reader.bytes + reader.next, reader.end - reader.next, &op);
  if (head == 0) return Outcome::damaged_patch;
  reader.next += head;
  reader.position += head;
  return op.is_copy ? copy_from_original(job, op, original_size)
                    : insert_from_patch(job, &reader, op.length);
}

Outcome run_operations(PatchJob* job, std::uint64_t original_size) {
  reader.stream = job->patch_stream;
  reader.position = 0;
  reader.next = reader.end = 0;
  batch.filled = batch.copies = 0;
  // Every write is a whole batch or block; a stream buffer would only split them.
  std::setvbuf(job->new_stream, nullptr, _IONBF, 0);
  if (!seek_to(reader.stream, 0)) return Outcome::damaged_patch;
  Outcome outcome = Outcome::complete;
  while (outcome == Outcome::complete && reader.position < job->data_end) {
    outcome = run_operation(job, original_size);
  }
  // Whatever stopped the run, the pieces before it go to the new file first; a failure
  // among them came earlier and is the one reported.
  Outcome earlier = write_batch(job);
  return earlier != Outcome::complete ? earlier : outcome;
}

[[noreturn]] void stop(const PatchJob* job, Outcome outcome) {
  if (outcome == Outcome::wrong_original) fail_and_exit(msg::kWrongOriginal);
  if (outcome == Outcome::damaged_patch) fail_and_exit(msg::kNotValid, job->patch_name);
  fail_and_exit(msg::kWriteFailed, job->new_name);
}

}  // namespace

void apply_patch(PatchJob* job) {
  std::int64_t original_size = stream_size(job->original_stream);
  if (original_size < 0 ||
      (job->expected_original_size != 0 && original_size != job->expected_original_size)) {
    stop(job, Outcome::wrong_original);
  }
  Outcome outcome = run_operations(job, static_cast<std::uint64_t>(original_size));
  if (outcome != Outcome::complete) stop(job, outcome);
  std::fclose(job->original_stream);
  bool placed = commit_new_file(&job->output, job->new_stream);
  std::fclose(job->patch_stream);
  job->original_stream = job->new_stream = job->patch_stream = nullptr;
  if (!placed) stop(job, Outcome::write_failed);
}
