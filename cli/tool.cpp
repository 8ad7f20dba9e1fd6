// What the commands share: messages, opening inputs with the system's reason, progress.
#include "cli/tool.h"

#include <cstring>
#include <new>

#include "cli/platform.h"
#include "engine/patch_job.h"
#include "files/files.h"

int fail(const std::string& message) {
  std::fprintf(stderr, "quorvalex: %s\n", message.c_str());
  return 1;
}

std::string quoted(const char* path) {
  return std::string("\"") + path + "\"";
}

std::string system_reason(int code) {
  char text[256];
  return describe_system_error(code, text, sizeof text);
}

namespace {

std::string not_regular_text(FILE* stream) {
  int code = not_regular_reason(stream);
  return code != 0 ? system_reason(code) : "not a regular file";
}

}  // namespace

FILE* open_input(const char* path, std::string* problem) {
  FILE* stream = open_for_reading(path);
  if (stream == nullptr) {
    *problem = system_reason(last_system_error());
  } else if (!is_regular_file(stream)) {
    *problem = not_regular_text(stream);
    std::fclose(stream);
    stream = nullptr;
  }
  return stream;
}

int run_with_job(const ToolLine& line, int (*run)(const ToolLine& line, PatchJob* job)) {
  // Some 10 MiB of buffers: from the heap, and without an exception when there is no room.
  auto* job = new (std::nothrow) PatchJob();
  if (job == nullptr) return fail("not enough memory");
  int status = run(line, job);
  close_patch_job(job);
  delete job;
  return status;
}

std::string open_valid_patch(PatchJob* job, const char* path) {
  std::string cannot = "cannot read the patch " + quoted(path) + ": ";
  if (!open_patch(job, path)) return cannot + system_reason(last_system_error());
  if (!is_regular_file(job->patch_stream)) return cannot + not_regular_text(job->patch_stream);
  if (read_trailer(job).new_name == nullptr) return quoted(path) + " is not a Quorvalex patch";
  return "";
}

// The engine tells only that the original cannot be used; opening it once more tells why.
std::string open_job_original(PatchJob* job, const char* path) {
  if (open_original(job, path)) return "";
  std::string problem = "it cannot be read";
  FILE* again = open_input(path, &problem);
  if (again != nullptr) std::fclose(again);
  return "cannot read the original " + quoted(path) + ": " + problem;
}

void show_progress(void* context, const char* phase, double fraction) {
  auto* line = static_cast<ProgressLine*>(context);
  int percent = static_cast<int>(fraction * 100 + 0.5);
  if (line->shown && std::strcmp(line->phase, phase) == 0 && line->percent == percent) return;
  *line = {true, phase, percent};
  std::fprintf(stderr, "\r%-24s %3d%%", phase, percent);
  std::fflush(stderr);
}

void clear_progress(ProgressLine* line) {
  if (line->shown) std::fprintf(stderr, "\r%-30s\r", "");
  line->shown = false;
}
