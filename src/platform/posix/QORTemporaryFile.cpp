#include "platform/QORTemporaryFile.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/posix/QORPosixFd.h"

bool QORTemporaryFile::Create(const std::filesystem::path& prefix) {
  Discard();
  std::string pattern = prefix.string() + std::to_string(::getpid()) + "-XXXXXX";
  const int descriptor = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (descriptor < 0) return false;
  // Locked while open: a writer in another process namespace shows a process id that means
  // nothing here, but its lock is seen.
  ::flock(descriptor, LOCK_EX);
  // mkstemp's 0600 would make the result private; give it the mode a plain create would.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(descriptor, 0666 & ~mask);
  descriptor_ = descriptor;
  path_ = pattern;
  return true;
}

bool QORTemporaryFile::Commit(const std::filesystem::path& target) {
  if (descriptor_ < 0) return false;
  // Renamed while still open and locked, so no other run takes it for abandoned meanwhile.
  const bool moved = std::rename(path_.c_str(), target.c_str()) == 0;
  if (!moved) ::unlink(path_.c_str());
  ::close(descriptor_);
  descriptor_ = -1;
  path_.clear();
  return moved;
}

void QORTemporaryFile::Discard() {
  if (descriptor_ < 0) return;
  ::unlink(path_.c_str());
  ::close(descriptor_);
  descriptor_ = -1;
  path_.clear();
}

void QORTemporaryFile::RemoveAbandoned(const std::filesystem::path& prefix) {
  std::filesystem::path folder = prefix.parent_path();
  if (folder.empty()) folder = ".";
  const std::string start = prefix.filename().string();
  std::error_code failed;
  for (auto entry = std::filesystem::directory_iterator(folder, failed);
       !failed && entry != std::filesystem::directory_iterator(); entry.increment(failed)) {
    const std::string name = entry->path().filename().string();
    if (name.size() <= start.size() || name.compare(0, start.size(), start) != 0) continue;
    const std::string rest = name.substr(start.size());
    const size_t dash = rest.find('-');
    if (dash == 0 || dash > 9 || rest.size() != dash + 7 ||
        !std::all_of(rest.begin(), rest.begin() + static_cast<long>(dash),
                     [](unsigned char c) { return std::isdigit(c) != 0; })) {
      continue;
    }
    const pid_t writer = static_cast<pid_t>(std::stol(rest.substr(0, dash)));
    if (::kill(writer, 0) == 0 || errno != ESRCH) continue;
    const std::string path = entry->path().string();
    const QORPosixFd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) continue;
    struct stat status {};
    if (::fstat(file.get(), &status) == 0 && S_ISREG(status.st_mode) &&
        ::flock(file.get(), LOCK_EX | LOCK_NB) == 0) {
      ::unlink(path.c_str());
    }
  }
}
