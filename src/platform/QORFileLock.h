#pragma once

#include <cstdint>
#include <filesystem>

// An advisory lock on an existing file, as cooperating processes take it: shared or exclusive,
// tried or waited for. It ends with Unlock, the object or the process, and never stands in the way
// of reading or writing the file.
class QORFileLock {
 public:
  enum class Kind { kShared, kExclusive };

  QORFileLock() = default;
  QORFileLock(const QORFileLock&) = delete;
  QORFileLock& operator=(const QORFileLock&) = delete;
  ~QORFileLock() { Unlock(); }

  // Opens path (a link in its last component is not followed) and locks it; with wait, until
  // the lock can be had. False when the file cannot be opened or, without wait, a lock another
  // holds is in the way.
  bool Lock(const std::filesystem::path& path, Kind kind, bool wait);
  void Unlock();

 private:
  intptr_t handle_ = -1;  // the open file, -1 for none
};
