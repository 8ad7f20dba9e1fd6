// Windows side of writing the new file: a temporary file in the destination's folder,
// moved over the destination once complete.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "files/output_platform.h"

namespace {

// Length of the folder part of `path`, up to and including the last separator.
std::size_t folder_length(const char* path) {
  std::size_t length = 0;
  for (std::size_t i = 0; path[i] != '\0'; ++i) {
    if (path[i] == '\\' || path[i] == '/' || path[i] == ':') length = i + 1;
  }
  return length;
}

// The kind of file at `path`: FILE_TYPE_DISK, or a device (FILE_TYPE_CHAR) such as NUL
// or COM1, or a named pipe. FILE_TYPE_DISK when nothing can be opened there yet.
DWORD file_type(const char* path) {
  HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return FILE_TYPE_DISK;
  DWORD type = GetFileType(handle);
  CloseHandle(handle);
  return type;
}

// True when the last part of `path` is a name Windows keeps for a device whatever its
// extension and folder (nul.txt, aux.dat, COM1), even where that device is missing.
bool is_device_name(const char* path) {
  const char* name = path + folder_length(path);
  std::size_t length = std::strcspn(name, ".");
  while (length > 0 && name[length - 1] == ' ')
    --length;
  if (length < 3 || length > 4) return false;
  char base[5] = {};
  std::memcpy(base, name, length);
  if (length == 4) {
    bool numbered = _strnicmp(base, "COM", 3) == 0 || _strnicmp(base, "LPT", 3) == 0;
    return numbered && base[3] >= '1' && base[3] <= '9';
  }
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL"};
  for (const char* device : kDevices) {
    if (_stricmp(base, device) == 0) return true;
  }
  return false;
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
  if (std::strlen(path) >= sizeof output->final_path) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  std::strcpy(output->final_path, path);
  DWORD attributes = GetFileAttributesA(path);
  // A read-only file could not be opened for writing; it is refused as before.
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);  // what opening it for writing would say
    return false;
  }
  // A device (nul.txt, COM1) keeps nothing written to it: the file the user meant would
  // never exist. Asked apart from the attributes, which a device may not have. A named
  // pipe is written in place.
  DWORD type = file_type(path);
  if (type == FILE_TYPE_CHAR || is_device_name(path)) return false;
  output->in_place = type != FILE_TYPE_DISK;
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

// ReplaceFileA keeps what the existing destination is: its attributes, security and
// alternate streams; MoveFileExA serves where nothing is there yet. Wine's ReplaceFileA
// keeps no attributes, so the hidden and system bits are given to the new file first.
bool replace_file(const char* temporary_path, const char* final_path) {
  DWORD attributes = GetFileAttributesA(final_path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return MoveFileExA(temporary_path, final_path,
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  }
  DWORD kept = attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  if (kept != 0) SetFileAttributesA(temporary_path, kept);
  return ReplaceFileA(final_path, temporary_path, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                      nullptr) != 0;
}
