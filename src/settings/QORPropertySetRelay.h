#pragma once

#include <atomic>
#include <functional>

#include "platform/QORCriticalSection.h"
#include "settings/IQORPropertySetNotify.h"
#include "settings/QORPropertySetThreadsafe.h"
#include "settings/QORUTSValue.h"

// A set that a registry watch thread fills, and the forwarding of its changes, as control values,
// to whoever listens. Shared between a settings object and its watch thread, which may outlive
// the object: the object closes the relay as it goes, and nobody is called after that. The relay
// is the set's listener for its whole life, so installing a forward never nests the set's lock
// inside the relay's (the watch thread takes them the other way round).
class QORPropertySetRelay : public IQORPropertySetNotify {
 public:
  using Forward = std::function<void(const QORUTSValue& control)>;

  QORPropertySetRelay() { set.AddNotify(this); }

  // Installs the forward (an empty one forwards nothing). Once this returns, the previous one is
  // not called any more.
  void SetForward(Forward forward);
  bool HasForward();
  // The owner goes. Not under the relay's lock: a forward that never returns must not hold it up.
  void Close() { closed_.store(true); }

  void OnPropertyChanged(QORPropertySet& set, const PropertyEntry& entry) override;
  bool OnPropertyChanging(QORPropertySet&, const PropertyEntry&) override { return false; }

  QORPropertySetThreadsafe set;

 private:
  QORCriticalSection lock_;
  Forward forward_;
  std::atomic<bool> closed_{false};
};
