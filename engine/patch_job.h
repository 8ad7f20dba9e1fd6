// One patch job: the patch file and its trailer, the original, the new file, and the
// steps that take them from opened to rebuilt. Every step returns what happened; the
// caller decides what the user is told.
#pragma once

#include <cstdint>
#include <cstdio>

#include "engine/apply.h"
#include "files/output.h"
#include "format/trailer.h"

// The trailer as read from the end of the patch file.
struct PatchTrailer {
  char text[kTrailerCapacity];  // the trailer text; the names point into it
  TrailerFields fields;
  std::uint32_t data_end;  // offset at which the trailer begins
};

// The files of one job and the buffers that rebuild it. Large: callers keep it static.
struct PatchJob {
  FILE* patch_stream;
  PatchTrailer trailer;
  FILE* original_stream;
  PendingOutput output;
  Applier applier;
};

// How a whole job ended, for callers that run it in one go.
enum class JobOutcome {
  complete,
  patch_missing,
  not_valid,    // the trailer is defective
  no_new_name,  // the trailer names the original but no new file
  original_unusable,
  destination_refused,
  damaged_patch,
  wrong_original,
  write_failed,
};

// Opens the patch file for reading, without waiting on a FIFO; false when it cannot be
// opened. A patch that is not a regular file is found not valid by read_trailer.
bool open_patch(PatchJob* job, const char* path);

// Reads and checks the trailer. Its fields tell how far it got: `unreadable` when the
// file is too short or the length field unusable, otherwise as parse_trailer says.
const TrailerFields& read_trailer(PatchJob* job);

// Opens the chosen original; false when it cannot be read as a regular file.
bool open_original(PatchJob* job, const char* path);

// Opens the new file at the chosen destination, which may be the original; false when it
// cannot be written there or is the patch file, under whatever name.
bool open_destination(PatchJob* job, const char* path);

// How a rebuild ended; for a write failure, the system's code for its reason (see
// describe_system_error in files/files.h).
struct ApplyResult {
  ApplyOutcome outcome;
  int error;
  // Where the complete new file was left when copying it into the destination broke off;
  // null otherwise.
  const char* complete_new_file;
};

// Checks the original's size when the trailer gives one, rebuilds the new file (verified
// against the checks the patch carries, see run_operations) and moves it into place,
// then closes every file. On failure the destination is as it was, unless a copy into it
// broke off (`complete_new_file`).
ApplyResult apply_patch(PatchJob* job);

// Closes whatever is still open and removes an unfinished new file.
void close_patch_job(PatchJob* job);

// The whole job without a user: patch, trailer, original, destination, rebuild.
JobOutcome run_patch_job(PatchJob* job, const char* patch_path, const char* original_path,
                         const char* destination_path);
