// quorvalex create: the patch that rebuilds NEW from ORIGINAL, with every check, written
// through the atomic replacement or to standard output. What the patch cannot hold (a
// name, an original beyond the index, a new file whose operations could pass the 32-bit
// data end) is refused before anything is read or computed.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "cli/platform.h"
#include "cli/tool.h"
#include "creator/creator.h"
#include "creator/index.h"
#include "creator/platform.h"
#include "files/files.h"
#include "files/output.h"
#include "format/trailer.h"

namespace {

constexpr char kDefaultPatch[] = "Amber Reaches update.dat";

// One input, read whole into memory.
struct InputFile {
  const char* path;
  const char* what;  // "the original", "the new file"
  FILE* stream;
  std::uint64_t size;    // as the system tells it until read, then as read
  unsigned char* bytes;  // from malloc; null until read
};

// Everything one run holds, released by close_create_job whichever way it ends.
struct CreateJob {
  InputFile original, target;
  std::string original_name, new_name;  // as stored
  const char* patch_path;
  bool to_standard_output;
  FILE* patch;
  PendingOutput pending;
  OperationStream operations;  // from malloc
  std::uint64_t patch_size;    // once written
};

bool is_standard_output(const char* path) {
  return std::strcmp(path, "-") == 0 || std::strcmp(path, "/dev/stdout") == 0;
}

// The name the player is shown for one file: the one given, or the base name of its path.
const char* name_of(const char* given, const char* path) {
  return given != nullptr ? given : base_name(path);
}

// The name stored for one file, in `stored`. Empty when it can be stored, otherwise why
// not.
std::string store_name(const char* given, const char* path, const char* whose, const char* option,
                       std::string* stored) {
  const char* name = name_of(given, path);
  std::string advice = given != nullptr ? "" : std::string("; give one with ") + option;
  for (const char* at = name; *at != '\0'; ++at) {
    if (static_cast<unsigned char>(*at) < 0x20 || *at == 0x7F) {
      return std::string(whose) + " name holds a control character, such as a line end, which " +
             "quorvalex-apply refuses" + advice;
    }
    if (*at == '|') {
      return std::string(whose) + " name " + quoted(name) +
             " holds '|', which a patch cannot store" + advice;
    }
  }
  if (name_for_players(name, stored)) return "";
  return std::string(whose) + " name " + quoted(name) +
         " cannot be written in the code page that quorvalex-apply.exe shows it in" + advice;
}

// What the size of `file` exceeds, or empty: the index takes originals up to 2 GiB - 1
// byte, and the stream that inserts the whole new file must end within 32 bits, since the
// creator's never outgrows it.
std::string size_problem(const InputFile& file, bool is_original) {
  std::string start = std::string(file.what) + " " + quoted(file.path) + " is " +
                      std::to_string(file.size) + " bytes, ";
  if (is_original && file.size > kMaxIndexedOriginal) {
    return start + "more than the 2 GiB - 1 byte that the creator can index";
  }
  if (!is_original && insert_stream_size(file.size) > kMaxOperationStream) {
    return start + "more than a patch can build: its operations must end within 4 GiB";
  }
  return "";
}

// The checks of the patch to be, with placeholder hashes of their final width, so that
// the trailer's length is known before the work.
PatchChecks planned_checks(const CreateJob& job) {
  return {kAllChecks, job.target.size, 0, 0, 0};
}

std::string trailer_with(const CreateJob& job, const PatchChecks& checks) {
  return encode_trailer(job.original_name, job.new_name,
                        size_field_with_checks(job.original.size, checks));
}

// Empty when both names fit the trailer, otherwise how much room there is.
std::string trailer_problem(const CreateJob& job) {
  if (!trailer_with(job, planned_checks(job)).empty()) return "";
  std::string rest =
      encode_trailer("", "", size_field_with_checks(job.original.size, planned_checks(job)));
  std::size_t room = kTrailerCapacity - 1 - rest.size();
  return "the names take " + std::to_string(job.original_name.size() + job.new_name.size()) +
         " bytes; the patch's trailer holds " + std::to_string(room) + " for both";
}

std::string open_input_file(InputFile* file) {
  std::string problem;
  file->stream = open_input(file->path, &problem);
  if (file->stream == nullptr) {
    return "cannot read " + std::string(file->what) + " " + quoted(file->path) + ": " + problem;
  }
  file->size = static_cast<std::uint64_t>(std::max<std::int64_t>(0, stream_size(file->stream)));
  return "";
}

// Opens where the patch goes: standard output, or a temporary file beside PATCH that
// replaces it once complete, made now so that a PATCH that cannot be written is told
// before the work.
std::string open_patch_output(const ToolLine& line, CreateJob* job) {
  const char* path = job->patch_path;
  if (is_standard_output(path)) {
    if (is_terminal(stdout)) return "a patch is not written to a terminal";
    set_binary_output(stdout);
    job->to_standard_output = true;
    job->patch = stdout;
    return "";
  }
  if (is_same_file(path, job->original.stream) || is_same_file(path, job->target.stream)) {
    return "the patch " + quoted(path) + " would overwrite one of its inputs";
  }
  if (!line.force && is_existing_file(path)) {
    return "the patch " + quoted(path) + " exists; add -f to replace it";
  }
  job->patch = open_new_file(&job->pending, path);
  if (job->patch != nullptr) return "";
  return "cannot write the patch " + quoted(path) + ": " + system_reason(last_system_error());
}

// Reads the rest of `file`, however large the system said it was (files of /proc say 0
// and have content), but no more than one byte past `limit`.
std::string read_whole(InputFile* file, std::uint64_t limit) {
  std::size_t capacity = static_cast<std::size_t>(std::min(file->size, limit)) + 1;
  std::size_t size = 0;
  for (;;) {
    auto* grown = static_cast<unsigned char*>(std::realloc(file->bytes, capacity));
    if (grown == nullptr) return "not enough memory";
    file->bytes = grown;
    // Pieces of at most 1 GiB: the Windows runtime counts a read in 32 bits.
    std::size_t piece = std::min<std::size_t>(capacity - size, std::size_t{1} << 30);
    std::size_t got = std::fread(file->bytes + size, 1, piece, file->stream);
    size += got;
    if (got < piece || size > limit) break;
    if (size == capacity)
      capacity = static_cast<std::size_t>(std::min<std::uint64_t>(limit + 1, capacity * 2));
  }
  file->size = size;
  if (!std::ferror(file->stream)) return "";
  return "cannot read " + std::string(file->what) + " " + quoted(file->path) + ": " +
         system_reason(last_system_error());
}

std::string make_operations(CreateJob* job) {
  DiffSettings settings = default_diff_settings();
  ProgressLine progress = {};
  if (is_terminal(stderr)) {
    settings.progress = show_progress;
    settings.progress_context = &progress;
  }
  DiffStatus status =
      make_operation_stream(job->original.bytes, job->original.size, job->target.bytes,
                            job->target.size, settings, &job->operations);
  clear_progress(&progress);
  if (status == DiffStatus::ok) return "";
  return status == DiffStatus::out_of_memory ? "not enough memory" : "the original is too large";
}

std::string write_patch(CreateJob* job, const std::string& trailer) {
  FILE* patch = job->patch;
  const OperationStream& operations = job->operations;
  bool written = std::fwrite(operations.bytes, 1, operations.size, patch) == operations.size &&
                 std::fwrite(trailer.data(), 1, trailer.size(), patch) == trailer.size();
  int error = last_system_error();
  if (job->to_standard_output) {
    written = written && std::fflush(patch) == 0;
    error = last_system_error();
  } else if (written) {
    written = commit_new_file(&job->pending, &error);
  }
  job->patch_size = operations.size + trailer.size();
  if (written) return "";
  std::string where = job->to_standard_output ? "to standard output" : quoted(job->patch_path);
  return "cannot write the patch " + where + ": " + system_reason(error);
}

// Everything that can be refused before the work: names, inputs, sizes, the trailer's
// room, where the patch goes. Empty when nothing is, otherwise what.
std::string prepare(const ToolLine& line, CreateJob* job) {
  std::string problem = store_name(line.original_name, job->original.path, "the original's",
                                   "--original-name", &job->original_name);
  if (problem.empty()) {
    problem =
        store_name(line.new_name, job->target.path, "the new file's", "--new-name", &job->new_name);
  }
  if (problem.empty()) problem = open_input_file(&job->original);
  if (problem.empty()) problem = open_input_file(&job->target);
  if (problem.empty()) problem = size_problem(job->original, true);
  if (problem.empty()) problem = size_problem(job->target, false);
  if (problem.empty()) problem = trailer_problem(*job);
  if (problem.empty()) problem = open_patch_output(line, job);
  return problem;
}

// Reads both files, makes the operations and writes the patch; empty once it is written.
std::string build(CreateJob* job) {
  std::string problem = read_whole(&job->original, kMaxIndexedOriginal);
  if (problem.empty()) problem = read_whole(&job->target, kMaxOperationStream);
  // The sizes once more, as read: a file may hold more than the system said.
  if (problem.empty()) problem = size_problem(job->original, true);
  if (problem.empty()) problem = size_problem(job->target, false);
  if (problem.empty()) problem = trailer_problem(*job);
  if (problem.empty()) problem = make_operations(job);
  if (!problem.empty()) return problem;
  PatchChecks checks = make_checks(job->original.bytes, job->original.size, job->target.bytes,
                                   job->target.size, job->operations.bytes, job->operations.size);
  return write_patch(job, trailer_with(*job, checks));
}

void close_input(InputFile* file) {
  if (file->stream != nullptr) std::fclose(file->stream);
  std::free(file->bytes);
}

void close_create_job(CreateJob* job) {
  close_input(&job->original);
  close_input(&job->target);
  std::free(job->operations.bytes);
  if (!job->to_standard_output) discard_new_file(&job->pending);
}

}  // namespace

int create_patch(const ToolLine& line) {
  CreateJob job = {};
  job.original = {line.operands[0], "the original", nullptr, 0, nullptr};
  job.target = {line.operands[1], "the new file", nullptr, 0, nullptr};
  job.patch_path = line.operand_count > 2 ? line.operands[2] : kDefaultPatch;
  std::string problem = prepare(line, &job);
  if (problem.empty()) problem = build(&job);
  close_create_job(&job);
  if (!problem.empty()) return fail(problem);
  // On standard error when standard output carries the patch.
  std::fprintf(job.to_standard_output ? stderr : stdout,
               "%s: %llu bytes, original %s, new file %s\n",
               job.to_standard_output ? "standard output" : job.patch_path,
               static_cast<unsigned long long>(job.patch_size),
               quoted(name_of(line.original_name, job.original.path)).c_str(),
               quoted(name_of(line.new_name, job.target.path)).c_str());
  return 0;
}
