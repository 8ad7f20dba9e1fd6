// quorvalex apply: the player's rebuild without a player. The engine's patch job with the
// same checks and safe replacement as quorvalex-apply; no questions, no pauses.
#include "cli/platform.h"
#include "cli/tool.h"
#include "creator/platform.h"
#include "engine/patch_job.h"
#include "files/files.h"

namespace {

void show_rebuild_progress(void* context, std::uint64_t done, std::uint64_t data_end) {
  show_progress(context, "rebuilding", data_end == 0 ? 1.0 : static_cast<double>(done) / data_end);
}

// Why the destination was refused; `error` is the system's code taken at the refusal.
std::string destination_problem(const PatchJob& job, const char* path, int error) {
  std::string start = "cannot write " + quoted(path) + ": ";
  if (is_same_file(path, job.patch_stream)) return start + "it is the patch";
  return start + system_reason(error);
}

std::string outcome_problem(const ToolLine& line, const ApplyResult& result) {
  const char* original = line.operands[0];
  const char* patch = line.operands[1];
  switch (result.outcome) {
    case ApplyOutcome::complete:
      return "";
    case ApplyOutcome::wrong_original:
      return quoted(original) + " is not the original " + quoted(patch) + " was made from";
    case ApplyOutcome::damaged_patch:
      return "the patch " + quoted(patch) + " is damaged";
    case ApplyOutcome::write_failed:
      break;
  }
  return "cannot write " + quoted(line.operands[2]) + ": " + system_reason(result.error);
}

int run_job(const ToolLine& line, PatchJob* job) {
  const char* destination = line.operands[2];
  if (!line.force && is_existing_file(destination)) {
    return fail(quoted(destination) + " exists; add -f to replace it");
  }
  std::string problem = open_valid_patch(job, line.operands[1]);
  if (problem.empty()) problem = open_job_original(job, line.operands[0]);
  if (problem.empty() && !open_destination(job, destination)) {
    problem = destination_problem(*job, destination, last_system_error());
  }
  if (!problem.empty()) return fail(problem);
  ProgressLine progress = {};
  if (is_terminal(stderr)) {
    job->applier.progress = show_rebuild_progress;
    job->applier.progress_context = &progress;
  }
  ApplyResult result = apply_patch(job);
  clear_progress(&progress);
  problem = outcome_problem(line, result);
  return problem.empty() ? 0 : fail(problem);
}

}  // namespace

int apply_patch_file(const ToolLine& line) {
  return run_with_job(line, run_job);
}
