#pragma once

#include <unistd.h>

// Owns one file descriptor and closes it when it goes; -1 owns nothing.
class QORPosixFd {
 public:
  explicit QORPosixFd(int fd = -1) : fd_(fd) {}
  ~QORPosixFd() { reset(-1); }
  QORPosixFd(const QORPosixFd&) = delete;
  QORPosixFd& operator=(const QORPosixFd&) = delete;

  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};
