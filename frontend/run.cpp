// The program from start to end: start-up, the trailer, the two files, the patch.
#include "engine/patch.h"
#include "frontend/frontend.h"
#include "frontend/messages.h"
#include "select/select.h"

namespace {

// Static: the job and its buffers live until the process ends.
PatchJob job;

// Announces the program and opens the one patch file it knows.
void start_up() {
  show_message(msg::kBanner);
  pause_ms(1000);
  job.patch_name = msg::kPatchFileName;
  job.patch_stream = std::fopen(job.patch_name, "rb");
  if (job.patch_stream == nullptr) fail_and_exit(msg::kPatchMissing, job.patch_name);
}

}  // namespace

void run_patcher() {
  start_up();
  read_patch_trailer(&job);
  select_original_file(&job);
  select_new_file(&job);
  show_message(msg::kSavingTo, job.new_name);
  apply_patch(&job);
  show_message(msg::kComplete);
  wait_for_key();
  exit_program();
}
