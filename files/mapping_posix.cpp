// Mapping the original with mmap. A file that shrinks while it is mapped makes reads of
// the pages past its new end raise SIGBUS; the copy is then abandoned, not the process.
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>

#include <cstddef>

#include "files/mapping.h"

namespace {

// Where the SIGBUS handler returns to, and whether a copy is running to return to: the
// handler can reach nothing else.
sigjmp_buf copy_abandoned;
volatile sig_atomic_t copying = 0;

void on_bus_error(int signal_number) {
  if (copying) siglongjmp(copy_abandoned, 1);
  // A fault outside a copy is a real crash: take the default action.
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

}  // namespace

bool map_file(FILE* stream, std::uint64_t size, MappedFile* map) {
  *map = {nullptr, 0, nullptr};
  if (size == 0 || size > SIZE_MAX) return false;
  void* bytes =
      mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_SHARED, fileno(stream), 0);
  if (bytes == MAP_FAILED) return false;
  *map = {static_cast<const unsigned char*>(bytes), size, nullptr};
  return true;
}

void unmap_file(MappedFile* map) {
  if (map->bytes == nullptr) return;
  munmap(const_cast<unsigned char*>(map->bytes), static_cast<std::size_t>(map->size));
  *map = {nullptr, 0, nullptr};
}

bool copy_from_mapping(void (*copy)(void* context), void* context) {
  struct sigaction action = {}, previous;
  action.sa_handler = on_bus_error;
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, &action, &previous);
  bool whole = true;
  // The saved signal mask is restored on the way back, so SIGBUS is not left blocked.
  if (sigsetjmp(copy_abandoned, 1) == 0) {
    copying = 1;
    copy(context);
  } else {
    whole = false;
  }
  copying = 0;
  sigaction(SIGBUS, &previous, nullptr);
  return whole;
}
