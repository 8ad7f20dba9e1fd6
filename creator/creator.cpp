// The creator's driver: index the original, then match and parse the new file piece by
// piece (two pieces at a time), joining the pieces' operations where they meet.
#include "creator/creator.h"

#include <algorithm>
#include <new>

#include "creator/index.h"
#include "creator/platform.h"
#include "format/trailer.h"

namespace {

// Matches at least this long end the search at their position: the search resumes
// where they stop matching, since a match starting inside them reaches past their end
// on its own diagonal and can be taken up there for one more head at most. Searching
// inside shorter ones finds the few places where that head matters (and costs time).
constexpr std::uint32_t kSkipLength = 8;

// Shortest match worth a copy: its head (op byte, offset, length) against the inserted
// bytes and insert head it replaces.
std::uint32_t shortest_useful_match(std::size_t original_size) {
  return original_size <= 0x10000 ? kShortestMatch : 5;
}

// Operations in order, with neighbours that continue each other merged (where the
// pieces meet), written with the shortest heads.
struct StreamWriter {
  std::string* stream;
  const unsigned char* target;
  std::uint64_t position;  // in the new file, where the pending operation starts
  Operation pending;
  bool has_pending;
};

void flush_pending(StreamWriter* writer) {
  if (!writer->has_pending) return;
  const Operation& op = writer->pending;
  if (op.is_copy) {
    append_copy(writer->stream, op.offset, op.length);
  } else {
    append_insert(writer->stream, writer->target + writer->position, op.length);
  }
  writer->position += op.length;
  writer->has_pending = false;
}

bool continues(const Operation& before, const Operation& after) {
  if (before.is_copy != after.is_copy) return false;
  if (std::uint64_t{before.length} + after.length > UINT32_MAX) return false;
  return !before.is_copy || std::uint64_t{before.offset} + before.length == after.offset;
}

void add_operation(StreamWriter* writer, const Operation& op) {
  if (op.length == 0) return;
  if (writer->has_pending && continues(writer->pending, op)) {
    writer->pending.length += op.length;
    return;
  }
  flush_pending(writer);
  writer->pending = op;
  writer->has_pending = true;
}

struct PieceJob {
  const OriginalIndex* index;
  const unsigned char* piece;
  std::uint32_t size;
  std::vector<Operation> operations;
  bool out_of_memory;
};

void work_on_piece(void* context) {
  auto* job = static_cast<PieceJob*>(context);
  try {
    std::vector<Candidate> candidates = find_candidates(*job->index, job->piece, job->size);
    job->operations = cheapest_operations(candidates, job->size);
  } catch (const std::bad_alloc&) {
    job->out_of_memory = true;
  }
}

void report(const DiffSettings& settings, const char* phase, double fraction) {
  if (settings.progress != nullptr) settings.progress(settings.progress_context, phase, fraction);
}

// Size of the stream that inserts the whole new file.
std::uint64_t all_insert_size(std::size_t target_size) {
  std::uint64_t size = target_size;
  for (std::uint64_t left = target_size; left > 0;
       left -= std::min<std::uint64_t>(left, UINT32_MAX))
    size += insert_head_size(static_cast<std::uint32_t>(std::min<std::uint64_t>(left, UINT32_MAX)));
  return size;
}

DiffStatus write_pieces(const OriginalIndex& index, const unsigned char* target,
                        std::size_t target_size, const DiffSettings& settings,
                        StreamWriter* writer) {
  std::size_t piece_size =
      std::max<std::size_t>(1, std::min<std::size_t>(settings.piece_size, 0x7FFFFFFF));
  unsigned threads = std::max(1u, settings.threads);
  std::size_t pieces = (target_size + piece_size - 1) / piece_size;
  for (std::size_t first = 0; first < pieces; first += threads) {
    unsigned count = static_cast<unsigned>(std::min<std::size_t>(threads, pieces - first));
    std::vector<PieceJob> jobs(count);
    std::vector<void*> contexts(count);
    for (unsigned i = 0; i < count; ++i) {
      std::size_t start = (first + i) * piece_size;
      jobs[i] = {&index,
                 target + start,
                 static_cast<std::uint32_t>(std::min(piece_size, target_size - start)),
                 {},
                 false};
      contexts[i] = &jobs[i];
    }
    run_parallel(work_on_piece, contexts.data(), count);
    for (const PieceJob& job : jobs) {
      if (job.out_of_memory) return DiffStatus::out_of_memory;
      for (const Operation& op : job.operations)
        add_operation(writer, op);
    }
    report(settings, "matching", static_cast<double>(first + count) / pieces);
  }
  flush_pending(writer);
  return DiffStatus::ok;
}

}  // namespace

DiffSettings default_diff_settings() {
  return {std::size_t{4} << 20, 2, nullptr, nullptr};
}

std::vector<Candidate> find_candidates(const OriginalIndex& index, const unsigned char* piece,
                                       std::uint32_t size) {
  std::vector<Candidate> found;
  std::uint32_t shortest = shortest_useful_match(index.size);
  Candidate current = {0, 0, 0};
  for (std::uint32_t at = 0; at + shortest <= size;) {
    at = static_cast<std::uint32_t>(next_possible_match(index, piece, at, size));
    if (at + shortest > size) break;
    Match match = longest_match(index, piece + at, size - at);
    if (match.length < shortest) {
      ++at;
      continue;
    }
    // Inside the current match on its own diagonal: nothing new. (The same diagonal
    // after a mismatch is a new match.)
    bool inside_current = at < current.start + current.length &&
                          match.offset == current.offset + (at - current.start);
    if (!inside_current) {
      current = {at, match.offset, match.length};
      found.push_back(current);
    }
    at += match.length >= kSkipLength ? match.length : 1;
  }
  return found;
}

DiffStatus make_operation_stream(const unsigned char* original, std::size_t original_size,
                                 const unsigned char* target, std::size_t target_size,
                                 const DiffSettings& settings, std::string* stream) {
  if (original_size > kMaxIndexedOriginal) return DiffStatus::original_too_large;
  OriginalIndex index;
  report(settings, "indexing the original", 0.0);
  std::uint32_t shortest = shortest_useful_match(original_size);
  if (!build_index(original, original_size, shortest > 3 ? shortest : 0, &index))
    return DiffStatus::out_of_memory;
  report(settings, "indexing the original", 1.0);
  std::size_t start = stream->size();
  StreamWriter writer = {stream, target, 0, {false, 0, 0}, false};
  try {
    DiffStatus status = write_pieces(index, target, target_size, settings, &writer);
    if (status != DiffStatus::ok) return status;
    // Never worse than carrying the whole new file.
    if (stream->size() - start > all_insert_size(target_size)) {
      stream->resize(start);
      append_insert(stream, target, target_size);
    }
  } catch (const std::bad_alloc&) {
    return DiffStatus::out_of_memory;
  }
  return DiffStatus::ok;
}

std::string make_patch_bytes(const unsigned char* original, std::size_t original_size,
                             const unsigned char* target, std::size_t target_size,
                             const std::string& original_name, const std::string& new_name) {
  std::string patch;
  if (make_operation_stream(original, original_size, target, target_size, default_diff_settings(),
                            &patch) != DiffStatus::ok) {
    return "";
  }
  PatchChecks checks = make_checks(original, original_size, target, target_size, patch);
  std::string trailer =
      encode_trailer(original_name, new_name, size_field_with_checks(original_size, checks));
  return trailer.empty() ? "" : patch + trailer;
}
