#include "core/runtime/checked_mutex.h"

#if TL_LOCK_CHECK

#include <cstdio>
#include <cstdlib>

// Prints the calling thread's stack in the sanitizer builds; absent elsewhere.
extern "C" void __sanitizer_print_stack_trace() __attribute__((weak));

namespace tembrolexin {
namespace lockcheck {

namespace {

// The library mutexes the calling thread holds, in the order taken (one
// entry per hold: a recursive mutex taken twice has two). Trivially
// destructible: exit() destroys the exiting thread's thread_local objects
// before its exit handlers run, and those take mutexes. Holds beyond the
// named ones are only counted.
struct Held {
  static constexpr unsigned kNamed = 32;
  struct Entry {
    const void* mutex;
    const Origin* origin;
  };
  Entry entries[kNamed];
  unsigned count = 0;
  unsigned unnamed = 0;
};

thread_local Held tHeld;

}  // namespace

void acquired(const void* mutex, const Origin* origin) noexcept {
  Held& held = tHeld;
  if (held.count < Held::kNamed) {
    held.entries[held.count++] = {mutex, origin};
  } else {
    ++held.unnamed;
  }
}

void released(const void* mutex) noexcept {
  Held& held = tHeld;
  for (unsigned i = held.count; i-- > 0;) {
    if (held.entries[i].mutex != mutex) continue;
    for (unsigned j = i + 1; j < held.count; ++j) held.entries[j - 1] = held.entries[j];
    --held.count;
    return;
  }
  if (held.unnamed > 0) --held.unnamed;
}

void expectNoneHeld(const char* where) noexcept {
  const Held& held = tHeld;
  if (held.count == 0 && held.unnamed == 0) return;
  std::fprintf(stderr, "Library lock held while calling into the app (%s):\n", where);
  for (unsigned i = 0; i < held.count; ++i) {
    const Origin& o = *held.entries[i].origin;
    std::fprintf(stderr, "  mutex made in %s (%s:%u)\n", o.function, o.file, o.line);
  }
  if (held.unnamed > 0) std::fprintf(stderr, "  and %u more\n", held.unnamed);
  if (__sanitizer_print_stack_trace != nullptr) __sanitizer_print_stack_trace();
  std::fflush(stderr);
  std::abort();
}

}  // namespace lockcheck
}  // namespace tembrolexin

#endif  // TL_LOCK_CHECK
