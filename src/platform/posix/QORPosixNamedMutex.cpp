#include "platform/posix/QORPosixNamedMutex.h"

#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "common/QORTrace.h"
#include "platform/IQORWaitable.h"
#include "platform/posix/QORSharedMappingGuard.h"

#if defined(__SANITIZE_THREAD__)
#define QOR_TSAN_ANNOTATE 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QOR_TSAN_ANNOTATE 1
#endif
#endif
#ifndef QOR_TSAN_ANNOTATE
#define QOR_TSAN_ANNOTATE 0
#endif
#if QOR_TSAN_ANNOTATE
#include <sanitizer/tsan_interface.h>
#endif

namespace {
constexpr uint32_t kMutexMagic = 0x584D5251;  // "QRMX"
constexpr uint32_t kVersion = 1;

// Bumped in a forked child, whose one thread must not keep its parent's cached id.
std::atomic<uint32_t> forkGeneration{0};

// The calling thread's system-wide id. Cached per thread: gettid is a system call, and the meters
// take and give back a mutex on the real-time thread every period.
pid_t CurrentThreadId() {
  static const bool registered =
      pthread_atfork(nullptr, nullptr, [] { forkGeneration.fetch_add(1); }) == 0;
  (void)registered;
  thread_local uint32_t generation = UINT32_MAX;
  thread_local pid_t id = 0;
  const uint32_t now = forkGeneration.load(std::memory_order_relaxed);
  if (generation != now) {
    id = ::gettid();
    generation = now;
  }
  return id;
}
// pthread_mutex_clocklock on the monotonic clock. ThreadSanitizer does not intercept it, so under
// it the lock is announced by hand; unlock is intercepted as usual.
int ClockLock(pthread_mutex_t* mutex, const timespec& deadline) {
#if QOR_TSAN_ANNOTATE
  __tsan_mutex_pre_lock(mutex, __tsan_mutex_try_lock);
#endif
  const int result = pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
#if QOR_TSAN_ANNOTATE
  const bool locked = result == 0 || result == EOWNERDEAD;
  __tsan_mutex_post_lock(mutex, __tsan_mutex_try_lock | (locked ? 0 : __tsan_mutex_try_lock_failed),
                         0);
#endif
  return result;
}
}  // namespace

struct QORPosixNamedMutex::Block {
  uint32_t magic;
  uint32_t version;
  pthread_mutex_t mutex;
  // The owning thread (system-wide id) and its recursion depth, written by the owner only: they let
  // Release refuse a thread that does not own the mutex before the mutex itself is touched.
  std::atomic<int32_t> ownerThread;
  std::atomic<uint32_t> depth;
};

namespace {

constexpr size_t kMappedSize = QORNamedObject::kDataOffset + sizeof(QORPosixNamedMutex::Block);

bool InitializeBlock(QORPosixNamedMutex::Block* block) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  const bool ok = pthread_mutex_init(&block->mutex, &attributes) == 0;
  pthread_mutexattr_destroy(&attributes);
  block->ownerThread.store(0);
  block->depth.store(0);
  block->version = kVersion;
  block->magic = kMutexMagic;
  return ok;
}

}  // namespace

QORPosixNamedMutex::~QORPosixNamedMutex() {
  if (block_ == nullptr) return;
  // Unmapping an owned robust mutex would leave it locked for good (the owner-died recovery needs
  // the mapping), so this thread gives back what it took through this handle.
  if (depth_.load() > 0) {
    if (ownerThread_.load() == CurrentThreadId()) {
      QORTrace({"QORPosixNamedMutex", __LINE__, "QORPosixNamedMutex::~QORPosixNamedMutex"},
               "closing a mutex still owned %u times; releasing it\n", depth_.load());
      while (depth_.load() > 0 && Release()) {
      }
    } else {
      QORTrace({"QORPosixNamedMutex", __LINE__, "QORPosixNamedMutex::~QORPosixNamedMutex"},
               "closing a mutex owned by another thread\n");
    }
  }
  Unmap();
}

QORNamedObjectError QORPosixNamedMutex::Open(const std::wstring& name, QORNamedObject::Mode mode,
                                             bool initialOwner, bool* existed) {
  // A new mutex is set up, and taken when asked, before any other process can open it.
  auto initialize = [&](int fd, int, const std::string&) {
    if (!Map(fd) || !InitializeBlock(block_)) return false;
    if (initialOwner) Wait(kQORInfinite);
    return true;
  };
  const QORNamedObjectError error =
      object_.Open("mutex", name, mode, sizeof(Block), initialize, existed);
  if (error != QORNamedObjectError::kNone) {
    Unmap();
    return error;
  }
  if (block_ != nullptr) return QORNamedObjectError::kNone;
  struct stat fileStat {};
  if (::fstat(object_.Fd(), &fileStat) != 0 ||
      static_cast<size_t>(fileStat.st_size) < kMappedSize || !Map(object_.Fd()) ||
      block_->magic != kMutexMagic || block_->version != kVersion) {
    Unmap();
    object_.Close();
    return QORNamedObjectError::kFailed;
  }
  return QORNamedObjectError::kNone;
}

bool QORPosixNamedMutex::Map(int fd) {
  void* address = ::mmap(nullptr, kMappedSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (address == MAP_FAILED) return false;
  // Another process may cut the file short; the guard turns the fault into a lost mutex.
  slot_ = QORSharedMappingGuard::Watch(address, kMappedSize);
  if (slot_ < 0) {
    ::munmap(address, kMappedSize);
    return false;
  }
  block_ = reinterpret_cast<Block*>(static_cast<char*>(address) + QORNamedObject::kDataOffset);
  return true;
}

void QORPosixNamedMutex::Unmap() {
  if (block_ == nullptr) return;
  QORSharedMappingGuard::Forget(slot_);
  slot_ = -1;
  ::munmap(reinterpret_cast<char*>(block_) - QORNamedObject::kDataOffset, kMappedSize);
  block_ = nullptr;
}

bool QORPosixNamedMutex::Lost() {
  if (!QORSharedMappingGuard::IsLost(slot_)) return false;
  if (!lostTraced_.exchange(true)) {
    QORTrace({"QORPosixNamedMutex", __LINE__, "QORPosixNamedMutex::Lost"},
             "another process cut the mutex's file short; it guards nothing from now on\n");
  }
  return true;
}

QORMutexWaitResult QORPosixNamedMutex::Wait(uint32_t timeoutMs) {
  if (block_ == nullptr || Lost()) return QORMutexWaitResult::kFailed;
  int result;
  if (timeoutMs == 0) {
    result = pthread_mutex_trylock(&block_->mutex);
  } else if (timeoutMs == kQORInfinite) {
    result = pthread_mutex_lock(&block_->mutex);
  } else {
    // The monotonic clock: a step of the wall clock neither stretches nor cuts the wait.
    timespec deadline{};
    ::clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(timeoutMs / 1000);
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1'000'000L;
    if (deadline.tv_nsec >= 1'000'000'000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1'000'000'000L;
    }
    result = ClockLock(&block_->mutex, deadline);
  }
  // Cut short while it was taken: what it holds now is private zeros.
  if (Lost()) return QORMutexWaitResult::kFailed;
  QORMutexWaitResult outcome;
  switch (result) {
    case 0:
      outcome = QORMutexWaitResult::kAcquired;
      break;
    case EOWNERDEAD:
      pthread_mutex_consistent(&block_->mutex);
      outcome = QORMutexWaitResult::kAbandoned;
      break;
    case EBUSY:
    case ETIMEDOUT:
      return QORMutexWaitResult::kTimeout;
    default:
      return QORMutexWaitResult::kFailed;
  }
  const pid_t self = CurrentThreadId();
  if (outcome == QORMutexWaitResult::kAcquired && block_->ownerThread.load() == self) {
    block_->depth.fetch_add(1);
  } else {
    // First level, or taken over from a dead owner whose count means nothing now.
    block_->ownerThread.store(self);
    block_->depth.store(1);
  }
  ownerThread_.store(self);
  depth_.fetch_add(1);
  return outcome;
}

bool QORPosixNamedMutex::Release() {
  if (block_ == nullptr || block_->ownerThread.load() != CurrentThreadId()) {
    // Whatever was taken through this handle went with the file.
    if (block_ != nullptr && Lost() && depth_.load() > 0) depth_.fetch_sub(1);
    return false;
  }
  if (block_->depth.fetch_sub(1) == 1) block_->ownerThread.store(0);
  if (pthread_mutex_unlock(&block_->mutex) != 0) return false;
  // Only the owner gets here; other handles of this process count their own ownership.
  if (depth_.load() > 0) depth_.fetch_sub(1);
  return true;
}

std::unique_ptr<IQORNamedMutex> QORCreateNamedMutex(const std::wstring& name, bool initialOwner,
                                                    bool* alreadyExisted) {
  auto mutex = std::make_unique<QORPosixNamedMutex>();
  if (mutex->Open(name, QORNamedObject::Mode::kCreate, initialOwner, alreadyExisted) !=
      QORNamedObjectError::kNone) {
    return nullptr;
  }
  return mutex;
}

std::unique_ptr<IQORNamedMutex> QOROpenNamedMutex(const std::wstring& name,
                                                  QORNamedObjectError* error) {
  auto mutex = std::make_unique<QORPosixNamedMutex>();
  const QORNamedObjectError result = mutex->Open(name, QORNamedObject::Mode::kOpen, false, nullptr);
  if (error != nullptr) *error = result;
  if (result != QORNamedObjectError::kNone) return nullptr;
  return mutex;
}

bool QORNamedMutexInTheWay(const std::wstring& name, std::string* what, std::string* path) {
  return QORNamedObject::FindInTheWay("mutex", name, what, path);
}
