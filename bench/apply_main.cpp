// qv-bench-apply [--no-fsync] ORIGINAL PATCH NEW
// Applies PATCH to ORIGINAL into NEW through the program's own calls (trailer, opening
// the original, the pending new file, apply_patch), without choosers or pauses, so the
// benchmark times exactly the program's patching. With --no-fsync the final fsync of the
// new file is skipped, for a fair comparison with tools that do not sync.
// Exit status: 0 when the new file is in place, 1 when the engine stopped (its message is
// on standard output), 2 on bad arguments.
#include <cstdio>
#include <cstring>

#include "engine/patch.h"
#include "frontend/frontend.h"
#include "select/select.h"

namespace {

PatchJob job;
bool skip_fsync = false;

}  // namespace

// The engine's fsync, seen through the linker's --wrap.
extern "C" int __real_fsync(int fd);
extern "C" int __wrap_fsync(int fd) {
  return skip_fsync ? 0 : __real_fsync(fd);
}

// The program's pauses and choosers; the benchmark has no user to wait for or ask.
void pause_ms(unsigned) {}
int choose_file_to_open(char*, const char*, const char*) {
  return 0;
}
int choose_file_to_save(char*, const char*, const char*) {
  return 0;
}

int main(int argc, char** argv) {
  int first = 1;
  if (argc > 1 && std::strcmp(argv[1], "--no-fsync") == 0) {
    skip_fsync = true;
    first = 2;
  }
  if (argc - first != 3) {
    std::fprintf(stderr, "usage: qv-bench-apply [--no-fsync] ORIGINAL PATCH NEW\n");
    return 2;
  }
  job.patch_name = argv[first + 1];
  job.patch_stream = std::fopen(job.patch_name, "rb");
  if (job.patch_stream == nullptr) fail_and_exit("cannot open %s\n", job.patch_name);
  read_patch_trailer(&job);
  job.original_name = argv[first];
  job.original_stream = open_original_file(job.original_name);
  if (job.original_stream == nullptr) fail_and_exit("cannot open %s\n", job.original_name);
  job.new_name = argv[first + 2];
  job.new_stream = open_new_file(&job.output, job.new_name);
  if (job.new_stream == nullptr) fail_and_exit("cannot write %s\n", job.new_name);
  apply_patch(&job);
  return 0;
}
