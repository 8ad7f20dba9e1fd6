// Reading a patch file: the trailer at its end and the operation stream before it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "format/operation.h"
#include "format/trailer.h"
#include "frontend/frontend.h"

// ---- Trailer -------------------------------------------------------------

// Validates the patch's trailer, prints the two names and fills the job. Stops the
// process on a defective patch. Leaves the patch stream at offset 0.
int read_patch_trailer(PatchJob* job);

// ---- Operation stream ----------------------------------------------------

// Rebuilds the new file from the original and the operation stream, then closes all
// three streams and moves the finished file into place. Stops the process with a
// message when the original does not fit, the patch is damaged or writing fails.
void apply_patch(PatchJob* job);

// ---- Files ---------------------------------------------------------------

// 64-bit positioning that works past 2 GiB on every platform.
bool seek_to(FILE* stream, std::uint64_t offset);
std::int64_t stream_size(FILE* stream);  // -1 when it cannot be told; position is kept

// Reads up to `count` bytes of `stream` at `offset` into `bytes`; fewer only where the
// file ends or a read fails. The stream's position afterwards is unspecified.
std::size_t read_at(FILE* stream, std::uint64_t offset, unsigned char* bytes, std::size_t count);

// ---- The new file --------------------------------------------------------

// Opens the new file for writing. A regular file is written to a temporary file in the
// destination's folder and only moved over the destination by commit_new_file, so a
// failed run leaves the destination as it was; a device or pipe is written in place.
// Returns null when the destination cannot be written.
FILE* open_new_file(PendingOutput* output, const char* path);

// Flushes and closes `stream` and moves the finished file into place. False on any
// error; the destination is then untouched and the temporary file removed.
bool commit_new_file(PendingOutput* output, FILE* stream);

// Closes and removes an unfinished new file, if there is one.
void discard_pending_output();

// Platform steps behind the three calls above.
bool prepare_destination(PendingOutput* output, const char* path);
FILE* create_temporary_file(PendingOutput* output);
bool flush_to_disk(FILE* stream);
bool replace_file(const char* temporary_path, const char* final_path);
