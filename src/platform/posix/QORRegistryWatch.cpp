#include "platform/QORRegistryWatch.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/QORRegistryTypes.h"
#include "platform/QORWinError.h"
#include "platform/posix/QORPosixFd.h"
#include "platform/posix/QORRegistryName.h"
#include "platform/posix/QORStateTree.h"

// Each watched key is one inotify watch on its directory. inotify does not reach below a
// directory, so a subtree watch keeps one watch per key, adds one for every key directory that
// appears (keys are made under a temporary name and renamed into place, complete) and drops those
// of keys that are renamed away to be deleted.

namespace {

constexpr uint32_t kEntryChanges = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
constexpr uint32_t kSelfGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED;
constexpr uint32_t kAttributeFilters = REG_NOTIFY_CHANGE_ATTRIBUTES | REG_NOTIFY_CHANGE_SECURITY;

// The system's limit of watches is reached.
constexpr uint32_t kErrorNotEnoughQuota = 1816;

uint32_t WatchErrorFromErrno(int error) {
  switch (error) {
    case ENOSPC:
      return kErrorNotEnoughQuota;
    case ENOENT:
    case ENOTDIR:
    case ELOOP:
      return ERROR_KEY_DELETED;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
      return ERROR_OUTOFMEMORY;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    default:
      return ERROR_GEN_FAILURE;
  }
}

std::string Join(const std::string& path, const char* name) {
  return path.empty() ? std::string(name) : path + "/" + name;
}

}  // namespace

struct QORRegistryWatch::Tree {
  struct Node {
    std::string path;  // below the watched key, names joined by '/'; empty for the key itself
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
  };

  int notify = -1;
  int root = -1;  // the watched key's directory, our own descriptor
  bool subtree = false;
  uint32_t filter = 0;
  uint32_t mask = 0;
  std::unordered_map<int, Node> nodes;  // by watch descriptor

  ~Tree() {
    if (root >= 0) ::close(root);
  }

  // The key directory at path, walked one name at a time without following links.
  int Open(const std::string& path) const {
    int fd = ::openat(root, ".", QORStateTree::kDirectoryFlags);
    size_t start = 0;
    while (fd >= 0 && start < path.size()) {
      size_t end = path.find('/', start);
      if (end == std::string::npos) end = path.size();
      const std::string name = path.substr(start, end - start);
      const int next = ::openat(fd, name.c_str(), QORStateTree::kDirectoryFlags);
      ::close(fd);
      fd = next;
      start = end + 1;
    }
    return fd;
  }

  static void Remember(Node& node, const struct stat& st) {
    node.mode = st.st_mode & 07777;
    node.uid = st.st_uid;
    node.gid = st.st_gid;
  }

  // Watches the key at path and, for a subtree, every key below it. With report, what they hold
  // already counts as changes (they are new to us). Returns 0, or the errno of the first failure
  // to watch a key (a key that vanished meanwhile is no failure).
  int Add(const std::string& path, bool report, bool* changed) {
    int failure = 0;
    std::vector<std::string> pending{path};
    while (!pending.empty()) {
      const std::string current = std::move(pending.back());
      pending.pop_back();
      const QORPosixFd dir(Open(current));
      if (dir.get() < 0) {
        if (errno != ENOENT && failure == 0) failure = errno;
        continue;
      }
      const std::string self = "/proc/self/fd/" + std::to_string(dir.get());
      const int wd = ::inotify_add_watch(notify, self.c_str(), mask);
      struct stat st {};
      if (wd < 0 || ::fstat(dir.get(), &st) != 0) {
        if (failure == 0) failure = errno;
        continue;
      }
      Node& node = nodes[wd];
      node.path = current;
      Remember(node, st);
      if (!subtree) continue;
      const int copy = ::openat(dir.get(), ".", QORStateTree::kDirectoryFlags);
      DIR* listing = copy >= 0 ? ::fdopendir(copy) : nullptr;
      if (listing == nullptr) {
        if (copy >= 0) ::close(copy);
        continue;
      }
      while (const dirent* entry = ::readdir(listing)) {
        const char kind = entry->d_name[0];
        if (kind == QORRegistryName::kKeyPrefix) {
          pending.push_back(Join(current, entry->d_name));
          if (report && (filter & REG_NOTIFY_CHANGE_NAME) != 0) *changed = true;
        } else if (kind == QORRegistryName::kValuePrefix && report &&
                   (filter & REG_NOTIFY_CHANGE_LAST_SET) != 0) {
          *changed = true;
        }
      }
      ::closedir(listing);
    }
    return failure;
  }

  // Stops watching the key of wd and every key below it.
  void Drop(int wd) {
    const auto found = nodes.find(wd);
    if (found == nodes.end()) return;
    const std::string prefix = found->second.path + "/";
    for (auto it = nodes.begin(); it != nodes.end();) {
      if (it->first == wd || it->second.path.compare(0, prefix.size(), prefix) == 0) {
        ::inotify_rm_watch(notify, it->first);
        it = nodes.erase(it);
      } else {
        ++it;
      }
    }
  }

  // True when the key's owner, group or permission bits differ from those last seen.
  bool SecurityChanged(Node& node) const {
    const QORPosixFd dir(Open(node.path));
    struct stat st {};
    if (dir.get() < 0 || ::fstat(dir.get(), &st) != 0) return false;
    const bool changed =
        (st.st_mode & 07777) != node.mode || st.st_uid != node.uid || st.st_gid != node.gid;
    Remember(node, st);
    return changed;
  }
};

uint32_t QORRegistryWatch::Create(intptr_t keyHandle, uint32_t filter, bool subtree,
                                  std::unique_ptr<QORRegistryWatch>* out) {
  auto tree = std::make_unique<Tree>();
  tree->subtree = subtree;
  tree->filter = filter;
  tree->mask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF |
               IN_ONLYDIR;
  if ((filter & kAttributeFilters) != 0) tree->mask |= IN_ATTRIB;
  tree->root = ::fcntl(static_cast<int>(keyHandle), F_DUPFD_CLOEXEC, 0);
  if (tree->root < 0) return WatchErrorFromErrno(errno);
  tree->notify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (tree->notify < 0) return WatchErrorFromErrno(errno);
  const int notify = tree->notify;
  const int failure = tree->Add("", false, nullptr);
  if (failure != 0) {
    ::close(notify);
    return WatchErrorFromErrno(failure);
  }
  if (!subtree && (filter & kAttributeFilters) == 0) {
    // Nothing will be looked up below the key again: do not hold a descriptor for it.
    ::close(tree->root);
    tree->root = -1;
  }
  out->reset(new QORRegistryWatch(notify, filter, std::move(tree)));
  return ERROR_SUCCESS;
}

QORRegistryWatch::QORRegistryWatch(intptr_t nativeHandle, uint32_t filter,
                                   std::unique_ptr<Tree> tree)
    : handle_(nativeHandle), filter_(filter), tree_(std::move(tree)) {}

QORRegistryWatch::~QORRegistryWatch() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

bool QORRegistryWatch::ConsumeSignal() {
  alignas(inotify_event) char buffer[8192];
  bool changed = false;
  while (true) {
    const ssize_t n = ::read(static_cast<int>(handle_), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t offset = 0; offset + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if ((event->mask & IN_Q_OVERFLOW) != 0) {
        // Events were lost: say so, and pick up keys that appeared meanwhile.
        changed = true;
        if (tree_->subtree) tree_->Add("", false, &changed);
        continue;
      }
      const auto node = tree_->nodes.find(event->wd);
      if (node == tree_->nodes.end()) continue;  // a key no longer watched
      const bool isRoot = node->second.path.empty();
      if ((event->mask & kSelfGone) != 0) {
        if (isRoot) {
          stale_ = true;
          changed = true;
        } else {
          tree_->Drop(event->wd);  // its parent reports the deletion
        }
        continue;
      }
      if ((event->mask & IN_ATTRIB) != 0) {
        // Only the key's own directory: a value file's inode changes with every write.
        if (event->len != 0) continue;
        const bool security = tree_->SecurityChanged(node->second);
        if ((filter_ & REG_NOTIFY_CHANGE_ATTRIBUTES) != 0 ||
            (security && (filter_ & REG_NOTIFY_CHANGE_SECURITY) != 0)) {
          changed = true;
        }
        continue;
      }
      if ((event->mask & kEntryChanges) == 0 || event->len == 0) continue;
      // Temporary files and the spelling file are no changes of their own.
      const char kind = event->name[0];
      if (kind == QORRegistryName::kValuePrefix) {
        if ((filter_ & REG_NOTIFY_CHANGE_LAST_SET) != 0) changed = true;
      } else if (kind == QORRegistryName::kKeyPrefix) {
        if ((filter_ & REG_NOTIFY_CHANGE_NAME) != 0) changed = true;
        if (tree_->subtree && (event->mask & (IN_CREATE | IN_MOVED_TO)) != 0 &&
            (event->mask & IN_ISDIR) != 0 &&
            tree_->Add(Join(node->second.path, event->name), true, &changed) != 0) {
          // Past the system's limit the new key goes unwatched: at least its arrival is heard.
          changed = true;
        }
      }
    }
  }
  return changed;
}
