#pragma once

#include <cstdint>
#include <memory>

#include "platform/IQOREvent.h"
#include "platform/QORRegistryKey.h"
#include "platform/QORRegistryWatch.h"
#include "thread/IQORThreadBasicWorker.h"

// Tells the engine that an APO's effects list may have changed: signals the engine's event
// whenever anything under HKLM "Software\QOR Labs\APO" changes (values, subkeys, their
// attributes and security, at any depth) or a control application signals the named event
// "Global\DSPKELControlChangeEvent" (a signal of that event reaches every watcher of this
// process, though the event lets only one of them take it). Prepare arms both before the thread
// starts, so every change made after it returns is heard.
class QORAPOEffectsWatcher : public IQORThreadBasicWorker {
 public:
  static constexpr wchar_t kWatchedKey[] = L"Software\\QOR Labs\\APO";
  static constexpr wchar_t kControlChangeEvent[] = L"Global\\DSPKELControlChangeEvent";
  static constexpr uint32_t kWatchFilter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES |
                                           REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_SECURITY;
  // While the key is missing it is looked for again this often.
  static constexpr uint32_t kKeyRetryMs = 1000;

  // engineEvent may be null: the watcher then only waits for its stop.
  explicit QORAPOEffectsWatcher(std::shared_ptr<IQOREvent> engineEvent);
  ~QORAPOEffectsWatcher() override;
  QORAPOEffectsWatcher(const QORAPOEffectsWatcher&) = delete;
  QORAPOEffectsWatcher& operator=(const QORAPOEffectsWatcher&) = delete;

  // Creates the named event, watches the key when it exists and joins the watchers a signal of
  // the named event is passed on to.
  void Prepare();
  bool DoWork(QORThreadBasic& thread, IQOREvent& stopEvent) override;

 private:
  void Leave();
  bool WatchKey();
  bool Watch(IQOREvent& stopEvent);

  std::shared_ptr<IQOREvent> engineEvent_;
  std::unique_ptr<IQOREvent> controlEvent_;
  QORRegistryKey key_;
  std::unique_ptr<QORRegistryWatch> watch_;
};
