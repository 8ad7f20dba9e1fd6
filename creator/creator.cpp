// The creator's driver: index the original, then match and parse the new file piece by
// piece (each thread taking the next piece), joining the pieces' operations where they
// meet. Memory comes from malloc and its failures end in a status.
#include "creator/creator.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

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
// pieces meet), written with the shortest heads; without `out`, only counted.
struct StreamWriter {
  unsigned char* out;
  std::size_t size;  // bytes written or counted
  const unsigned char* target;
  std::uint64_t position;  // in the new file, where the pending operation starts
  Operation pending;
  bool has_pending;
};

void put(StreamWriter* writer, const void* bytes, std::size_t count) {
  if (writer->out != nullptr) std::memcpy(writer->out + writer->size, bytes, count);
  writer->size += count;
}

void write_operation(StreamWriter* writer, const Operation& op) {
  unsigned char head[kMaxOperationHead];
  put(writer, head, encode_operation(op, head));
  if (!op.is_copy) put(writer, writer->target + writer->position, op.length);
  writer->position += op.length;
}

void flush_pending(StreamWriter* writer) {
  if (!writer->has_pending) return;
  write_operation(writer, writer->pending);
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

// Inserts of the whole new file, as long as an insert can be.
void write_all_inserts(StreamWriter* writer, std::size_t target_size) {
  for (std::uint64_t left = target_size; left > 0;) {
    auto length = static_cast<std::uint32_t>(std::min<std::uint64_t>(left, UINT32_MAX));
    write_operation(writer, {false, 0, length});
    left -= length;
  }
}

void report(const DiffSettings& settings, const char* phase, double fraction) {
  if (settings.progress != nullptr) settings.progress(settings.progress_context, phase, fraction);
}

// The new file's pieces, shared by the threads that match them: each takes the next
// piece not yet taken, so that a slow piece holds up no other.
struct Matching {
  const OriginalIndex* index;
  const unsigned char* target;
  std::size_t target_size, piece_size, pieces;
  Operations* results;  // one for each piece
  std::atomic<std::size_t> next, done;
  std::atomic<bool> failed;
  const DiffSettings* settings;
  unsigned threads;
  std::size_t reported;  // rounds of `threads` pieces reported done
};

struct MatchWorker {
  Matching* matching;
  bool reports;  // the calling thread's worker tells the progress
};

// Progress a round of `threads` pieces at a time.
void report_rounds(Matching* matching, std::size_t done) {
  if (done / matching->threads <= matching->reported) return;
  matching->reported = done / matching->threads;
  report(*matching->settings, "matching", static_cast<double>(done) / matching->pieces);
}

bool match_piece(Matching* matching, std::size_t piece, CandidateList* candidates,
                 ParseSpace* space) {
  std::size_t start = piece * matching->piece_size;
  auto size =
      static_cast<std::uint32_t>(std::min(matching->piece_size, matching->target_size - start));
  candidates->count = 0;
  return find_candidates(*matching->index, matching->target + start, size, candidates) &&
         cheapest_operations(candidates->items, candidates->count, size, space,
                             &matching->results[piece]);
}

void match_pieces(void* context) {
  auto* worker = static_cast<MatchWorker*>(context);
  Matching* matching = worker->matching;
  // Both kept from piece to piece: large blocks come fresh from the system each time.
  CandidateList candidates = {nullptr, 0, 0};
  ParseSpace space = {nullptr, 0};
  while (!matching->failed) {
    std::size_t piece = matching->next++;
    if (piece >= matching->pieces) break;
    if (!match_piece(matching, piece, &candidates, &space)) {
      matching->failed = true;
      break;
    }
    std::size_t done = ++matching->done;
    if (worker->reports) report_rounds(matching, done);
  }
  std::free(candidates.items);
  std::free(space.block);
}

// Matches and parses every piece; false when memory runs out.
bool match_all(Matching* matching) {
  constexpr unsigned kMostThreads = 16;
  unsigned threads = std::clamp(matching->threads, 1u, kMostThreads);
  MatchWorker workers[kMostThreads];
  void* contexts[kMostThreads];
  for (unsigned i = 0; i < threads; ++i) {
    workers[i] = {matching, i == 0};
    contexts[i] = &workers[i];
  }
  run_parallel(match_pieces, contexts, threads);
  if (matching->failed) return false;
  if (matching->reported * matching->threads < matching->pieces)
    report(*matching->settings, "matching", 1.0);
  return true;
}

// Size of the stream that inserts the whole new file.
std::uint64_t all_insert_size(std::size_t target_size) {
  StreamWriter counter = {nullptr, 0, nullptr, 0, {false, 0, 0}, false};
  write_all_inserts(&counter, target_size);
  return counter.size;
}

// The pieces' operations through the writer, in order.
void write_results(const Matching& matching, StreamWriter* writer) {
  for (std::size_t piece = 0; piece < matching.pieces; ++piece) {
    const Operations& operations = matching.results[piece];
    for (std::size_t i = 0; i < operations.count; ++i)
      add_operation(writer, operations.items[i]);
  }
  flush_pending(writer);
}

// Counts the stream, then writes it into memory of that size: never more than the
// stream that inserts the whole new file.
DiffStatus write_stream(const Matching& matching, OperationStream* stream) {
  StreamWriter writer = {nullptr, 0, matching.target, 0, {false, 0, 0}, false};
  write_results(matching, &writer);
  bool all_inserts = writer.size > all_insert_size(matching.target_size);
  std::size_t size = all_inserts ? all_insert_size(matching.target_size) : writer.size;
  writer = {static_cast<unsigned char*>(std::malloc(std::max<std::size_t>(size, 1))),
            0,
            matching.target,
            0,
            {false, 0, 0},
            false};
  if (writer.out == nullptr) return DiffStatus::out_of_memory;
  if (all_inserts) {
    write_all_inserts(&writer, matching.target_size);
  } else {
    write_results(matching, &writer);
  }
  *stream = {writer.out, writer.size};
  return DiffStatus::ok;
}

DiffStatus match_and_write(const OriginalIndex& index, const unsigned char* target,
                           std::size_t target_size, const DiffSettings& settings,
                           OperationStream* stream) {
  std::size_t piece_size =
      std::max<std::size_t>(1, std::min<std::size_t>(settings.piece_size, 0x7FFFFFFF));
  std::size_t pieces = (target_size + piece_size - 1) / piece_size;
  auto* results = static_cast<Operations*>(std::calloc(pieces + 1, sizeof(Operations)));
  if (results == nullptr) return DiffStatus::out_of_memory;
  Matching matching = {&index,
                       target,
                       target_size,
                       piece_size,
                       pieces,
                       results,
                       {0},
                       {0},
                       {false},
                       &settings,
                       std::max(1u, settings.threads),
                       0};
  DiffStatus status =
      match_all(&matching) ? write_stream(matching, stream) : DiffStatus::out_of_memory;
  for (std::size_t piece = 0; piece < pieces; ++piece)
    std::free(results[piece].items);
  std::free(results);
  return status;
}

bool add_candidate(CandidateList* list, const Candidate& candidate) {
  if (list->count == list->capacity) {
    std::size_t capacity = std::max<std::size_t>(1024, list->capacity * 2);
    void* grown = capacity > SIZE_MAX / sizeof(Candidate)
                      ? nullptr
                      : std::realloc(list->items, capacity * sizeof(Candidate));
    if (grown == nullptr) return false;
    list->items = static_cast<Candidate*>(grown);
    list->capacity = capacity;
  }
  list->items[list->count++] = candidate;
  return true;
}

}  // namespace

DiffSettings default_diff_settings() {
  return {std::size_t{4} << 20, 2, nullptr, nullptr, std::size_t{8} << 20};
}

bool find_candidates(const OriginalIndex& index, const unsigned char* piece, std::uint32_t size,
                     CandidateList* found) {
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
      if (!add_candidate(found, current)) return false;
    }
    at += match.length >= kSkipLength ? match.length : 1;
  }
  return true;
}

DiffStatus make_operation_stream(const unsigned char* original, std::size_t original_size,
                                 const unsigned char* target, std::size_t target_size,
                                 const DiffSettings& settings, OperationStream* stream) {
  *stream = {nullptr, 0};
  if (original_size > kMaxIndexedOriginal) return DiffStatus::original_too_large;
  report(settings, "indexing the original", 0.0);
  std::uint32_t shortest = shortest_useful_match(original_size);
  unsigned parts = original_size >= settings.split_size ? std::max(1u, settings.threads) : 1;
  OriginalIndex index;
  bool built = build_index(original, original_size, shortest > 3 ? shortest : 0, parts, &index);
  DiffStatus status = DiffStatus::out_of_memory;
  if (built) {
    report(settings, "indexing the original", 1.0);
    status = match_and_write(index, target, target_size, settings, stream);
  }
  release_index(&index);
  return status;
}

DiffStatus make_operation_stream(const unsigned char* original, std::size_t original_size,
                                 const unsigned char* target, std::size_t target_size,
                                 const DiffSettings& settings, std::string* stream) {
  OperationStream operations;
  DiffStatus status =
      make_operation_stream(original, original_size, target, target_size, settings, &operations);
  if (status == DiffStatus::ok)
    stream->append(reinterpret_cast<const char*>(operations.bytes), operations.size);
  std::free(operations.bytes);
  return status;
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
