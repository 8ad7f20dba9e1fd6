// quorvalex check and info: whether a file is the original a patch was made from, and what
// a patch holds. Both read the patch through the engine, as the applier does.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "cli/tool.h"
#include "engine/patch_job.h"
#include "files/files.h"
#include "format/operation.h"

namespace {

constexpr std::size_t kBlock = 1 << 20;

std::string hex(std::uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

// `name` with its control bytes shown as \xHH, so that a patch cannot steer the terminal.
std::string printable(const char* name) {
  std::string shown;
  for (const char* at = name; *at != '\0'; ++at) {
    char escaped[5];
    bool control = static_cast<unsigned char>(*at) < 0x20 || *at == 0x7F;
    std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(*at));
    shown += control ? std::string(escaped) : std::string(1, *at);
  }
  return shown;
}

// Hashes what `stream` holds from its start on. Empty, or why it could not be read.
std::string hash_file(FILE* stream, std::uint64_t* hash) {
  auto* block = static_cast<unsigned char*>(std::malloc(kBlock));
  StreamHash* state = XXH3_createState();
  std::string problem = block == nullptr || state == nullptr ? "not enough memory" : "";
  if (problem.empty()) {
    start_hash(state);
    bool positioned = seek_to(stream, 0);
    for (std::size_t got; positioned && (got = std::fread(block, 1, kBlock, stream)) > 0;)
      add_to_hash(state, block, got);
    *hash = hash_value(*state);
    if (!positioned || std::ferror(stream)) problem = system_reason(last_system_error());
  }
  std::free(block);
  XXH3_freeState(state);
  return problem;
}

int compare_original(const ToolLine& line, PatchJob* job) {
  const char* original = line.operands[0];
  const char* patch = line.operands[1];
  std::string problem = open_valid_patch(job, patch);
  if (problem.empty()) problem = open_job_original(job, original);
  if (!problem.empty()) return fail(problem);
  const TrailerFields& fields = job->trailer.fields;
  std::int64_t expected_size = fields.expected_original_size;
  bool has_hash = (fields.checks.present & kOriginalHashCheck) != 0;
  if (expected_size == 0 && !has_hash) {
    std::printf("%s carries neither the size nor the hash of its original: any file passes\n",
                quoted(patch).c_str());
    return 0;
  }
  std::string not_it =
      quoted(original) + " is not the original " + quoted(patch) + " was made from: ";
  std::int64_t size = stream_size(job->original_stream);
  std::string found = "size " + std::to_string(size);
  if (expected_size != 0 && size != expected_size) {
    std::printf("%sits size is %s, not %s\n", not_it.c_str(), std::to_string(size).c_str(),
                std::to_string(expected_size).c_str());
    return 1;
  }
  if (has_hash) {
    std::uint64_t hash = 0;
    problem = hash_file(job->original_stream, &hash);
    if (!problem.empty())
      return fail("cannot read the original " + quoted(original) + ": " + problem);
    if (hash != fields.checks.original_hash) {
      std::printf("%sits xxh3 is %s, not %s\n", not_it.c_str(), hex(hash).c_str(),
                  hex(fields.checks.original_hash).c_str());
      return 1;
    }
    found += ", xxh3 " + hex(hash);
  }
  std::printf("%s is the original %s was made from (%s)\n", quoted(original).c_str(),
              quoted(patch).c_str(), found.c_str());
  return 0;
}

struct OperationCounts {
  std::uint64_t copies, copied, inserts, inserted;
  std::uint64_t hash;  // of the operation stream
  bool whole;          // the last operation ends where the stream does
};

// Decodes the operations in bytes [*at, end) of a block, counting them; stops where a head
// runs past the block. `skip` is the insert data still to pass, also from one block to the next.
void count_block(const unsigned char* block, std::size_t end, std::size_t* at, std::uint64_t* skip,
                 OperationCounts* counts) {
  for (;;) {
    std::size_t passed = static_cast<std::size_t>(std::min<std::uint64_t>(*skip, end - *at));
    *at += passed;
    *skip -= passed;
    Operation op;
    std::size_t head = *skip > 0 ? 0 : decode_operation(block + *at, end - *at, &op);
    if (head == 0) return;
    *at += head;
    (op.is_copy ? counts->copies : counts->inserts) += 1;
    (op.is_copy ? counts->copied : counts->inserted) += op.length;
    if (!op.is_copy) *skip = op.length;
  }
}

// Reads the operation stream of `patch`, up to `data_end`, counting and hashing it.
std::string count_operations(FILE* patch, std::uint64_t data_end, OperationCounts* counts) {
  auto* block = static_cast<unsigned char*>(std::malloc(kBlock + kMaxOperationHead));
  StreamHash* state = XXH3_createState();
  if (block == nullptr || state == nullptr) {
    std::free(block);
    XXH3_freeState(state);
    return "not enough memory";
  }
  start_hash(state);
  std::uint64_t read = 0, skip = 0;
  std::size_t held = 0;  // the start of a head cut by the block's end
  bool positioned = seek_to(patch, 0);
  while (positioned && read < data_end) {
    std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, data_end - read));
    std::size_t got = std::fread(block + held, 1, wanted, patch);
    if (got == 0) break;
    add_to_hash(state, block + held, got);
    read += got;
    std::size_t at = 0;
    count_block(block, held + got, &at, &skip, counts);
    held = held + got - at;
    std::memmove(block, block + at, held);
  }
  counts->whole = read == data_end && held == 0 && skip == 0;
  counts->hash = hash_value(*state);
  std::free(block);
  XXH3_freeState(state);
  return positioned && !std::ferror(patch) ? "" : system_reason(last_system_error());
}

// What shows that the patch was damaged since it was made, or empty.
std::string damage(const PatchChecks& checks, const OperationCounts& counts) {
  if (!counts.whole) return "its last operation runs past the end of the operations";
  if ((checks.present & kOperationsHashCheck) != 0 && counts.hash != checks.operations_hash) {
    return "its operations do not have the xxh3 it names";
  }
  std::uint64_t built = counts.copied + counts.inserted;
  if ((checks.present & kNewSizeCheck) != 0 && built != checks.new_size) {
    return "its operations build " + std::to_string(built) + " bytes, not the " +
           std::to_string(checks.new_size) + " it names";
  }
  return "";
}

void print_value(const char* label, bool present, const std::string& value) {
  std::printf("%s: %s\n", label, present ? value.c_str() : "not stored");
}

void print_info(const PatchTrailer& trailer, const OperationCounts& counts) {
  const TrailerFields& fields = trailer.fields;
  const PatchChecks& checks = fields.checks;
  std::printf("original name: %s\n", printable(fields.original_name).c_str());
  std::printf("new name: %s\n", printable(fields.new_name).c_str());
  print_value("original size", fields.expected_original_size != 0,
              std::to_string(fields.expected_original_size));
  print_value("original xxh3", (checks.present & kOriginalHashCheck) != 0,
              hex(checks.original_hash));
  print_value("new size", (checks.present & kNewSizeCheck) != 0, std::to_string(checks.new_size));
  print_value("new xxh3", (checks.present & kNewHashCheck) != 0, hex(checks.new_hash));
  std::printf("copies: %llu, %llu bytes\n", static_cast<unsigned long long>(counts.copies),
              static_cast<unsigned long long>(counts.copied));
  std::printf("inserts: %llu, %llu bytes\n", static_cast<unsigned long long>(counts.inserts),
              static_cast<unsigned long long>(counts.inserted));
  std::printf("operations: %lu bytes, xxh3 %s\n", static_cast<unsigned long>(trailer.data_end),
              hex(counts.hash).c_str());
  std::printf("verifiable: %s\n", (checks.present & kNewHashCheck) != 0 ? "yes" : "no");
}

int describe_patch(const ToolLine& line, PatchJob* job) {
  const char* patch = line.operands[0];
  std::string problem = open_valid_patch(job, patch);
  if (!problem.empty()) return fail(problem);
  OperationCounts counts = {};
  problem = count_operations(job->patch_stream, job->trailer.data_end, &counts);
  if (!problem.empty()) return fail("cannot read the patch " + quoted(patch) + ": " + problem);
  print_info(job->trailer, counts);
  problem = damage(job->trailer.fields.checks, counts);
  return problem.empty() ? 0 : fail(quoted(patch) + " is damaged: " + problem);
}

}  // namespace

int check_original(const ToolLine& line) {
  return run_with_job(line, compare_original);
}

int show_patch_info(const ToolLine& line) {
  return run_with_job(line, describe_patch);
}
