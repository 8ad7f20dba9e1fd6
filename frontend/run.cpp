// The program's story: start-up, the trailer and its names, the original, the
// destination, the patch, and the report.
#include <cstdio>
#include <cstdlib>

#include "files/files.h"
#include "files/interrupt.h"
#include "frontend/frontend.h"
#include "frontend/link_seams.h"
#include "frontend/messages.h"

namespace {

// Static: the job and its buffers live until the process ends.
PatchJob job;
char original_path[kPathCapacity];
char destination_path[kPathCapacity];

// Announces the program and opens the one patch file it knows. A closed standard stream
// is first given the null device, so that the patch cannot take its place; where even
// that fails the program ends at once. From here on an interrupt ends the
// program with status 1, removing an unfinished new file.
void start_up() {
  if (!open_missing_standard_streams()) exit_program();
  prepare_console();
  install_interrupt_handlers();
  show_message(msg::kBanner);
  pause_ms(1000);
  if (!open_patch(&job, msg::kPatchFileName))
    fail_and_exit(msg::kPatchMissing, msg::kPatchFileName);
}

// Checks the trailer and shows the two names it carries, each as soon as it is found.
const TrailerFields& read_patch_names() {
  const TrailerFields& names = read_trailer(&job);
  if (names.original_name == nullptr) fail_and_exit(msg::kNotValid, msg::kPatchFileName);
  show_message(msg::kOriginalNamed, names.original_name);
  if (names.new_name == nullptr) fail_and_exit(msg::kNotValidAfterName, msg::kPatchFileName);
  show_message(msg::kNewNamed, names.new_name);
  return names;
}

// Tells the user why the patch could not be applied, waits and exits.
[[noreturn]] void report_failure_and_exit(ApplyResult result) {
  if (result.outcome == ApplyOutcome::wrong_original) fail_and_exit(msg::kWrongOriginal);
  if (result.outcome == ApplyOutcome::damaged_patch) {
    fail_and_exit(msg::kNotValid, msg::kPatchFileName);
  }
  char reason[256];
  describe_system_error(result.error, reason, sizeof reason);
  if (result.complete_new_file == nullptr) {
    fail_and_exit(msg::kWriteFailed, destination_path, reason);
  }
  // The destination is cut: the player must learn where the one complete new file is.
  char reason_and_file[sizeof reason + sizeof job.output.temporary_path + 64];
  std::snprintf(reason_and_file, sizeof reason_and_file, msg::kCompleteFileKept, reason,
                result.complete_new_file);
  fail_and_exit(msg::kWriteFailed, destination_path, reason_and_file);
}

}  // namespace

void exit_program() {
  close_patch_job(&job);
  std::exit(1);
}

void run_patcher() {
  start_up();
  const TrailerFields& names = read_patch_names();
  select_original_file(&job, names.original_name, original_path);
  select_new_file(&job, names.new_name, destination_path);
  show_message(msg::kSavingTo, destination_path);
  ApplyResult result = apply_patch(&job);
  if (result.outcome != ApplyOutcome::complete) report_failure_and_exit(result);
  show_message(msg::kComplete);
  wait_for_key();
  exit_program();
}
