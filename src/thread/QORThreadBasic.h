#pragma once

#include <cstdint>
#include <memory>
#include <thread>

#include "thread/IQORThreadBasicWorker.h"

// Runs a worker's loop on a thread of its own and stops it through a manual-reset stop event.
// A thread that ignores the stop event past the time-out is detached, never killed: what it still
// uses (the stop event, its exit code) lives in state it shares with this object, so it may
// outlive it. Start and Stop are called by the owner's thread only.
class QORThreadBasic {
 public:
  static constexpr uint32_t kDefaultStopTimeoutMs = 5000;
  static constexpr uint32_t kExitCodeTrue = 1;
  static constexpr uint32_t kExitCodeFalse = 0xFFFFFFFF;
  static constexpr uint32_t kExitCodeAbandoned = 0xFFFFFFFF;
  static constexpr uint32_t kExitCodeStillActive = 259;

  QORThreadBasic();
  virtual ~QORThreadBasic();
  QORThreadBasic(const QORThreadBasic&) = delete;
  QORThreadBasic& operator=(const QORThreadBasic&) = delete;

  // Starts a thread running worker->DoWork; a null worker reuses the stored one. False when no
  // worker is known, a thread is still running, or the thread could not be created.
  virtual bool Start(IQORThreadBasicWorker* worker);
  // As Start, and the thread holds worker until it ends, so a worker whose thread is abandoned
  // stays alive for as long as that thread runs.
  bool StartShared(std::shared_ptr<IQORThreadBasicWorker> worker);
  // Signals the stop event and waits up to timeoutMs (0 means kDefaultStopTimeoutMs) for the
  // thread; past that the thread is abandoned. Does nothing when no thread was started.
  virtual void Stop(uint32_t timeoutMs);

  // True between a successful Start and the end of DoWork.
  bool IsRunning() const;
  // kExitCodeStillActive while running, else the exit code of the last thread (0 before any).
  uint32_t GetExitCode() const;

 private:
  struct Shared;

  std::shared_ptr<Shared> shared_;
  std::thread thread_;
  IQORThreadBasicWorker* worker_ = nullptr;
  std::shared_ptr<IQORThreadBasicWorker> ownedWorker_;
  uint32_t lastExitCode_ = 0;
};
