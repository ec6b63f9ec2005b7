#pragma once

#include <cstdint>
#include <memory>

#include "platform/IQORWaitable.h"

// Change notification on one registry key, or on a key and its whole subtree, waitable together
// with events. It stays armed from creation to destruction; every change made by any process after
// creation signals it, and a successful wait consumes all changes seen so far. Deleting the
// watched key signals it too. A subtree watch follows subkeys created after it started, and
// reports what such a subkey already holds when it is first seen, so nothing written into a new
// subkey before the watch reached it goes unheard.
class QORRegistryWatch : public IQORWaitable {
 public:
  // Watches the key open under keyHandle (not taken over) for the REG_NOTIFY_CHANGE_* changes in
  // filter. Returns a Win32-style code; ERROR_NOT_ENOUGH_QUOTA (1816) when the system's limit of
  // watched keys does not reach the whole subtree.
  static uint32_t Create(intptr_t keyHandle, uint32_t filter, bool subtree,
                         std::unique_ptr<QORRegistryWatch>* out);

  ~QORRegistryWatch() override;
  QORRegistryWatch(const QORRegistryWatch&) = delete;
  QORRegistryWatch& operator=(const QORRegistryWatch&) = delete;

  QORWaitHandle GetWaitHandle() const override { return handle_; }
  // Drains the pending notifications; true when one of them is a change the filter asks for.
  bool ConsumeSignal() override;
  // True once a consumed signal said the key was deleted or moved: the watch hears nothing more.
  bool IsStale() const { return stale_; }

 private:
  struct Tree;

  QORRegistryWatch(intptr_t nativeHandle, uint32_t filter, std::unique_ptr<Tree> tree);

  intptr_t handle_;
  uint32_t filter_;
  bool stale_ = false;
  std::unique_ptr<Tree> tree_;
};
