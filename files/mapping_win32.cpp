// Mapping the original with a file mapping object and a view of it.
#include <io.h>
#include <stdio.h>
#include <windows.h>

#include <cstddef>

#include "files/mapping.h"

bool map_file(FILE* stream, std::uint64_t size, MappedFile* map) {
  *map = {nullptr, 0, nullptr};
  if (size == 0 || size > SIZE_MAX) return false;
  HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (mapping == nullptr) return false;
  void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size));
  if (view == nullptr) {
    CloseHandle(mapping);
    return false;
  }
  *map = {static_cast<const unsigned char*>(view), size, mapping};
  return true;
}

void unmap_file(MappedFile* map) {
  if (map->bytes == nullptr) return;
  UnmapViewOfFile(map->bytes);
  CloseHandle(static_cast<HANDLE>(map->handle));
  *map = {nullptr, 0, nullptr};
}

// Windows refuses to shrink a file while a view of it is mapped, so every page of the
// view stays readable.
bool copy_from_mapping(void (*copy)(void* context), void* context) {
  copy(context);
  return true;
}
