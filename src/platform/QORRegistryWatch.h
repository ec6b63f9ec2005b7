#pragma once

#include <cstdint>

#include "platform/IQORWaitable.h"

// Change notification on one registry key, waitable together with events. It stays armed from
// creation to destruction; every change made by any process after creation signals it, and a
// successful wait consumes all changes seen so far. Deleting the watched key signals it too.
class QORRegistryWatch : public IQORWaitable {
 public:
  // Takes ownership of the native notification handle; filter is a REG_NOTIFY_CHANGE_* mask.
  QORRegistryWatch(intptr_t nativeHandle, uint32_t filter);
  ~QORRegistryWatch() override;
  QORRegistryWatch(const QORRegistryWatch&) = delete;
  QORRegistryWatch& operator=(const QORRegistryWatch&) = delete;

  QORWaitHandle GetWaitHandle() const override { return handle_; }
  // Drains the pending notifications; true when one of them is a change the filter asks for.
  bool ConsumeSignal() override;
  // True once a consumed signal said the key was deleted or moved: the watch hears nothing more.
  bool IsStale() const { return stale_; }

 private:
  intptr_t handle_;
  uint32_t filter_;
  bool stale_ = false;
};
