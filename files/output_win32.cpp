// Windows side of writing the new file: a temporary file in the destination's folder,
// moved over the destination once complete.
#include <io.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "files/files.h"
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

HANDLE handle_of(FILE* stream) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

// Copies the final path of `handle` into `path` (capacity kOutputPathCapacity) without its
// "\\?\" prefix, which the ANSI calls do not all take: "\\?\C:\x" becomes "C:\x", and
// "\\?\UNC\server\x" becomes "\\server\x". False when it cannot be told or is too long.
bool final_path_of(HANDLE handle, char* path) {
  char final[kOutputPathCapacity];
  DWORD length = GetFinalPathNameByHandleA(handle, final, sizeof final,
                                           FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (length == 0 || length >= sizeof final) return false;
  const char* name = final;
  if (std::strncmp(name, "\\\\?\\UNC\\", 8) == 0) {
    name += 6;
    final[6] = '\\';
  } else if (std::strncmp(name, "\\\\?\\", 4) == 0) {
    name += 4;
  }
  std::strcpy(path, name);
  return true;
}

// Points the new file at the file that the existing destination really is. Replacing a
// symbolic link by name would put a plain file in the link's place (and Wine deletes the
// file it points to), so the file at the link's end is replaced, and the link stays. A
// file with other hard links is copied into, as replacing would give this name a new file
// and leave the others on the old one. Where the final path cannot be told, the new file
// is copied into the destination too: writing through a name never removes its file.
void find_final_file(PendingOutput* output) {
  HANDLE handle =
      CreateFileA(output->final_path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  BY_HANDLE_FILE_INFORMATION info;
  output->copy_into_place = handle == INVALID_HANDLE_VALUE ||
                            !GetFileInformationByHandle(handle, &info) || info.nNumberOfLinks > 1 ||
                            !final_path_of(handle, output->final_path);
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
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
  if (output->in_place || attributes == INVALID_FILE_ATTRIBUTES) return true;
  // Refused like a file that cannot be opened, so the user can choose again.
  if (!can_replace(path)) return false;
  find_final_file(output);
  return true;
}

FILE* create_temporary_file(PendingOutput* output) {
  char folder[kOutputPathCapacity];
  std::size_t length = folder_length(output->final_path);
  std::snprintf(folder, sizeof folder, "%.*s", static_cast<int>(length), output->final_path);
  if (length == 0) std::strcpy(folder, ".");
  if (GetTempFileNameA(folder, "qva", 0, output->temporary_path) == 0) return nullptr;
  FILE* stream = open_for_writing_in_place(output->temporary_path);
  if (stream == nullptr) DeleteFileA(output->temporary_path);
  return stream;
}

bool flush_to_disk(FILE* stream) {
  // Only a disk file can and need be committed; a device or pipe cannot.
  return GetFileType(handle_of(stream)) != FILE_TYPE_DISK || _commit(_fileno(stream)) == 0;
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
  if (ReplaceFileA(final_path, temporary_path, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                   nullptr) != 0) {
    return true;
  }
  // This error says the old file is gone already, but the new one still has its own name.
  return GetLastError() == ERROR_UNABLE_TO_MOVE_REPLACEMENT &&
         MoveFileExA(temporary_path, final_path, MOVEFILE_WRITE_THROUGH) != 0;
}

namespace {

// Writes zeros to `target` from `from` up to `to`, then goes back to its start.
bool write_zeros(FILE* target, std::uint64_t from, std::uint64_t to) {
  static const unsigned char zeros[64 << 10] = {};
  if (!seek_to(target, from)) return false;
  for (std::uint64_t left = to - from; left > 0;) {
    std::size_t piece = left < sizeof zeros ? static_cast<std::size_t>(left) : sizeof zeros;
    if (std::fwrite(zeros, 1, piece, target) != piece) return false;
    left -= piece;
  }
  return std::fflush(target) == 0 && seek_to(target, 0);
}

}  // namespace

// The allocation information reserves the room at once, while the file stays open; where
// the system does not implement it (Wine), zeros written behind the old end take it.
bool reserve_length(FILE* target, std::uint64_t length) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(handle_of(target), &size)) return false;
  std::uint64_t old_size = static_cast<std::uint64_t>(size.QuadPart);
  if (length <= old_size) return true;
  FILE_ALLOCATION_INFO room;
  room.AllocationSize.QuadPart = static_cast<LONGLONG>(length);
  if (SetFileInformationByHandle(handle_of(target), FileAllocationInfo, &room, sizeof room)) {
    return true;
  }
  if (write_zeros(target, old_size, length)) return true;
  DWORD error = GetLastError();
  cut_to_length(target, old_size);
  SetLastError(error);
  return false;
}

bool cut_to_length(FILE* target, std::uint64_t length) {
  FILE_END_OF_FILE_INFO end;
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
  return std::fflush(target) == 0 &&
         SetFileInformationByHandle(handle_of(target), FileEndOfFileInfo, &end, sizeof end) != 0;
}
