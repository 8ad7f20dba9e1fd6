// File access with the Windows runtime's large-file calls: positions, reads at an
// offset (a seek, then one read), identity.
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <windows.h>

#include <cstring>

#include "files/files.h"

bool seek_to(FILE* stream, std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) return false;
  return _fseeki64(stream, static_cast<__int64>(offset), SEEK_SET) == 0;
}

std::int64_t stream_size(FILE* stream) {
  __int64 here = _ftelli64(stream);
  if (here < 0 || _fseeki64(stream, 0, SEEK_END) != 0) return -1;
  __int64 size = _ftelli64(stream);
  _fseeki64(stream, here, SEEK_SET);
  return size;
}

std::size_t read_at(FILE* stream, std::uint64_t offset, unsigned char* bytes, std::size_t count) {
  if (!seek_to(stream, offset)) return 0;
  return std::fread(bytes, 1, count, stream);
}

// Large pages on Windows need a privilege that players' accounts lack; plain pages it is.
void prefer_large_pages(void*, std::size_t) {}

namespace {

bool identify(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) {
  return handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, info) != 0;
}

}  // namespace

bool is_same_file(const char* path, FILE* stream) {
  if (stream == nullptr) return false;
  BY_HANDLE_FILE_INFORMATION chosen, open_file;
  HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  bool known = identify(handle, &chosen);
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  HANDLE open_handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  if (!known || !identify(open_handle, &open_file)) return false;
  return chosen.dwVolumeSerialNumber == open_file.dwVolumeSerialNumber &&
         chosen.nFileIndexHigh == open_file.nFileIndexHigh &&
         chosen.nFileIndexLow == open_file.nFileIndexLow;
}

namespace {

// Opens the existing file at `path`, shared for reading, writing and deletion: an
// interrupt can delete a new file while it is being written, and the open original can be
// chosen as the destination, which replaces it once it is closed. Never truncates.
FILE* open_shared(const char* path, DWORD access, int flags, const char* mode) {
  HANDLE handle = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  FILE* stream = _fdopen(fd, mode);
  if (stream == nullptr) _close(fd);
  return stream;
}

}  // namespace

// Opening a file on Windows never waits for another program: a pipe without its other
// end fails to open.
FILE* open_for_reading(const char* path) {
  return open_shared(path, GENERIC_READ, _O_RDONLY, "rb");
}

FILE* open_for_writing_in_place(const char* path) {
  return open_shared(path, GENERIC_WRITE, 0, "wb");
}

int last_system_error() {
  return static_cast<int>(GetLastError());
}

// The system's text ends with a full stop and a line end; both go, as the text is shown
// in brackets inside a sentence.
const char* describe_system_error(int code, char* text, std::size_t capacity) {
  DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     static_cast<DWORD>(code), 0, text, static_cast<DWORD>(capacity), nullptr);
  if (length == 0) std::snprintf(text, capacity, "error %d", code);
  while (length > 0 && std::strchr(" .\r\n", text[length - 1]) != nullptr)
    text[--length] = '\0';
  return text;
}

// Only a disk file: a device such as NUL or CON cannot be read at arbitrary offsets, and
// CON would wait for keys in the middle of the patch. The runtime refuses folders itself.
bool is_regular_file(FILE* stream) {
  return GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)))) == FILE_TYPE_DISK;
}

bool open_missing_standard_streams() {
  struct Standard {
    DWORD handle;
    FILE* stream;
    const char* mode;
  };
  const Standard standard[] = {{STD_INPUT_HANDLE, stdin, "r"},
                               {STD_OUTPUT_HANDLE, stdout, "w"},
                               {STD_ERROR_HANDLE, stderr, "w"}};
  for (const Standard& entry : standard) {
    HANDLE handle = GetStdHandle(entry.handle);
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) continue;
    // The runtime gives the stream the lowest free descriptor: its own, since those below
    // it are open by now.
    if (std::freopen("NUL", entry.mode, entry.stream) == nullptr) return false;
  }
  return true;
}
