#include "platform/posix/QORPosixNamedEvent.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/posix/QORPosixEvent.h"
#include "platform/posix/QORStateTree.h"

namespace {

constexpr uint32_t kEventMagic = 0x56455251;  // "QREV"

struct Header {
  uint32_t magic;
  uint32_t manualReset;
};

int OpenFifo(int dirFd, const std::string& auxName) {
  return ::openat(dirFd, auxName.c_str(), O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
}

}  // namespace

QORPosixNamedEvent::QORPosixNamedEvent() {
  QORPosixEvent::Track(this, true);
}

QORPosixNamedEvent::~QORPosixNamedEvent() {
  QORPosixEvent::Track(this, false);
  if (fifo_ >= 0) ::close(fifo_);
}

std::unique_ptr<IQOREvent> QORPosixNamedEvent::Duplicate() const {
  if (fifo_ < 0) return nullptr;
  return QOROpenNamedEvent(name_);
}

QORNamedObjectError QORPosixNamedEvent::Open(const std::wstring& name, QORNamedObject::Mode mode,
                                             bool manualReset, bool initiallySet, bool* existed) {
  auto initialize = [&](int fd, int dirFd, const std::string& auxName) {
    const Header header{kEventMagic, manualReset ? 1u : 0u};
    if (::pwrite(fd, &header, sizeof(header), QORNamedObject::kDataOffset) !=
        static_cast<ssize_t>(sizeof(header))) {
      return false;
    }
    if (::mkfifoat(dirFd, auxName.c_str(), 0660) != 0) return false;
    fifo_ = OpenFifo(dirFd, auxName);
    if (fifo_ < 0) return false;
    QORStateTree::Adopt(dirFd, fifo_, QORStateTree::kFileMode);
    manualReset_ = manualReset;
    if (initiallySet) Set();
    return true;
  };
  const QORNamedObjectError error =
      object_.Open("event", name, mode, sizeof(Header), initialize, existed);
  if (error != QORNamedObjectError::kNone) {
    if (fifo_ >= 0) ::close(fifo_);
    fifo_ = -1;
    return error;
  }
  if (fifo_ >= 0) {
    name_ = name;
    return QORNamedObjectError::kNone;
  }
  Header header{};
  struct stat fifoStat {};
  if (::pread(object_.Fd(), &header, sizeof(header), QORNamedObject::kDataOffset) !=
          static_cast<ssize_t>(sizeof(header)) ||
      header.magic != kEventMagic) {
    object_.Close();
    return QORNamedObjectError::kFailed;
  }
  fifo_ = object_.OpenAux(O_RDWR | O_NONBLOCK);
  if (fifo_ < 0 || ::fstat(fifo_, &fifoStat) != 0 || !S_ISFIFO(fifoStat.st_mode)) {
    const bool denied = fifo_ < 0 && errno == EACCES;
    if (fifo_ >= 0) ::close(fifo_);
    fifo_ = -1;
    object_.Close();
    return denied ? QORNamedObjectError::kAccessDenied : QORNamedObjectError::kFailed;
  }
  manualReset_ = header.manualReset != 0;
  name_ = name;
  return QORNamedObjectError::kNone;
}

void QORPosixNamedEvent::Set() {
  int pending = 0;
  if (::ioctl(fifo_, FIONREAD, &pending) == 0 && pending > 0) return;
  const char signal = 1;
  ssize_t written;
  do {
    written = ::write(fifo_, &signal, 1);
  } while (written < 0 && errno == EINTR);
}

void QORPosixNamedEvent::Reset() {
  char drain[64];
  ssize_t got;
  do {
    got = ::read(fifo_, drain, sizeof(drain));
  } while (got > 0 || (got < 0 && errno == EINTR));
}

QORWaitHandle QORPosixNamedEvent::GetWaitHandle() const {
  return fifo_;
}

bool QORPosixNamedEvent::ConsumeSignal() {
  if (manualReset_) return true;
  // Concurrent Sets leave at most a few bytes; one read takes them all.
  char drain[64];
  ssize_t got;
  do {
    got = ::read(fifo_, drain, sizeof(drain));
  } while (got < 0 && errno == EINTR);
  return got > 0;
}

std::unique_ptr<IQOREvent> QORCreateNamedEvent(const std::wstring& name, bool manualReset,
                                               bool initiallySet, bool* alreadyExisted) {
  auto event = std::make_unique<QORPosixNamedEvent>();
  if (event->Open(name, QORNamedObject::Mode::kCreate, manualReset, initiallySet, alreadyExisted) !=
      QORNamedObjectError::kNone) {
    return nullptr;
  }
  return event;
}

std::unique_ptr<IQOREvent> QOROpenNamedEvent(const std::wstring& name) {
  auto event = std::make_unique<QORPosixNamedEvent>();
  if (event->Open(name, QORNamedObject::Mode::kOpen, false, false, nullptr) !=
      QORNamedObjectError::kNone) {
    return nullptr;
  }
  return event;
}
