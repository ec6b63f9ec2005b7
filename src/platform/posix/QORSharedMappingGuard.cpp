#include "platform/posix/QORSharedMappingGuard.h"

#include <signal.h>
#include <sys/mman.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>

namespace {

enum : uint32_t { kFree, kClaimed, kWatched, kLost };

// One watched range. A writer makes sequence odd while it changes begin and end, so the handler
// never acts on a range that is half written.
struct Slot {
  std::atomic<uint32_t> state{kFree};
  std::atomic<uint32_t> sequence{0};
  std::atomic<uintptr_t> begin{0};
  std::atomic<uintptr_t> end{0};
};

static_assert(std::atomic<uintptr_t>::is_always_lock_free);
static_assert(std::atomic<uint32_t>::is_always_lock_free);

Slot slots[QORSharedMappingGuard::kSlots];
// Slots at or past this index were never used: the handler looks no further.
std::atomic<int> usedSlots{0};
std::atomic<unsigned> lostCount{0};
// Written once, before the handler is installed.
struct sigaction previous {};

void ActAsBefore(int signal, siginfo_t* info, void* context) {
  if ((previous.sa_flags & SA_SIGINFO) != 0) {
    if (previous.sa_sigaction != nullptr) previous.sa_sigaction(signal, info, context);
    return;
  }
  if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal);
    return;
  }
  // The default action: a fault happens again on return and ends the process as it would have; a
  // signal sent by a process is sent again, to be taken once this handler returns.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(signal, &fallback, nullptr);
  if (info == nullptr || info->si_code <= 0) raise(signal);
}

// Async-signal-safe: atomics, mmap and sigaction only.
void OnBusError(int signal, siginfo_t* info, void* context) {
  const int savedErrno = errno;
  const uintptr_t address =
      info != nullptr && info->si_code > 0 ? reinterpret_cast<uintptr_t>(info->si_addr) : 0;
  const int used = address != 0 ? usedSlots.load(std::memory_order_acquire) : 0;
  for (int i = 0; i < used; ++i) {
    Slot& slot = slots[i];
    const uint32_t before = slot.sequence.load(std::memory_order_acquire);
    const uint32_t state = slot.state.load(std::memory_order_acquire);
    const uintptr_t begin = slot.begin.load(std::memory_order_acquire);
    const uintptr_t end = slot.end.load(std::memory_order_acquire);
    if ((before & 1) != 0 || slot.sequence.load(std::memory_order_acquire) != before) continue;
    if ((state != kWatched && state != kLost) || address < begin || address >= end) continue;
    void* replaced = mmap(reinterpret_cast<void*>(begin), end - begin, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (replaced == MAP_FAILED) break;
    if (slot.state.exchange(kLost, std::memory_order_acq_rel) == kWatched) {
      lostCount.fetch_add(1, std::memory_order_relaxed);
    }
    errno = savedErrno;
    return;
  }
  errno = savedErrno;
  ActAsBefore(signal, info, context);
}

void Install() {
  static std::once_flag once;
  std::call_once(once, [] {
    sigaction(SIGBUS, nullptr, &previous);
    struct sigaction action {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, nullptr);
  });
}

}  // namespace

int QORSharedMappingGuard::Watch(void* address, size_t length) {
  if (address == nullptr || length == 0) return -1;
  Install();
  for (int i = 0; i < kSlots; ++i) {
    Slot& slot = slots[i];
    uint32_t expected = kFree;
    if (!slot.state.compare_exchange_strong(expected, kClaimed, std::memory_order_acq_rel)) {
      continue;
    }
    slot.sequence.fetch_add(1, std::memory_order_acq_rel);
    slot.begin.store(reinterpret_cast<uintptr_t>(address), std::memory_order_release);
    slot.end.store(reinterpret_cast<uintptr_t>(address) + length, std::memory_order_release);
    slot.sequence.fetch_add(1, std::memory_order_acq_rel);
    int used = usedSlots.load(std::memory_order_acquire);
    while (used <= i && !usedSlots.compare_exchange_weak(used, i + 1, std::memory_order_acq_rel)) {
    }
    slot.state.store(kWatched, std::memory_order_release);
    return i;
  }
  return -1;
}

void QORSharedMappingGuard::Forget(int slot) {
  if (slot < 0 || slot >= kSlots) return;
  Slot& entry = slots[slot];
  entry.state.store(kClaimed, std::memory_order_release);
  entry.sequence.fetch_add(1, std::memory_order_acq_rel);
  entry.begin.store(0, std::memory_order_release);
  entry.end.store(0, std::memory_order_release);
  entry.sequence.fetch_add(1, std::memory_order_acq_rel);
  entry.state.store(kFree, std::memory_order_release);
}

bool QORSharedMappingGuard::IsLost(int slot) {
  return slot >= 0 && slot < kSlots && slots[slot].state.load(std::memory_order_acquire) == kLost;
}

unsigned QORSharedMappingGuard::LostCount() {
  return lostCount.load(std::memory_order_relaxed);
}
