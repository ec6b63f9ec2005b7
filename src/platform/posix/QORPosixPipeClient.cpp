#include "platform/posix/QORPosixPipeClient.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "platform/IQORPipeServer.h"
#include "platform/posix/QORNamedObject.h"
#include "platform/posix/QORPosixPipeName.h"

QORPosixPipeClient::~QORPosixPipeClient() {
  Break();
}

void QORPosixPipeClient::Break() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool QORPosixPipeClient::Write(const void* message, uint32_t timeoutMs) {
  if (fd_ < 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  const auto* bytes = static_cast<const unsigned char*>(message);
  size_t sent = 0;
  while (sent < messageSize_) {
    const ssize_t n = ::send(fd_, bytes + sent, messageSize_ - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left > 0) {
        pollfd ready{fd_, POLLOUT, 0};
        if (::poll(&ready, 1, static_cast<int>(left)) >= 0 || errno == EINTR) continue;
      }
    }
    // Gone, failed or too slow. Part of a message may be out: the stream cannot carry on.
    Break();
    return false;
  }
  return true;
}

std::unique_ptr<IQORPipeClient> QORConnectPipe(const std::wstring& name, uint32_t instance,
                                               size_t messageSize) {
  const char* kind = QORPosixPipeName::Kind(instance);
  if (kind == nullptr || messageSize == 0) return nullptr;
  // Holding the instance's object while connecting keeps a dead reader's slot from being reused
  // under us, and proves the socket belongs to a live instance of this state root.
  QORNamedObject object;
  if (object.Open(kind, QORPosixPipeName::ObjectName(name), QORNamedObject::Mode::kOpen, 0, {},
                  nullptr) != QORNamedObjectError::kNone) {
    return nullptr;
  }
  const int file = object.OpenAux(O_PATH);
  struct stat fileStat {};
  std::string path;
  if (file < 0 || ::fstat(file, &fileStat) != 0 || !S_ISSOCK(fileStat.st_mode) ||
      !QORPosixPipeName::FdPath(file, "", &path)) {
    if (file >= 0) ::close(file);
    return nullptr;
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int connected = -1;
  if (fd >= 0) {
    do {
      connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    } while (connected != 0 && errno == EINTR);
  }
  ::close(file);
  if (connected != 0) {
    if (fd >= 0) ::close(fd);
    return nullptr;
  }
  return std::make_unique<QORPosixPipeClient>(fd, messageSize);
}
