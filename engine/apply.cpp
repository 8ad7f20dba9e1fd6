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

// Data moves through one fixed block; large enough that big copies cost few calls.
unsigned char block[1 << 20];
PatchReader reader;

// Tops the read-ahead up so that a whole operation head is buffered unless the file ends.
void top_up(PatchReader* patch) {
  std::size_t held = patch->end - patch->next;
  std::memmove(patch->bytes, patch->bytes + patch->next, held);
  patch->next = 0;
  patch->end = held + std::fread(patch->bytes + held, 1, sizeof patch->bytes - held, patch->stream);
}

Outcome copy_from_original(PatchJob* job, const Operation& op, std::uint64_t original_size) {
  // Computed in 64 bits, so offset + length cannot wrap.
  if (std::uint64_t{op.offset} + op.length > original_size) return Outcome::wrong_original;
  bool write_failed = false;
  std::uint64_t moved =
      copy_range(job->new_stream, job->original_stream, op.offset, op.length, &write_failed);
  if (moved == op.length) return Outcome::complete;
  return write_failed ? Outcome::write_failed : Outcome::wrong_original;
}

// Insert data comes first from the read-ahead, the rest straight from the patch file.
Outcome insert_from_patch(PatchJob* job, PatchReader* patch, std::uint32_t length) {
  std::size_t buffered = std::min<std::size_t>(length, patch->end - patch->next);
  if (std::fwrite(patch->bytes + patch->next, 1, buffered, job->new_stream) != buffered) {
    return Outcome::write_failed;
  }
  patch->next += buffered;
  patch->position += buffered;
  std::uint32_t rest = length - static_cast<std::uint32_t>(buffered);
  if (rest == 0) return Outcome::complete;
  bool write_failed = false;
  std::uint64_t moved =
      copy_range(job->new_stream, patch->stream, patch->position, rest, &write_failed);
  patch->position += moved;
  patch->next = patch->end = 0;
  if (moved == rest) return Outcome::complete;
  return write_failed ? Outcome::write_failed : Outcome::damaged_patch;
}

Outcome run_operations(PatchJob* job, std::uint64_t original_size) {
  reader.stream = job->patch_stream;
  reader.position = 0;
  reader.next = reader.end = 0;
  if (!seek_to(reader.stream, 0)) return Outcome::damaged_patch;
  while (reader.position < job->data_end) {
    if (reader.end - reader.next < kMaxOperationHead) top_up(&reader);
    Operation op;
    std::size_t head = decode_operation(reader.bytes + reader.next, reader.end - reader.next, &op);
    if (head == 0) return Outcome::damaged_patch;
    reader.next += head;
    reader.position += head;
    Outcome outcome = op.is_copy ? copy_from_original(job, op, original_size)
                                 : insert_from_patch(job, &reader, op.length);
    if (outcome != Outcome::complete) return outcome;
  }
  return Outcome::complete;
}

[[noreturn]] void stop(const PatchJob* job, Outcome outcome) {
  if (outcome == Outcome::wrong_original) fail_and_exit(msg::kWrongOriginal);
  if (outcome == Outcome::damaged_patch) fail_and_exit(msg::kNotValid, job->patch_name);
  fail_and_exit(msg::kWriteFailed, job->new_name);
}

}  // namespace

std::uint64_t copy_range(FILE* destination, FILE* source, std::uint64_t offset,
                         std::uint32_t length, bool* write_failed) {
  if (!seek_to(source, offset)) return 0;
  std::uint64_t moved = 0;
  while (moved < length) {
    std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(sizeof block, length - moved));
    std::size_t got = std::fread(block, 1, want, source);
    // Only bytes that were really read are written.
    if (std::fwrite(block, 1, got, destination) != got) {
      *write_failed = true;
      return moved;
    }
    moved += got;
    if (got < want) break;
  }
  return moved;
}

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
