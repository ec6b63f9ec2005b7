#include "platform/posix/QORPosixPipeServer.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/QORTrace.h"
#include "platform/posix/QORPosixPipeName.h"

namespace {

constexpr int kBacklog = 4;

bool Watch(int epollFd, int fd) {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = fd;
  return ::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) == 0;
}

}  // namespace

QORPosixPipeServer::QORPosixPipeServer(std::unique_ptr<QORNamedObject> object, int listenFd,
                                       int epollFd, uint32_t index, size_t messageSize)
    : object_(std::move(object)),
      listenFd_(listenFd),
      epollFd_(epollFd),
      index_(index),
      messageSize_(messageSize),
      partial_(messageSize) {}

QORPosixPipeServer::~QORPosixPipeServer() {
  Disconnect();
  ::close(listenFd_);
  ::close(epollFd_);
  // Dropping the hold frees the slot and removes the socket with the object.
  object_->Close();
}

int QORPosixPipeServer::Listen(int dirFd, const std::string& name) {
  std::string path;
  if (!QORPosixPipeName::FdPath(dirFd, name, &path)) return -1;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    ::close(fd);
    return -1;
  }
  // bind made the socket file itself, so it is no link; give it the namespace's mode and group
  // through a descriptor of the file, never through its name.
  struct stat dirStat {};
  const int file = ::openat(dirFd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  std::string filePath;
  struct stat fileStat {};
  const bool ready = file >= 0 && ::fstat(file, &fileStat) == 0 && S_ISSOCK(fileStat.st_mode) &&
                     ::fstat(dirFd, &dirStat) == 0 &&
                     QORPosixPipeName::FdPath(file, "", &filePath) &&
                     ::chmod(filePath.c_str(), 0660) == 0 && ::listen(fd, kBacklog) == 0;
  if (ready && ::chown(filePath.c_str(), static_cast<uid_t>(-1), dirStat.st_gid) != 0) {
    // Not a member of the namespace's group: the socket keeps ours, still 0660.
  }
  if (file >= 0) ::close(file);
  if (!ready) {
    ::close(fd);
    return -1;
  }
  return fd;
}

QORPipeResult QORPosixPipeServer::Connect() {
  if (connectedFd_ >= 0) return QORPipeResult::kDone;
  int fd;
  do {
    fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return QORPipeResult::kPending;
  if (!Watch(epollFd_, fd)) {
    ::close(fd);
    return QORPipeResult::kPending;
  }
  connectedFd_ = fd;
  filled_ = 0;
  return QORPipeResult::kDone;
}

void QORPosixPipeServer::RefuseWaiting() {
  for (;;) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      return;
    }
    ::close(fd);
  }
}

QORPipeResult QORPosixPipeServer::Read(void* message, size_t* size) {
  *size = 0;
  if (connectedFd_ < 0) return QORPipeResult::kClosed;
  RefuseWaiting();
  while (filled_ < messageSize_) {
    const ssize_t got =
        ::recv(connectedFd_, partial_.data() + filled_, messageSize_ - filled_, MSG_DONTWAIT);
    if (got > 0) {
      filled_ += static_cast<size_t>(got);
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return QORPipeResult::kPending;
    // End of stream or a broken connection: hand over what an unfinished message had.
    *size = filled_;
    std::memcpy(message, partial_.data(), filled_);
    Disconnect();
    return QORPipeResult::kClosed;
  }
  std::memcpy(message, partial_.data(), messageSize_);
  *size = messageSize_;
  filled_ = 0;
  return QORPipeResult::kDone;
}

void QORPosixPipeServer::Disconnect() {
  if (connectedFd_ < 0) return;
  // Closing the descriptor also takes it out of the epoll set.
  ::close(connectedFd_);
  connectedFd_ = -1;
  filled_ = 0;
}

std::unique_ptr<IQORPipeServer> QORCreatePipeServer(const std::wstring& name, size_t messageSize,
                                                    QORNamedObjectError* error) {
  QORNamedObjectError failure = QORNamedObjectError::kBusy;
  if (messageSize == 0) failure = QORNamedObjectError::kFailed;
  const std::wstring objectName = QORPosixPipeName::ObjectName(name);
  for (uint32_t index = 0; index < kQORPipeMaxInstances && messageSize != 0; ++index) {
    auto object = std::make_unique<QORNamedObject>();
    int listenFd = -1;
    auto initialize = [&listenFd](int, int dirFd, const std::string& auxName) {
      listenFd = QORPosixPipeServer::Listen(dirFd, auxName);
      return listenFd >= 0;
    };
    bool existed = false;
    const QORNamedObjectError opened =
        object->Open(QORPosixPipeName::Kind(index), objectName, QORNamedObject::Mode::kCreate, 0,
                     initialize, &existed);
    if (opened != QORNamedObjectError::kNone) {
      if (listenFd >= 0) ::close(listenFd);
      // A slot busy being created or removed is someone else's; any other failure ends the search.
      if (opened == QORNamedObjectError::kBusy) continue;
      failure = opened;
      break;
    }
    if (existed) {
      // Another reader holds this instance.
      object->Close();
      continue;
    }
    const int epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    if (epollFd < 0 || !Watch(epollFd, listenFd)) {
      if (epollFd >= 0) ::close(epollFd);
      ::close(listenFd);
      failure = QORNamedObjectError::kFailed;
      break;
    }
    if (error != nullptr) *error = QORNamedObjectError::kNone;
    return std::make_unique<QORPosixPipeServer>(std::move(object), listenFd, epollFd, index,
                                                messageSize);
  }
  if (error != nullptr) *error = failure;
  QORTrace({"QORPosixPipeServer", __LINE__, "QORCreatePipeServer"},
           "no pipe instance created (error %d)\n", static_cast<int>(failure));
  return nullptr;
}
