// Windows side of writing the new file: a temporary file in the destination's folder,
// moved over the destination once complete.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "engine/output_platform.h"

namespace {

// Length of the folder part of `path`, up to and including the last separator.
std::size_t folder_length(const char* path) {
  std::size_t length = 0;
  for (std::size_t i = 0; path[i] != '\0'; ++i) {
    if (path[i] == '\\' || path[i] == '/' || path[i] == ':') length = i + 1;
  }
  return length;
}

// True when `path` names a disk file, not a device such as NUL or a named pipe.
bool is_disk_file(const char* path) {
  HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return true;
  DWORD type = GetFileType(handle);
  CloseHandle(handle);
  return type == FILE_TYPE_DISK;
}

// True when the existing file at `path` may be written and replaced now. A running game
// that holds it open, or missing permission, would otherwise only show at the very end.
bool can_replace(const char* path) {
  HANDLE handle = CreateFileA(path, GENERIC_WRITE | DELETE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  CloseHandle(handle);
  return true;
}

// Opens `path` for binary writing, shared for deletion so that an interrupt can delete the
// file while it is being written.
FILE* open_deletable(const char* path) {
  HANDLE handle =
      CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  FILE* stream = _fdopen(fd, "wb");
  if (stream == nullptr) _close(fd);
  return stream;
}

}  // namespace

bool prepare_destination(PendingOutput* output, const char* path) {
  if (std::strlen(path) >= sizeof output->final_path) return false;
  std::strcpy(output->final_path, path);
  DWORD attributes = GetFileAttributesA(path);
  // A read-only file could not be opened for writing; it is refused as before.
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
    return false;
  }
  // Asked apart from the attributes, which a device such as NUL may not have.
  output->in_place = !is_disk_file(path);
  // Refused like a file that cannot be opened, so the user can choose again.
  return output->in_place || attributes == INVALID_FILE_ATTRIBUTES || can_replace(path);
}

FILE* create_temporary_file(PendingOutput* output) {
  char folder[kOutputPathCapacity];
  std::size_t length = folder_length(output->final_path);
  std::snprintf(folder, sizeof folder, "%.*s", static_cast<int>(length), output->final_path);
  if (length == 0) std::strcpy(folder, ".");
  if (GetTempFileNameA(folder, "qva", 0, output->temporary_path) == 0) return nullptr;
  FILE* stream = open_deletable(output->temporary_path);
  if (stream == nullptr) DeleteFileA(output->temporary_path);
  return stream;
}

bool flush_to_disk(FILE* stream) {
  // Only a disk file can and need be committed; a device or pipe cannot.
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  return GetFileType(handle) != FILE_TYPE_DISK || _commit(_fileno(stream)) == 0;
}

bool replace_file(const char* temporary_path, const char* final_path) {
  return MoveFileExA(temporary_path, final_path,
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}
