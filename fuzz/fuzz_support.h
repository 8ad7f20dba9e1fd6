// What the fuzz targets share: helpers for whole files in a scratch folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A folder of its own for this process, removed at exit; `name` is joined to it.
std::string scratch_path(const char* name);

void write_whole_file(const std::string& path, const std::string& bytes);
bool read_whole_file(const std::string& path, std::string* bytes);

// Number of entries in the scratch folder, so that leftovers are noticed.
int scratch_entries();

// Reports a disagreement with the model and aborts, which the fuzzer records as a crash.
[[noreturn]] void fuzz_fail(const char* what);
