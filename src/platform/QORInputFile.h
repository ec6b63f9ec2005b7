#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

// A file, FIFO, pipe or standard input read through a C runtime descriptor, the form libsndfile
// takes. An interrupt, from a signal handler or another thread, ends an open or a read blocked on
// the input, and a read after it ends as at the end of the input (on Windows one made while the
// input stays open for a few seconds more; a reader checks Interrupted before it reads again).
// One input is read at a time: the interrupt reaches the one open last.
class QORInputFile {
 public:
  QORInputFile() = default;
  QORInputFile(const QORInputFile&) = delete;
  QORInputFile& operator=(const QORInputFile&) = delete;
  ~QORInputFile() { Close(); }

  // Opening a FIFO waits for its writer. False with the system's reason, or "interrupted".
  bool Open(const std::filesystem::path& path, std::string* reason);
  bool OpenStandardInput(std::string* reason);
  void Close();

  // Owned by this object: a reader such as libsndfile must not close it.
  int Descriptor() const { return descriptor_; }
  // A plain file, not a FIFO, pipe, socket or device.
  bool IsRegular() const { return regular_; }
  // Whether path names this very file (links followed), however it was named or opened.
  bool IsFile(const std::filesystem::path& path) const;
  // Up to size bytes from offset, without moving the descriptor's position; the count read, or -1.
  int64_t ReadAt(void* buffer, size_t size, int64_t offset) const;

  // Async-signal-safe on Linux.
  static void Interrupt();
  static bool Interrupted();

 private:
  bool Opened(int descriptor, std::string* reason);

  int descriptor_ = -1;
  bool regular_ = false;
};
