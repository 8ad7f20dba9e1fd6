// Mapping the original with mmap. A file that shrinks while it is mapped makes reads of
// the pages past its new end raise SIGBUS; the copy is then abandoned, not the process.
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>

#include <cstddef>

#include "files/mapping.h"

namespace {

// Reached by the SIGBUS handler: where a copy returns to and whether one runs, for each
// thread, since two threads may copy at once; and what SIGBUS did before the handler.
thread_local sigjmp_buf copy_abandoned;
thread_local volatile sig_atomic_t copying = 0;
struct sigaction earlier_action;

void on_bus_error(int signal_number) {
  if (copying) siglongjmp(copy_abandoned, 1);
  // A fault outside a copy is a real crash: take the action from before.
  sigaction(signal_number, &earlier_action, nullptr);
  raise(signal_number);
}

// The handler stays from the first copy on: with copies on two threads, neither knows
// when the other's ends, and outside a copy it does what SIGBUS did before.
bool install_handler() {
  struct sigaction action = {};
  action.sa_handler = on_bus_error;
  sigemptyset(&action.sa_mask);
  return sigaction(SIGBUS, &action, &earlier_action) == 0;
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
  static const bool installed = install_handler();
  if (!installed) return false;
  bool whole = true;
  // The saved signal mask is restored on the way back, so SIGBUS is not left blocked.
  if (sigsetjmp(copy_abandoned, 1) == 0) {
    copying = 1;
    copy(context);
  } else {
    whole = false;
  }
  copying = 0;
  return whole;
}
