#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <string_view>

// Reaches and creates entries beneath the state root without following links. Directories are
// opened one component at a time from the root's descriptor with O_NOFOLLOW | O_DIRECTORY, so a
// link planted anywhere inside the root makes the call fail (ELOOP or ENOTDIR) instead of leading
// elsewhere; the root's own path is the administrator's and is taken as it is.
//
// New directories are 0770 and new files 0660 whatever the umask, and take the owning group of the
// directory they are made in, so the group of the root reaches every entry of the tree (a process
// running as root also hands them that directory's owner). The modes are set on the descriptor
// after creation; the umask can only narrow the mode asked of mkdir, so no entry is ever wider
// than its final mode.
//
// All functions return -1 with errno set on failure and never leave a descriptor behind.
class QORStateTree {
 public:
  static constexpr mode_t kDirectoryMode = 0770;
  static constexpr mode_t kFileMode = 0660;
  // A directory opened to work beneath it, never through a link.
  static constexpr int kDirectoryFlags = O_DIRECTORY | O_NOFOLLOW | O_RDONLY | O_CLOEXEC;

  // The state root, created (0770) when missing; missing parents are made 0755 less the umask.
  static int OpenRoot();
  // The directory at `path` ("registry/HKLM": names joined by '/') beneath the state root,
  // created when missing and create is set. Empty, "." and ".." components are refused (EINVAL).
  static int OpenDirectory(std::string_view path, bool create);
  // The existing entry at the relative `path` beneath dirFd (names joined by '/'), reached in one
  // system call that follows no link and never leaves dirFd's tree; flags are open's. Where the
  // system has no such call (an older kernel, a filter that refuses it) or the path is missing or
  // moved meanwhile, -1 with errno: callers then walk the path a component at a time, which also
  // tells them which component is missing.
  static int OpenBeneath(int dirFd, const std::string& path, int flags);
  // The directory `name` beneath dirFd, created when missing and create is set.
  static int OpenDirectoryAt(int dirFd, const char* name, bool create);
  // Makes the directory `name` beneath dirFd with the house mode and group; 0 on success, -1 with
  // EEXIST when something is there already.
  static int MakeDirectoryAt(int dirFd, const char* name);
  // Creates the new file `name` beneath dirFd (O_EXCL: never an existing one) with the house mode
  // and group; flags add the access mode and other open flags.
  static int CreateFileAt(int dirFd, const char* name, int flags);
  // Opens the existing regular file `name` beneath dirFd. The open cannot block (a FIFO is
  // opened non-blocking) and follows no link; anything but a regular file fails with ENXIO.
  static int OpenFileAt(int dirFd, const char* name, int flags);
  // Gives fd the owner (when we are root) and group of the directory dirFd, then `mode`.
  static void Adopt(int dirFd, int fd, mode_t mode);
};
