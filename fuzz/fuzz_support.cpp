// Scratch files for the fuzz targets and the replay.
#include "fuzz/fuzz_support.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

char scratch_folder[256];

bool is_real_entry(const dirent* entry) {
  return std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0;
}

void remove_scratch_folder() {
  DIR* folder = opendir(scratch_folder);
  if (folder == nullptr) return;
  while (dirent* entry = readdir(folder)) {
    if (is_real_entry(entry)) unlink((std::string(scratch_folder) + "/" + entry->d_name).c_str());
  }
  closedir(folder);
  rmdir(scratch_folder);
}

}  // namespace

std::string scratch_path(const char* name) {
  if (scratch_folder[0] == '\0') {
    // Shared memory when there is some: the new file is synced on every run. libFuzzer
    // ends without running atexit handlers, so scripts/fuzz names a folder it removes.
    const char* base = std::getenv("QV_FUZZ_SCRATCH");
    if (base == nullptr) base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::snprintf(scratch_folder, sizeof scratch_folder, "%s/qv-fuzz-XXXXXX", base);
    if (mkdtemp(scratch_folder) == nullptr) fuzz_fail("no scratch folder");
    std::atexit(remove_scratch_folder);
  }
  return std::string(scratch_folder) + "/" + name;
}

void write_whole_file(const std::string& path, const std::string& bytes) {
  FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) fuzz_fail("cannot create a scratch file");
  bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  if (std::fclose(out) != 0 || !written) fuzz_fail("cannot write a scratch file");
}

bool read_whole_file(const std::string& path, std::string* bytes) {
  FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) return false;
  // Straight into the string, whose buffer the callers reuse.
  std::size_t held = 0;
  for (;;) {
    bytes->resize(held + (1 << 16));
    std::size_t got = std::fread(&(*bytes)[held], 1, 1 << 16, in);
    held += got;
    if (got < 1 << 16) break;
  }
  bytes->resize(held);
  std::fclose(in);
  return true;
}

int scratch_entries() {
  DIR* folder = opendir(scratch_path("").c_str());
  int count = 0;
  while (dirent* entry = readdir(folder))
    count += is_real_entry(entry);
  closedir(folder);
  return count;
}

void fuzz_fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}
