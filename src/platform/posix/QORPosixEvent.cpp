#include "platform/posix/QORPosixEvent.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <unordered_set>

#include "common/QORTrace.h"
#include "platform/QOREventHandle.h"
#include "platform/QORWinError.h"
#include "platform/posix/QORPosixNamedEvent.h"

namespace {

// Recursive: duplicating under the lock constructs an event, which tracks itself.
std::recursive_mutex& TableLock() {
  static std::recursive_mutex* lock = new std::recursive_mutex;  // lives as long as the process
  return *lock;
}

std::unordered_set<const void*>& Table() {
  static auto* table = new std::unordered_set<const void*>;
  return *table;
}

}  // namespace

void QORPosixEvent::Track(const IQOREvent* event, bool live) {
  std::lock_guard<std::recursive_mutex> lock(TableLock());
  if (live) {
    Table().insert(event);
  } else {
    Table().erase(event);
  }
}

std::unique_ptr<IQOREvent> QORPosixEvent::Duplicate() const {
  const int fd = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  return std::make_unique<QORPosixEvent>(fd, manualReset_);
}

uint32_t QORDuplicateEvent(HANDLE handle, std::unique_ptr<IQOREvent>* out) {
  if (out == nullptr) return ERROR_INVALID_PARAMETER;
  out->reset();
  std::lock_guard<std::recursive_mutex> lock(TableLock());
  if (handle == nullptr || Table().count(handle) == 0) return ERROR_INVALID_HANDLE;
  auto* event = static_cast<IQOREvent*>(handle);
  errno = 0;
  if (const auto* plain = dynamic_cast<const QORPosixEvent*>(event)) {
    *out = plain->Duplicate();
  } else if (const auto* named = dynamic_cast<const QORPosixNamedEvent*>(event)) {
    *out = named->Duplicate();
  }
  if (*out != nullptr) return ERROR_SUCCESS;
  return errno == EMFILE || errno == ENFILE ? ERROR_TOO_MANY_OPEN_FILES : ERROR_GEN_FAILURE;
}

QORPosixEvent::QORPosixEvent(int fd, bool manualReset) : fd_(fd), manualReset_(manualReset) {
  Track(this, true);
}

QORPosixEvent::~QORPosixEvent() {
  Track(this, false);
  ::close(fd_);
}

void QORPosixEvent::Set() {
  generation_.fetch_add(1, std::memory_order_release);
  const uint64_t one = 1;
  ssize_t written;
  do {
    written = ::write(fd_, &one, sizeof(one));
  } while (written < 0 && errno == EINTR);
  // EAGAIN means the counter is at its limit: the event is signalled anyway.
}

void QORPosixEvent::Reset() {
  uint64_t count = 0;
  ssize_t got;
  do {
    got = ::read(fd_, &count, sizeof(count));
  } while (got < 0 && errno == EINTR);
}

QORWaitHandle QORPosixEvent::GetWaitHandle() const {
  return fd_;
}

bool QORPosixEvent::ConsumeSignal() {
  generation_.load(std::memory_order_acquire);
  if (manualReset_) return true;
  uint64_t count = 0;
  ssize_t got;
  do {
    got = ::read(fd_, &count, sizeof(count));
  } while (got < 0 && errno == EINTR);
  return got == static_cast<ssize_t>(sizeof(count));
}

std::unique_ptr<IQOREvent> QORCreateEvent(bool manualReset, bool initiallySet) {
  const int fd = ::eventfd(initiallySet ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) {
    QORTrace({"QORPosixEvent", __LINE__, "QORCreateEvent"}, "eventfd failed, errno %d\n", errno);
    return nullptr;
  }
  return std::make_unique<QORPosixEvent>(fd, manualReset);
}
