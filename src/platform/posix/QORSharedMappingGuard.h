#pragma once

#include <cstddef>

// Keeps the process alive when another process cuts short a file that this process has mapped
// shared (any member of the state root's group may truncate a named object's file). Touching a page
// past the new end raises SIGBUS; the guard's handler maps private zeroed memory over the whole
// watched range and marks it lost, so the faulting access, and every later one, finds zeros
// instead of killing the process. Owners check IsLost and stop trusting the range.
//
// The handler is installed with the first Watch. A fault outside every watched range goes to the
// handler that was installed before (or, when there was none, to the default action). The table of
// ranges is read by the handler without locks: fixed slots of atomics, each guarded by a sequence
// count.
class QORSharedMappingGuard {
 public:
  static constexpr int kSlots = 1024;

  // Watches [address, address + length); a slot number, or -1 when every slot is taken.
  static int Watch(void* address, size_t length);
  // Stops watching before the range is unmapped. -1 is ignored.
  static void Forget(int slot);
  // Whether the range was replaced by private zeros after its file was cut short.
  static bool IsLost(int slot);
  // Ranges replaced so far in this process.
  static unsigned LostCount();
};
