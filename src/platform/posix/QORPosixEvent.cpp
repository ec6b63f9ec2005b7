#include "platform/posix/QORPosixEvent.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "common/QORTrace.h"

QORPosixEvent::QORPosixEvent(int fd, bool manualReset) : fd_(fd), manualReset_(manualReset) {}

QORPosixEvent::~QORPosixEvent() {
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
