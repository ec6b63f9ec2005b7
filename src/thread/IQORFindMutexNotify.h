#pragma once

class QORFindMutex;

// Hears each change of a watched named mutex between present and absent. Called on the watcher's
// thread (or on the owner's thread from CheckNow).
class IQORFindMutexNotify {
 public:
  virtual ~IQORFindMutexNotify() = default;
  virtual void OnMutexFound(QORFindMutex& watcher, bool present) = 0;
};
