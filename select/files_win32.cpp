// File identity and opening rules on Windows.
#include <io.h>
#include <windows.h>

#include "select/select.h"

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

FILE* open_original_file(const char* path) {
  // Only a disk file: a device such as NUL or CON cannot be read at arbitrary offsets, and
  // CON would wait for keys in the middle of the patch. The runtime refuses folders itself.
  FILE* stream = std::fopen(path, "rb");
  if (stream != nullptr &&
      GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)))) != FILE_TYPE_DISK) {
    std::fclose(stream);
    return nullptr;
  }
  return stream;
}
