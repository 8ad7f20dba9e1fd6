// qv-mapped-loop ORIGINAL PATCH NEW
// The reference a rebuild is measured against: the original and the patch mapped, each
// piece copied with memcpy in the order of the patch into an 8 MiB buffer that is written
// whenever it is full, and one fsync at the end. It checks nothing but the bounds, so it
// is the floor of random access to the original, not a way to apply a patch.
// Exit status: 0 when the new file is written, 1 on any failure.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "format/operation.h"
#include "format/trailer.h"

namespace {

struct Mapped {
  const unsigned char* bytes;
  std::uint64_t size;
};

bool map_file(const char* path, Mapped* file) {
  int fd = open(path, O_RDONLY);
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0) return false;
  file->size = static_cast<std::uint64_t>(info.st_size);
  void* mapping = mmap(nullptr, file->size, PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  file->bytes = static_cast<const unsigned char*>(mapping);
  return mapping != MAP_FAILED;
}

bool write_all(int fd, const unsigned char* bytes, std::size_t count) {
  while (count > 0) {
    ssize_t written = write(fd, bytes, count);
    if (written <= 0) return false;
    bytes += written;
    count -= static_cast<std::size_t>(written);
  }
  return true;
}

// Where the operations end: the trailer's length field closes the patch.
std::uint64_t data_end_of(const Mapped& patch) {
  if (patch.size < kLengthFieldSize) return 0;
  char field[kLengthFieldSize];
  std::memcpy(field, patch.bytes + patch.size - kLengthFieldSize, kLengthFieldSize);
  std::int64_t length = trailer_length(field, patch.size);
  return length < 0 ? 0 : patch.size - static_cast<std::uint64_t>(length);
}

struct Output {
  int fd;
  std::vector<unsigned char> buffer;
  std::size_t filled;
};

bool append(Output* out, const unsigned char* bytes, std::size_t count) {
  while (count > 0) {
    if (out->filled == out->buffer.size()) {
      if (!write_all(out->fd, out->buffer.data(), out->filled)) return false;
      out->filled = 0;
    }
    std::size_t piece = std::min(count, out->buffer.size() - out->filled);
    std::memcpy(out->buffer.data() + out->filled, bytes, piece);
    out->filled += piece;
    bytes += piece;
    count -= piece;
  }
  return true;
}

bool rebuild(const Mapped& original, const Mapped& patch, Output* out) {
  std::uint64_t end = data_end_of(patch);
  for (std::uint64_t at = 0; at < end;) {
    Operation op;
    std::size_t head = decode_operation(patch.bytes + at, patch.size - at, &op);
    if (head == 0) return false;
    at += head;
    const unsigned char* from = op.is_copy ? original.bytes + op.offset : patch.bytes + at;
    std::uint64_t limit = op.is_copy ? original.size : patch.size;
    std::uint64_t start = op.is_copy ? op.offset : at;
    if (start + op.length > limit || !append(out, from, op.length)) return false;
    if (!op.is_copy) at += op.length;
  }
  return write_all(out->fd, out->buffer.data(), out->filled);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: qv-mapped-loop ORIGINAL PATCH NEW\n");
    return 1;
  }
  Mapped original, patch;
  if (!map_file(argv[1], &original) || !map_file(argv[2], &patch)) return 1;
  Output out = {open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0644),
                std::vector<unsigned char>(8 << 20), 0};
  if (out.fd < 0) return 1;
  bool done = rebuild(original, patch, &out) && fsync(out.fd) == 0;
  return close(out.fd) == 0 && done ? 0 : 1;
}
