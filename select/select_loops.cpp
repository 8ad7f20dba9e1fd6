// The two selection loops: ask, clean the answer, open, and ask again until it works.
#include <cstdio>
#include <cstring>

#include "engine/patch.h"
#include "frontend/messages.h"
#include "select/select.h"

namespace {

using Chooser = int (*)(char* path, const char* title, const char* default_extension);

// Copies `text` into `buffer`, cut to fit when it is longer.
void copy_cut(char* buffer, std::size_t capacity, const char* text) {
  std::snprintf(buffer, capacity, "%s", text);
}

// Shows `chooser` pre-filled with `name` until the user picks a file; the cancel
// message and one wait come before every new showing.
void choose_until_picked(Chooser chooser, char* path, const char* title_format, const char* name) {
  char title[kTitleCapacity];
  for (;;) {
    copy_cut(path, kPathCapacity, name);
    std::snprintf(title, sizeof title, title_format, name);
    if (chooser(path, title, nullptr)) break;
    show_message(msg::kChooserCancelled);
    wait_for_key();
  }
  clean_chosen_path(path);
}

// Writing over the original or the patch would destroy what the new file is built from.
bool is_source_file(const PatchJob* job, const char* path) {
  return is_same_file(path, job->original_stream) || is_same_file(path, job->patch_stream);
}

}  // namespace

void clean_chosen_path(char* path) {
  if (path[0] == '"') std::memmove(path, path + 1, std::strlen(path));
  path[std::strcspn(path, "\r\n\"")] = '\0';
}

void select_original_file(PatchJob* job) {
  show_message(msg::kChooseOriginal, job->original_name);
  pause_ms(500);
  for (;;) {
    choose_until_picked(choose_file_to_open, job->original_path, msg::kOriginalTitle,
                        job->original_name);
    job->original_stream = open_original_file(job->original_path);
    if (job->original_stream != nullptr) break;
    show_message(msg::kOpenFailed);
    pause_ms(2000);
  }
  job->original_name = job->original_path;
}

void select_new_file(PatchJob* job) {
  show_message(msg::kChooseNew, job->new_name);
  for (;;) {
    pause_ms(1000);
    choose_until_picked(choose_file_to_save, job->new_path, msg::kNewTitle, job->new_name);
    if (!is_source_file(job, job->new_path)) {
      job->new_stream = open_new_file(&job->output, job->new_path);
      if (job->new_stream != nullptr) break;
    }
    show_message(msg::kOpenFailed);
  }
  job->new_name = job->new_path;
}
