// quorvalex-diff [options] ORIGINAL NEW [PATCH]: writes the patch that rebuilds NEW from
// ORIGINAL. Status 0 on success; otherwise one message on standard error and status 1
// (2 for a wrong command line).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "creator/creator.h"
#include "creator/index.h"
#include "creator/platform.h"
#include "files/files.h"
#include "files/output.h"
#include "format/trailer.h"

namespace {

constexpr char kVersion[] = "quorvalex-diff 1.0";
constexpr char kDefaultPatch[] = "Amber Reaches update.dat";
constexpr char kUsage[] =
    "usage: quorvalex-diff [options] ORIGINAL NEW [PATCH]\n"
    "Writes PATCH (default \"Amber Reaches update.dat\") so that quorvalex-apply, given\n"
    "ORIGINAL, rebuilds NEW byte for byte.\n"
    "\n"
    "options:\n"
    "  --original-name NAME  name of the original shown to the player (default: ORIGINAL's)\n"
    "  --new-name NAME       name of the new file shown to the player (default: NEW's)\n"
    "  --help                show this help\n"
    "  --version             show the version\n";

struct CommandLine {
  const char* original_path = nullptr;
  const char* new_path = nullptr;
  const char* patch_path = kDefaultPatch;
  const char* original_name = nullptr;
  const char* new_name = nullptr;
  bool help = false;
  bool version = false;
};

struct InputFile {
  FILE* stream;
  std::vector<unsigned char> bytes;
};

int fail(const std::string& message) {
  std::fprintf(stderr, "quorvalex-diff: %s\n", message.c_str());
  return 1;
}

int usage_error(const std::string& message) {
  std::fprintf(stderr, "quorvalex-diff: %s\nTry 'quorvalex-diff --help'.\n", message.c_str());
  return 2;
}

std::string quoted(const char* text) {
  return std::string("\"") + text + "\"";
}

// Empty when the command line is well formed, otherwise what is wrong with it.
std::string parse_command_line(int argc, char** argv, CommandLine* line) {
  std::vector<const char*> paths;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    bool is_option = !options_done && arg[0] == '-' && arg[1] == '-';
    if (!is_option) {
      paths.push_back(arg);
    } else if (std::strcmp(arg, "--") == 0) {
      options_done = true;
    } else if (std::strcmp(arg, "--help") == 0) {
      line->help = true;
    } else if (std::strcmp(arg, "--version") == 0) {
      line->version = true;
    } else if (std::strcmp(arg, "--original-name") == 0 || std::strcmp(arg, "--new-name") == 0) {
      if (i + 1 >= argc) return std::string("option ") + arg + " needs a name";
      (arg[2] == 'o' ? line->original_name : line->new_name) = argv[++i];
    } else {
      return std::string("unknown option ") + arg;
    }
  }
  if (line->help || line->version) return "";
  if (paths.size() < 2 || paths.size() > 3) return "expected ORIGINAL NEW [PATCH]";
  line->original_path = paths[0];
  line->new_path = paths[1];
  if (paths.size() == 3) line->patch_path = paths[2];
  return "";
}

// Opens and reads a whole regular file; false when it cannot be.
bool read_input(const char* path, InputFile* file) {
  file->stream = open_for_reading(path);
  if (file->stream == nullptr) return false;
  if (!is_regular_file(file->stream)) return false;
  std::int64_t size = stream_size(file->stream);
  if (size < 0 || static_cast<std::uint64_t>(size) > SIZE_MAX) return false;
  try {
    file->bytes.resize(static_cast<std::size_t>(size));
  } catch (const std::bad_alloc&) {
    return false;
  }
  std::size_t got = read_at(file->stream, 0, file->bytes.data(), file->bytes.size());
  return got == file->bytes.size();
}

void show_progress(void* context, const char* phase, double fraction) {
  (void)context;
  std::fprintf(stderr, "\r%-24s %3d%%", phase, static_cast<int>(fraction * 100 + 0.5));
  std::fflush(stderr);
}

// Writes the patch through the engine's atomic replacement: a temporary file moved over
// PATCH only once complete, removed on any failure. Empty on success, else the reason.
std::string write_patch_file(const char* path, const OperationStream& operations,
                             const std::string& trailer) {
  PendingOutput output;
  FILE* stream = open_new_file(&output, path);
  int error = last_system_error();
  bool written = stream != nullptr &&
                 std::fwrite(operations.bytes, 1, operations.size, stream) == operations.size &&
                 std::fwrite(trailer.data(), 1, trailer.size(), stream) == trailer.size();
  if (written && commit_new_file(&output, &error)) return "";
  if (stream != nullptr && !written) error = last_system_error();
  discard_new_file(&output);
  if (error == 0) return "it cannot be written there";
  char text[256];
  return describe_system_error(error, text, sizeof text);
}

std::string diff_failure(DiffStatus status) {
  if (status == DiffStatus::original_too_large) {
    return "the original is larger than 2 GiB - 1 byte, which this creator cannot index";
  }
  return "not enough memory";
}

int make_patch(const CommandLine& line) {
  InputFile original, target;
  if (!read_input(line.original_path, &original)) {
    return fail("cannot read the original " + quoted(line.original_path));
  }
  if (!read_input(line.new_path, &target))
    return fail("cannot read the new file " + quoted(line.new_path));
  if (is_same_file(line.patch_path, original.stream) ||
      is_same_file(line.patch_path, target.stream)) {
    return fail("the patch " + quoted(line.patch_path) + " would overwrite one of its inputs");
  }
  const char* original_name =
      line.original_name ? line.original_name : base_name(line.original_path);
  const char* new_name = line.new_name ? line.new_name : base_name(line.new_path);
  std::string trailer =
      encode_trailer(original_name, new_name, size_field_for(original.bytes.size()));
  if (trailer.empty()) {
    return fail("the names stored in the patch may not hold '|' and must fit its trailer (" +
                std::to_string(kTrailerCapacity - 30) + " bytes for both)");
  }
  DiffSettings settings = default_diff_settings();
  if (is_terminal(stderr)) settings.progress = show_progress;
  OperationStream operations;
  DiffStatus status =
      make_operation_stream(original.bytes.data(), original.bytes.size(), target.bytes.data(),
                            target.bytes.size(), settings, &operations);
  if (settings.progress != nullptr) std::fprintf(stderr, "\r%-30s\r", "");
  if (status != DiffStatus::ok) return fail(diff_failure(status));
  std::string problem = write_patch_file(line.patch_path, operations, trailer);
  std::free(operations.bytes);
  if (!problem.empty()) {
    return fail("cannot write the patch " + quoted(line.patch_path) + ": " + problem);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CommandLine line;
  std::string problem = parse_command_line(argc, argv, &line);
  if (!problem.empty()) return usage_error(problem);
  if (line.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (line.version) {
    std::puts(kVersion);
    return 0;
  }
  return make_patch(line);
}
