// qv-bench-apply [--no-fsync] ORIGINAL PATCH NEW
// Applies PATCH to ORIGINAL into NEW through the program's own patch job (trailer,
// opening the original, the pending new file, the rebuild), without choosers or pauses,
// so the benchmark times exactly the program's patching. With --no-fsync the final
// fsync of the new file is skipped, for a fair comparison with tools that do not sync.
// Exit status: 0 when the new file is in place, 1 when the job failed, 2 on bad arguments.
#include <cstdio>
#include <cstring>

#include "engine/patch_job.h"

namespace {

PatchJob job;
bool skip_fsync = false;

}  // namespace

// The engine's fsync, seen through the linker's --wrap.
extern "C" int __real_fsync(int fd);
extern "C" int __wrap_fsync(int fd) {
  return skip_fsync ? 0 : __real_fsync(fd);
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
  JobOutcome outcome = run_patch_job(&job, argv[first + 1], argv[first], argv[first + 2]);
  if (outcome == JobOutcome::complete) return 0;
  std::fprintf(stderr, "qv-bench-apply: the patch job failed (outcome %d)\n",
               static_cast<int>(outcome));
  return 1;
}
