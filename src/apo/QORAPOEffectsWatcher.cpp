#include "apo/QORAPOEffectsWatcher.h"

#include <mutex>
#include <set>
#include <utility>

#include "common/QORTrace.h"
#include "platform/QORWait.h"
#include "platform/QORWinError.h"

namespace {

// The watchers running in this process. The named event resets itself when one waiter takes its
// signal, so the watcher that takes it passes it on to the others here; otherwise only one of
// the objects an engine holds would hear a control panel.
std::mutex& RunningLock() {
  static auto* lock = new std::mutex;  // lives as long as the process
  return *lock;
}

std::set<QORAPOEffectsWatcher*>& Running() {
  static auto* running = new std::set<QORAPOEffectsWatcher*>;
  return *running;
}

}  // namespace

QORAPOEffectsWatcher::QORAPOEffectsWatcher(std::shared_ptr<IQOREvent> engineEvent)
    : engineEvent_(std::move(engineEvent)) {}

QORAPOEffectsWatcher::~QORAPOEffectsWatcher() {
  Leave();
}

void QORAPOEffectsWatcher::Leave() {
  std::lock_guard<std::mutex> hold(RunningLock());
  Running().erase(this);
}

void QORAPOEffectsWatcher::Prepare() {
  // Every process that takes part in audio must be able to signal this event. Named objects here
  // belong to the state root (0660, the root's group, inside its 0770 folder): any process running
  // with that group, such as the audio services and the control applications of this
  // installation, may open and signal it; no process outside the group can.
  controlEvent_ = QORCreateNamedEvent(kControlChangeEvent, false, false);
  if (controlEvent_ == nullptr) {
    QORTrace({"QORAPOEffectsWatcher", __LINE__, "QORAPOEffectsWatcher::Prepare"},
             "Cannot create the control-change event.\n");
  }
  WatchKey();
  // Joined before the thread runs: a signal taken by another watcher in the meantime still
  // reaches this object's engine.
  std::lock_guard<std::mutex> hold(RunningLock());
  Running().insert(this);
}

bool QORAPOEffectsWatcher::WatchKey() {
  watch_.reset();
  key_.Close();
  if (QORRegistryKey::Open(QORRegistryHive::kLocalMachine, kWatchedKey, KEY_NOTIFY, key_) !=
      ERROR_SUCCESS) {
    return false;
  }
  if (key_.Watch(kWatchFilter, &watch_, true) != ERROR_SUCCESS) {
    watch_.reset();
    key_.Close();
    return false;
  }
  return true;
}

bool QORAPOEffectsWatcher::DoWork(QORThreadBasic& /*thread*/, IQOREvent& stopEvent) {
  const bool result = Watch(stopEvent);
  // A stopped watcher's event has been replaced; it must not be signalled any more.
  Leave();
  return result;
}

bool QORAPOEffectsWatcher::Watch(IQOREvent& stopEvent) {
  while (true) {
    IQORWaitable* objects[3] = {&stopEvent};
    size_t count = 1;
    const size_t watchIndex = watch_ != nullptr ? count++ : 0;
    if (watchIndex != 0) objects[watchIndex] = watch_.get();
    const size_t eventIndex = controlEvent_ != nullptr ? count++ : 0;
    if (eventIndex != 0) objects[eventIndex] = controlEvent_.get();
    // A missing key is looked for again now and then; without one the named event still counts.
    const uint32_t result =
        QORWaitForMultiple({objects, count}, watch_ != nullptr ? kQORInfinite : kKeyRetryMs);
    if (result == kQORWaitObject0) return true;
    if (result == kQORWaitTimeout) {
      WatchKey();
      continue;
    }
    if (result == kQORWaitFailed) return false;
    // A deleted key is a change too; the watch then hears nothing more and is made again.
    if (watchIndex != 0 && result == kQORWaitObject0 + watchIndex && watch_->IsStale()) {
      watch_.reset();
      key_.Close();
    }
    if (eventIndex != 0 && result == kQORWaitObject0 + eventIndex) {
      std::lock_guard<std::mutex> hold(RunningLock());
      for (QORAPOEffectsWatcher* watcher : Running()) {
        if (watcher->engineEvent_ != nullptr) watcher->engineEvent_->Set();
      }
    } else if (engineEvent_ != nullptr) {
      engineEvent_->Set();
    }
  }
}
