#include "platform/QORRegistryWatch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>

#include "platform/QORRegistryTypes.h"
#include "platform/posix/QORRegistryName.h"

QORRegistryWatch::QORRegistryWatch(intptr_t nativeHandle, uint32_t filter)
    : handle_(nativeHandle), filter_(filter) {}

QORRegistryWatch::~QORRegistryWatch() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

bool QORRegistryWatch::ConsumeSignal() {
  constexpr uint32_t kEntryChanges = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
  constexpr uint32_t kKeyGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_Q_OVERFLOW;
  alignas(inotify_event) char buffer[8192];
  bool changed = false;
  while (true) {
    const ssize_t n = ::read(static_cast<int>(handle_), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t offset = 0; offset + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if ((event->mask & kKeyGone) != 0) {
        if ((event->mask & IN_Q_OVERFLOW) == 0) stale_ = true;
        changed = true;
        continue;
      }
      if ((event->mask & kEntryChanges) == 0 || event->len == 0) continue;
      // Temporary files and the spelling file are no changes of their own.
      const char kind = event->name[0];
      if ((kind == QORRegistryName::kValuePrefix && (filter_ & REG_NOTIFY_CHANGE_LAST_SET) != 0) ||
          (kind == QORRegistryName::kKeyPrefix && (filter_ & REG_NOTIFY_CHANGE_NAME) != 0)) {
        changed = true;
      }
    }
  }
  return changed;
}
